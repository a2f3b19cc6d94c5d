// Feeds arbitrary bytes to a connection as if a peer had sent them. The
// connection must survive anything: close itself on garbage, never crash,
// never leak. Built with libFuzzer (XAD_FUZZ) or as a corpus replayer.

#include "plume/Remoting.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

using namespace Plume;

namespace {
struct Env {
    ObjPtr<SerializableFactory> factory = SerializableFactory::newInstance();
    ObjPtr<RemotingConnectionHandlerFactory> handlers = RemotingConnectionHandlerFactory::newInstance(factory);
    ObjPtr<ThreadPool> pool = ThreadPool::newInstance(1, 2, 0, 1000);
    Env() {
        factory->registerArrayType("java.lang.String");
        handlers->bind("return", RemotingConnectionHandlerFactory::newReturnHandler());
        handlers->bind("sessionContext", RemotingConnectionHandlerFactory::newSessionContextHandler());
        handlers->setInterfaces(makeObj<InterfaceRegistry>());
        pool->start();
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Env* env = new Env();
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    Connection::Config cfg;
    cfg.factory = env->factory;
    cfg.interfaces = env->handlers->getInterfaces();
    cfg.bindings = env->handlers;
    cfg.pool = env->pool;
    cfg.limits.maxFrameBytes = 1 << 20;
    ObjPtr<Connection> c = Connection::start(sv[0], "fuzz", cfg);
    size_t off = 0;
    while (off < size) {
        ssize_t w = ::send(sv[1], data + off, size - off, MSG_NOSIGNAL);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    ::shutdown(sv[1], SHUT_WR);
    // Drain whatever the connection answers until it closes.
    char buf[4096];
    while (::recv(sv[1], buf, sizeof buf, 0) > 0) {
    }
    c->close("fuzz input done");
    ::close(sv[1]);
    return 0;
}

#include "replay_main.h"
