// The supervisor's parts in process: command line, settings and the child's
// argument vector, the output handler, and the supervision loop with short
// pauses and time-outs against the stand-in office program.

#include "supervisor/OfficeSupervisor.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace Plume;
using namespace Xadra::Office;
using namespace std::chrono_literals;

namespace {

const std::string kChild = std::string(XAD_TEST_BIN_DIR) + "/office_test_child";

std::string ring() {
    std::ostringstream out;
    Xadra::ringReport(out);
    return out.str();
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
    return n;
}

// Runs argv through the option parser; the message of a failure, or "".
std::string parseFailure(std::vector<std::string> args, SupervisorOptions* out = nullptr) {
    args.insert(args.begin(), "xadooo");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    try {
        SupervisorOptions o = parseSupervisorOptions(static_cast<int>(argv.size()), argv.data());
        if (out) *out = o;
        return "";
    } catch (const std::exception& e) {
        return e.what();
    }
}

TEST(SupervisorOptions, FlagsApplicationNameAndFailures) {
    SupervisorOptions o;
    EXPECT_EQ(parseFailure({}, &o), "");
    EXPECT_TRUE(o.daemonize);
    EXPECT_FALSE(o.stopRequest);
    EXPECT_FALSE(o.statusRequest);
    EXPECT_EQ(o.daemonName(), "xad/xad_xadooo");
    EXPECT_TRUE(o.needsDaemon());

    EXPECT_EQ(parseFailure({"-n"}, &o), "");
    EXPECT_FALSE(o.daemonize);
    EXPECT_FALSE(o.needsDaemon()) << "-n alone needs no daemon object";
    EXPECT_EQ(parseFailure({"-n", "-s"}, &o), "");
    EXPECT_TRUE(o.statusRequest);
    EXPECT_TRUE(o.needsDaemon());
    EXPECT_EQ(parseFailure({"-k"}, &o), "");
    EXPECT_TRUE(o.stopRequest);
    EXPECT_TRUE(o.daemonize);

    EXPECT_EQ(parseFailure({"-a", "conv"}, &o), "");
    EXPECT_EQ(o.daemonName(), "xad/conv_xadooo");
    EXPECT_EQ(parseFailure({"-aconv2"}, &o), "");
    EXPECT_EQ(o.applicationName, "conv2");
    EXPECT_EQ(parseFailure({"--OOO_PORT=9000", "-n"}, &o), "") << "configuration values pass";

    EXPECT_EQ(parseFailure({"-n", "-a"}), "No application name for option -a given.");
    EXPECT_EQ(parseFailure({"-x"}), "Unknown option -x specified.");
    EXPECT_EQ(parseFailure({"-nk"}), "Unknown option -nk specified.") << "options are matched exactly";
    EXPECT_EQ(parseFailure({"--no-remove"}), "Unknown option --no-remove specified.");
    EXPECT_EQ(parseFailure({"--=x"}), "Unknown option --=x specified.");
}

TEST(SupervisorOptions, ConfigurationFilesFollowTheConfigurationDirectory) {
    SupervisorOptions o;
    o.applicationName = "conv";
    unsetenv("XAD_CONF_DIR");
    EXPECT_EQ(o.globalConfigFile(), "/etc/xad/xad.conf");
    EXPECT_EQ(o.applicationConfigFile(), "/etc/xad/conv/xad.conf");
    setenv("XAD_CONF_DIR", "/tmp/confdir", 1);
    EXPECT_EQ(o.globalConfigFile(), "/tmp/confdir/xad.conf");
    EXPECT_EQ(o.applicationConfigFile(), "/tmp/confdir/conv/xad.conf");
    setenv("XAD_CONF_DIR", "", 1);
    EXPECT_EQ(o.globalConfigFile(), "/etc/xad/xad.conf") << "an empty XAD_CONF_DIR counts as unset";
    unsetenv("XAD_CONF_DIR");
}

TEST(OfficeSettings, DefaultsStartTodaysLibreOffice) {
    auto config = ConfigOptions::newInstance("xadooo");
    OfficeSettings s = OfficeSettings::fromConfig(*config);
    EXPECT_EQ(s.user, "ooorun");
    EXPECT_EQ(s.port, "8100");
    EXPECT_EQ(s.listenHost, "127.0.0.1");
    EXPECT_EQ(s.binary, "/usr/bin/soffice");
    EXPECT_EQ(s.extraArgument, "--headless");
    EXPECT_EQ(s.argumentVector(),
              (std::vector<std::string>{"[xadooo]", "--headless",
                                        "--accept=socket,host=127.0.0.1,port=8100;urp;StarOffice.ServiceManager"}));
}

TEST(OfficeSettings, KeysOverrideAndTheExtraArgumentStaysOne) {
    char dir[] = "/tmp/xadooo-conf-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string global = std::string(dir) + "/xad.conf", app = std::string(dir) + "/app.conf";
    std::ofstream(global) << "OOO_PORT=2002\nOOO_LISTEN_HOST=0.0.0.0\nOOO_XARG=--headless --norestore\n";
    std::ofstream(app) << "OOO_PORT=2003\nOOO_BIN=/opt/office/soffice\nOOO_USER=office\n";
    auto config = ConfigOptions::newInstance("xadooo");
    config->load(global, 0);
    config->load(app, 0);
    OfficeSettings s = OfficeSettings::fromConfig(*config);
    EXPECT_EQ(s.port, "2003") << "the application's file overrides " << global;
    EXPECT_EQ(s.binary, "/opt/office/soffice");
    EXPECT_EQ(s.user, "office");
    std::vector<std::string> argv = s.argumentVector();
    ASSERT_EQ(argv.size(), 3u);
    EXPECT_EQ(argv[1], "--headless --norestore") << "OOO_XARG is handed over as one argument";
    EXPECT_EQ(argv[2], "--accept=socket,host=0.0.0.0,port=2003;urp;StarOffice.ServiceManager");
    std::remove(global.c_str());
    std::remove(app.c_str());
    rmdir(dir);
}

// A pipe whose read end is watched by a MyPollEventHandler named "stdout".
class OutputHandler : public ::testing::Test {
protected:
    ObjPtr<ChannelPoller> poller = ChannelPoller::newInstance();
    ObjPtr<Channel> channel;
    int writeFd = -1;

    void SetUp() override {
        Xadra::ringResize(32);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        channel = Channel::newInstance(UniqueFd(fds[0]), "stdout of test");
        writeFd = fds[1];
        poller->registerChannel(channel, makeObj<MyPollEventHandler>("stdout"), POLLIN);
    }
    void TearDown() override {
        if (writeFd >= 0) close(writeFd);
        Xadra::ringResize(0);
    }
    void write(const std::string& s) { ASSERT_EQ(::write(writeFd, s.data(), s.size()), (ssize_t)s.size()); }
    void pollOnce() { ASSERT_GE(poller->poll(1000), 0); }
};

TEST_F(OutputHandler, LineSplitAcrossTwoReadsIsTwoMessages) {
    write("first\nsecond\nhal");
    pollOnce();
    write("f done\n");
    pollOnce();
    std::string r = ring();
    EXPECT_NE(r.find("INFO stdout: first\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO stdout: second\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO stdout: hal<eol missing>.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO stdout: f done\n"), std::string::npos) << r;
    EXPECT_LT(r.find("hal<eol"), r.find("f done")) << r;
    EXPECT_EQ(count(r, "stdout:"), 4u) << r;
    EXPECT_TRUE(channel->isOpen());
}

TEST_F(OutputHandler, EmptyLinesAndLongLinesOfOneRead) {
    write("\n\n");
    pollOnce();
    std::string r = ring();
    EXPECT_EQ(count(r, "INFO stdout: \n"), 2u) << "empty lines are logged as such:\n" << r;

    Xadra::ringResize(32);
    std::string longLine(3000, 'x');
    write(longLine + "\n");
    pollOnce();
    pollOnce();
    r = ring();
    // 2048 bytes per read: the first part lacks its end of line.
    EXPECT_NE(r.find("stdout: " + std::string(2048, 'x') + "<eol missing>.\n"), std::string::npos);
    EXPECT_NE(r.find("stdout: " + std::string(952, 'x') + "\n"), std::string::npos);
}

TEST_F(OutputHandler, EndOfStreamUnregistersAndClosesTheChannel) {
    write("last words");
    close(writeFd);
    writeFd = -1;
    for (int i = 0; i < 3 && channel->isOpen(); ++i) pollOnce();
    // The data first, then the hang-up (logged for debugging only) or the end
    // of the stream, whichever the poll reports.
    std::string r = ring();
    EXPECT_NE(r.find("stdout: last words<eol missing>.\n"), std::string::npos) << r;
    EXPECT_LE(count(r, "stdout:"), 2u) << r;
    EXPECT_FALSE(channel->isOpen());
    EXPECT_FALSE(poller->isRegistered(channel));
}

TEST_F(OutputHandler, ErrorOnTheWriteEndOfAPipeClosesIt) {
    // The child's stdin: watched without read interest, it reports an error
    // once the reading side is gone. Not a child-output message: no ring entry.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto in = Channel::newInstance(UniqueFd(fds[1]), "stdin of test");
    poller->registerChannel(in, makeObj<MyPollEventHandler>("stdin"), 0);
    close(fds[0]);
    pollOnce();
    EXPECT_FALSE(in->isOpen());
    EXPECT_FALSE(poller->isRegistered(in));
    EXPECT_EQ(ring().find("stdin"), std::string::npos);
}

TEST(ChildRecord, DescribesTheRunningAndTheEndedChild) {
    ChildRecord r;
    EXPECT_EQ(r.describe(), "office: not running, 0 starts");
    r.started(4242);
    EXPECT_EQ(r.describe().rfind("office: running as pid 4242 since ", 0), 0u) << r.describe();
    r.ended(-9);
    EXPECT_NE(r.describe().find("not running, 1 start, last exit status -9 at "), std::string::npos) << r.describe();
    r.startFailed("Cannot start /x: No such file or directory");
    EXPECT_NE(r.describe().find("2 starts, last start failed at "), std::string::npos) << r.describe();
    EXPECT_NE(r.describe().find(": Cannot start /x: No such file or directory"), std::string::npos);
}

TEST(MyDaemonStateful, ReportIsVersionChildAndRing) {
    Xadra::ringResize(32);
    Xadra::logMessage(6, "Starting something");
    auto record = makeObj<ChildRecord>();
    record->started(77);
    record->ended(3);
    MyDaemonStateful state(record);
    std::ostringstream out;
    state.printState(out);
    std::string s = out.str();
    EXPECT_EQ(s.rfind("xadooo 5.0.1-1 (2013-09-04 14:19:29+0000)\noffice: not running, 1 start, last exit status 3", 0),
              0u)
        << s;
    EXPECT_NE(s.find("\n***** Latest job information\n"), std::string::npos) << s;
    EXPECT_NE(s.find(" INFO Starting something\n"), std::string::npos) << s;
    Xadra::ringResize(0);
}

// The supervision loop on the test thread, with short timings; a helper
// thread sends signals to the test thread.
class Loop : public ::testing::Test {
protected:
    SupervisorTimings fast{150, 600, 100};
    ObjPtr<ChildRecord> record = makeObj<ChildRecord>();
    pthread_t self = pthread_self();
    std::thread helper;

    static void SetUpTestSuite() { installSignalHandlers(); }
    void SetUp() override {
        resetHupSignalCatched();
        Xadra::ringResize(64);
    }
    void TearDown() override {
        if (helper.joinable()) helper.join();
        resetHupSignalCatched();
        Xadra::ringResize(0);
    }
    OfficeSettings child(const std::string& script) {
        OfficeSettings s;
        s.binary = kChild;
        s.extraArgument = script;
        return s;
    }
    // Sends the signals to the loop's thread once ready() holds, gap apart.
    template <class Ready>
    void signalWhen(Ready ready, std::vector<int> signals, std::chrono::milliseconds gap = 100ms) {
        helper = std::thread([this, ready, signals, gap] {
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            for (int i = 0; i < 1000 && !ready(); ++i) std::this_thread::sleep_for(10ms);
            for (int sig : signals) {
                std::this_thread::sleep_for(gap);
                pthread_kill(self, sig);
            }
        });
    }
};

TEST_F(Loop, ChildThatEndsIsRestartedAfterThePauseAgainAndAgain) {
    auto rec = record;
    signalWhen([rec] { return rec->getStarts() >= 4; }, {SIGTERM});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OfficeSupervisor(child("say:run,exit:3"), record, fast).run(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(record->getStarts(), 4u);
    EXPECT_GE(elapsed, 3 * 150ms) << "three pauses lie between four starts";
    EXPECT_EQ(record->getLastStatus(), 3);
    std::string r = ring();
    EXPECT_GE(count(r, "INFO Starting " + kChild + " say:run,exit:3 --accept=socket,host=127.0.0.1,port=8100;"), 4u)
        << r;
    EXPECT_GE(count(r, "INFO process returned status 3.\n"), 3u) << r;
    EXPECT_GE(count(r, "INFO Sleeping 1 second before restarting OpenOffice.org.\n"), 3u) << r;
    EXPECT_GE(count(r, "INFO stdout: run\n"), 3u) << r;
}

TEST_F(Loop, ExecutableThatCannotStartIsRetriedOncePerPause) {
    OfficeSettings s = child("");
    s.binary = "/nonexistent/soffice";
    auto rec = record;
    signalWhen([rec] { return rec->getStarts() >= 3; }, {SIGINT});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OfficeSupervisor(s, record, fast).run(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    unsigned starts = record->getStarts();
    EXPECT_GE(starts, 3u);
    EXPECT_GE(elapsed, (starts - 1) * 150ms) << "no attempt without its pause";
    std::string r = ring();
    EXPECT_EQ(count(r, "ERROR Cannot start /nonexistent/soffice: No such file or directory\n"), starts) << r;
    EXPECT_NE(record->describe().find("last start failed"), std::string::npos) << record->describe();
}

TEST_F(Loop, OneInterruptSendsSignal15AndTheStopEndsTheLoop) {
    auto rec = record;
    signalWhen([rec] { return rec->getPid() > 0 && ring().find("stdout: ready") != std::string::npos; }, {SIGINT});
    EXPECT_EQ(OfficeSupervisor(child("termsay,say:ready,wait"), record, fast).run(), 0);
    std::string r = ring();
    EXPECT_NE(r.find("WARN Sending signal 15 upon interrupt.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO stdout: got signal 15\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO process returned status 0.\n"), std::string::npos) << r;
    EXPECT_EQ(r.find("signal 9"), std::string::npos) << r;
    EXPECT_EQ(r.find("Sleeping"), std::string::npos) << "a stopped child is not restarted:\n" << r;
    EXPECT_EQ(record->getStarts(), 1u);
}

TEST_F(Loop, ChildIgnoringSignal15IsKilledAfterTheTimeout) {
    auto rec = record;
    signalWhen([rec] { return ring().find("stdout: ready") != std::string::npos; }, {SIGTERM});
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OfficeSupervisor(child("ignoreterm,say:ready,wait"), record, fast).run(), 0);
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(elapsed, 600ms);
    EXPECT_LT(elapsed, 3000ms);
    std::string r = ring();
    EXPECT_NE(r.find("WARN Sending signal 15 upon interrupt.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("WARN Sending signal 9 after 1 seconds timeout.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO process returned status -9.\n"), std::string::npos) << r;
    EXPECT_EQ(record->getLastStatus(), -9);
}

TEST_F(Loop, SecondInterruptSendsSignal9AtOnce) {
    fast.killTimeoutMs = 20000;
    auto rec = record;
    signalWhen([rec] { return ring().find("stdout: ready") != std::string::npos; }, {SIGINT, SIGINT}, 150ms);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(OfficeSupervisor(child("ignoreterm,say:ready,wait"), record, fast).run(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5000ms);
    std::string r = ring();
    EXPECT_NE(r.find("WARN Sending signal 15 upon interrupt.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("WARN Sending signal 9 upon repeated interrupt.\n"), std::string::npos) << r;
    EXPECT_NE(r.find("INFO process returned status -9.\n"), std::string::npos) << r;
}

TEST_F(Loop, ChildThatClosesItsStreamsButIgnoresSignal15IsKilledAtTheDeadline) {
    auto rec = record;
    signalWhen([rec] { return ring().find("stdout: ready") != std::string::npos; }, {SIGTERM}, 300ms);
    EXPECT_EQ(OfficeSupervisor(child("ignoreterm,say:ready,closeout,wait"), record, fast).run(), 0);
    std::string r = ring();
    EXPECT_NE(r.find("INFO Sending signal 9 because all graceful attempts to stop child failed.\n"), std::string::npos)
        << r;
    EXPECT_NE(r.find("INFO process returned status -9.\n"), std::string::npos) << r;
}

bool gone(pid_t pid) { return kill(pid, 0) != 0 && errno == ESRCH; }

TEST_F(Loop, WhatTheChildLeavesBehindIsKilledAndReaped) {
    char dir[] = "/tmp/xadooo-orphan-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string pidFile = std::string(dir) + "/orphan.pid";
    auto rec = record;
    signalWhen([rec] { return rec->getStarts() >= 2; }, {SIGTERM});
    EXPECT_EQ(OfficeSupervisor(child("orphan:" + pidFile + ",sleep:100,say:ready,exit:0"), record, fast).run(), 0);
    int orphan = 0;
    std::ifstream(pidFile) >> orphan;
    ASSERT_GT(orphan, 0) << pidFile;
    EXPECT_TRUE(gone(orphan)) << "orphan " << orphan << " still exists (running or unreaped)";
    EXPECT_NE(ring().find("WARN Sending signal 9 to left-over process " + std::to_string(orphan) + ".\n"),
              std::string::npos)
        << ring();
    std::remove(pidFile.c_str());
    rmdir(dir);
}

TEST(ProcessTree, DescendantsOfThisProcessIncludeItsChildren) {
    pid_t p = fork();
    if (p == 0) {
        pause();
        _exit(0);
    }
    std::this_thread::sleep_for(20ms);
    auto kids = childrenOf(getpid());
    EXPECT_NE(std::find(kids.begin(), kids.end(), p), kids.end());
    auto all = descendantsOf(getpid());
    EXPECT_NE(std::find(all.begin(), all.end(), p), all.end());
    EXPECT_TRUE(descendantsOf(p).empty());
    kill(p, SIGKILL);
    waitpid(p, nullptr, 0);
}

}  // namespace
