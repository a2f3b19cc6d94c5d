// The wire format of remote calls (private to the plume library): frame
// kinds and the MessagePack encoding of framework values, as documented in
// docs/protocol.md.
//
// A value crosses by value when its type is built in (boxes, strings, byte
// arrays, lists, registered object arrays) or registered in the
// SerializableFactory, by reference when it implements an interface of the
// InterfaceRegistry. Which id a reference carries is the connection's
// business (WireReferences); the codec only writes and reads it.
//
// Thread-safety: a WireCodec has no state of its own; pack and decode may run
// on several threads at once as far as the WireReferences allow.
#pragma once

#ifndef MSGPACK_NO_BOOST
#define MSGPACK_NO_BOOST 1
#endif
#include "Remoting.h"

#include <msgpack.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace Plume {

enum FrameType : int { FRAME_CALL = 1, FRAME_REPLY = 2, FRAME_ERROR = 3, FRAME_RELEASE = 4 };

// A violation of the wire format by the peer: closes the connection.
struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

using Packer = msgpack::packer<msgpack::sbuffer>;

// A frame being written: the buffer starts with four bytes reserved for the
// length (the sender fills them in), and the message array [kind, id, ...]
// of `elements` elements is open with its first two written.
struct OutgoingFrame {
    OutgoingFrame(FrameType kind, uint32_t elements, uint64_t id);
    OutgoingFrame(const OutgoingFrame&) = delete;
    OutgoingFrame& operator=(const OutgoingFrame&) = delete;
    msgpack::sbuffer buf;
    Packer pk;
};

void packString(Packer& pk, const std::string& s);
// Always a float 64 (the packer's own pack_double writes whole numbers as
// integers, which would turn a Double into an Integer on the other side).
void packFloat64(Packer& pk, double d);

// Checked reads of message elements; throw ProtocolError naming `what`.
std::string asString(const msgpack::object& o, const char* what);
uint64_t asUnsigned(const msgpack::object& o, const char* what);
int64_t asSigned(const msgpack::object& o, const char* what);

// The id under which an object crosses by reference: one this side exports,
// or, for a proxy of an object the peer exported, a reference back to it.
struct WireReference {
    bool back;
    uint64_t id;
};

// The connection's side of references.
class WireReferences {
public:
    // The reference under which o, an object of the interface `info`, is
    // sent; an export counts one more reference sent. Throws RemotingException
    // when nothing more can be exported (the connection is closed).
    virtual WireReference exportReference(const Object* o, const std::shared_ptr<const InterfaceInfo>& info) = 0;
    // A proxy of the peer's object `id` of the interface `info`; counts one
    // more reference received.
    virtual ObjPtr<Object> importReference(uint64_t id, const InterfaceInfo& info) = 0;
    // The object this side exported under id; throws ProtocolError when
    // there is none.
    virtual ObjPtr<Object> exportedObject(uint64_t id) const = 0;

protected:
    ~WireReferences() = default;
};

// The MessagePack nesting an unpacker must allow so that values nested
// maxDepth levels deep (plus one level, reported by decode) fit in a frame:
// two arrays a value level, plus the message array and the argument array.
constexpr uint32_t unpackDepthFor(uint32_t maxDepth) { return 2 * (maxDepth + 1) + 2; }

class WireCodec {
public:
    // The factory, registry and references must outlive the codec;
    // interfaces may be null (nothing crosses by reference).
    WireCodec(const ObjPtr<SerializableFactory>& factory, const ObjPtr<InterfaceRegistry>& interfaces,
              const RemotingLimits& limits, WireReferences& references);

    // Writes o (null allowed) at nesting level depth (a call's argument is
    // level 1). Throws RemotingException, naming the type, for a value that
    // cannot be sent or is nested beyond the limit.
    void pack(Packer& pk, const Object* o, uint32_t depth) const;
    // Reads a value at nesting level depth. Throws ProtocolError for a
    // malformed, unknown, incompatible or too deeply nested value.
    ObjPtr<Object> decode(const msgpack::object& o, uint32_t depth) const;

private:
    void packSerializable(Packer& pk, const Serializable& s, const SerializableFactory::TypeInfo& info,
                          uint32_t depth) const;
    ObjPtr<Object> decodeSerializable(const msgpack::object_array& a, const std::string& type, uint32_t depth) const;

    ObjPtr<SerializableFactory> factory_;
    ObjPtr<InterfaceRegistry> interfaces_;
    RemotingLimits limits_;
    WireReferences& references_;
};

}  // namespace Plume
