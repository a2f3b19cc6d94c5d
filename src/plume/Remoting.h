// Remote calls between processes.
//
// One TCP connection carries calls in both directions, many outstanding at
// once, replies matched by call id (the wire format is in docs/protocol.md).
// An object crosses by value when its wire type is registered in the
// SerializableFactory, by reference when it implements an interface registered
// in an InterfaceRegistry: the receiver then gets a proxy whose calls travel
// back to the exporting side. When the last reference to a proxy goes, the
// importer tells the exporter, which calls the interface's release method (if
// one is registered) and drops its object; a dropped connection releases every
// object exported on it the same way.
//
// Failures: a call whose peer raised an error throws ThrowableException with
// the peer's Throwable; a call that cannot be made or whose connection is lost
// throws RemotingException. A malformed frame, an oversized frame, an unknown
// type or UID, or excessive nesting closes that connection only.
//
// Thread-safety: every class here is safe to use from several threads.
#pragma once

#include "Boxes.h"
#include "Exception.h"
#include "Serializable.h"
#include "Thread.h"
#include "UniqueFd.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace Plume {

// Carries a named invocation somewhere: to a local target or over a connection.
class InvocationHandler : public virtual Object {
public:
    virtual ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) = 0;
};

// Server-side dispatch of named invocations onto a local implementation.
class ReflectionTarget : public virtual Object {
public:
    virtual const char* getInterfaceName() const = 0;
    virtual ObjPtr<Object> invokeMethod(const char* method, const ObjPtr<ObjectArray>& args) = 0;
    virtual const char* const* getMethodNames(size_t* count) const = 0;
    virtual const char* const* getArgumentTypes(const char* method, size_t* count) const = 0;
    virtual const char* getReturnType(const char* method) const = 0;
};

// Implemented by generated proxies so the framework can recognise them.
class ReflectionProxy : public virtual Object {
public:
    virtual const ObjPtr<InvocationHandler>& getInvocationHandler() const = 0;
};

// An invocation handler over a local reflection target.
class TargetInvocationHandler : public InvocationHandler {
public:
    explicit TargetInvocationHandler(ObjPtr<ReflectionTarget> target) : target_(std::move(target)) {}
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        return target_->invokeMethod(method.c_str(), args);
    }
    const ObjPtr<ReflectionTarget>& getTarget() const { return target_; }

private:
    ObjPtr<ReflectionTarget> target_;
};

struct InterfaceInfo {
    std::string name;
    std::function<ObjPtr<Object>(const ObjPtr<InvocationHandler>&)> proxyCreator;
    std::function<ObjPtr<ReflectionTarget>(const ObjPtr<Object>&)> targetCreator;
    std::function<bool(const Object*)> isInstance;
    std::string releaseMethod;  // empty: none
};

// The interfaces whose implementations cross by reference.
class InterfaceRegistry : public virtual Object {
public:
    // A second registration of the same name replaces the first (so the
    // release method can be added by registering again).
    void registerInterface(const std::string& name,
                           std::function<ObjPtr<Object>(const ObjPtr<InvocationHandler>&)> proxyCreator,
                           std::function<ObjPtr<ReflectionTarget>(const ObjPtr<Object>&)> targetCreator,
                           std::function<bool(const Object*)> isInstance, const std::string& releaseMethod = "");
    std::shared_ptr<const InterfaceInfo> find(const std::string& name) const;
    // The first registered interface that o implements, or null.
    std::shared_ptr<const InterfaceInfo> findFor(const Object* o) const;

private:
    mutable Mutex mutex_;
    std::vector<std::shared_ptr<const InterfaceInfo>> list_;
};

// The server side's registry, which also turns a reflection target into a
// handler for binding.
class BeanInvocationHandlerFactory : public InterfaceRegistry {
public:
    static ObjPtr<BeanInvocationHandlerFactory> newInstance() { return makeObj<BeanInvocationHandlerFactory>(); }
    ObjPtr<InvocationHandler> newHandler(const ObjPtr<ReflectionTarget>& target) {
        return makeObj<TargetInvocationHandler>(target);
    }
};

// A local failure of the remoting layer (connection lost, cannot connect,
// protocol violation, value that cannot be sent).
class RemotingException : public Exception {
public:
    explicit RemotingException(const std::string& message) : Exception(frameworkLogService(), 1, 3, message) {}
};

struct RemotingLimits {
    uint32_t maxFrameBytes = 64u << 20;
    uint32_t maxDepth = 32;
};

class Connection;

// Settings and bindings shared by the connections of one server.
class RemotingConnectionHandlerFactory : public virtual Object {
public:
    static ObjPtr<RemotingConnectionHandlerFactory> newInstance(const ObjPtr<SerializableFactory>& factory) {
        return makeObj<RemotingConnectionHandlerFactory>(factory);
    }
    explicit RemotingConnectionHandlerFactory(ObjPtr<SerializableFactory> factory) : factory_(std::move(factory)) {}

    void setInterfaces(const ObjPtr<InterfaceRegistry>& interfaces) { interfaces_ = interfaces; }
    void bind(const std::string& name, const ObjPtr<InvocationHandler>& handler);
    ObjPtr<InvocationHandler> lookup(const std::string& name) const;
    void setLimits(const RemotingLimits& l) { limits_ = l; }

    const ObjPtr<SerializableFactory>& getSerializableFactory() const { return factory_; }
    const ObjPtr<InterfaceRegistry>& getInterfaces() const { return interfaces_; }
    const RemotingLimits& getLimits() const { return limits_; }

    // The framework's own handlers: "sessionContext" answers "getPeerAddress"
    // (the caller's address) and "ping", both without arguments (a null or
    // empty array); "return" answers "echo" with its one argument (a value
    // round trip). Another argument count fails the call with "Invalid number
    // of arguments specified in call to sessionContext::ping" (and likewise
    // for the other methods).
    static ObjPtr<InvocationHandler> newSessionContextHandler();
    static ObjPtr<InvocationHandler> newReturnHandler();

private:
    ObjPtr<SerializableFactory> factory_;
    ObjPtr<InterfaceRegistry> interfaces_;
    RemotingLimits limits_;
    mutable Mutex mutex_;
    std::map<std::string, ObjPtr<InvocationHandler>> bindings_;
};

namespace Sock {

// A TCP address: "host:port", "[v6]:port" or "host" with a default port.
class Address : public virtual Object {
public:
    // Throws Plume::Exception naming the text when it cannot be resolved.
    static ObjPtr<Address> newInstance(const std::string& text);
    static ObjPtr<Address> resolve(const std::string& host, int defaultPort);
    const std::string& getHost() const { return host_; }
    int getPort() const { return port_; }
    std::string toString() const override;
    Address(std::string host, int port) : host_(std::move(host)), port_(port) {}

private:
    std::string host_;
    int port_;
};

// A listening TCP socket.
class Device : public virtual Object {
public:
    static ObjPtr<Device> newInstance(const ObjPtr<Address>& address) { return makeObj<Device>(address); }
    explicit Device(ObjPtr<Address> address) : address_(std::move(address)) {}
    // Throws CException naming the address on failure. The socket is
    // close-on-exec.
    void bind();
    void listen(int backlog);
    int getFd() const { return fd_.get(); }
    // The bound port (useful after binding port 0).
    int getBoundPort() const;
    const ObjPtr<Address>& getAddress() const { return address_; }

private:
    ObjPtr<Address> address_;
    UniqueFd fd_;
};

// Opens client connections.
class DeviceFactory : public virtual Object {
public:
    static ObjPtr<DeviceFactory> newInstance() { return makeObj<DeviceFactory>(); }
    // A connected socket (close-on-exec) that the caller owns, or throws
    // RemotingException naming the address.
    virtual int connect(const Address& address, long timeoutMs);
};

// Accepts connections on its devices and serves them with the handler
// factory; incoming calls run on the thread pool. Runs as a Thread's runnable;
// Thread::kill (any signal number) makes run() close every connection and return.
// A connection that cannot start is refused (logged); the server goes on.
class Server : public Runnable {
public:
    static ObjPtr<Server> newInstance(const ObjPtr<RemotingConnectionHandlerFactory>& handlers,
                                      const ObjPtr<ThreadPool>& pool) {
        return makeObj<Server>(handlers, pool);
    }
    // Throws CException when the descriptor that wakes run() cannot be made.
    Server(ObjPtr<RemotingConnectionHandlerFactory> handlers, ObjPtr<ThreadPool> pool);
    void addDevice(const ObjPtr<Device>& device);
    void run() override;
    void onSignal(int sig) override;
    size_t getConnectionCount() const;

private:
    ObjPtr<RemotingConnectionHandlerFactory> handlers_;
    ObjPtr<ThreadPool> pool_;
    std::vector<ObjPtr<Device>> devices_;
    UniqueFd wakeFd_;  // eventfd: onSignal wakes run()
    std::atomic<bool> stop_{false};
    mutable Mutex mutex_;
    std::vector<ObjPtr<Connection>> connections_;
};

}  // namespace Sock

// One TCP connection in either role. Frames are read by one thread at a
// time: a caller waiting for its reply reads them itself, otherwise the
// connection's own reader does. A call the own reader reads runs on that
// thread while a pool thread reads on in its place (when the pool has one
// free at once; else the call is queued on the pool), so a call costs one
// thread wake-up on each side. A call a waiting caller reads goes to the
// pool, or, where Config::runCallsInWaitingCaller says so and no other
// caller waits, runs on the caller's thread. Pool threads reading for a connection return
// to the pool within a short quiet time once the own reader is free.
// Every descriptor a connection makes is close-on-exec. A connection holds
// none of its locks while it calls out (handlers, targets, release methods,
// proxy creators), so those may call it again.
class Connection : public virtual Object {
public:
    struct Config {
        ObjPtr<SerializableFactory> factory;
        ObjPtr<InterfaceRegistry> interfaces;
        ObjPtr<RemotingConnectionHandlerFactory> bindings;  // server side; may be null
        ObjPtr<ThreadPool> pool;                            // runs incoming calls
        RemotingLimits limits;
        // How long the connection's own reader leaves the socket to callers
        // after the last one finished (0: it reads again at once). Clients
        // set it so that back-to-back calls read their replies themselves
        // without waking the own reader for every call.
        long ownReaderPauseMs = 0;
        // A call from the peer that the only caller waiting on this
        // connection reads while it waits for its reply runs on that
        // caller's thread instead of going to the pool: the peer's calls
        // back during a call (a client's stream read by the server) then
        // cost no hand-over. Only for connections whose incoming calls are
        // such calls back and return quickly (clients); a server's incoming
        // calls are requests and always run on the pool.
        bool runCallsInWaitingCaller = false;
    };
    // Takes ownership of the connected socket fd and starts reading. Throws
    // RemotingException naming the peer and the reason when the connection
    // cannot start (no eventfd for its wake-ups, no reader thread); the
    // socket is closed then.
    static ObjPtr<Connection> start(UniqueFd fd, const std::string& peer, Config config);
    static ObjPtr<Connection> start(int fd, const std::string& peer, Config config);
    ~Connection() override;

    // Calls a method of an object bound by name on the peer.
    ObjPtr<Object> callNamed(const std::string& name, const std::string& method, const ObjPtr<ObjectArray>& args);
    // Calls a method of an object the peer exported to us.
    ObjPtr<Object> callRemote(uint64_t id, const std::string& method, const ObjPtr<ObjectArray>& args);
    // What one call came to: returns its result or throws what callRemote
    // would have thrown, in the thread that runs it.
    using CallOutcome = std::function<ObjPtr<Object>()>;
    // Calls argument-less methods of object id, which the peer exported to
    // us, all at once: the calls are written together, in this order, and
    // then all their replies are awaited (they may come in any order). One
    // round trip instead of one for each call. Throws RemotingException when
    // the calls cannot be sent; a call that fails remotely or is lost shows
    // in its outcome.
    std::vector<CallOutcome> callRemoteAll(uint64_t id, const std::vector<std::string>& methods);

    // Closes the socket, fails outstanding calls and releases exported objects.
    // Waits for the reading thread unless called from it.
    void close(const std::string& reason);
    bool isOpen() const;
    size_t getOutstandingCalls() const;
    size_t getExportCount() const;
    // Proxies of the peer's objects alive on this side.
    size_t getImportCount() const;
    const std::string& getPeer() const { return peer_; }
    int64_t getLastUse() const { return lastUse_.load(); }

    // The connection whose incoming call the current thread is running, or null.
    static Connection* current();

    // Internal: the last reference to a proxy's handler of object id is gone.
    void dropImport(InvocationHandler* handler, uint64_t id);

    // Use start() (which also starts the reader); throws as start() does.
    Connection(UniqueFd fd, std::string peer, Config config);
    Connection(int fd, std::string peer, Config config);

    struct Impl;

private:
    friend struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string peer_;
    std::atomic<int64_t> lastUse_{0};
};

// Argument-less calls on an object of the peer, sent ahead together so that
// the calls of them that follow need no round trip each: a reader of a
// remote stream's properties asks for all of them in one exchange. The
// calls go out at construction, in the order given; each outcome is then
// kept, on the proxy, for the next call of the same method there (taken in
// order: a call of another method drops what is left), and what has not been
// taken when this object goes is dropped with it, so nothing is served from
// an earlier question. The calls that are taken thus reach the peer once
// each and in their order; only the waiting for the replies is shared. A
// call sent ahead runs on the peer whether or not it is taken (one dropped
// is sent again when called), so send ahead only calls without side
// effects, such as the getters of a stream's properties. The peer may run
// calls that arrive together at once, in any order.
//
// A local object, or a proxy whose calls do not go over a Connection, is left
// alone: its methods run when they are called. Construction does not throw:
// when the calls cannot be sent, none is kept and the calls that follow go
// out (and fail) as usual. Use on one thread; the proxy may be shared.
class CallsAhead {
public:
    CallsAhead(const ObjPtr<Object>& object, std::initializer_list<const char*> methods);
    ~CallsAhead();
    CallsAhead(const CallsAhead&) = delete;
    CallsAhead& operator=(const CallsAhead&) = delete;

private:
    ObjPtr<InvocationHandler> handler_;  // the proxy's handler, when calls were sent
    uint64_t batch_ = 0;
};

// Client connections to one server address; up to max connections are opened
// as calls overlap. Connections beyond min that carry no call, no proxy and
// no exported object close once idle for idleMs (checked when a connection
// is acquired).
class RemotingClientPool : public virtual Object {
public:
    static ObjPtr<RemotingClientPool> newInstance(unsigned minConnections, unsigned maxConnections, long idleMs,
                                                  long connectTimeoutMs, const std::string& url,
                                                  const ObjPtr<Sock::DeviceFactory>& devices,
                                                  const ObjPtr<SerializableFactory>& factory);
    RemotingClientPool(unsigned minConnections, unsigned maxConnections, long idleMs, long connectTimeoutMs,
                       ObjPtr<Sock::Address> address, ObjPtr<Sock::DeviceFactory> devices,
                       ObjPtr<SerializableFactory> factory);
    ~RemotingClientPool() override;

    void setInterfaces(const ObjPtr<InterfaceRegistry>& interfaces) { interfaces_ = interfaces; }
    void setLimits(const RemotingLimits& l) { limits_ = l; }
    // A connection for the next call (opens one when needed); throws RemotingException.
    ObjPtr<Connection> acquire();
    // Closes every connection.
    void shutdown();
    size_t getConnectionCount() const;

private:
    unsigned min_, max_;
    long idleMs_, connectTimeoutMs_;
    ObjPtr<Sock::Address> address_;
    ObjPtr<Sock::DeviceFactory> devices_;
    ObjPtr<SerializableFactory> factory_;
    ObjPtr<InterfaceRegistry> interfaces_;
    ObjPtr<ThreadPool> callbacks_;
    RemotingLimits limits_;
    mutable Mutex mutex_;
    std::vector<ObjPtr<Connection>> connections_;
};

// Imports objects bound on the server as local proxies. Its interface registry
// is shared with the pool's connections (kept as a separate object, so that
// the pool and the importer do not hold each other).
class BeanImporter : public virtual Object {
public:
    static ObjPtr<BeanImporter> newInstance(const ObjPtr<RemotingClientPool>& pool);
    explicit BeanImporter(ObjPtr<RemotingClientPool> pool);
    InterfaceRegistry& getRegistry() { return *registry_; }
    void registerInterface(const std::string& name,
                           std::function<ObjPtr<Object>(const ObjPtr<InvocationHandler>&)> proxyCreator,
                           std::function<ObjPtr<ReflectionTarget>(const ObjPtr<Object>&)> targetCreator,
                           std::function<bool(const Object*)> isInstance, const std::string& releaseMethod = "") {
        registry_->registerInterface(name, std::move(proxyCreator), std::move(targetCreator), std::move(isInstance),
                                     releaseMethod);
    }
    // A proxy of the registered interface whose calls go to the object bound
    // under name on the server. Throws RemotingException for an unknown interface.
    ObjPtr<Object> importObject(const std::string& name, const std::string& interfaceName);
    const ObjPtr<RemotingClientPool>& getPool() const { return pool_; }

private:
    ObjPtr<RemotingClientPool> pool_;
    ObjPtr<InterfaceRegistry> registry_;
};

}  // namespace Plume
