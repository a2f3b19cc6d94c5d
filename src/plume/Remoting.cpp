// Connections, wire encoding and the client and server sides of remote calls.
// The frame and value layouts implemented here are documented in docs/protocol.md.

#define MSGPACK_NO_BOOST 1
#include "Remoting.h"

#include "System.h"

#include <msgpack.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <chrono>
#include <optional>
#include <unistd.h>
#include <unordered_map>

namespace Plume {

namespace {

enum FrameType : int { FRAME_CALL = 1, FRAME_REPLY = 2, FRAME_ERROR = 3, FRAME_RELEASE = 4 };

// A violation of the wire format by the peer: closes the connection.
struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

thread_local Connection* t_currentConnection = nullptr;

bool readFull(int fd, char* p, size_t n) {
    while (n > 0) {
        ssize_t r = ::recv(fd, p, n, 0);
        if (r == 0) return false;
        if (r < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool writeFull(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void tuneSocket(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
    int idle = 60, intvl = 10, cnt = 6;
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &intvl, sizeof intvl);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &cnt, sizeof cnt);
}

using Packer = msgpack::packer<msgpack::sbuffer>;

// Always a float 64: the packer's pack_double writes whole numbers as
// integers, which would turn a Double into an Integer on the other side.
void packFloat64(Packer& pk, double d) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    char b[9];
    b[0] = static_cast<char>(0xcb);
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<char>(bits >> (56 - 8 * i));
    pk.pack_bin_body(b, 9);  // raw bytes, no header
}

void packString(Packer& pk, const std::string& s) {
    pk.pack_str(static_cast<uint32_t>(s.size()));
    pk.pack_str_body(s.data(), static_cast<uint32_t>(s.size()));
}

// Counts the fields a Serializable writes, so its array header can be sized.
class FieldCounter : public Serializer {
public:
    size_t count = 0;
    void writeInt(int32_t) override { ++count; }
    void writeLong(int64_t) override { ++count; }
    void writeDouble(double) override { ++count; }
    void writeBoolean(bool) override { ++count; }
    void writeObject(const Object*) override { ++count; }
    int32_t readInt() override { throw ProtocolError("read on a writer"); }
    int64_t readLong() override { throw ProtocolError("read on a writer"); }
    double readDouble() override { throw ProtocolError("read on a writer"); }
    bool readBoolean() override { throw ProtocolError("read on a writer"); }
    ObjPtr<Object> readObject() override { throw ProtocolError("read on a writer"); }
};

}  // namespace

// ---------------------------------------------------------------------------
// Interface registry and bindings

void InterfaceRegistry::registerInterface(const std::string& name,
                                          std::function<ObjPtr<Object>(const ObjPtr<InvocationHandler>&)> proxyCreator,
                                          std::function<ObjPtr<ReflectionTarget>(const ObjPtr<Object>&)> targetCreator,
                                          std::function<bool(const Object*)> isInstance,
                                          const std::string& releaseMethod) {
    auto info = std::make_shared<InterfaceInfo>();
    info->name = name;
    info->proxyCreator = std::move(proxyCreator);
    info->targetCreator = std::move(targetCreator);
    info->isInstance = std::move(isInstance);
    info->releaseMethod = releaseMethod;
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->name == name) {
            e = info;
            return;
        }
    list_.push_back(info);
}

std::shared_ptr<const InterfaceInfo> InterfaceRegistry::find(const std::string& name) const {
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->name == name) return e;
    return nullptr;
}

std::shared_ptr<const InterfaceInfo> InterfaceRegistry::findFor(const Object* o) const {
    MutexLock lock(mutex_);
    for (auto& e : list_)
        if (e->isInstance && e->isInstance(o)) return e;
    return nullptr;
}

void RemotingConnectionHandlerFactory::bind(const std::string& name, const ObjPtr<InvocationHandler>& handler) {
    MutexLock lock(mutex_);
    bindings_[name] = handler;
}

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::lookup(const std::string& name) const {
    MutexLock lock(mutex_);
    auto it = bindings_.find(name);
    return it == bindings_.end() ? ObjPtr<InvocationHandler>() : it->second;
}

namespace {
class SessionContextHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>&) override {
        if (method == "ping") return ObjPtr<Object>();
        if (method == "getPeerAddress") {
            Connection* c = Connection::current();
            return String::newInstance(c ? c->getPeer() : std::string());
        }
        throw Exception(1, 3, "Invalid method %s specified in call to sessionContext.", method.c_str());
    }
};

class ReturnHandler : public InvocationHandler {
public:
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        if (method == "echo") return args ? args->get(0) : ObjPtr<Object>();
        throw Exception(1, 3, "Invalid method %s specified in call to return.", method.c_str());
    }
};
}  // namespace

ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newSessionContextHandler() {
    return makeObj<SessionContextHandler>();
}
ObjPtr<InvocationHandler> RemotingConnectionHandlerFactory::newReturnHandler() { return makeObj<ReturnHandler>(); }

// ---------------------------------------------------------------------------
// Connection internals

namespace {
class RemoteObjectHandler;
}

struct Connection::Impl {
    Connection* self;
    int fd;
    Config cfg;

    std::mutex writeMutex;
    mutable std::mutex stateMutex;
    bool open = true;
    std::string closeReason;
    uint64_t nextCallId = 1;

    // One outstanding call, guarded by roleMutex. The failure is kept as plain
    // data and thrown in the caller's thread (an exception object made in the
    // reading thread and rethrown elsewhere would be shared through the
    // runtime's own counts).
    struct Pending {
        bool done = false;
        ObjPtr<Object> result;
        enum Failure { NONE, REMOTE, LOCAL } failure = NONE;
        unsigned category = 0;
        int level = 0;
        ObjPtr<Throwable> throwable;  // REMOTE
        std::string message;          // LOCAL
        void fail(const std::string& text) {
            failure = LOCAL;
            message = text;
        }
    };
    std::unordered_map<uint64_t, std::shared_ptr<Pending>> pending;

    struct Export {
        ObjPtr<Object> object;
        ObjPtr<ReflectionTarget> target;
        std::shared_ptr<const InterfaceInfo> info;
        uint64_t sent = 0;
    };
    std::unordered_map<uint64_t, Export> exports;
    std::unordered_map<const Object*, uint64_t> exportIds;
    uint64_t nextExportId = 1;
    std::unordered_map<uint64_t, RemoteObjectHandler*> imports;

    std::mutex readerMutex;
    std::condition_variable readerCv;
    bool readerStarted = false;  // readerId is set
    bool readerDone = false;
    std::thread::id readerId;

    // The reading role. One thread at a time reads frames: the connection's
    // own reader, a caller waiting for its reply (so that a reply wakes the
    // caller directly instead of passing through another thread), or a pool
    // thread standing in while the own reader runs a call it has just read
    // (so that a call starts without a hand-over to the pool). A background
    // reader (own or stand-in) waits in poll() and gives the role up when a
    // caller writes to wakeFd. Guarded by roleMutex, as are the Pending
    // records; roleCv announces every change of role and every finished call.
    enum Holder { NOBODY, OWN_READER, STAND_IN, CALLER };
    std::mutex roleMutex;
    std::condition_variable roleCv;
    std::condition_variable ownCv;  // the own reader waits here for the role
    std::chrono::steady_clock::time_point lastCallerLeft;
    Holder holder = NOBODY;
    bool holderPolls = false;  // the holder waits in poll() and can be woken
    bool wakeSent = false;
    bool roleOpen = true;      // false once closing: nobody takes the role again
    unsigned callersWaiting = 0;
    bool ownIdle = false;        // the own reader waits for the role
    bool ownBusy = false;        // the own reader runs a call
    bool standInActive = false;  // a stand-in reads or waits to read
    int wakeFd = -1;

    // A call read from the peer, to be run on this side.
    struct Incoming {
        uint64_t callId;
        bool byName;
        std::string name;
        uint64_t objectId;
        std::string method;
        ObjPtr<ObjectArray> args;
    };

    Impl(Connection* s, int f, Config c) : self(s), fd(f), cfg(std::move(c)) {
        wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    ~Impl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }

    void ownReaderLoop();
    void standInLoop();
    void awaitReply(Pending& p);
    void leaveCaller();
    enum Readiness { READABLE, WOKEN, TIMED_OUT };
    Readiness waitReadable(int timeoutMs);
    void run(Incoming& in);
    bool readAsBackground(std::unique_lock<std::mutex>& lk, Holder who, int timeoutMs, std::vector<char>& buf,
                          std::optional<Incoming>& in, bool& ok, std::string& reason);
    bool readOne(std::vector<char>& buf, std::optional<Incoming>& in, std::string& reason);
    void roleChangedLocked();
    bool startStandInLocked(bool mustRunNow);
    void interruptPollingReaderLocked();
    void submit(Incoming&& in);
    std::optional<Incoming> handleFrame(const char* data, size_t len);
    void sendFrame(msgpack::sbuffer& buf);
    ObjPtr<Object> call(const std::function<void(Packer&)>& packTarget, const std::string& method,
                        const ObjPtr<ObjectArray>& args);
    void dispatch(uint64_t callId, bool byName, std::string name, uint64_t objectId, std::string method,
                  ObjPtr<ObjectArray> args);
    void sendReply(uint64_t callId, const Object* result);
    void sendError(uint64_t callId, unsigned category, int level, const ObjPtr<Throwable>& t);
    void release(uint64_t id, uint64_t count);
    void releaseExport(Export& e);
    void releaseImport(RemoteObjectHandler* h, uint64_t id);

    // Encoding
    void packValue(Packer& pk, const Object* o, uint32_t depth);
    void packSerializable(Packer& pk, const Serializable* s, const SerializableFactory::TypeInfo& info, uint32_t depth);
    void packReference(Packer& pk, const Object* o, const std::shared_ptr<const InterfaceInfo>& info);
    // Decoding
    ObjPtr<Object> decodeValue(const msgpack::object& o, uint32_t depth);
    ObjPtr<Object> importReference(uint64_t id, const std::string& iface);
    ObjPtr<Object> lookupExport(uint64_t id);
};

namespace {

// The handler behind every proxy of an object that the peer exported.
class RemoteObjectHandler : public InvocationHandler {
public:
    RemoteObjectHandler(ObjPtr<Connection> c, uint64_t id) : conn(std::move(c)), id(id) {}
    ~RemoteObjectHandler() override;
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        return conn->callRemote(id, method, args);
    }
    ObjPtr<Connection> conn;
    uint64_t id;
    uint64_t received = 0;  // references received for this handler; guarded by the connection's state mutex
};

// Writes the fields of a Serializable into the open array of its value.
class FieldWriter : public Serializer {
public:
    FieldWriter(Connection::Impl& c, Packer& pk, uint32_t depth) : c_(c), pk_(pk), depth_(depth) {}
    void writeInt(int32_t v) override { pk_.pack_int32(v); }
    void writeLong(int64_t v) override { pk_.pack_int64(v); }
    void writeDouble(double v) override { packFloat64(pk_, v); }
    void writeBoolean(bool v) override { v ? pk_.pack_true() : pk_.pack_false(); }
    void writeObject(const Object* o) override { c_.packValue(pk_, o, depth_ + 1); }
    int32_t readInt() override { throw ProtocolError("read on a writer"); }
    int64_t readLong() override { throw ProtocolError("read on a writer"); }
    double readDouble() override { throw ProtocolError("read on a writer"); }
    bool readBoolean() override { throw ProtocolError("read on a writer"); }
    ObjPtr<Object> readObject() override { throw ProtocolError("read on a writer"); }

private:
    Connection::Impl& c_;
    Packer& pk_;
    uint32_t depth_;
};

// Reads the fields of a Serializable from the elements of its value.
class FieldReader : public Serializer {
public:
    FieldReader(Connection::Impl& c, const msgpack::object* items, size_t n, uint32_t depth, const std::string& type)
        : c_(c), items_(items), n_(n), depth_(depth), type_(type) {}
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
    ObjPtr<Object> readObject() override { return c_.decodeValue(next("object"), depth_ + 1); }

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
    Connection::Impl& c_;
    const msgpack::object* items_;
    size_t n_, pos_ = 0;
    uint32_t depth_;
    const std::string& type_;
};

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

}  // namespace

// The connection outlives this handler (the handler holds it); tell the
// exporter how many references to the object this side has let go.
RemoteObjectHandler::~RemoteObjectHandler() { conn->dropImport(this, id); }

// ---------------------------------------------------------------------------
// Encoding

void Connection::Impl::packValue(Packer& pk, const Object* o, uint32_t depth) {
    if (depth > cfg.limits.maxDepth)
        throw RemotingException("Value nesting deeper than " + std::to_string(cfg.limits.maxDepth) +
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
        for (size_t i = 0; i < list->getSize(); ++i) packValue(pk, list->get(i).get(), depth + 1);
        return;
    }
    if (auto* arr = dynamic_cast<const ObjectArray*>(o)) {
        if (!cfg.factory->isArrayTypeRegistered(arr->getSerialID()))
            throw RemotingException(std::string("Array type ") + arr->getSerialID() + " is not registered.");
        pk.pack_array(2);
        packString(pk, arr->getSerialID());
        pk.pack_array(static_cast<uint32_t>(arr->getSize()));
        for (size_t i = 0; i < arr->getSize(); ++i) packValue(pk, arr->get(i).get(), depth + 1);
        return;
    }
    if (auto* ser = dynamic_cast<const Serializable*>(o)) {
        if (const auto* info = cfg.factory->find(ser->getSerialID())) {
            packSerializable(pk, ser, *info, depth);
            return;
        }
    }
    if (cfg.interfaces) {
        if (auto info = cfg.interfaces->findFor(o)) {
            packReference(pk, o, info);
            return;
        }
    }
    throw RemotingException(std::string("Object of type ") + o->getSerialID() +
                            " cannot be sent: it is neither a registered value type nor a registered interface.");
}

void Connection::Impl::packSerializable(Packer& pk, const Serializable* s, const SerializableFactory::TypeInfo& info,
                                        uint32_t depth) {
    FieldCounter counter;
    s->writeFields(counter);
    pk.pack_array(static_cast<uint32_t>(2 + counter.count));
    packString(pk, info.serialID);
    pk.pack_int64(s->getSerialVersionUID());
    FieldWriter writer(*this, pk, depth);
    s->writeFields(writer);
}

void Connection::Impl::packReference(Packer& pk, const Object* o, const std::shared_ptr<const InterfaceInfo>& info) {
    // A proxy of an object this peer exported goes back as a back-reference.
    if (auto* proxy = dynamic_cast<const ReflectionProxy*>(o)) {
        auto* h = dynamic_cast<const RemoteObjectHandler*>(proxy->getInvocationHandler().get());
        if (h && h->conn.get() == self) {
            pk.pack_array(2);
            packString(pk, "@back");
            pk.pack_uint64(h->id);
            return;
        }
    }
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!open) throw RemotingException("Connection to " + self->getPeer() + " is closed: " + closeReason);
        auto it = exportIds.find(o);
        if (it != exportIds.end()) {
            id = it->second;
            exports[id].sent++;
        } else {
            ObjPtr<Object> obj(const_cast<Object*>(o));
            ObjPtr<ReflectionTarget> target = info->targetCreator(obj);
            id = nextExportId++;
            Export e;
            e.object = obj;
            e.target = target;
            e.info = info;
            e.sent = 1;
            exports.emplace(id, std::move(e));
            exportIds.emplace(o, id);
        }
    }
    pk.pack_array(3);
    packString(pk, "@ref");
    pk.pack_uint64(id);
    packString(pk, info->name);
}

// ---------------------------------------------------------------------------
// Decoding

ObjPtr<Object> Connection::Impl::decodeValue(const msgpack::object& o, uint32_t depth) {
    if (depth > cfg.limits.maxDepth)
        throw ProtocolError("value nesting deeper than " + std::to_string(cfg.limits.maxDepth) + " levels");
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
            for (uint32_t i = 0; i < items.size; ++i) list->add(decodeValue(items.ptr[i], depth + 1));
            return list;
        }
        if (!cfg.factory->isArrayTypeRegistered(type)) throw ProtocolError("unknown array type " + type);
        auto arr = ObjectArray::newInstance(items.size, type.substr(2, type.size() - 3));
        for (uint32_t i = 0; i < items.size; ++i) arr->set(i, decodeValue(items.ptr[i], depth + 1));
        return arr;
    }
    if (type == "@ref") {
        if (a.size != 3) throw ProtocolError("malformed reference");
        return importReference(asUnsigned(a.ptr[1], "reference id"), asString(a.ptr[2], "interface name"));
    }
    if (type == "@back") {
        if (a.size != 2) throw ProtocolError("malformed back-reference");
        return lookupExport(asUnsigned(a.ptr[1], "back-reference id"));
    }
    const SerializableFactory::TypeInfo* info = cfg.factory->find(type);
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

ObjPtr<Object> Connection::Impl::importReference(uint64_t id, const std::string& iface) {
    auto info = cfg.interfaces ? cfg.interfaces->find(iface) : nullptr;
    if (!info) throw ProtocolError("reference to unknown interface " + iface);
    ObjPtr<RemoteObjectHandler> handler;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto it = imports.find(id);
        if (it != imports.end() && it->second->tryRef()) {
            handler = ObjPtr<RemoteObjectHandler>::adopt(it->second);
        } else {
            handler = makeObj<RemoteObjectHandler>(ObjPtr<Connection>(self), id);
            imports[id] = handler.get();
        }
        handler->received++;
    }
    return info->proxyCreator(handler);
}

ObjPtr<Object> Connection::Impl::lookupExport(uint64_t id) {
    std::lock_guard<std::mutex> lock(stateMutex);
    auto it = exports.find(id);
    if (it == exports.end()) throw ProtocolError("back-reference to unknown object " + std::to_string(id));
    return it->second.object;
}

// ---------------------------------------------------------------------------
// Frames

void Connection::Impl::sendFrame(msgpack::sbuffer& buf) {
    size_t payload = buf.size() - 4;
    if (payload > cfg.limits.maxFrameBytes)
        throw RemotingException("Message of " + std::to_string(payload) + " bytes exceeds the frame limit of " +
                                std::to_string(cfg.limits.maxFrameBytes) + " bytes.");
    uint32_t be = htonl(static_cast<uint32_t>(payload));
    std::memcpy(buf.data(), &be, 4);
    std::lock_guard<std::mutex> lock(writeMutex);
    if (fd < 0 || !writeFull(fd, buf.data(), buf.size()))
        throw RemotingException("Cannot send to " + self->getPeer() + ": connection lost.");
}

namespace {
msgpack::sbuffer newFrameBuffer() {
    msgpack::sbuffer buf(256);
    buf.write("\0\0\0\0", 4);
    return buf;
}
}  // namespace

ObjPtr<Object> Connection::Impl::call(const std::function<void(Packer&)>& packTarget, const std::string& method,
                                      const ObjPtr<ObjectArray>& args) {
    auto p = std::make_shared<Pending>();
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        if (!open) throw RemotingException("Connection to " + self->getPeer() + " is closed: " + closeReason);
        id = nextCallId++;
        pending.emplace(id, p);
    }
    {
        // Announced before sending, so that a background reader in poll()
        // gives the role up while the request travels.
        std::lock_guard<std::mutex> lk(roleMutex);
        ++callersWaiting;
        interruptPollingReaderLocked();
    }
    struct Leave {
        Impl* impl;
        ~Leave() { impl->leaveCaller(); }
    } leave{this};
    try {
        msgpack::sbuffer buf = newFrameBuffer();
        Packer pk(buf);
        pk.pack_array(5);
        pk.pack_int(FRAME_CALL);
        pk.pack_uint64(id);
        packTarget(pk);
        packString(pk, method);
        if (!args) {
            pk.pack_nil();
        } else {
            pk.pack_array(static_cast<uint32_t>(args->getSize()));
            for (size_t i = 0; i < args->getSize(); ++i) packValue(pk, args->get(i).get(), 1);
        }
        sendFrame(buf);
    } catch (...) {
        std::lock_guard<std::mutex> lock(stateMutex);
        pending.erase(id);
        throw;
    }
    self->lastUse_ = getCurrentTimeMillis();
    awaitReply(*p);
    if (p->failure == Pending::REMOTE) throw ThrowableException(p->category, p->level, p->throwable);
    if (p->failure == Pending::LOCAL) throw RemotingException(p->message);
    return std::move(p->result);
}

void Connection::Impl::sendReply(uint64_t callId, const Object* result) {
    msgpack::sbuffer buf = newFrameBuffer();
    Packer pk(buf);
    pk.pack_array(3);
    pk.pack_int(FRAME_REPLY);
    pk.pack_uint64(callId);
    packValue(pk, result, 1);
    sendFrame(buf);
}

void Connection::Impl::sendError(uint64_t callId, unsigned category, int level, const ObjPtr<Throwable>& t) {
    ObjPtr<Throwable> throwable = t;
    if (!throwable || !cfg.factory->find(throwable->getSerialID()))
        throwable = makeObj<RemoteError>(throwable ? throwable->toString() : std::string("null throwable"));
    msgpack::sbuffer buf = newFrameBuffer();
    Packer pk(buf);
    pk.pack_array(5);
    pk.pack_int(FRAME_ERROR);
    pk.pack_uint64(callId);
    pk.pack_uint32(category);
    pk.pack_int32(level);
    packValue(pk, throwable.get(), 1);
    sendFrame(buf);
}

void Connection::Impl::dispatch(uint64_t callId, bool byName, std::string name, uint64_t objectId, std::string method,
                                ObjPtr<ObjectArray> args) {
    Connection* previous = t_currentConnection;
    t_currentConnection = self;
    try {
        try {
            ObjPtr<Object> result;
            if (byName) {
                ObjPtr<InvocationHandler> h = cfg.bindings ? cfg.bindings->lookup(name) : ObjPtr<InvocationHandler>();
                if (!h) throw Exception(1, 3, "No object is bound under the name [%s].", name.c_str());
                result = h->invoke(method, args);
            } else {
                ObjPtr<ReflectionTarget> target;
                {
                    std::lock_guard<std::mutex> lock(stateMutex);
                    auto it = exports.find(objectId);
                    if (it != exports.end()) target = it->second.target;
                }
                if (!target)
                    throw Exception(1, 3, "Call of %s on object %llu, which is no longer exported.", method.c_str(),
                                    static_cast<unsigned long long>(objectId));
                result = target->invokeMethod(method.c_str(), args);
            }
            args.reset();
            sendReply(callId, result.get());
        } catch (const ThrowableException& e) {
            sendError(callId, e.getCategory(), e.getLevel(), e.getThrowable());
        } catch (const RemotingException& e) {
            // The reply could not be sent (connection lost) or not be encoded.
            if (!self->isOpen()) throw;
            sendError(callId, e.getCategory(), e.getLevel(), makeObj<RemoteError>(e.getMessage()));
        } catch (const Exception& e) {
            sendError(callId, e.getCategory(), e.getLevel(), makeObj<RemoteError>(e.getMessage()));
        } catch (const std::exception& e) {
            sendError(callId, 1, 3, makeObj<RemoteError>(e.what()));
        } catch (...) {
            sendError(callId, 1, 3, makeObj<RemoteError>("Caught unknown exception."));
        }
    } catch (const std::exception& e) {
        plumelog_write("plumeremoting", 4, "Reply to " + self->getPeer() + " not sent: " + e.what());
    }
    t_currentConnection = previous;
}

void Connection::Impl::releaseExport(Export& e) {
    if (!e.info || e.info->releaseMethod.empty() || !e.target) return;
    try {
        e.target->invokeMethod(e.info->releaseMethod.c_str(), ObjPtr<ObjectArray>());
    } catch (const std::exception& ex) {
        plumelog_write("plumeremoting", 4,
                       "Release method " + e.info->releaseMethod + " of " + e.info->name + " failed: " + ex.what());
    }
}

void Connection::Impl::release(uint64_t id, uint64_t count) {
    Export e;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto it = exports.find(id);
        if (it == exports.end()) throw ProtocolError("release of unknown object " + std::to_string(id));
        if (count > it->second.sent) throw ProtocolError("release of more references than sent");
        it->second.sent -= count;
        if (it->second.sent > 0) return;
        e = std::move(it->second);
        exportIds.erase(e.object.get());
        exports.erase(it);
    }
    releaseExport(e);
}

void Connection::dropImport(InvocationHandler* handler, uint64_t id) {
    impl_->releaseImport(static_cast<RemoteObjectHandler*>(handler), id);
}

void Connection::Impl::releaseImport(RemoteObjectHandler* h, uint64_t id) {
    uint64_t count;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        auto it = imports.find(id);
        if (it != imports.end() && it->second == h) imports.erase(it);
        count = h->received;
        if (!open) return;
    }
    try {
        msgpack::sbuffer buf = newFrameBuffer();
        Packer pk(buf);
        pk.pack_array(3);
        pk.pack_int(FRAME_RELEASE);
        pk.pack_uint64(id);
        pk.pack_uint64(count);
        sendFrame(buf);
    } catch (const std::exception&) {
        // The connection is going away; the peer releases everything then.
    }
}

std::optional<Connection::Impl::Incoming> Connection::Impl::handleFrame(const char* data, size_t len) {
    struct AlwaysReference {
        static bool ref(msgpack::type::object_type, std::size_t, void*) { return true; }
    };
    const RemotingLimits& lim = cfg.limits;
    msgpack::unpack_limit limit(lim.maxFrameBytes, 0, lim.maxFrameBytes, lim.maxFrameBytes, 0, lim.maxDepth + 8);
    std::size_t off = 0;
    msgpack::object_handle oh = msgpack::unpack(data, len, off, &AlwaysReference::ref, nullptr, limit);
    if (off != len) throw ProtocolError("trailing bytes after the message");
    const msgpack::object& f = oh.get();
    if (f.type != msgpack::type::ARRAY || f.via.array.size < 2) throw ProtocolError("message is not an array");
    const msgpack::object* e = f.via.array.ptr;
    uint32_t n = f.via.array.size;
    int64_t kind = asSigned(e[0], "message kind");
    switch (kind) {
        case FRAME_CALL: {
            if (n != 5) throw ProtocolError("malformed call");
            uint64_t callId = asUnsigned(e[1], "call id");
            bool byName = e[2].type == msgpack::type::STR;
            std::string name = byName ? asString(e[2], "target") : std::string();
            uint64_t objectId = byName ? 0 : asUnsigned(e[2], "target");
            std::string method = asString(e[3], "method name");
            ObjPtr<ObjectArray> args;
            if (e[4].type == msgpack::type::ARRAY) {
                const msgpack::object_array& a = e[4].via.array;
                args = ObjectArray::newInstance(a.size);
                for (uint32_t i = 0; i < a.size; ++i) args->set(i, decodeValue(a.ptr[i], 1));
            } else if (e[4].type != msgpack::type::NIL) {
                throw ProtocolError("call arguments are neither an array nor nil");
            }
            return Incoming{callId, byName, std::move(name), objectId, std::move(method), std::move(args)};
        }
        case FRAME_REPLY:
        case FRAME_ERROR: {
            if ((kind == FRAME_REPLY && n != 3) || (kind == FRAME_ERROR && n != 5)) throw ProtocolError("malformed reply");
            uint64_t callId = asUnsigned(e[1], "call id");
            std::shared_ptr<Pending> p;
            {
                std::lock_guard<std::mutex> lock(stateMutex);
                auto it = pending.find(callId);
                if (it == pending.end()) throw ProtocolError("reply to unknown call " + std::to_string(callId));
                p = it->second;
                pending.erase(it);
            }
            ObjPtr<Object> result;
            unsigned category = 0;
            int level = 0;
            ObjPtr<Throwable> t;
            try {
                if (kind == FRAME_REPLY) {
                    result = decodeValue(e[2], 1);
                } else {
                    category = static_cast<unsigned>(asUnsigned(e[2], "error category"));
                    level = static_cast<int>(asSigned(e[3], "error level"));
                    t = objCast<Throwable>(decodeValue(e[4], 1));
                    if (!t) t = makeObj<RemoteError>("The peer reported an error without a throwable.");
                }
            } catch (const ProtocolError& pe) {
                {
                    std::lock_guard<std::mutex> lk(roleMutex);
                    p->fail("Malformed reply from " + self->getPeer() + ": " + pe.what());
                    p->done = true;
                }
                roleCv.notify_all();
                throw;
            }
            {
                std::lock_guard<std::mutex> lk(roleMutex);
                p->result = std::move(result);
                if (t) {
                    p->failure = Pending::REMOTE;
                    p->category = category;
                    p->level = level;
                    p->throwable = std::move(t);
                }
                p->done = true;
            }
            roleCv.notify_all();
            return std::nullopt;
        }
        case FRAME_RELEASE: {
            if (n != 3) throw ProtocolError("malformed release");
            release(asUnsigned(e[1], "object id"), asUnsigned(e[2], "reference count"));
            return std::nullopt;
        }
        default:
            throw ProtocolError("unknown message kind " + std::to_string(kind));
    }
}

// ---------------------------------------------------------------------------
// Reading

// Waits until a frame can be read, a caller asks for the role, or timeoutMs
// (-1: no limit) passes.
Connection::Impl::Readiness Connection::Impl::waitReadable(int timeoutMs) {
    struct pollfd pfd[2];
    pfd[0].fd = fd;
    pfd[0].events = POLLIN;
    pfd[1].fd = wakeFd;
    pfd[1].events = POLLIN;
    for (;;) {
        pfd[0].revents = pfd[1].revents = 0;
        int r = ::poll(pfd, wakeFd >= 0 ? 2 : 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return TIMED_OUT;
        if (r > 0 && (pfd[1].revents & POLLIN)) {
            uint64_t count;
            while (::read(wakeFd, &count, sizeof count) > 0) {
            }
            return WOKEN;
        }
        // Readable, hung up or failed: the read that follows tells which.
        return READABLE;
    }
}

// Reads and handles one frame. A call is handed back in `in` for the caller
// to run or queue. False with the reason when the connection must close.
bool Connection::Impl::readOne(std::vector<char>& buf, std::optional<Incoming>& in, std::string& reason) {
    char head[4];
    if (!readFull(fd, head, 4)) {
        reason = "closed by the peer";
        return false;
    }
    uint32_t len;
    std::memcpy(&len, head, 4);
    len = ntohl(len);
    if (len > cfg.limits.maxFrameBytes) {
        reason = "message of " + std::to_string(len) + " bytes exceeds the limit of " +
                 std::to_string(cfg.limits.maxFrameBytes) + " bytes";
        plumelog_write("plumeremoting", 4, "Closing connection to " + self->getPeer() + ": " + reason + ".");
        return false;
    }
    buf.resize(len);
    if (len > 0 && !readFull(fd, buf.data(), len)) {
        reason = "connection lost in the middle of a message";
        return false;
    }
    self->lastUse_ = getCurrentTimeMillis();
    bool ok = true;
    try {
        in = handleFrame(buf.data(), len);
    } catch (const std::exception& ex) {
        reason = std::string("protocol error: ") + ex.what();
        plumelog_write("plumeremoting", 4, "Closing connection to " + self->getPeer() + ": " + reason + ".");
        ok = false;
    }
    if (buf.capacity() > (1u << 20)) std::vector<char>().swap(buf);
    return ok;
}

void Connection::Impl::submit(Incoming&& in) {
    ObjPtr<Connection> keep(self);
    uint64_t callId = in.callId;
    auto task = [keep, this, in = std::move(in)]() mutable { run(in); };
    try {
        if (!cfg.pool) throw Exception(1, 3, "This side does not accept calls.");
        cfg.pool->execute(std::move(task));
    } catch (const Exception& ex) {
        try {
            sendError(callId, 1, 3, makeObj<RemoteError>(std::string("Call refused: ") + ex.what()));
        } catch (const std::exception& e) {
            plumelog_write("plumeremoting", 4, "Refusal to " + self->getPeer() + " not sent: " + e.what());
        }
    }
}

void Connection::Impl::run(Incoming& in) {
    dispatch(in.callId, in.byName, std::move(in.name), in.objectId, std::move(in.method), std::move(in.args));
}

void Connection::Impl::interruptPollingReaderLocked() {
    if (holder != NOBODY && holder != CALLER && holderPolls && !wakeSent && wakeFd >= 0) {
        wakeSent = true;
        uint64_t one = 1;
        ssize_t w = ::write(wakeFd, &one, sizeof one);
        (void)w;
    }
}

// Starts a stand-in reader on the pool. With mustRunNow it only starts when a
// pool thread can take it at once; otherwise it may also wait in the queue.
bool Connection::Impl::startStandInLocked(bool mustRunNow) {
    if (!cfg.pool || standInActive) return standInActive;
    ObjPtr<Connection> keep(self);
    auto task = [keep, this]() { standInLoop(); };
    try {
        if (cfg.pool->tryExecuteNow(task)) {
            standInActive = true;
        } else if (!mustRunNow) {
            cfg.pool->execute(std::move(task));
            standInActive = true;
        }
    } catch (const std::exception&) {
        // The pool is full or stopped: the own reader reads again when its
        // call is done.
    }
    return standInActive;
}

// After the role was given up or a caller left: wakes the waiting threads and
// makes sure somebody reads when no caller does.
void Connection::Impl::roleChangedLocked() {
    roleCv.notify_all();
    if (!roleOpen || holder != NOBODY || callersWaiting > 0) return;
    if (ownIdle) {
        if (cfg.ownReaderPauseMs <= 0) ownCv.notify_one();
    } else if (ownBusy && !standInActive) {
        startStandInLocked(false);
    }
}

void Connection::Impl::leaveCaller() {
    std::lock_guard<std::mutex> lk(roleMutex);
    --callersWaiting;
    lastCallerLeft = std::chrono::steady_clock::now();
    if (callersWaiting == 0) roleChangedLocked();
}

// Waits for a call's reply, reading frames itself whenever nobody else does.
void Connection::Impl::awaitReply(Pending& p) {
    std::vector<char> buf;
    std::unique_lock<std::mutex> lk(roleMutex);
    while (!p.done) {
        if (holder != NOBODY || !roleOpen) {
            roleCv.wait(lk);
            continue;
        }
        holder = CALLER;
        holderPolls = false;
        lk.unlock();
        std::optional<Incoming> in;
        std::string reason;
        bool ok = readOne(buf, in, reason);
        lk.lock();
        holder = NOBODY;
        roleChangedLocked();
        if (in || !ok) {
            lk.unlock();
            if (in) submit(std::move(*in));
            if (!ok) self->close(reason);
            lk.lock();
        }
    }
}

// Takes the role as a background reader and waits in poll() for a frame.
// False, with the role given up, when a caller asked for the role or the
// time ran out; true, still holding the role, once a frame was read (ok and
// reason as readOne says). Called and returns with lk locked.
bool Connection::Impl::readAsBackground(std::unique_lock<std::mutex>& lk, Holder who, int timeoutMs,
                                        std::vector<char>& buf, std::optional<Incoming>& in, bool& ok,
                                        std::string& reason) {
    holder = who;
    holderPolls = true;
    lk.unlock();
    Readiness r = waitReadable(timeoutMs);
    lk.lock();
    holderPolls = false;
    if (r != READABLE) {
        if (r == WOKEN) wakeSent = false;
        holder = NOBODY;
        roleChangedLocked();
        return false;
    }
    lk.unlock();
    ok = readOne(buf, in, reason);
    lk.lock();
    return true;
}

// The connection's own reader. It reads whenever no caller wants to. A call
// it reads runs on this thread while a stand-in from the pool reads on, when
// the pool has a thread free at once, and goes to the pool otherwise.
void Connection::Impl::ownReaderLoop() {
    std::vector<char> buf;
    std::unique_lock<std::mutex> lk(roleMutex);
    const auto pause = std::chrono::milliseconds(cfg.ownReaderPauseMs);
    for (;;) {
        ownIdle = true;
        while (roleOpen) {
            if (holder == NOBODY && callersWaiting == 0 &&
                (pause.count() <= 0 || std::chrono::steady_clock::now() - lastCallerLeft >= pause))
                break;
            if (pause.count() <= 0)
                ownCv.wait(lk);
            else
                ownCv.wait_for(lk, pause);
        }
        ownIdle = false;
        if (!roleOpen) break;
        std::optional<Incoming> in;
        std::string reason;
        bool ok;
        if (!readAsBackground(lk, OWN_READER, -1, buf, in, ok, reason)) continue;
        bool runHere = in && ok && startStandInLocked(true);
        ownBusy = runHere;
        holder = NOBODY;
        roleChangedLocked();
        lk.unlock();
        if (in) {
            if (runHere)
                run(*in);
            else
                submit(std::move(*in));
        }
        if (!ok) self->close(reason);
        lk.lock();
        if (ownBusy) {
            ownBusy = false;
            roleCv.notify_all();  // a stand-in waiting for the role ends
        }
    }
    while (holder != NOBODY) roleCv.wait(lk);
    lk.unlock();
    {
        std::lock_guard<std::mutex> lock(writeMutex);
        ::close(fd);
        fd = -1;
    }
    std::lock_guard<std::mutex> lock(readerMutex);
    readerDone = true;
    readerCv.notify_all();
}

// A pool thread reading in place of the own reader while that runs a call.
// A call it reads runs here while the own reader, when idle again, or a new
// stand-in reads on. Once the own reader's call is done it ends with the
// next frame, the next caller or a short quiet time, whichever comes first,
// so that an idle connection does not keep a pool thread.
void Connection::Impl::standInLoop() {
    static constexpr int kQuietMs = 50;
    std::vector<char> buf;
    std::unique_lock<std::mutex> lk(roleMutex);
    for (;;) {
        while (roleOpen && ownBusy && (holder != NOBODY || callersWaiting > 0)) roleCv.wait(lk);
        if (!roleOpen || !ownBusy) break;
        std::optional<Incoming> in;
        std::string reason;
        bool ok;
        if (!readAsBackground(lk, STAND_IN, kQuietMs, buf, in, ok, reason)) continue;
        if (in && ok) {
            // Hand the reading on and run the call here.
            standInActive = false;
            bool handedOn = ownIdle || startStandInLocked(true);
            if (handedOn) {
                holder = NOBODY;
                roleChangedLocked();
                lk.unlock();
                run(*in);
                return;
            }
            standInActive = true;
        }
        holder = NOBODY;
        roleChangedLocked();
        lk.unlock();
        if (in) submit(std::move(*in));
        if (!ok) self->close(reason);
        lk.lock();
    }
    standInActive = false;
    roleChangedLocked();
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(int fd, std::string peer, Config config)
    : impl_(std::make_unique<Impl>(this, fd, std::move(config))), peer_(std::move(peer)) {
    lastUse_ = getCurrentTimeMillis();
}

Connection::~Connection() = default;

ObjPtr<Connection> Connection::start(int fd, const std::string& peer, Config config) {
    tuneSocket(fd);
    ObjPtr<Connection> c = makeObj<Connection>(fd, peer, std::move(config));
    ObjPtr<Connection> keep = c;
    // The reader records its own id before it reads anything, so that a close
    // from inside the reader (a protocol error on the first frame) knows not
    // to wait for itself.
    std::thread t([keep]() {
        blockTerminationSignals();
        {
            std::lock_guard<std::mutex> lock(keep->impl_->readerMutex);
            keep->impl_->readerId = std::this_thread::get_id();
            keep->impl_->readerStarted = true;
        }
        keep->impl_->readerCv.notify_all();
        keep->impl_->ownReaderLoop();
    });
    t.detach();
    return c;
}

ObjPtr<Object> Connection::callNamed(const std::string& name, const std::string& method,
                                     const ObjPtr<ObjectArray>& args) {
    return impl_->call([&](Packer& pk) { packString(pk, name); }, method, args);
}

ObjPtr<Object> Connection::callRemote(uint64_t id, const std::string& method, const ObjPtr<ObjectArray>& args) {
    return impl_->call([&](Packer& pk) { pk.pack_uint64(id); }, method, args);
}

void Connection::close(const std::string& reason) {
    std::unordered_map<uint64_t, std::shared_ptr<Impl::Pending>> pending;
    std::unordered_map<uint64_t, Impl::Export> exports;
    {
        std::lock_guard<std::mutex> lock(impl_->stateMutex);
        if (impl_->open) {
            impl_->open = false;
            impl_->closeReason = reason;
            pending.swap(impl_->pending);
            exports.swap(impl_->exports);
            impl_->exportIds.clear();
        }
    }
    {
        std::lock_guard<std::mutex> lock(impl_->writeMutex);
        if (impl_->fd >= 0) ::shutdown(impl_->fd, SHUT_RDWR);
    }
    {
        std::lock_guard<std::mutex> lk(impl_->roleMutex);
        impl_->roleOpen = false;
        for (auto& [id, p] : pending) {
            p->fail("Connection to " + peer_ + " lost during the call: " + reason + ".");
            p->done = true;
        }
    }
    impl_->roleCv.notify_all();
    impl_->ownCv.notify_all();
    for (auto& [id, e] : exports) impl_->releaseExport(e);
    exports.clear();
    std::unique_lock<std::mutex> lock(impl_->readerMutex);
    impl_->readerCv.wait(lock, [&] { return impl_->readerStarted; });
    if (std::this_thread::get_id() != impl_->readerId) impl_->readerCv.wait(lock, [&] { return impl_->readerDone; });
}

bool Connection::isOpen() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->open;
}

size_t Connection::getOutstandingCalls() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->pending.size();
}

size_t Connection::getImportCount() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->imports.size();
}

size_t Connection::getExportCount() const {
    std::lock_guard<std::mutex> lock(impl_->stateMutex);
    return impl_->exports.size();
}

Connection* Connection::current() { return t_currentConnection; }

}  // namespace Plume

