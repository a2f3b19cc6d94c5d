#include "OfficeSupervisor.h"

#include "plume/Exception.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/Version.h"
#include "xadracommon/XadraException.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace Xadra {
namespace Office {

namespace {

std::string configurationDirectory() {
    const char* d = std::getenv("XAD_CONF_DIR");
    return d && *d ? std::string(d) : std::string("/etc/xad");
}

std::string localTime(time_t t) {
    struct tm tm;
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    return stamp;
}

// The parent process id of pid from /proc/<pid>/stat; -1 when it is gone.
pid_t parentOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return -1;
    // "pid (comm) state ppid ...": comm may hold blanks and parentheses.
    size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    char state = 0;
    int ppid = -1;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return -1;
    return ppid;
}

// Parent links of every process in /proc.
std::multimap<pid_t, pid_t> processTree() {
    std::multimap<pid_t, pid_t> children;
    DIR* dir = ::opendir("/proc");
    if (!dir) return children;
    while (struct dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long pid = std::strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end) continue;
        pid_t ppid = parentOf(static_cast<pid_t>(pid));
        if (ppid > 0) children.emplace(ppid, static_cast<pid_t>(pid));
    }
    ::closedir(dir);
    return children;
}

// Set by SIGINT. The framework's SIGINT handler only interrupts a blocking
// call; one that arrives while the loop handles output would be lost.
std::atomic<bool> g_interruptSignal{false};
// Written by the signal handlers and watched by every wait of the loop, so
// that a signal that arrives just before a wait still ends it at once. Made
// once and kept open for the life of the process (a handler may write to it
// at any time).
int g_wakeFd = -1;

void wake() {
    if (g_wakeFd < 0) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(g_wakeFd, &one, sizeof one);
    (void)ignored;
}

extern "C" void xadoooOnInterrupt(int) {
    int saved = errno;
    g_interruptSignal.store(true);
    wake();
    errno = saved;
}

extern "C" void xadoooOnTermination(int) {
    int saved = errno;
    Plume::setHupSignalCatched();
    wake();
    errno = saved;
}

// Replaces the framework's handlers by ones that do the same (SIGTERM and
// SIGHUP set the hang-up indication) and also wake the loop, keeping their
// flags (no SA_RESTART: blocking calls fail with EINTR).
void recordInterruptSignals() {
    if (g_wakeFd < 0) {
        g_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (g_wakeFd < 0) throw CException(CAT_DAEMON, 3, "Cannot create the eventfd through which signals wake the supervisor");
    }
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sa.sa_handler = xadoooOnInterrupt;
    ::sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = xadoooOnTermination;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
}

void drainWake() {
    uint64_t n;
    while (g_wakeFd >= 0 && ::read(g_wakeFd, &n, sizeof n) == static_cast<ssize_t>(sizeof n)) {
    }
}

// An interruption that did not interrupt a blocking call: a SIGINT recorded
// since the last look, or the hang-up indication (SIGTERM, SIGHUP).
bool interruptPending() { return g_interruptSignal.exchange(false) || Plume::getHupSignalCatched(); }

// Sleeps ms milliseconds; true when a signal came meanwhile or before.
bool interruptibleSleep(int ms) {
    if (interruptPending()) return true;
    pollfd p{g_wakeFd, POLLIN, 0};
    bool interrupted = ::poll(&p, 1, ms) < 0 && errno == EINTR;
    drainWake();
    return interruptPending() || interrupted;
}

// Watches the wake descriptor inside the loop's poller: empties it; the
// flags tell what came.
class WakeHandler : public Plume::PollEventHandler {
public:
    void handleEvent(Plume::ChannelPoller&, const Plume::ObjPtr<Plume::Channel>&, int) override { drainWake(); }
};

// Sends sig to the child and to every process below it, and to the orphans of
// earlier generations that were handed to this process (it is a subreaper).
void signalChildTree(Plume::Process& process, int sig) {
    pid_t child = process.getPid();
    std::vector<pid_t> others;
    if (child > 0) others = descendantsOf(child);
    for (pid_t adopted : childrenOf(::getpid())) {
        if (adopted == child) continue;
        others.push_back(adopted);
        for (pid_t below : descendantsOf(adopted)) others.push_back(below);
    }
    try {
        process.sendSignal(sig);
    } catch (const Plume::Exception& e) {
        e.log();
    } catch (...) {
        logCategory(CAT_DAEMON, 3, "Caught unknown exception while sending signal to child process.");
    }
    for (pid_t p : others) ::kill(p, sig);
}

// Kills and reaps what is left below this process once the child has been
// reaped (an office process that outlived the one that started it would keep
// the port and receive the next start's request). Only valid while no
// Process object of this loop holds an unreaped child.
void endLeftovers() {
    for (pid_t p : childrenOf(::getpid())) {
        std::vector<pid_t> tree = descendantsOf(p);
        logMessage(4, "Sending signal 9 to left-over process %d.", static_cast<int>(p));
        ::kill(p, SIGKILL);
        for (pid_t below : tree) ::kill(below, SIGKILL);
    }
    // Reap them, and any zombie an orphan left behind.
    for (;;) {
        int ws = 0;
        pid_t r = ::waitpid(-1, &ws, childrenOf(::getpid()).empty() ? WNOHANG : 0);
        if (r > 0) continue;
        if (r < 0 && errno == EINTR) continue;
        break;
    }
}

}  // namespace

// ----- command line -----------------------------------------------------

std::string SupervisorOptions::globalConfigFile() const { return configurationDirectory() + "/xad.conf"; }

std::string SupervisorOptions::applicationConfigFile() const {
    return configurationDirectory() + "/" + applicationName + "/xad.conf";
}

SupervisorOptions parseSupervisorOptions(int argc, char** argv) {
    SupervisorOptions o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-a") {
            if (i + 1 >= argc) throw Exception(CAT_DAEMON, 3, "No application name for option -a given.");
            o.applicationName = argv[++i];
        } else if (a.rfind("-a", 0) == 0) {
            o.applicationName = a.substr(2);
        } else if (a == "-n" || a == "-k" || a == "-s") {
            bool& flag = a == "-k" ? o.stopRequest : a == "-s" ? o.statusRequest : o.daemonize;
            flag = a != "-n";
        } else if (a.rfind("--", 0) != 0 || a.find('=') == std::string::npos || a[2] == '=') {
            throw Exception(CAT_DAEMON, 3, "Unknown option %s specified.", a.c_str());
        }
    }
    return o;
}

// ----- settings ------------------------------------------------------------

OfficeSettings OfficeSettings::fromConfig(const Plume::ConfigOptions& config) {
    OfficeSettings s;
    s.user = config.getString("OOO_USER", s.user);
    s.port = config.getString("OOO_PORT", s.port);
    s.listenHost = config.getString("OOO_LISTEN_HOST", s.listenHost);
    s.binary = config.getString("OOO_BIN", s.binary);
    s.extraArgument = config.getString("OOO_XARG", s.extraArgument);
    return s;
}

std::string OfficeSettings::acceptorArgument() const {
    return "--accept=socket,host=" + listenHost + ",port=" + port + ";urp;StarOffice.ServiceManager";
}

std::vector<std::string> OfficeSettings::argumentVector() const {
    return {"[xadooo]", extraArgument, acceptorArgument()};
}

// ----- child record ----------------------------------------------------------

void ChildRecord::started(pid_t pid) {
    Plume::MutexLock lock(mutex_);
    ++starts_;
    pid_ = pid;
    since_ = std::time(nullptr);
    startError_.clear();
}

void ChildRecord::startFailed(const std::string& reason) {
    Plume::MutexLock lock(mutex_);
    ++starts_;
    pid_ = 0;
    startError_ = reason;
    endedAt_ = std::time(nullptr);
}

void ChildRecord::ended(int status) {
    Plume::MutexLock lock(mutex_);
    pid_ = 0;
    hasStatus_ = true;
    lastStatus_ = status;
    endedAt_ = std::time(nullptr);
}

std::string ChildRecord::describe() const {
    Plume::MutexLock lock(mutex_);
    std::string s = "office: ";
    if (pid_ > 0)
        s += "running as pid " + std::to_string(pid_) + " since " + localTime(since_);
    else
        s += "not running";
    s += ", " + std::to_string(starts_) + (starts_ == 1 ? " start" : " starts");
    if (!startError_.empty()) s += ", last start failed at " + localTime(endedAt_) + ": " + startError_;
    if (hasStatus_) {
        s += ", last exit status " + std::to_string(lastStatus_);
        if (pid_ <= 0 && startError_.empty()) s += " at " + localTime(endedAt_);
    }
    return s;
}

unsigned ChildRecord::getStarts() const {
    Plume::MutexLock lock(mutex_);
    return starts_;
}
pid_t ChildRecord::getPid() const {
    Plume::MutexLock lock(mutex_);
    return pid_;
}
bool ChildRecord::hasLastStatus() const {
    Plume::MutexLock lock(mutex_);
    return hasStatus_;
}
int ChildRecord::getLastStatus() const {
    Plume::MutexLock lock(mutex_);
    return lastStatus_;
}

void MyDaemonStateful::printState(std::ostream& out) {
    out << "xadooo " << VERSION << " (" << BUILD_STAMP << ")\n";
    if (record_) out << record_->describe() << "\n";
    out.flush();
    ringReport(out);
    out.flush();
}

// ----- output handler --------------------------------------------------------

void MyPollEventHandler::handleEvent(Plume::ChannelPoller& poller, const Plume::ObjPtr<Plume::Channel>& channel,
                                     int events) {
    auto drop = [&] {
        poller.unregisterChannel(channel);
        channel->close();
    };
    if (events & POLLERR) {
        logCategory(CAT_DAEMON, 7, "%s reports an error.", name_.c_str());
        drop();
    } else if (events & POLLHUP) {
        logCategory(CAT_DAEMON, 7, "%s reports hangup.", name_.c_str());
        drop();
    } else if (events & POLLIN) {
        std::string chunk;
        switch (channel->readChunk(chunk, kReadSize)) {
        case Plume::Channel::ReadResult::Data: {
            size_t begin = 0;
            for (size_t eol; (eol = chunk.find('\n', begin)) != std::string::npos; begin = eol + 1)
                logMessage(6, "%s: %.*s", name_.c_str(), static_cast<int>(eol - begin), chunk.data() + begin);
            if (begin < chunk.size())
                logMessage(6, "%s: %.*s<eol missing>.", name_.c_str(), static_cast<int>(chunk.size() - begin),
                           chunk.data() + begin);
            break;
        }
        case Plume::Channel::ReadResult::WouldBlock:
            break;
        case Plume::Channel::ReadResult::EndOfFile:
        case Plume::Channel::ReadResult::Error:
            logMessage(6, "%s: peer closed connection.", name_.c_str());
            drop();
            break;
        }
    }
}

// ----- supervision loop ------------------------------------------------------

OfficeSupervisor::OfficeSupervisor(OfficeSettings settings, Plume::ObjPtr<ChildRecord> record,
                                   SupervisorTimings timings)
    : settings_(std::move(settings)), record_(std::move(record)), timings_(timings) {
    if (!record_) record_ = Plume::makeObj<ChildRecord>();
}

int OfficeSupervisor::run() {
    recordInterruptSignals();
    g_interruptSignal.store(false);
    if (!becomeSubreaper())
        logCategory(CAT_DAEMON, 4, "Cannot become a child subreaper (%s); processes the office leaves behind may escape.",
                    std::strerror(errno));
    for (;;) {
        if (superviseOnce() == Life::Stopped) return 0;
        logMessage(6, "Sleeping 1 second before restarting OpenOffice.org.");
        if (pause()) {
            logMessage(6, "Stop requested during the restart pause; not restarting.");
            return 0;
        }
    }
}

bool OfficeSupervisor::pause() {
    int64_t end = Plume::getCurrentTimeMillis() + timings_.restartPauseMs;
    for (int64_t now; (now = Plume::getCurrentTimeMillis()) < end;)
        if (interruptibleSleep(static_cast<int>(end - now))) return true;
    return interruptPending();
}

OfficeSupervisor::Life OfficeSupervisor::superviseOnce() {
    std::vector<std::string> argv = settings_.argumentVector();
    logMessage(6, "Starting %s %s %s", settings_.binary.c_str(), argv[1].c_str(), argv[2].c_str());

    auto process = Plume::Process::newInstance();
    try {
        process->start(settings_.binary, argv);
    } catch (const Plume::Exception& e) {
        // A missing or unusable executable is retried like a child that
        // ended at once: one line per attempt, one attempt per pause.
        logMessage(3, "%s", e.what());
        record_->startFailed(e.what());
        return Life::Ended;
    }
    record_->started(process->getPid());

    auto poller = Plume::ChannelPoller::newInstance();
    Plume::ObjPtr<Plume::Channel> in = process->getStdin(), out = process->getStdout(), err = process->getStderr();
    poller->registerChannel(in, Plume::makeObj<MyPollEventHandler>("stdin"), 0);
    poller->registerChannel(out, Plume::makeObj<MyPollEventHandler>("stdout"), POLLIN);
    poller->registerChannel(err, Plume::makeObj<MyPollEventHandler>("stderr"), POLLIN);
    auto wakeChannel = Plume::Channel::newInstance(Plume::UniqueFd(::fcntl(g_wakeFd, F_DUPFD_CLOEXEC, 3)),
                                                   "interrupt signals of xadooo");
    poller->registerChannel(wakeChannel, Plume::makeObj<WakeHandler>(), POLLIN);

    int64_t interruptTime = 0;
    bool killed = false;
    // The two stages of a stop: the first interruption sends SIGTERM, a
    // second one SIGKILL.
    auto onInterrupt = [&] {
        if (interruptTime != 0) {
            logMessage(4, "Sending signal 9 upon repeated interrupt.");
            signalChildTree(*process, SIGKILL);
            killed = true;
        } else {
            interruptTime = Plume::getCurrentTimeMillis();
            logMessage(4, "Sending signal 15 upon interrupt.");
            signalChildTree(*process, SIGTERM);
            Plume::resetHupSignalCatched();
        }
    };
    auto killDue = [&] {
        return interruptTime != 0 && Plume::getCurrentTimeMillis() - interruptTime >= timings_.killTimeoutMs;
    };
    auto killAfterTimeout = [&] {
        logMessage(4, "Sending signal 9 after %d seconds timeout.", (timings_.killTimeoutMs + 999) / 1000);
        signalChildTree(*process, SIGKILL);
        killed = true;
    };

    while (!killed && (out->isOpen() || err->isOpen())) {
        int timeout = timings_.pollTimeoutMs;
        if (interruptTime != 0) {
            int64_t left = interruptTime + timings_.killTimeoutMs - Plume::getCurrentTimeMillis();
            timeout = static_cast<int>(std::clamp<int64_t>(left, 0, timings_.pollTimeoutMs));
        }
        bool interrupted = false;
        try {
            poller->poll(timeout);
        } catch (const Plume::CException& e) {
            if (!e.isInterrupt()) throw;
            e.log();
            interrupted = true;
        }
        // A signal that arrived between two polls interrupted neither of
        // them, but it was recorded.
        if (interruptPending() || interrupted)
            onInterrupt();
        else if (killDue())
            killAfterTimeout();
    }

    // The streams are closed (or the child was killed): wait for its end.
    // Interruptions meanwhile count as above; a stopped child that does not
    // end by the kill deadline is killed.
    std::optional<int> status;
    for (;;) {
        try {
            status = process->tryWait();
        } catch (const Plume::Exception& e) {
            e.log();
        } catch (...) {
            logCategory(CAT_DAEMON, 3, "Caught unknown exception while waiting for child process.");
        }
        if (status || !process->isAlive()) break;
        if (!killed && killDue()) {
            logMessage(6, "Sending signal 9 because all graceful attempts to stop child failed.");
            signalChildTree(*process, SIGKILL);
            killed = true;
        }
        if (interruptibleSleep(20) && !killed) onInterrupt();
    }
    if (!status) {
        try {
            status = process->waitFor();
        } catch (const Plume::Exception& e) {
            e.log();
        }
    }
    int st = status.value_or(-1);
    logMessage(6, "process returned status %d.", st);
    record_->ended(st);

    for (auto& ch : {in, out, err, wakeChannel}) {
        poller->unregisterChannel(ch);
        ch->close();
    }
    poller.reset();
    process.reset();
    endLeftovers();
    return interruptTime == 0 ? Life::Ended : Life::Stopped;
}

// ----- processes below the child --------------------------------------------

std::vector<pid_t> childrenOf(pid_t parent) {
    std::vector<pid_t> out;
    auto tree = processTree();
    auto [b, e] = tree.equal_range(parent);
    for (auto it = b; it != e; ++it) out.push_back(it->second);
    return out;
}

std::vector<pid_t> descendantsOf(pid_t root) {
    auto tree = processTree();
    std::vector<pid_t> out;
    std::vector<pid_t> level{root};
    while (!level.empty()) {
        std::vector<pid_t> next;
        for (pid_t p : level) {
            auto [b, e] = tree.equal_range(p);
            for (auto it = b; it != e; ++it) next.push_back(it->second);
        }
        out.insert(out.end(), next.begin(), next.end());
        level = std::move(next);
    }
    return out;
}

bool becomeSubreaper() { return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0; }

}  // namespace Office
}  // namespace Xadra
