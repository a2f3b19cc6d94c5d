// A loopback server and client in one process, with a small test interface
// (ICounter) that crosses by reference.
#pragma once

#include "plume/Remoting.h"
#include "plume/System.h"

#include <atomic>
#include <cstring>
#include <string>

namespace plumetest {

using namespace Plume;

// A test interface: "next" returns increasing integers, "add" adds its
// argument, "close" is the release method.
class ICounter : public virtual Object {
public:
    virtual int next() = 0;
    virtual int add(int v) = 0;
    virtual void close() = 0;
    static bool isInstance(const Object* o) { return dynamic_cast<const ICounter*>(o) != nullptr; }
};

class CounterProxy : public ICounter, public ReflectionProxy {
public:
    explicit CounterProxy(ObjPtr<InvocationHandler> h) : h_(std::move(h)) {}
    int next() override { return Integer::toInteger(h_->invoke("next", nullptr)); }
    int add(int v) override {
        auto args = ObjectArray::newInstance(1);
        args->set(0, Integer::newInstance(v));
        return Integer::toInteger(h_->invoke("add", args));
    }
    void close() override { h_->invoke("close", nullptr); }
    const ObjPtr<InvocationHandler>& getInvocationHandler() const override { return h_; }

private:
    ObjPtr<InvocationHandler> h_;
};

class CounterTarget : public ReflectionTarget {
public:
    explicit CounterTarget(ObjPtr<ICounter> impl) : impl_(std::move(impl)) {}
    const char* getInterfaceName() const override { return "test.ICounter"; }
    ObjPtr<Object> invokeMethod(const char* m, const ObjPtr<ObjectArray>& args) override {
        if (!std::strcmp(m, "next")) return Integer::newInstance(impl_->next());
        if (!std::strcmp(m, "add")) return Integer::newInstance(impl_->add(Integer::toInteger(args->get(0))));
        if (!std::strcmp(m, "close")) {
            impl_->close();
            return nullptr;
        }
        throw Exception(16, 3, "Invalid method %s specified in call to interface ICounter.", m);
    }
    const char* const* getMethodNames(size_t* n) const override {
        static const char* const names[] = {"add", "close", "next"};
        *n = 3;
        return names;
    }
    const char* const* getArgumentTypes(const char*, size_t* n) const override {
        *n = 0;
        return nullptr;
    }
    const char* getReturnType(const char*) const override { return "int"; }

private:
    ObjPtr<ICounter> impl_;
};

class Counter : public ICounter {
public:
    std::atomic<int> value{0};
    std::atomic<int>* closes = nullptr;
    std::atomic<int>* destroyed = nullptr;
    ~Counter() override {
        if (destroyed) ++*destroyed;
    }
    int next() override { return ++value; }
    int add(int v) override { return value += v; }
    void close() override {
        if (closes) ++*closes;
    }
};

inline void registerCounter(InterfaceRegistry& reg) {
    reg.registerInterface(
        "test.ICounter", [](const ObjPtr<InvocationHandler>& h) { return ObjPtr<Object>(makeObj<CounterProxy>(h)); },
        [](const ObjPtr<Object>& o) { return ObjPtr<ReflectionTarget>(makeObj<CounterTarget>(objCast<ICounter>(o))); },
        &ICounter::isInstance, "close");
}

// A test value type with a few fields of every kind.
class Sample : public Serializable {
public:
    int32_t i = 0;
    int64_t l = 0;
    double d = 0;
    bool b = false;
    ObjPtr<Object> o;
    static constexpr int64_t kUid = 0x1234567890ABCDEFLL;
    const char* getSerialID() const override { return "test.Sample"; }
    int64_t getSerialVersionUID() const override { return kUid; }
    void writeFields(Serializer& out) const override {
        out.writeInt(i);
        out.writeLong(l);
        out.writeDouble(d);
        out.writeBoolean(b);
        out.writeObject(o);
    }
    void readFields(Serializer& in, int64_t) override {
        i = in.readInt();
        l = in.readLong();
        d = in.readDouble();
        b = in.readBoolean();
        o = in.readObject();
    }
};

// Serves "counterFactory": "make" returns a new Counter by reference, "read"
// calls next() n times on a counter the client passed, "keep" stores an
// object that "getKept" returns, "fail" throws.
class ServiceHandler : public InvocationHandler {
public:
    std::atomic<int> closes{0};
    std::atomic<int> destroyed{0};
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        if (method == "make") {
            auto c = makeObj<Counter>();
            c->closes = &closes;
            c->destroyed = &destroyed;
            return c;
        }
        if (method == "read") {
            auto c = objCast<ICounter>(args->get(0));
            int n = Integer::toInteger(args->get(1));
            int last = 0;
            for (int k = 0; k < n; ++k) last = c->next();
            return Integer::newInstance(last);
        }
        if (method == "keep") {
            kept = args->get(0);
            return nullptr;
        }
        if (method == "getKept") return kept;
        if (method == "fail") throw ThrowableException(16, 3, makeObj<JavaException>("it failed"));
        if (method == "failLocal") throw Exception(16, 4, "local failure %d", 7);
        if (method == "sleep") {
            Thread::msleep(Integer::toInteger(args->get(0)));
            return nullptr;
        }
        throw Exception(16, 3, "unknown method %s", method.c_str());
    }
    ObjPtr<Object> kept;
};

struct LoopbackServer {
    ObjPtr<SerializableFactory> factory = SerializableFactory::newInstance();
    ObjPtr<BeanInvocationHandlerFactory> beans = BeanInvocationHandlerFactory::newInstance();
    ObjPtr<RemotingConnectionHandlerFactory> handlers;
    ObjPtr<ThreadPool> pool;
    ObjPtr<Sock::Device> device;
    ObjPtr<Sock::Server> server;
    ObjPtr<Thread> thread;
    ObjPtr<ServiceHandler> service = makeObj<ServiceHandler>();
    int port = 0;

    explicit LoopbackServer(RemotingLimits limits = RemotingLimits(), unsigned maxThreads = 10)
        : pool(ThreadPool::newInstance(2, maxThreads, 0, 30000)) {
        factory->registerType("test.Sample", Sample::kUid, {42}, [] { return ObjPtr<Serializable>(makeObj<Sample>()); });
        factory->registerArrayType("test.Sample");
        registerCounter(*beans);
        handlers = RemotingConnectionHandlerFactory::newInstance(factory);
        handlers->setInterfaces(beans);
        handlers->setLimits(limits);
        handlers->bind("service", service);
        handlers->bind("sessionContext", RemotingConnectionHandlerFactory::newSessionContextHandler());
        handlers->bind("return", RemotingConnectionHandlerFactory::newReturnHandler());
        device = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
        device->bind();
        device->listen(16);
        port = device->getBoundPort();
        server = Sock::Server::newInstance(handlers, pool);
        server->addDevice(device);
        thread = Thread::newInstance(server);
        pool->start();
        thread->start();
    }
    ~LoopbackServer() {
        thread->kill(15);
        thread->join();
        pool->stop();
    }
    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port); }
};

struct LoopbackClient {
    ObjPtr<SerializableFactory> factory = SerializableFactory::newInstance();
    ObjPtr<RemotingClientPool> pool;
    ObjPtr<BeanImporter> importer;
    explicit LoopbackClient(const std::string& url) {
        factory->registerType("test.Sample", Sample::kUid, {}, [] { return ObjPtr<Serializable>(makeObj<Sample>()); });
        factory->registerArrayType("test.Sample");
        pool = RemotingClientPool::newInstance(1, 4, 60000, 3000, url, Sock::DeviceFactory::newInstance(), factory);
        importer = BeanImporter::newInstance(pool);
        registerCounter(importer->getRegistry());
    }
    ~LoopbackClient() { pool->shutdown(); }
    ObjPtr<Object> call(const std::string& name, const std::string& method, std::initializer_list<ObjPtr<Object>> args) {
        auto a = ObjectArray::newInstance(args.size());
        size_t i = 0;
        for (auto& x : args) a->set(i++, x);
        return pool->acquire()->callNamed(name, method, a);
    }
};

}  // namespace plumetest
