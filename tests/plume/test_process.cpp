#include "plume/ChannelPoller.h"
#include "plume/Exception.h"
#include "plume/Process.h"
#include "plume/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <pthread.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Plume;
using namespace std::chrono_literals;

namespace {

ObjPtr<Process> startShell(const std::string& script) {
    auto p = Process::newInstance();
    p->start("/bin/sh", {"[plume-test-sh]", "-c", script});
    return p;
}

// Collects what a channel delivers, one chunk of chunkSize per event, and
// unregisters and closes the channel at its end.
struct Collector : PollEventHandler {
    explicit Collector(size_t chunk = 2048) : chunkSize(chunk) {}
    size_t chunkSize;
    std::string data;
    int calls = 0;
    int allEvents = 0;
    bool closed = false;

    void handleEvent(ChannelPoller& poller, const ObjPtr<Channel>& channel, int events) override {
        ++calls;
        allEvents |= events;
        if (events & POLLIN) {
            std::string chunk;
            switch (channel->readChunk(chunk, chunkSize)) {
            case Channel::ReadResult::Data:
                EXPECT_LE(chunk.size(), chunkSize);
                data += chunk;
                return;
            case Channel::ReadResult::WouldBlock:
                return;
            default:
                break;
            }
        }
        poller.unregisterChannel(channel);
        channel->close();
        closed = true;
    }
};

struct ChildRun {
    ObjPtr<ChannelPoller> poller = ChannelPoller::newInstance();
    ObjPtr<Collector> in = makeObj<Collector>(), out, err;

    explicit ChildRun(const ObjPtr<Process>& p, size_t chunk = 2048)
        : out(makeObj<Collector>(chunk)), err(makeObj<Collector>(chunk)) {
        poller->registerChannel(p->getStdin(), in, 0);
        poller->registerChannel(p->getStdout(), out, POLLIN);
        poller->registerChannel(p->getStderr(), err, POLLIN);
    }
    // Polls until both output channels are closed; false when that takes
    // unreasonably long.
    bool untilOutputEnds(const ObjPtr<Process>& p) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (p->getStdout()->isOpen() || p->getStderr()->isOpen()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            poller->poll(1000);
        }
        return true;
    }
};

// Complete lines (without "\n") and the rest after the last "\n".
std::pair<std::vector<std::string>, std::string> splitLines(const std::string& s) {
    std::vector<std::string> lines;
    size_t start = 0, nl;
    while ((nl = s.find('\n', start)) != std::string::npos) {
        lines.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    return {lines, s.substr(start)};
}

int countOpenFds() {
    DIR* d = opendir("/proc/self/fd");
    int n = 0;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

bool isGone(pid_t pid) {
    errno = 0;
    const bool notOurChild = waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD;
    errno = 0;
    const bool noProcess = kill(pid, 0) < 0 && errno == ESRCH;
    return notOurChild && noProcess;
}

// Installs an empty handler for SIGUSR1 without SA_RESTART for one test.
struct Usr1Handler {
    struct sigaction old;
    static void onSignal(int) {}
    Usr1Handler() {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = onSignal;
        sigaction(SIGUSR1, &sa, &old);
    }
    ~Usr1Handler() { sigaction(SIGUSR1, &old, nullptr); }
};

// Sends SIGUSR1 to a thread until done is set: a signal that arrives just
// before the thread blocks is not lost for the test.
void signalUntil(std::thread& t, const std::atomic<bool>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!done && std::chrono::steady_clock::now() < deadline) {
        pthread_kill(t.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(10ms);
    }
}

// Sets SIGPIPE to a disposition for one test.
struct SigpipeDisposition {
    struct sigaction old;
    explicit SigpipeDisposition(void (*handler)(int)) {
        struct sigaction sa;
        std::memset(&sa, 0, sizeof sa);
        sa.sa_handler = handler;
        sigaction(SIGPIPE, &sa, &old);
    }
    ~SigpipeDisposition() { sigaction(SIGPIPE, &old, nullptr); }
};

}  // namespace

TEST(Process, OutputLinesWithAndWithoutFinalNewlineInSmallChunks) {
    auto p = startShell("printf 'one\\ntwo\\n'; printf 'alpha\\nbeta gamma' >&2");
    ChildRun run(p, 3);
    ASSERT_TRUE(run.untilOutputEnds(p));
    EXPECT_EQ(p->waitFor(), 0);

    auto [outLines, outRest] = splitLines(run.out->data);
    EXPECT_EQ(outLines, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(outRest, "");
    auto [errLines, errRest] = splitLines(run.err->data);
    EXPECT_EQ(errLines, (std::vector<std::string>{"alpha"}));
    EXPECT_EQ(errRest, "beta gamma");
    EXPECT_GE(run.err->calls, 7);  // 16 bytes in chunks of at most 3, then the end
}

TEST(Process, ChildThatExitsAtOnce) {
    auto p = startShell("exit 3");
    EXPECT_GT(p->getPid(), 0);
    ChildRun run(p);
    ASSERT_TRUE(run.untilOutputEnds(p));
    EXPECT_TRUE(run.out->closed);
    EXPECT_TRUE(run.err->closed);
    EXPECT_EQ(run.out->data, "");
    EXPECT_EQ(p->waitFor(), 3);
    EXPECT_EQ(p->waitFor(), 3);  // reaped once, status kept
    EXPECT_EQ(p->tryWait(), 3);
    EXPECT_FALSE(p->isAlive());
    EXPECT_FALSE(p->sendSignal(SIGTERM));  // never signals a reaped id

    // The stdin end, registered for no events, reports the reader's end.
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!run.in->closed && std::chrono::steady_clock::now() < deadline) run.poller->poll(1000);
    EXPECT_TRUE(run.in->closed);
    EXPECT_NE(run.in->allEvents & POLLERR, 0);
    EXPECT_EQ(run.poller->getChannelCount(), 0u);
}

TEST(Process, StatusOfAChildKilledBySignalIsNegative) {
    auto self = startShell("kill -KILL $$");
    EXPECT_EQ(self->waitFor(), -SIGKILL);

    auto terminated = startShell("read x");
    EXPECT_TRUE(terminated->isAlive());
    EXPECT_TRUE(terminated->sendSignal(SIGTERM));
    EXPECT_EQ(terminated->waitFor(), -SIGTERM);

    auto failing = startShell("exit 255");
    EXPECT_EQ(failing->waitFor(), 255);
}

TEST(Process, ChildThatIgnoresSigtermNeedsSigkill) {
    auto p = startShell("trap '' TERM; echo ready; read x");
    ChildRun run(p);
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (run.out->data != "ready\n" && std::chrono::steady_clock::now() < deadline) run.poller->poll(1000);
    ASSERT_EQ(run.out->data, "ready\n");

    EXPECT_TRUE(p->sendSignal(SIGTERM));
    run.poller->poll(200);
    EXPECT_TRUE(p->isAlive());
    EXPECT_EQ(p->tryWait(), std::nullopt);

    EXPECT_TRUE(p->sendSignal(SIGKILL));
    EXPECT_EQ(p->waitFor(), -SIGKILL);
    ASSERT_TRUE(run.untilOutputEnds(p));
}

TEST(Process, ChildStartsWithEmptySignalMaskAndDefaultDispositions) {
    // The caller runs as a framework thread would: termination signals
    // blocked, SIGPIPE ignored.
    SigpipeDisposition ignorePipe(SIG_IGN);
    std::string out;
    std::thread t([&] {
        blockTerminationSignals();
        auto p = startShell("while read l; do case $l in SigBlk*|SigIgn*) echo \"$l\";; esac; done </proc/self/status");
        ChildRun run(p);
        if (run.untilOutputEnds(p)) out = run.out->data;
        EXPECT_EQ(p->waitFor(), 0);
    });
    t.join();
    unsigned long long blocked = ~0ull, ignored = ~0ull;
    ASSERT_EQ(std::sscanf(out.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2) << out;
    EXPECT_EQ(blocked, 0u) << out;
    // glibc's posix_spawn leaves its own internal signals (from 32 below
    // SIGRTMIN) ignored when the parent handles them.
    for (int sig = 32; sig < SIGRTMIN; ++sig) ignored &= ~(1ull << (sig - 1));
    EXPECT_EQ(ignored, 0u) << out;
}

TEST(Process, LargeOutputOnBothStreamsDoesNotDeadlock) {
    // stderr is filled first while stdout stays quiet, then the other way
    // round; a reader that waited on one stream only would block for good.
    // `yes` ends by SIGPIPE when head is done: with SIGPIPE ignored in the
    // child it would complain on stderr instead.
    SigpipeDisposition ignorePipe(SIG_IGN);
    const size_t size = 3u << 20;
    auto p = startShell("yes 0123456789abcde | head -c " + std::to_string(size) +
                        " >&2; yes ABCDEFGHIJKLMNO | head -c " + std::to_string(size));
    ChildRun run(p, 65536);
    ASSERT_TRUE(run.untilOutputEnds(p));
    EXPECT_EQ(p->waitFor(), 0);
    ASSERT_EQ(run.out->data.size(), size);
    ASSERT_EQ(run.err->data.size(), size);
    for (size_t i = 0; i < size; i += 16) {
        ASSERT_EQ(run.out->data.compare(i, 16, "ABCDEFGHIJKLMNO\n"), 0) << "stdout at " << i;
        ASSERT_EQ(run.err->data.compare(i, 16, "0123456789abcde\n"), 0) << "stderr at " << i;
    }
}

TEST(Process, WritesToTheChildsStdin) {
    auto p = startShell("read a; echo \"got $a\"; cat");
    ChildRun run(p);
    auto in = p->getStdin();
    const std::string text = "hello\nworld without newline";
    EXPECT_EQ(in->write(text.data(), text.size()), static_cast<ssize_t>(text.size()));
    in->close();
    EXPECT_FALSE(in->isOpen());
    EXPECT_EQ(in->write("x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    ASSERT_TRUE(run.untilOutputEnds(p));
    EXPECT_EQ(run.out->data, "got hello\nworld without newline");
    EXPECT_EQ(p->waitFor(), 0);
}

TEST(Process, StdinWritesNeverBlockNorRaiseSigpipe) {
    // With SIGPIPE at its default a raised SIGPIPE would end this test program.
    SigpipeDisposition defaultPipe(SIG_DFL);
    auto p = startShell("exec sleep 30");
    auto in = p->getStdin();
    const std::string block(65536, 'x');
    ssize_t n = 0;
    size_t total = 0;
    for (int i = 0; i < 64 && (n = in->write(block.data(), block.size())) > 0; ++i) total += static_cast<size_t>(n);
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GT(total, 0u);

    EXPECT_TRUE(p->sendSignal(SIGKILL));
    EXPECT_EQ(p->waitFor(), -SIGKILL);
    errno = 0;
    EXPECT_EQ(in->write("x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));
}

TEST(Process, NoDescriptorLeaksIntoTheChildOrStaysInTheParent) {
    const int before = countOpenFds();
    const int leaky = open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 0);
    {
        auto p = startShell("exec ls -l /proc/self/fd");
        ChildRun run(p);
        ASSERT_TRUE(run.untilOutputEnds(p));
        EXPECT_EQ(p->waitFor(), 0);
        EXPECT_EQ(run.err->data, "");

        std::map<int, std::string> fds;
        std::istringstream lines(run.out->data);
        std::string line;
        while (std::getline(lines, line)) {
            const size_t arrow = line.find(" -> ");
            if (arrow == std::string::npos) continue;
            const size_t space = line.rfind(' ', arrow - 1);
            fds[std::stoi(line.substr(space + 1, arrow - space - 1))] = line.substr(arrow + 4);
        }
        for (int fd = 0; fd < 3; ++fd) {
            ASSERT_TRUE(fds.count(fd)) << run.out->data;
            EXPECT_EQ(fds[fd].rfind("pipe:[", 0), 0u) << fd << " -> " << fds[fd];
        }
        // Besides 0, 1 and 2 only ls's own handle on the directory it lists.
        fds.erase(0), fds.erase(1), fds.erase(2);
        EXPECT_LE(fds.size(), 1u) << run.out->data;
        for (const auto& [fd, target] : fds) EXPECT_EQ(target.rfind("/proc/", 0), 0u) << fd << " -> " << target;
    }
    close(leaky);
    EXPECT_EQ(countOpenFds(), before);
}

TEST(Process, StartFailureNamesTheExecutableAndLeavesNothingOpen) {
    const int before = countOpenFds();
    auto p = Process::newInstance();
    try {
        p->start("/nonexistent/plume-no-such-program", {"[missing]"});
        FAIL() << "start succeeded";
    } catch (const CException& e) {
        EXPECT_NE(e.getMessage().find("/nonexistent/plume-no-such-program"), std::string::npos) << e.getMessage();
        EXPECT_EQ(e.getErrno(), ENOENT);
    }
    EXPECT_EQ(p->getPid(), -1);
    EXPECT_TRUE(p->getStdout() == nullptr);
    EXPECT_FALSE(p->isAlive());
    EXPECT_THROW(p->waitFor(), Exception);
    EXPECT_THROW(p->start("/bin/sh", std::vector<std::string>{}), Exception);
    EXPECT_EQ(countOpenFds(), before);

    auto twice = startShell("exit 0");
    EXPECT_THROW(twice->start("/bin/sh", {"sh", "-c", "exit 0"}), Exception);
    EXPECT_EQ(twice->waitFor(), 0);
}

TEST(Process, DestroyingTheOwnerKillsAndReapsARunningChild) {
    pid_t pid;
    ObjPtr<Channel> out;
    {
        auto p = startShell("trap '' TERM; read x");
        pid = p->getPid();
        out = p->getStdout();  // a channel outliving its process is harmless
    }
    EXPECT_TRUE(isGone(pid));

    // An exception between start and wait.
    try {
        auto p = startShell("read x");
        pid = p->getPid();
        throw std::runtime_error("render step failed");
    } catch (const std::runtime_error&) {
    }
    EXPECT_TRUE(isGone(pid));
}

TEST(Process, InterruptedWaitLeavesTheChildToBeReapedLater) {
    Usr1Handler handler;
    auto p = startShell("read x");
    const pid_t pid = p->getPid();
    std::atomic<bool> done{false};
    bool interrupted = false;
    std::thread waiter([&] {
        try {
            p->waitFor();
        } catch (const CException& e) {
            interrupted = e.isInterrupt();
        }
        done = true;
    });
    signalUntil(waiter, done);
    waiter.join();
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(p->isAlive());
    p.reset();
    EXPECT_TRUE(isGone(pid));
}

TEST(Process, SignalFromAnotherThreadEndsAWait) {
    auto p = startShell("read x");
    std::atomic<int> status{1};
    std::thread waiter([&] { status = p->waitFor(); });
    std::this_thread::sleep_for(20ms);
    EXPECT_TRUE(p->sendSignal(SIGTERM));
    waiter.join();
    EXPECT_EQ(status.load(), -SIGTERM);
    EXPECT_FALSE(p->sendSignal(SIGKILL));
}

TEST(Process, InterruptsOfAWorkerPollBecomeSignalsUntilTheChildEnds) {
    // A worker runs a child as the ghostscript runner does, and shutdown
    // interrupts its poll from another thread until the run ends: SIGTERM
    // first (ignored by this child), SIGKILL on every later interrupt.
    ObjPtr<ChannelPoller> poller = ChannelPoller::newInstance();
    std::atomic<bool> ready{false}, done{false};
    std::atomic<int> status{0}, interrupts{0};
    std::atomic<pid_t> pid{-1};
    std::thread worker([&] {
        blockTerminationSignals();
        try {
            auto p = Process::newInstance();
            p->start("/bin/sh", {"[plume-test-sh]", "-c", "trap '' TERM; echo ready; read x"});
            pid = p->getPid();
            auto out = makeObj<Collector>(), err = makeObj<Collector>();
            poller->registerChannel(p->getStdout(), out, POLLIN);
            poller->registerChannel(p->getStderr(), err, POLLIN);
            while (p->getStdout()->isOpen() || p->getStderr()->isOpen()) {
                try {
                    poller->poll(1000);
                    if (out->data == "ready\n") ready = true;
                } catch (const CException& e) {
                    if (!e.isInterrupt()) throw;
                    p->sendSignal(interrupts++ == 0 ? SIGTERM : SIGKILL);
                }
            }
            status = p->waitFor();
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!ready && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        poller->interrupt();
        std::this_thread::sleep_for(50ms);
    }
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_GE(interrupts.load(), 2);
    EXPECT_EQ(status.load(), -SIGKILL);
    EXPECT_TRUE(isGone(pid));
}

namespace {

struct PipeChannels {
    ObjPtr<Channel> reader, writer;
    PipeChannels() {
        int fds[2];
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        reader = Channel::newInstance(UniqueFd(fds[0]), "test pipe reader");
        writer = Channel::newInstance(UniqueFd(fds[1]), "test pipe writer");
    }
};

// Closes its channel on hang-up before looking at input, and reads one chunk
// per event (the order an output logger may use).
struct HangupFirst : PollEventHandler {
    std::string data;
    void handleEvent(ChannelPoller& poller, const ObjPtr<Channel>& channel, int events) override {
        if (events & (POLLERR | POLLHUP)) {
            poller.unregisterChannel(channel);
            channel->close();
        } else if (events & POLLIN) {
            std::string chunk;
            if (channel->readChunk(chunk, 2048) == Channel::ReadResult::Data) data += chunk;
        }
    }
};

// Unregisters and closes another channel, and its own.
struct Closer : PollEventHandler {
    ObjPtr<Channel> other;
    int calls = 0;
    void handleEvent(ChannelPoller& poller, const ObjPtr<Channel>& channel, int) override {
        ++calls;
        poller.unregisterChannel(other);
        other->close();
        poller.unregisterChannel(channel);
        channel->close();
    }
};

}  // namespace

TEST(ChannelPoller, TimesOutAndReadsChunks) {
    PipeChannels pipe;
    auto poller = ChannelPoller::newInstance();
    auto c = makeObj<Collector>(4);
    poller->registerChannel(pipe.reader, c, POLLIN);
    EXPECT_EQ(poller->poll(10), 0);
    std::string chunk = "stale";
    EXPECT_EQ(pipe.reader->readChunk(chunk, 4), Channel::ReadResult::WouldBlock);
    EXPECT_EQ(chunk, "");

    EXPECT_EQ(pipe.writer->write("0123456789", 10), 10);
    pipe.writer->close();
    for (int i = 0; i < 10 && !c->closed; ++i) EXPECT_EQ(poller->poll(1000), 1);
    EXPECT_EQ(c->data, "0123456789");
    EXPECT_EQ(c->calls, 4);  // 4 + 4 + 2 bytes, then the end
    EXPECT_FALSE(pipe.reader->isOpen());
    EXPECT_EQ(pipe.reader->readChunk(chunk, 4), Channel::ReadResult::Error);
    EXPECT_EQ(errno, EBADF);
}

TEST(ChannelPoller, HangupComesOnlyAfterTheLastData) {
    PipeChannels pipe;
    const std::string text(10000, 'q');
    ASSERT_EQ(pipe.writer->write(text.data(), text.size()), static_cast<ssize_t>(text.size()));
    pipe.writer->close();
    auto poller = ChannelPoller::newInstance();
    auto h = makeObj<HangupFirst>();
    poller->registerChannel(pipe.reader, h, POLLIN);
    for (int i = 0; i < 20 && pipe.reader->isOpen(); ++i) poller->poll(1000);
    EXPECT_FALSE(pipe.reader->isOpen());
    EXPECT_EQ(h->data.size(), text.size());
}

TEST(ChannelPoller, HandlersMayUnregisterAndCloseChannels) {
    PipeChannels a, b;
    auto poller = ChannelPoller::newInstance();
    auto closer = makeObj<Closer>();
    closer->other = b.reader;
    auto untouched = makeObj<Collector>();
    poller->registerChannel(a.reader, closer, POLLIN);
    poller->registerChannel(b.reader, untouched, POLLIN);
    EXPECT_EQ(a.writer->write("a", 1), 1);
    EXPECT_EQ(b.writer->write("b", 1), 1);
    EXPECT_EQ(poller->poll(1000), 1);
    EXPECT_EQ(closer->calls, 1);
    EXPECT_EQ(untouched->calls, 0);
    EXPECT_EQ(poller->getChannelCount(), 0u);

    // A channel closed without unregistering is dropped by the next poll.
    PipeChannels c;
    poller->registerChannel(c.reader, untouched, POLLIN);
    c.reader->close();
    EXPECT_TRUE(poller->isRegistered(c.reader));
    EXPECT_EQ(poller->poll(0), 0);
    EXPECT_FALSE(poller->isRegistered(c.reader));

    EXPECT_THROW(poller->registerChannel(c.reader, untouched, POLLIN), Exception);
    EXPECT_THROW(poller->registerChannel(nullptr, untouched, POLLIN), Exception);
    EXPECT_THROW(poller->registerChannel(a.writer, nullptr, POLLIN), Exception);
    EXPECT_FALSE(poller->unregisterChannel(a.writer));
}

TEST(ChannelPoller, InterruptFromAnotherThreadWakesABlockedPoll) {
    PipeChannels pipe;
    auto poller = ChannelPoller::newInstance();
    poller->registerChannel(pipe.reader, makeObj<Collector>(), POLLIN);

    const auto t0 = std::chrono::steady_clock::now();
    std::thread other([poller] {
        std::this_thread::sleep_for(50ms);
        poller->interrupt();
    });
    bool interrupted = false;
    try {
        poller->poll(30000);
    } catch (const CException& e) {
        interrupted = e.isInterrupt();
    }
    other.join();
    EXPECT_TRUE(interrupted);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 15s);

    // Interrupts made before a poll are taken by that one poll only.
    poller->interrupt();
    poller->interrupt();
    try {
        poller->poll(0);
        ADD_FAILURE() << "poll after interrupt() did not throw";
    } catch (const CException& e) {
        EXPECT_TRUE(e.isInterrupt());
    }
    EXPECT_EQ(poller->poll(0), 0);
}

TEST(ChannelPoller, SignalToThePollingThreadThrowsInterrupt) {
    Usr1Handler handler;
    PipeChannels pipe;
    auto poller = ChannelPoller::newInstance();
    poller->registerChannel(pipe.reader, makeObj<Collector>(), POLLIN);
    std::atomic<bool> done{false};
    bool interrupted = false;
    std::thread polling([&] {
        try {
            poller->poll(30000);
        } catch (const CException& e) {
            interrupted = e.isInterrupt();
        }
        done = true;
    });
    signalUntil(polling, done);
    polling.join();
    EXPECT_TRUE(interrupted);
}
