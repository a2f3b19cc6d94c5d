#include "DescriptorSupport.h"
#include "plume/Daemon.h"
#include "plume/Exception.h"
#include "plume/System.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Plume;

namespace {

struct State : Sock::Stateful {
    void printState(std::ostream& out) override { out << "state of the test daemon\nsecond line\n"; }
};

class DaemonTest : public ::testing::Test {
protected:
    std::string dir;
    std::vector<pid_t> started;
    void SetUp() override {
        char d[] = "/tmp/plumedaemonXXXXXX";
        dir = mkdtemp(d);
        setenv("XAD_RUNTIME_DIR", dir.c_str(), 1);
    }
    void TearDown() override {
        // An instance a failed test left running would hold the test's
        // output open and stall the whole run.
        for (pid_t p : started)
            if (::waitpid(p, nullptr, WNOHANG) == 0) {
                ::kill(p, SIGKILL);
                ::waitpid(p, nullptr, 0);
            }
        unsetenv("XAD_RUNTIME_DIR");
        std::string rm = "rm -rf " + dir;
        EXPECT_EQ(std::system(rm.c_str()), 0);
    }
    // Runs an instance in the foreground in a child process until SIGTERM.
    pid_t startInstance(const std::string& name) {
        pid_t pid = fork();
        if (pid == 0) {
            installSignalHandlers();
            try {
                auto d = Sock::Daemon::newInstance(name);
                d->setUser("nobody-such-user-xyz", 0);  // not root in CI? then only logged
                d->attach(makeObj<State>());
                if (geteuid() == 0) d->setUser("root", 0);
                if (!d->start(false)) _exit(3);
                d->startupComplete();
                while (!getHupSignalCatched()) usleep(10000);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "instance failed: %s\n", e.what());
                _exit(2);
            }
            _exit(0);
        }
        started.push_back(pid);
        for (int i = 0; i < 300; ++i) {
            if (access((dir + "/" + name + ".sock").c_str(), F_OK) == 0) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return pid;
    }
    std::string capture(const std::function<void()>& f) {
        std::fflush(stdout);
        char path[] = "/tmp/plumeoutXXXXXX";
        int fd = mkstemp(path);
        int saved = dup(1);
        dup2(fd, 1);
        try {
            f();
        } catch (...) {
            std::fflush(stdout);
            dup2(saved, 1);
            close(saved);
            close(fd);
            unlink(path);
            throw;
        }
        std::fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(fd);
        std::ifstream in(path);
        std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        unlink(path);
        return out;
    }
};

}  // namespace

TEST_F(DaemonTest, RequestsWithoutARunningInstanceFailClearly) {
    auto d = Sock::Daemon::newInstance("xad/none_xadrad");
    d->statusRequest();
    try {
        d->start(false);
        FAIL();
    } catch (const Exception& e) {
        EXPECT_NE(std::string(e.what()).find("No running instance of xad/none_xadrad"), std::string::npos);
    }
    auto k = Sock::Daemon::newInstance("xad/none_xadrad");
    k->stopRequest();
    EXPECT_THROW(k->start(false), Exception);
}

TEST_F(DaemonTest, StatusReachesTheInstanceAndStopEndsIt) {
    pid_t pid = startInstance("xad/demo_xadrad");
    std::ifstream pidFile(dir + "/xad/demo_xadrad.pid");
    int recorded = 0;
    pidFile >> recorded;
    EXPECT_EQ(recorded, pid);

    // A second instance of the same name is refused.
    auto second = Sock::Daemon::newInstance("xad/demo_xadrad");
    EXPECT_THROW(second->start(false), Exception);

    auto s = Sock::Daemon::newInstance("xad/demo_xadrad");
    s->statusRequest();
    bool cont = true;
    std::string out = capture([&] { cont = s->start(false); });
    EXPECT_FALSE(cont);
    EXPECT_EQ(out, "state of the test daemon\nsecond line\n");

    auto k = Sock::Daemon::newInstance("xad/demo_xadrad");
    k->stopRequest();
    out = capture([&] { cont = k->start(false); });
    EXPECT_FALSE(cont);
    EXPECT_NE(out.find("Stopped xad/demo_xadrad"), std::string::npos);
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(access((dir + "/xad/demo_xadrad.pid").c_str(), F_OK), 0) << "pid file left behind";
}

TEST_F(DaemonTest, StalePidFileDoesNotBlockANewInstance) {
    system(("mkdir -p " + dir + "/xad && echo 999999 > " + dir + "/xad/stale_xadrad.pid").c_str());
    pid_t pid = startInstance("xad/stale_xadrad");
    std::ifstream pidFile(dir + "/xad/stale_xadrad.pid");
    int recorded = 0;
    pidFile >> recorded;
    EXPECT_EQ(recorded, pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// The instance's own descriptors (status socket, the listener's wake-up) are
// close-on-exec, so the children a daemon starts do not inherit them.
TEST_F(DaemonTest, InstanceDescriptorsAreCloseOnExec) {
    const std::set<int> inherited = plumetest::openFds();
    pid_t pid = startInstance("xad/fds_xadrad");
    auto s = Sock::Daemon::newInstance("xad/fds_xadrad");
    s->statusRequest();
    EXPECT_EQ(capture([&] { s->start(false); }), "state of the test daemon\nsecond line\n");  // the listener runs
    int own = 0;
    for (int fd : plumetest::openFds(pid)) {
        if (inherited.count(fd)) continue;
        ++own;
        EXPECT_TRUE(plumetest::isCloseOnExecIn(pid, fd))
            << "descriptor " << fd << " (" << plumetest::fdTarget(fd, pid) << ") is inherited by children";
    }
    EXPECT_GE(own, 2);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}
