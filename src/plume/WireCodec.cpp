// Packing and decoding of framework values; the layouts are documented in
// docs/protocol.md.

#include "WireCodec.h"

#include <cstring>

namespace Plume {

OutgoingFrame::OutgoingFrame(FrameType kind, uint32_t elements, uint64_t id) : buf(256), pk(buf) {
    buf.write("\0\0\0\0", 4);
    pk.pack_array(elements);
    pk.pack_int(kind);
    pk.pack_uint64(id);
}

void packString(Packer& pk, const std::string& s) {
    pk.pack_str(static_cast<uint32_t>(s.size()));
    pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

void packFloat64(Packer& pk, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    char b[9];
    b[0] = static_cast<char>(0xcb);
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
    pk.pack_bin_body(b, 9);  // raw bytes, no header
}

std::string asString(const msgpack::object& o, const char* what) {
    if (o.type != msgpack::type::STR) throw ProtocolError(std::string(what) + " is not a string");
    return std::string(o.via.str.ptr, o.via.str.size);
}

uint64_t asUnsigned(const msgpack::object& o, const char* what) {
    if (o.type != msgpack::type::POSITIVE_INTEGER) throw ProtocolError(std::string(what) + " is not an unsigned integer");
    return o.via.u64;
}

int64_t asSigned(const msgpack::object& o, const char* what) {
    if (o.type == msgpack::type::POSITIVE_INTEGER && o.via.u64 <= static_cast<uint64_t>(INT64_MAX))
        return static_cast<int64_t>(o.via.u64);
    if (o.type == msgpack::type::NEGATIVE_INTEGER) return o.via.i64;
    throw ProtocolError(std::string(what) + " is not an integer");
}

namespace {

// A Serializer that only writes; its reads are a programming error.
class WriteOnlySerializer : public Serializer {
public:
    int32_t readInt() override { throw ProtocolError("read on a writer"); }
    int64_t readLong() override { throw ProtocolError("read on a writer"); }
    double readDouble() override { throw ProtocolError("read on a writer"); }
    bool readBoolean() override { throw ProtocolError("read on a writer"); }
    ObjPtr<Object> readObject() override { throw ProtocolError("read on a writer"); }
};

// Counts the fields a Serializable writes, so its array header can be sized.
class FieldCounter : public WriteOnlySerializer {
public:
    size_t count = 0;
    void writeInt(int32_t) override { ++count; }
    void writeLong(int64_t) override { ++count; }
    void writeDouble(double) override { ++count; }
    void writeBoolean(bool) override { ++count; }
    void writeObject(const Object*) override { ++count; }
};

// Writes the fields of a Serializable into the open array of its value.
class FieldWriter : public WriteOnlySerializer {
public:
    FieldWriter(const WireCodec& codec, Packer& pk, uint32_t depth) : codec_(codec), pk_(pk), depth_(depth) {}
    void writeInt(int32_t v) override { pk_.pack_int32(v); }
    void writeLong(int64_t v) override { pk_.pack_int64(v); }
    void writeDouble(double v) override { packFloat64(pk_, v); }
    void writeBoolean(bool v) override { v ? pk_.pack_true() : pk_.pack_false(); }
    void writeObject(const Object* o) override { codec_.pack(pk_, o, depth_ + 1); }

private:
    const WireCodec& codec_;
    Packer& pk_;
    uint32_t depth_;
};

// Reads the fields of a Serializable from the elements of its value.
class FieldReader : public Serializer {
public:
    FieldReader(const WireCodec& codec, const msgpack::object* items, size_t n, uint32_t depth,
                const std::string& type)
        : codec_(codec), items_(items), n_(n), depth_(depth), type_(type) {}
    void writeInt(int32_t) override { throw ProtocolError("write on a reader"); }
    void writeLong(int64_t) override { throw ProtocolError("write on a reader"); }
    void writeDouble(double) override { throw ProtocolError("write on a reader"); }
    void writeBoolean(bool) override { throw ProtocolError("write on a reader"); }
    void writeObject(const Object*) override { throw ProtocolError("write on a reader"); }
    int32_t readInt() override {
        const msgpack::object& o = next("int");
        if (o.type == msgpack::type::POSITIVE_INTEGER && o.via.u64 <= INT32_MAX) return static_cast<int32_t>(o.via.u64);
        if (o.type == msgpack::type::NEGATIVE_INTEGER && o.via.i64 >= INT32_MIN) return static_cast<int32_t>(o.via.i64);
        bad("int");
    }
    int64_t readLong() override {
        const msgpack::object& o = next("long");
        if (o.type == msgpack::type::POSITIVE_INTEGER && o.via.u64 <= static_cast<uint64_t>(INT64_MAX))
            return static_cast<int64_t>(o.via.u64);
        if (o.type == msgpack::type::NEGATIVE_INTEGER) return o.via.i64;
        bad("long");
    }
    double readDouble() override {
        const msgpack::object& o = next("double");
        if (o.type == msgpack::type::FLOAT64 || o.type == msgpack::type::FLOAT32) return o.via.f64;
        if (o.type == msgpack::type::POSITIVE_INTEGER) return static_cast<double>(o.via.u64);
        if (o.type == msgpack::type::NEGATIVE_INTEGER) return static_cast<double>(o.via.i64);
        bad("double");
    }
    bool readBoolean() override {
        const msgpack::object& o = next("boolean");
        if (o.type == msgpack::type::BOOLEAN) return o.via.boolean;
        bad("boolean");
    }
    ObjPtr<Object> readObject() override { return codec_.decode(next("object"), depth_ + 1); }

private:
    const msgpack::object& next(const char* kind) {
        if (pos_ >= n_)
            throw ProtocolError("value of type " + type_ + " ends before its " + kind + " field " +
                                std::to_string(pos_ + 1));
        return items_[pos_++];
    }
    [[noreturn]] void bad(const char* kind) {
        throw ProtocolError("field " + std::to_string(pos_) + " of type " + type_ + " is not a " + kind);
    }
    const WireCodec& codec_;
    const msgpack::object* items_;
    size_t n_, pos_ = 0;
    uint32_t depth_;
    const std::string& type_;
};

}  // namespace

WireCodec::WireCodec(const ObjPtr<SerializableFactory>& factory, const ObjPtr<InterfaceRegistry>& interfaces,
                     const RemotingLimits& limits, WireReferences& references)
    : factory_(factory), interfaces_(interfaces), limits_(limits), references_(references) {}

void WireCodec::pack(Packer& pk, const Object* o, uint32_t depth) const {
    if (depth > limits_.maxDepth)
        throw RemotingException("Value nesting deeper than " + std::to_string(limits_.maxDepth) +
                                " levels cannot be sent.");
    if (!o) {
        pk.pack_nil();
        return;
    }
    if (auto* s = dynamic_cast<const String*>(o)) {
        packString(pk, s->str());
        return;
    }
    if (auto* i = dynamic_cast<const Integer*>(o)) {
        pk.pack_int32(i->value());
        return;
    }
    if (auto* d = dynamic_cast<const Double*>(o)) {
        packFloat64(pk, d->value());
        return;
    }
    if (auto* b = dynamic_cast<const Boolean*>(o)) {
        b->value() ? pk.pack_true() : pk.pack_false();
        return;
    }
    if (auto* l = dynamic_cast<const Long*>(o)) {
        pk.pack_array(2);
        packString(pk, "java.lang.Long");
        pk.pack_int64(l->value());
        return;
    }
    if (auto* ba = dynamic_cast<const ByteArray*>(o)) {
        pk.pack_bin(static_cast<uint32_t>(ba->getSize()));
        pk.pack_bin_body(reinterpret_cast<const char*>(ba->getData()), static_cast<uint32_t>(ba->getSize()));
        return;
    }
    if (auto* list = dynamic_cast<const List*>(o)) {
        pk.pack_array(2);
        packString(pk, "java.util.List");
        pk.pack_array(static_cast<uint32_t>(list->getSize()));
        for (size_t i = 0; i < list->getSize(); ++i) pack(pk, list->get(i).get(), depth + 1);
        return;
    }
    if (auto* arr = dynamic_cast<const ObjectArray*>(o)) {
        if (!factory_->isArrayTypeRegistered(arr->getSerialID()))
            throw RemotingException(std::string("Array type ") + arr->getSerialID() + " is not registered.");
        pk.pack_array(2);
        packString(pk, arr->getSerialID());
        pk.pack_array(static_cast<uint32_t>(arr->getSize()));
        for (size_t i = 0; i < arr->getSize(); ++i) pack(pk, arr->get(i).get(), depth + 1);
        return;
    }
    if (auto* ser = dynamic_cast<const Serializable*>(o)) {
        if (const auto* info = factory_->find(ser->getSerialID())) {
            packSerializable(pk, *ser, *info, depth);
            return;
        }
    }
    if (interfaces_) {
        if (auto info = interfaces_->findFor(o)) {
            const WireReference ref = references_.exportReference(o, info);
            if (ref.back) {
                pk.pack_array(2);
                packString(pk, "@back");
                pk.pack_uint64(ref.id);
            } else {
                pk.pack_array(3);
                packString(pk, "@ref");
                pk.pack_uint64(ref.id);
                packString(pk, info->name);
            }
            return;
        }
    }
    throw RemotingException(std::string("Object of type ") + o->getSerialID() +
                            " cannot be sent: it is neither a registered value type nor a registered interface.");
}

void WireCodec::packSerializable(Packer& pk, const Serializable& s, const SerializableFactory::TypeInfo& info,
                                 uint32_t depth) const {
    FieldCounter counter;
    s.writeFields(counter);
    pk.pack_array(static_cast<uint32_t>(2 + counter.count));
    packString(pk, info.serialID);
    pk.pack_int64(s.getSerialVersionUID());
    FieldWriter writer(*this, pk, depth);
    s.writeFields(writer);
}

ObjPtr<Object> WireCodec::decode(const msgpack::object& o, uint32_t depth) const {
    if (depth > limits_.maxDepth)
        throw ProtocolError("value nesting deeper than " + std::to_string(limits_.maxDepth) + " levels");
    switch (o.type) {
        case msgpack::type::NIL:
            return ObjPtr<Object>();
        case msgpack::type::BOOLEAN:
            return Boolean::newInstance(o.via.boolean);
        case msgpack::type::POSITIVE_INTEGER:
            if (o.via.u64 > INT32_MAX) throw ProtocolError("Integer value out of range");
            return Integer::newInstance(static_cast<int32_t>(o.via.u64));
        case msgpack::type::NEGATIVE_INTEGER:
            if (o.via.i64 < INT32_MIN) throw ProtocolError("Integer value out of range");
            return Integer::newInstance(static_cast<int32_t>(o.via.i64));
        case msgpack::type::FLOAT32:
        case msgpack::type::FLOAT64:
            return Double::newInstance(o.via.f64);
        case msgpack::type::STR:
            return String::newInstance(std::string(o.via.str.ptr, o.via.str.size));
        case msgpack::type::BIN:
            return ByteArray::newInstance(reinterpret_cast<const signed char*>(o.via.bin.ptr), o.via.bin.size);
        case msgpack::type::ARRAY:
            break;
        default:
            throw ProtocolError("unsupported value kind " + std::to_string(static_cast<int>(o.type)));
    }
    const msgpack::object_array& a = o.via.array;
    if (a.size < 1) throw ProtocolError("empty typed value");
    std::string type = asString(a.ptr[0], "type name");
    if (type == "java.lang.Long") {
        if (a.size != 2) throw ProtocolError("malformed java.lang.Long");
        return Long::newInstance(asSigned(a.ptr[1], "java.lang.Long value"));
    }
    if (type == "java.util.List" || (type.size() > 3 && type[0] == '[' && type[1] == 'L' && type.back() == ';')) {
        if (a.size != 2 || a.ptr[1].type != msgpack::type::ARRAY) throw ProtocolError("malformed " + type);
        const msgpack::object_array& items = a.ptr[1].via.array;
        if (type == "java.util.List") {
            auto list = List::newInstance(items.size);
            for (uint32_t i = 0; i < items.size; ++i) list->add(decode(items.ptr[i], depth + 1));
            return list;
        }
        if (!factory_->isArrayTypeRegistered(type)) throw ProtocolError("unknown array type " + type);
        auto arr = ObjectArray::newInstance(items.size, type.substr(2, type.size() - 3));
        for (uint32_t i = 0; i < items.size; ++i) arr->set(i, decode(items.ptr[i], depth + 1));
        return arr;
    }
    if (type == "@ref") {
        if (a.size != 3) throw ProtocolError("malformed reference");
        const uint64_t id = asUnsigned(a.ptr[1], "reference id");
        const std::string iface = asString(a.ptr[2], "interface name");
        auto info = interfaces_ ? interfaces_->find(iface) : nullptr;
        if (!info) throw ProtocolError("reference to unknown interface " + iface);
        return references_.importReference(id, *info);
    }
    if (type == "@back") {
        if (a.size != 2) throw ProtocolError("malformed back-reference");
        return references_.exportedObject(asUnsigned(a.ptr[1], "back-reference id"));
    }
    return decodeSerializable(a, type, depth);
}

ObjPtr<Object> WireCodec::decodeSerializable(const msgpack::object_array& a, const std::string& type,
                                             uint32_t depth) const {
    const SerializableFactory::TypeInfo* info = factory_->find(type);
    if (!info) throw ProtocolError("unknown type " + type);
    if (a.size < 2) throw ProtocolError("value of type " + type + " without serialVersionUID");
    int64_t uid = asSigned(a.ptr[1], "serialVersionUID");
    if (!info->accepts(uid))
        throw ProtocolError("incompatible serialVersionUID " + std::to_string(uid) + " for type " + type);
    ObjPtr<Serializable> obj = info->creator();
    if (!obj) throw ProtocolError("no creator for type " + type);
    FieldReader reader(*this, a.ptr + 2, a.size - 2, depth, type);
    obj->readFields(reader, uid);
    if (auto* e = dynamic_cast<Enum*>(obj.get())) {
        ObjPtr<Enum> constant = e->getEnumConstant(e->getOrdinal());
        if (!constant) throw ProtocolError("ordinal " + std::to_string(e->getOrdinal()) + " out of range for " + type);
        return constant;
    }
    return obj;
}

}  // namespace Plume
