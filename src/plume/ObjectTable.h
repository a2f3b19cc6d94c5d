// The objects that cross one connection by reference (private to the plume
// library): the objects this side exported to the peer, each with the number
// of references sent and not yet released, and the proxies of the peer's
// objects alive on this side, each with the number of references received.
//
// When the peer has released every reference sent, the exported object's
// interface release method runs (if one is registered) and the object is
// dropped; closing the table does the same for every exported object. When
// the last proxy of an imported object goes, the connection tells the peer
// how many references this side received (Connection::dropImport).
//
// Thread-safety: safe from any thread. The table's mutex is a leaf: it is
// never held while another lock is taken, and the only code outside the
// table that runs under it is an interface's target creator. Release methods,
// proxy creators and the destructors of dropped objects run without it.
#pragma once

#include "WireCodec.h"

#include <deque>
#include <initializer_list>
#include <string>
#include <unordered_map>
#include <vector>

namespace Plume {

// The handler behind every proxy of an object that the peer exported.
class RemoteObjectHandler : public InvocationHandler {
public:
    RemoteObjectHandler(ObjPtr<Connection> c, uint64_t id) : conn(std::move(c)), id(id) {}
    // Reports the references this handler received to the connection.
    ~RemoteObjectHandler() override;
    // A call without arguments first takes the outcome kept for it by
    // CallsAhead, if that is the next one kept; otherwise it drops what is
    // kept and goes to the peer.
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override
        EXCLUDES(aheadMutex_);

    // Sends the calls of `methods` at once and keeps their outcomes under a
    // new batch number, which it returns (0 when they could not be sent).
    uint64_t callAhead(std::initializer_list<const char*> methods) EXCLUDES(aheadMutex_);
    // Drops what is left of a batch.
    void dropAhead(uint64_t batch) EXCLUDES(aheadMutex_);

    const ObjPtr<Connection> conn;
    const uint64_t id;

private:
    struct Ahead {
        uint64_t batch;
        std::string method;
        Connection::CallOutcome outcome;
    };
    Mutex aheadMutex_;
    std::deque<Ahead> ahead_ GUARDED_BY(aheadMutex_);
    uint64_t nextBatch_ GUARDED_BY(aheadMutex_) = 1;
};

class ObjectTable : public WireReferences {
public:
    // owner: the connection the table belongs to (it outlives the table).
    explicit ObjectTable(Connection& owner) : owner_(owner) {}
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    WireReference exportReference(const Object* o, const std::shared_ptr<const InterfaceInfo>& info) override
        EXCLUDES(mutex_);
    ObjPtr<Object> importReference(uint64_t id, const InterfaceInfo& info) override EXCLUDES(mutex_);
    ObjPtr<Object> exportedObject(uint64_t id) const override EXCLUDES(mutex_);

    // The target that runs calls on exported object id; null when the object
    // is not (or no longer) exported.
    ObjPtr<ReflectionTarget> findTarget(uint64_t id) const EXCLUDES(mutex_);

    // The peer let go of count references to exported object id; the last
    // one releases the object on this thread. Throws ProtocolError for an
    // unknown id or more references than were sent.
    void release(uint64_t id, uint64_t count) EXCLUDES(mutex_);

    // Handler h of imported object id is being destroyed: forgets it and
    // returns the number of references it received, to be reported to the
    // peer; 0 once the table is closed (nothing to report).
    uint64_t dropImport(const RemoteObjectHandler* h, uint64_t id) EXCLUDES(mutex_);

    // Refuses further exports (RemotingException with the reason) and
    // releases every exported object on this thread. Later calls do nothing.
    void close(const std::string& reason) EXCLUDES(mutex_);

    size_t getExportCount() const EXCLUDES(mutex_);
    size_t getImportCount() const EXCLUDES(mutex_);

private:
    struct Export {
        ObjPtr<Object> object;
        ObjPtr<ReflectionTarget> target;
        std::shared_ptr<const InterfaceInfo> info;
        uint64_t sent = 0;  // references sent and not yet released
    };
    struct Import {
        RemoteObjectHandler* handler;  // not counted: the handler removes itself
        uint64_t received;
    };
    // Runs the release method of the export's interface, if any; logs its failure.
    static void runReleaseMethod(const Export& e);

    Connection& owner_;
    mutable Mutex mutex_;
    bool closed_ GUARDED_BY(mutex_) = false;
    std::string closeReason_ GUARDED_BY(mutex_);
    std::unordered_map<uint64_t, Export> exports_ GUARDED_BY(mutex_);
    std::unordered_map<const Object*, uint64_t> exportIds_ GUARDED_BY(mutex_);
    uint64_t nextExportId_ GUARDED_BY(mutex_) = 1;
    std::unordered_map<uint64_t, Import> imports_ GUARDED_BY(mutex_);
    // Handlers that a new one replaced in imports_ while they were being
    // destroyed, with the references they had received.
    std::unordered_map<const RemoteObjectHandler*, uint64_t> replaced_ GUARDED_BY(mutex_);
};

}  // namespace Plume
