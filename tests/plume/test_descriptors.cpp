// The descriptors of the remoting layer: none leaks into child processes,
// and a connection that cannot make its own descriptors does not start.

#include "DescriptorSupport.h"
#include "RemotingFixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Plume;
using namespace plumetest;

namespace {

// Fills the descriptor table: lowers the limit and takes every free slot.
void exhaustDescriptors() {
    rlimit lim{64, 64};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur > 64) lim.rlim_cur = 64;
    setrlimit(RLIMIT_NOFILE, &lim);
    while (dup(0) >= 0) {
    }
}

Connection::Config serverConfig(LoopbackServer& s) {
    Connection::Config cfg;
    cfg.factory = s.factory;
    cfg.interfaces = s.beans;
    cfg.bindings = s.handlers;
    cfg.pool = s.pool;
    return cfg;
}

}  // namespace

// Every descriptor of a serving server and client (listening socket, the
// server's wake-up, each side's socket and wake-up) is close-on-exec.
TEST(RemotingDescriptors, ServingConnectionsAreCloseOnExec) {
    const std::set<int> before = openFds();
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto counter = makeObj<Counter>();
    ASSERT_EQ(Integer::toInteger(c.call("service", "read", {counter, Integer::newInstance(2)})), 2);
    ASSERT_EQ(s.server->getConnectionCount(), 1u);
    int sockets = 0, eventfds = 0;
    for (int fd : openFds()) {
        if (before.count(fd)) continue;
        const int flags = fcntl(fd, F_GETFD);
        const std::string target = fdTarget(fd);
        EXPECT_TRUE(flags & FD_CLOEXEC) << "descriptor " << fd << " (" << target << ") is inherited by children";
        if (target.rfind("socket:", 0) == 0) ++sockets;
        if (target.find("eventfd") != std::string::npos) ++eventfds;
    }
    EXPECT_GE(sockets, 3) << "listening socket and both ends of the connection";
    EXPECT_GE(eventfds, 3) << "the server's and each connection's wake-up";
}

// Without a free descriptor for its wake-ups a connection refuses to start,
// says why and closes the socket it was given; the server's own wake-up
// fails the same way. Runs in a child process whose descriptor table is full.
TEST(RemotingDescriptors, NoEventfdMeansNoConnection) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    LoopbackServer s;
    auto body = [&] {
        int sv[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) _exit(10);
        exhaustDescriptors();
        try {
            Connection::start(UniqueFd(sv[0]), "peer-without-eventfd", serverConfig(s));
            std::fprintf(stderr, "connection started\n");
            _exit(11);
        } catch (const RemotingException& e) {
            const std::string m = e.what();
            if (m.find("peer-without-eventfd") == std::string::npos || m.find("eventfd") == std::string::npos ||
                m.find(std::strerror(EMFILE)) == std::string::npos) {
                std::fprintf(stderr, "unclear message: %s\n", m.c_str());
                _exit(12);
            }
        }
        if (fcntl(sv[0], F_GETFD) >= 0 || errno != EBADF) _exit(13);  // the socket was closed
        char b;
        if (recv(sv[1], &b, 1, 0) != 0) _exit(14);  // and the peer sees the end
        exhaustDescriptors();                        // the slot of the closed socket
        try {
            Sock::Server::newInstance(s.handlers, s.pool);
            _exit(15);
        } catch (const CException& e) {
            if (std::string(e.what()).find("eventfd") == std::string::npos) _exit(16);
        }
        _exit(0);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(0), "");
}
