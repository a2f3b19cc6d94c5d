// The xadooo program with the stand-in office program as its child, a
// temporary configuration and runtime directory; and, when it is installed,
// with the real office suite.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kXadooo = std::string(XAD_BIN_DIR) + "/xadooo";
const std::string kChild = std::string(XAD_TEST_BIN_DIR) + "/office_test_child";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds limit) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        if (ready()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return ready();
}

// Runs a program with its standard output and error into files.
pid_t launch(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "r", stdin) || !freopen(out.c_str(), "w", stdout) ||
            !freopen(err.c_str(), "w", stderr))
            _exit(126);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Exit status, 128 + signal when killed, -1 after the time limit (the
// process is killed then).
int waitFor(pid_t pid, std::chrono::milliseconds limit = 15000ms) {
    auto end = Clock::now() + limit;
    while (Clock::now() < end) {
        int ws = 0;
        if (waitpid(pid, &ws, WNOHANG) == pid) return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

// Ended: no such process, or a zombie (a detached daemon's zombie waits for
// whoever reaps orphans here).
bool gone(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || (close + 2 < stat.size() && stat[close + 2] == 'Z');
}

bool listening(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

int freePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

class Xadooo : public ::testing::Test {
protected:
    std::string dir, conf, runtime, app;
    pid_t pid = -1;

    void SetUp() override {
        char d[] = "/tmp/xadooo-test-XXXXXX";
        dir = mkdtemp(d);
        conf = dir + "/conf";
        runtime = dir + "/run";
        app = "t" + std::to_string(getpid());
        mkdir(conf.c_str(), 0755);
        mkdir((conf + "/" + app).c_str(), 0755);
        mkdir(runtime.c_str(), 0755);
        setenv("XAD_CONF_DIR", conf.c_str(), 1);
        setenv("XAD_RUNTIME_DIR", runtime.c_str(), 1);
        std::ofstream(conf + "/xad.conf") << "OOO_BIN=" << kChild << "\nOOO_USER=root\nOOO_PORT=2002\n";
    }
    void TearDown() override {
        if (pid > 0) {
            // Through the supervisor, so that an office below it ends too.
            kill(pid, SIGTERM);
            if (waitFor(pid, 8000ms) == -1) ADD_FAILURE() << "xadooo " << pid << " did not stop on SIGTERM";
        }
        unsetenv("XAD_CONF_DIR");
        unsetenv("XAD_RUNTIME_DIR");
        if (std::system(("rm -rf " + dir).c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir;
    }
    // The script of the stand-in office program, in the application's file.
    void script(const std::string& s, const std::string& more = "") {
        std::ofstream(conf + "/" + app + "/xad.conf") << "OOO_XARG=" << s << "\n" << more;
    }
    void startForeground(std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {kXadooo, "-a", app, "-n"};
        a.insert(a.end(), extra.begin(), extra.end());
        pid = launch(a, dir + "/xadooo.out", dir + "/xadooo.log");
    }
    std::string log() const { return readFile(dir + "/xadooo.log"); }
    bool logHas(const std::string& s) const { return log().find(s) != std::string::npos; }
    int stop(int sig, std::chrono::milliseconds limit = 15000ms) {
        kill(pid, sig);
        int st = waitFor(pid, limit);
        pid = -1;
        return st;
    }
    // Runs xadooo once more with extra arguments; returns its status.
    int request(const std::vector<std::string>& extra, std::string* out, std::string* err = nullptr) {
        std::vector<std::string> a = {kXadooo, "-a", app};
        a.insert(a.end(), extra.begin(), extra.end());
        int st = waitFor(launch(a, dir + "/req.out", dir + "/req.err"), 70000ms);
        if (out) *out = readFile(dir + "/req.out");
        if (err) *err = readFile(dir + "/req.err");
        return st;
    }
};

TEST_F(Xadooo, ForegroundRunLogsTheChildAndStopsOnOneInterrupt) {
    // A user that does not exist: "-n" makes no user switch, so it does not matter.
    script("termsay,args,say:hello,part:half,sleep:300,say: rest,err:oops,wait", "OOO_USER=no-such-user-xadooo\n");
    startForeground({"--OOO_PORT=2345", "--log-level=7"});
    ASSERT_TRUE(waitUntil([&] { return logHas("stderr: oops"); }, 5000ms)) << log();
    std::string l = log();
    EXPECT_NE(l.find("ooo_default_binary_path = /usr/bin/soffice."), std::string::npos) << l;
    EXPECT_NE(l.find("stdout: argv[0]=[xadooo]\n"), std::string::npos) << l;
    EXPECT_NE(l.find("stdout: argv[1]=termsay,args,say:hello,part:half,sleep:300,say: rest,err:oops,wait\n"),
              std::string::npos)
        << l;
    EXPECT_NE(l.find("stdout: argv[2]=--accept=socket,host=127.0.0.1,port=2345;urp;StarOffice.ServiceManager\n"),
              std::string::npos)
        << "the command line's value overrides the file's:\n" << l;
    EXPECT_EQ(l.find("argv[3]"), std::string::npos) << l;
    EXPECT_NE(l.find("stdout: hello\n"), std::string::npos) << l;
    EXPECT_NE(l.find("stdout: half<eol missing>.\n"), std::string::npos) << l;
    EXPECT_NE(l.find("stdout:  rest\n"), std::string::npos) << l;
    // No daemon object: no runtime files, no user switch.
    EXPECT_EQ(access((runtime + "/xad/" + app + "_xadooo.pid").c_str(), F_OK), -1);
    EXPECT_EQ(l.find("user"), std::string::npos) << l;
    std::string err;
    EXPECT_EQ(request({"-s"}, nullptr, &err), 1) << "a foreground run answers no status requests";

    EXPECT_EQ(stop(SIGINT), 0);
    l = log();
    EXPECT_NE(l.find("Sending signal 15 upon interrupt."), std::string::npos) << l;
    EXPECT_NE(l.find("stdout: got signal 15\n"), std::string::npos) << l;
    EXPECT_NE(l.find("process returned status 0."), std::string::npos) << l;
    EXPECT_EQ(l.find("Sleeping"), std::string::npos) << l;
}

TEST_F(Xadooo, ChildIsRestartedOneSecondAfterItEnds) {
    script("say:run,exit:7");
    startForeground();
    auto t0 = Clock::now();
    ASSERT_TRUE(waitUntil([&] { return count(log(), "Starting ") >= 3; }, 6000ms)) << log();
    auto elapsed = Clock::now() - t0;
    EXPECT_GE(elapsed, 1900ms) << "two pauses of one second lie between three starts";
    // A stop in the pause (or while the child runs) ends at once with status 0.
    auto s0 = Clock::now();
    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_LT(Clock::now() - s0, 1500ms);
    std::string l = log();
    EXPECT_GE(count(l, "stdout: run\n"), 2u) << l;
    EXPECT_GE(count(l, "process returned status 7."), 2u) << l;
    EXPECT_GE(count(l, "Sleeping 1 second before restarting OpenOffice.org."), 2u) << l;
}

TEST_F(Xadooo, ChildIgnoringSignal15IsKilledAfterFiveSeconds) {
    script("ignoreterm,say:ready,wait");
    startForeground();
    ASSERT_TRUE(waitUntil([&] { return logHas("stdout: ready"); }, 5000ms)) << log();
    auto t0 = Clock::now();
    EXPECT_EQ(stop(SIGTERM), 0);
    auto elapsed = Clock::now() - t0;
    EXPECT_GE(elapsed, 4900ms);
    EXPECT_LT(elapsed, 7000ms);
    std::string l = log();
    EXPECT_NE(l.find("Sending signal 15 upon interrupt."), std::string::npos) << l;
    EXPECT_NE(l.find("Sending signal 9 after 5 seconds timeout."), std::string::npos) << l;
    EXPECT_NE(l.find("process returned status -9."), std::string::npos) << l;
    EXPECT_EQ(l.find("Starting "), l.rfind("Starting ")) << "no restart after a stop:\n" << l;
}

TEST_F(Xadooo, SecondInterruptSendsSignal9AtOnce) {
    script("ignoreterm,say:ready,wait");
    startForeground();
    ASSERT_TRUE(waitUntil([&] { return logHas("stdout: ready"); }, 5000ms)) << log();
    auto t0 = Clock::now();
    kill(pid, SIGINT);
    ASSERT_TRUE(waitUntil([&] { return logHas("Sending signal 15 upon interrupt."); }, 2000ms)) << log();
    EXPECT_EQ(stop(SIGINT), 0);
    EXPECT_LT(Clock::now() - t0, 3000ms);
    std::string l = log();
    EXPECT_NE(l.find("Sending signal 9 upon repeated interrupt."), std::string::npos) << l;
    EXPECT_NE(l.find("process returned status -9."), std::string::npos) << l;
}

TEST_F(Xadooo, StatusAndStopReachTheRunningInstance) {
    script("say:ready,wait");
    // Detaches; the starting process ends once the supervisor runs.
    ASSERT_EQ(waitFor(launch({kXadooo, "-a", app}, dir + "/start.out", dir + "/start.err")), 0)
        << readFile(dir + "/start.err");
    std::string pidFile = runtime + "/xad/" + app + "_xadooo.pid";
    int daemonPid = 0;
    std::ifstream(pidFile) >> daemonPid;
    ASSERT_GT(daemonPid, 0) << pidFile;

    std::string out;
    ASSERT_TRUE(waitUntil(
        [&] { return request({"-s"}, &out) == 0 && out.find("stdout: ready") != std::string::npos; }, 5000ms))
        << out;
    EXPECT_EQ(out.rfind("xadooo 5.0.1-1 (2013-09-04 14:19:29+0000)\noffice: running as pid ", 0), 0u) << out;
    EXPECT_NE(out.find("***** Latest job information\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" INFO Starting " + kChild + " say:ready,wait --accept=socket,host=127.0.0.1,port=2002;"),
              std::string::npos)
        << out;
    int childPid = 0;
    std::sscanf(out.c_str() + out.find("running as pid ") + 15, "%d", &childPid);
    ASSERT_GT(childPid, 0) << out;

    std::string err;
    EXPECT_EQ(request({"-k"}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Stopped xad/" + app + "_xadooo (pid " + std::to_string(daemonPid) + ")."), std::string::npos)
        << out;
    EXPECT_TRUE(gone(daemonPid));
    EXPECT_TRUE(gone(childPid)) << "the office child " << childPid << " outlived its supervisor";
    EXPECT_EQ(access(pidFile.c_str(), F_OK), -1) << pidFile;
}

TEST_F(Xadooo, ChildThatEndsAtOnceIsRetriedEverySecondAndItsStatusIsReported) {
    script("err:bad argument,exit:3");
    ASSERT_EQ(waitFor(launch({kXadooo, "-a", app}, dir + "/start.out", dir + "/start.err")), 0)
        << readFile(dir + "/start.err");
    auto t0 = Clock::now();
    std::string out;
    ASSERT_TRUE(waitUntil(
        [&] { return request({"-s"}, &out) == 0 && count(out, "INFO process returned status 3.") >= 2; }, 5000ms))
        << out;
    double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_NE(out.find("\noffice: not running, "), std::string::npos) << out;
    EXPECT_NE(out.find(", last exit status 3"), std::string::npos) << out;
    // One start, one error line and one exit line a second, not more.
    size_t starts = count(out, " INFO Starting ");
    EXPECT_LE(starts, static_cast<size_t>(seconds) + 2) << out;
    EXPECT_LE(count(out, " INFO stderr: bad argument\n"), starts) << out;
    EXPECT_EQ(request({"-k"}, &out), 0) << out;
}

TEST_F(Xadooo, FailuresExitWithStatus1) {
    std::string err;
    EXPECT_EQ(request({"-s"}, nullptr, &err), 1);
    EXPECT_NE(err.find("No running instance of xad/" + app + "_xadooo found"), std::string::npos) << err;
    EXPECT_EQ(request({"-k"}, nullptr, &err), 1);
    EXPECT_NE(err.find("No running instance"), std::string::npos) << err;
    EXPECT_EQ(request({"-n", "-x"}, nullptr, &err), 1);
    EXPECT_NE(err.find("Unknown option -x specified."), std::string::npos) << err;
    EXPECT_EQ(request({"-n", "-a"}, nullptr, &err), 1);
    EXPECT_NE(err.find("No application name for option -a given."), std::string::npos) << err;
    // Daemon mode switches to OOO_USER, which must exist.
    script("wait", "OOO_USER=no-such-user-xadooo\n");
    if (geteuid() == 0) {
        EXPECT_EQ(request({}, nullptr, &err), 1);
        EXPECT_NE(err.find("OOO_USER no-such-user-xadooo: no such user"), std::string::npos) << err;
    }
}

// The descendants of pid whose command name is name.
std::vector<pid_t> findBelow(pid_t root, const std::string& name) {
    std::vector<pid_t> found, level{root};
    while (!level.empty()) {
        std::vector<pid_t> next;
        DIR* d = opendir("/proc");
        while (struct dirent* e = d ? readdir(d) : nullptr) {
            int p = atoi(e->d_name);
            if (p <= 0) continue;
            std::string stat = readFile("/proc/" + std::to_string(p) + "/stat");
            size_t close = stat.rfind(')');
            int ppid = 0;
            char state;
            if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) continue;
            for (pid_t l : level)
                if (ppid == l) {
                    next.push_back(p);
                    std::string comm = readFile("/proc/" + std::to_string(p) + "/comm");
                    if (comm == name + "\n") found.push_back(p);
                }
        }
        if (d) closedir(d);
        level = next;
    }
    return found;
}

TEST_F(Xadooo, RealOfficeSuiteListensConvertsAndComesBack) {
    const std::string soffice = "/usr/bin/soffice";
    if (access(soffice.c_str(), X_OK) != 0)
        GTEST_SKIP() << soffice << " is not installed (XAD_INSTALL_OFFICE=1 scripts/install-deps installs "
                     << "libreoffice-nogui); the test with the real office suite is skipped";
    int port = freePort();
    std::ofstream(conf + "/xad.conf") << "OOO_PORT=" << port << "\n";
    // A profile of its own, shared by the supervised office and the converting soffice.
    std::string home = dir + "/home";
    mkdir(home.c_str(), 0755);
    const bool hadHome = getenv("HOME") != nullptr;
    const std::string savedHome = hadHome ? getenv("HOME") : "";
    auto restoreHome = [&] {
        if (hadHome)
            setenv("HOME", savedHome.c_str(), 1);
        else
            unsetenv("HOME");
    };
    setenv("HOME", home.c_str(), 1);
    startForeground();
    restoreHome();
    ASSERT_TRUE(waitUntil([&] { return listening(port); }, 90000ms)) << log();

    // A conversion by a second soffice with the same profile is carried out
    // by the running instance.
    std::ofstream(dir + "/in.txt") << "xadooo conversion test\n";
    setenv("HOME", home.c_str(), 1);
    int st = waitFor(launch({soffice, "--headless", "--convert-to", "pdf", "--outdir", dir + "/out", dir + "/in.txt"},
                            dir + "/conv.out", dir + "/conv.err"),
                     120000ms);
    restoreHome();
    EXPECT_EQ(st, 0) << readFile(dir + "/conv.err");
    EXPECT_EQ(readFile(dir + "/out/in.pdf").substr(0, 5), "%PDF-") << readFile(dir + "/conv.out") << log();

    std::vector<pid_t> office = findBelow(pid, "soffice.bin");
    ASSERT_FALSE(office.empty()) << "no soffice.bin below xadooo " << pid;
    for (pid_t p : office) kill(p, SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return count(log(), "Starting ") >= 2; }, 10000ms)) << log();
    EXPECT_TRUE(waitUntil([&] { return listening(port); }, 60000ms)) << "not listening again on " << port << ":\n"
                                                                     << log();
    EXPECT_EQ(stop(SIGTERM, 20000ms), 0) << log();
    for (pid_t p : office) EXPECT_TRUE(gone(p));
}

}  // namespace
