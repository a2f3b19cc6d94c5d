// Exports and imports of one connection and their reference counts.

#include "ObjectTable.h"

#include "Log.h"

namespace Plume {

// The connection outlives this handler (the handler holds it).
RemoteObjectHandler::~RemoteObjectHandler() { conn->dropImport(this, id); }

ObjPtr<Object> RemoteObjectHandler::invoke(const std::string& method, const ObjPtr<ObjectArray>& args) {
    Connection::CallOutcome kept;
    {
        MutexLock lock(aheadMutex_);
        if (!ahead_.empty()) {
            if (ahead_.front().method == method && (!args || args->getSize() == 0)) {
                kept = std::move(ahead_.front().outcome);
                ahead_.pop_front();
            } else {
                ahead_.clear();
            }
        }
    }
    if (kept) return kept();
    return conn->callRemote(id, method, args);
}

uint64_t RemoteObjectHandler::callAhead(std::initializer_list<const char*> methods) {
    std::vector<std::string> names(methods.begin(), methods.end());
    std::vector<Connection::CallOutcome> outcomes;
    try {
        outcomes = conn->callRemoteAll(id, names);
    } catch (const std::exception&) {
        return 0;  // the calls that follow go out one by one and report the fault
    }
    MutexLock lock(aheadMutex_);
    const uint64_t batch = nextBatch_++;
    for (size_t i = 0; i < names.size(); ++i) ahead_.push_back(Ahead{batch, std::move(names[i]), std::move(outcomes[i])});
    return batch;
}

void RemoteObjectHandler::dropAhead(uint64_t batch) {
    MutexLock lock(aheadMutex_);
    std::erase_if(ahead_, [batch](const Ahead& a) { return a.batch == batch; });
}

CallsAhead::CallsAhead(const ObjPtr<Object>& object, std::initializer_list<const char*> methods) {
    auto* proxy = dynamic_cast<const ReflectionProxy*>(object.get());
    if (!proxy) return;
    auto* h = dynamic_cast<RemoteObjectHandler*>(proxy->getInvocationHandler().get());
    if (!h) return;
    batch_ = h->callAhead(methods);
    if (batch_) handler_ = proxy->getInvocationHandler();
}

CallsAhead::~CallsAhead() {
    if (handler_) static_cast<RemoteObjectHandler*>(handler_.get())->dropAhead(batch_);
}

WireReference ObjectTable::exportReference(const Object* o, const std::shared_ptr<const InterfaceInfo>& info) {
    // A proxy of an object the peer exported on this connection goes back
    // as a reference to that object.
    if (auto* proxy = dynamic_cast<const ReflectionProxy*>(o)) {
        auto* h = dynamic_cast<const RemoteObjectHandler*>(proxy->getInvocationHandler().get());
        if (h && h->conn.get() == &owner_) return WireReference{true, h->id};
    }
    MutexLock lock(mutex_);
    if (closed_) throw RemotingException("Connection to " + owner_.getPeer() + " is closed: " + closeReason_);
    auto it = exportIds_.find(o);
    if (it != exportIds_.end()) {
        exports_[it->second].sent++;
        return WireReference{false, it->second};
    }
    ObjPtr<Object> obj(const_cast<Object*>(o));
    Export e;
    e.target = info->targetCreator(obj);
    e.object = std::move(obj);
    e.info = info;
    e.sent = 1;
    const uint64_t id = nextExportId_++;
    exports_.emplace(id, std::move(e));
    exportIds_.emplace(o, id);
    return WireReference{false, id};
}

ObjPtr<Object> ObjectTable::importReference(uint64_t id, const InterfaceInfo& info) {
    ObjPtr<RemoteObjectHandler> handler;
    {
        MutexLock lock(mutex_);
        auto it = imports_.find(id);
        if (it != imports_.end() && it->second.handler->tryRef()) {
            handler = ObjPtr<RemoteObjectHandler>::adopt(it->second.handler);
            it->second.received++;
        } else {
            // A handler whose last reference is going keeps its count until
            // its destructor reports it.
            if (it != imports_.end()) replaced_[it->second.handler] = it->second.received;
            handler = makeObj<RemoteObjectHandler>(ObjPtr<Connection>(&owner_), id);
            imports_[id] = Import{handler.get(), 1};
        }
    }
    return info.proxyCreator(handler);
}

ObjPtr<Object> ObjectTable::exportedObject(uint64_t id) const {
    MutexLock lock(mutex_);
    auto it = exports_.find(id);
    if (it == exports_.end()) throw ProtocolError("back-reference to unknown object " + std::to_string(id));
    return it->second.object;
}

ObjPtr<ReflectionTarget> ObjectTable::findTarget(uint64_t id) const {
    MutexLock lock(mutex_);
    auto it = exports_.find(id);
    return it == exports_.end() ? ObjPtr<ReflectionTarget>() : it->second.target;
}

void ObjectTable::release(uint64_t id, uint64_t count) {
    Export e;
    {
        MutexLock lock(mutex_);
        auto it = exports_.find(id);
        if (it == exports_.end()) throw ProtocolError("release of unknown object " + std::to_string(id));
        if (count > it->second.sent) throw ProtocolError("release of more references than sent");
        it->second.sent -= count;
        if (it->second.sent > 0) return;
        e = std::move(it->second);
        exportIds_.erase(e.object.get());
        exports_.erase(it);
    }
    runReleaseMethod(e);
}

uint64_t ObjectTable::dropImport(const RemoteObjectHandler* h, uint64_t id) {
    MutexLock lock(mutex_);
    uint64_t received = 0;
    auto it = imports_.find(id);
    if (it != imports_.end() && it->second.handler == h) {
        received = it->second.received;
        imports_.erase(it);
    } else if (auto r = replaced_.find(h); r != replaced_.end()) {
        received = r->second;
        replaced_.erase(r);
    }
    return closed_ ? 0 : received;
}

void ObjectTable::close(const std::string& reason) {
    std::unordered_map<uint64_t, Export> exports;
    {
        MutexLock lock(mutex_);
        if (closed_) return;
        closed_ = true;
        closeReason_ = reason;
        exports.swap(exports_);
        exportIds_.clear();
    }
    for (auto& [id, e] : exports) runReleaseMethod(e);
}

void ObjectTable::runReleaseMethod(const Export& e) {
    if (!e.info || e.info->releaseMethod.empty() || !e.target) return;
    try {
        e.target->invokeMethod(e.info->releaseMethod.c_str(), ObjPtr<ObjectArray>());
    } catch (const std::exception& ex) {
        plumelog_write("plumeremoting", 4,
                       "Release method " + e.info->releaseMethod + " of " + e.info->name + " failed: " + ex.what());
    }
}

size_t ObjectTable::getExportCount() const {
    MutexLock lock(mutex_);
    return exports_.size();
}

size_t ObjectTable::getImportCount() const {
    MutexLock lock(mutex_);
    return imports_.size();
}

}  // namespace Plume
