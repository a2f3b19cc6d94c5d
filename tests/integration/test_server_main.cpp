// xadra-test-server: a renderer server for tests of the remote interface, and
// the loopback demonstration.
//
//   xadra-test-server serve DIR             serve on a free loopback port; prints "PORT n"
//   xadra-test-server client-sleep PORT MS  call with a sleeping request (to be killed)
//   xadra-test-server demo                  start a server child and run the demonstration

#include "TestRenderer.h"

#include "plume/Remoting.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/RendererClient.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace {

int serve(const std::string& scratch) {
    installSignalHandlers();
    auto factory = SerializableFactory::newInstance();
    registerTypes(*factory);
    auto beans = BeanInvocationHandlerFactory::newInstance();
    registerInterfaces(*beans);
    auto handlers = RemotingConnectionHandlerFactory::newInstance(factory);
    handlers->setInterfaces(beans);
    auto renderer = makeObj<xadtest::TestRenderer>(scratch);
    handlers->bind("hpgsRenderer", beans->newHandler(IHPGLRenderer__reflection_target::create(renderer)));
    handlers->bind("sessionContext", RemotingConnectionHandlerFactory::newSessionContextHandler());
    handlers->bind("return", RemotingConnectionHandlerFactory::newReturnHandler());
    auto device = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
    device->bind();
    device->listen(16);
    auto pool = ThreadPool::newInstance(2, 10, 0, 30000);
    auto server = Sock::Server::newInstance(handlers, pool);
    server->addDevice(device);
    auto thread = Thread::newInstance(server);
    pool->start();
    thread->start();
    std::printf("PORT %d\n", device->getBoundPort());
    std::fflush(stdout);
    while (!getHupSignalCatched()) {
        try {
            Thread::msleep(50);
        } catch (const CException&) {
        }
    }
    thread->kill(15);
    thread->join();
    pool->stop();
    return 0;
}

struct Client {
    RendererClient renderer;
    explicit Client(int port) : renderer("tcp://127.0.0.1:" + std::to_string(port)) {}
};

int clientSleep(int port, int ms) {
    Client c(port);
    c.renderer->renderPngByResolution(nullptr, 72, true, 0, String::newInstance("sleep:" + std::to_string(ms)), nullptr);
    return 0;
}

// Starts "serve" as a child; returns its pid and port.
pid_t startServer(const char* self, const std::string& scratch, int& port) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execl(self, self, "serve", scratch.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    FILE* f = fdopen(fds[0], "r");
    port = -1;
    if (std::fscanf(f, "PORT %d", &port) != 1) port = -1;
    std::fclose(f);
    return pid;
}

int demo(const char* self) {
    char dir[] = "/tmp/xadra-demo-XXXXXX";
    if (!mkdtemp(dir)) return 1;
    int port;
    pid_t pid = startServer(self, dir, port);
    if (pid < 0 || port < 0) {
        std::fprintf(stderr, "demo: the server did not start\n");
        return 1;
    }
    std::printf("server process %d listening on 127.0.0.1:%d\n", static_cast<int>(pid), port);
    int status = 1;
    try {
        std::string input = std::string(dir) + "/input.bin";
        std::string data(10 * 1024 * 1024, '\0');
        std::mt19937 rng(7);
        for (auto& ch : data) ch = static_cast<char>(rng());
        std::ofstream(input, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
        Client c(port);
        auto in = preview::FileMimeInputStream::newInstance("demo-input", "input.bin", input, "image/hpgl");
        auto t0 = std::chrono::steady_clock::now();
        auto result = c.renderer->renderPngByResolution(in, 150, true, 0, nullptr, nullptr);
        int calls = 0;
        std::string back = xadtest::readAll(*result, 65536, &calls);
        result->close();
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        std::printf("10 MiB passed by reference, read back by the server and returned as a stream: %s "
                    "(%zu bytes, %d result blocks, %.1f ms)\n",
                    back == data ? "intact" : "CORRUPTED", back.size(), calls, ms);
        std::printf("load factor through the proxy: %d\n", c.renderer->getLoadFactor());
        try {
            c.renderer->renderPngByResolution(nullptr, 72, true, 0, String::newInstance("throw:Timeout"), nullptr);
        } catch (const ThrowableException& e) {
            auto t = objCast<Timeout>(e.getThrowable());
            std::printf("remote exception: %s (timeout field %d)\n", e.what(), t ? t->getTimeout() : -1);
        }
        status = back == data ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "demo failed: %s\n", e.what());
    }
    kill(pid, SIGTERM);
    int ws = 0;
    waitpid(pid, &ws, 0);
    std::printf("server ended with status %d\n", WIFEXITED(ws) ? WEXITSTATUS(ws) : -1);
    std::string cleanup = std::string("rm -rf ") + dir;
    if (std::system(cleanup.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    plumelog_init(1, "xadra-test-server", argc, argv);
    if (argc >= 3 && !std::strcmp(argv[1], "serve")) return serve(argv[2]);
    if (argc >= 4 && !std::strcmp(argv[1], "client-sleep")) return clientSleep(std::atoi(argv[2]), std::atoi(argv[3]));
    if (argc >= 2 && !std::strcmp(argv[1], "demo")) return demo("/proc/self/exe");
    std::fprintf(stderr, "usage: %s serve DIR | client-sleep PORT MS | demo\n", argv[0]);
    return 2;
}
