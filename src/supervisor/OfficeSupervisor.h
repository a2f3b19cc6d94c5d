// xadooo's building blocks: its command line, the five office settings and
// the child's argument vector, the handler that logs the child's output, the
// record of the child's life shown by status requests, and the supervision
// loop that starts the office suite, restarts it one second after it ends and
// stops it in two stages (SIGTERM, then SIGKILL) when the supervisor is
// interrupted.
//
// Thread-safety: the supervision loop and the handlers run on one thread (the
// poller calls the handlers inside its poll). ChildRecord is the one object
// shared with another thread: the daemon support's status listener reads it
// through MyDaemonStateful::printState.
#pragma once

#include "plume/ChannelPoller.h"
#include "plume/ConfigOptions.h"
#include "plume/Daemon.h"
#include "plume/Process.h"
#include "plume/Thread.h"

#include <cstdint>
#include <ctime>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Xadra {
namespace Office {

// ----- command line -----------------------------------------------------

struct SupervisorOptions {
    std::string applicationName = "xad";
    bool daemonize = true;       // "-n" clears it
    bool stopRequest = false;    // "-k"
    bool statusRequest = false;  // "-s"

    // "xad/" + application name + "_xadooo"
    std::string daemonName() const { return "xad/" + applicationName + "_xadooo"; }
    // Whether a daemon support object is needed at all.
    bool needsDaemon() const { return daemonize || stopRequest || statusRequest; }
    // The two configuration files, in load order, under the configuration
    // directory (XAD_CONF_DIR when set and not empty, else "/etc/xad"), the
    // same files the rendering daemon reads.
    std::string globalConfigFile() const;
    std::string applicationConfigFile() const;
};

// Scans argv[1..] after the log options were removed. "--KEY=VALUE"
// arguments are configuration values (the configuration object takes them)
// and are passed over. Throws Xadra::Exception (category xadrad, level 3)
// "No application name for option -a given." or "Unknown option %s specified.".
SupervisorOptions parseSupervisorOptions(int argc, char** argv);

// ----- settings and the child's argument vector --------------------------

inline constexpr char kDefaultOfficeBinary[] = "/usr/bin/soffice";

// The five configuration keys. The defaults start today's Debian LibreOffice
// ("libreoffice-nogui" provides /usr/bin/soffice), which spells its options
// with two dashes.
struct OfficeSettings {
    std::string user = "ooorun";              // OOO_USER
    std::string port = "8100";                // OOO_PORT
    std::string listenHost = "127.0.0.1";     // OOO_LISTEN_HOST
    std::string binary = kDefaultOfficeBinary;  // OOO_BIN
    std::string extraArgument = "--headless";   // OOO_XARG, passed as one argument

    // Reads the five keys, each falling back to its default above.
    static OfficeSettings fromConfig(const Plume::ConfigOptions& config);

    // "--accept=socket,host=" + host + ",port=" + port + ";urp;StarOffice.ServiceManager"
    std::string acceptorArgument() const;
    // "[xadooo]" (the child's process name), the extra argument, the acceptor.
    std::vector<std::string> argumentVector() const;
};

// ----- what the status report shows about the child ----------------------

// The life of the supervised child, updated by the loop and read by status
// requests. Thread-safe: every member function takes the record's mutex.
class ChildRecord : public virtual Plume::Object {
public:
    void started(pid_t pid);
    void startFailed(const std::string& reason);
    void ended(int status);

    // One line, without newline, for instance
    // "office: running as pid 42 since 2026-12-09T16:40:00, 3 starts, last exit status 1"
    // or "office: not running, 5 starts, last exit status -9 at ...".
    std::string describe() const;

    unsigned getStarts() const;
    pid_t getPid() const;           // 0 while no child runs
    bool hasLastStatus() const;
    int getLastStatus() const;

private:
    mutable Plume::Mutex mutex_;
    unsigned starts_ GUARDED_BY(mutex_) = 0;
    pid_t pid_ GUARDED_BY(mutex_) = 0;
    time_t since_ GUARDED_BY(mutex_) = 0;
    bool hasStatus_ GUARDED_BY(mutex_) = false;
    int lastStatus_ GUARDED_BY(mutex_) = 0;
    time_t endedAt_ GUARDED_BY(mutex_) = 0;
    std::string startError_ GUARDED_BY(mutex_);
};

// The running supervisor's state object: the version line, the child's line
// of the record, then the recent-message ring. Called on the daemon
// support's status listener thread.
class MyDaemonStateful : public Plume::Sock::Stateful {
public:
    explicit MyDaemonStateful(Plume::ObjPtr<ChildRecord> record) : record_(std::move(record)) {}
    void printState(std::ostream& out) override;

private:
    Plume::ObjPtr<ChildRecord> record_;
};

// ----- the child's output -------------------------------------------------

// Watches one of the child's streams ("stdin", "stdout" or "stderr"). Lines
// the child writes are logged as "<name>: <line>" (into the ring too); a
// piece of a read that does not end with a newline is logged at once with
// "<eol missing>." appended, so a line split across two reads becomes two
// messages. End of stream, an error or a hang-up unregisters and closes the
// channel. Never throws.
class MyPollEventHandler : public Plume::PollEventHandler {
public:
    static constexpr size_t kReadSize = 2048;

    explicit MyPollEventHandler(std::string name) : name_(std::move(name)) {}
    const std::string& getName() const { return name_; }
    void handleEvent(Plume::ChannelPoller& poller, const Plume::ObjPtr<Plume::Channel>& channel,
                     int events) override;

private:
    std::string name_;
};

// ----- the supervision loop -------------------------------------------------

struct SupervisorTimings {
    int restartPauseMs = 1000;  // pause between the end of a child and its successor
    int killTimeoutMs = 5000;   // SIGTERM without the streams closing: then SIGKILL
    int pollTimeoutMs = 3000;   // longest single wait for the child's output
};

// Runs the office suite until the supervisor is interrupted (SIGINT, or
// SIGTERM/SIGHUP through the framework's hang-up indication; the framework's
// signal handlers must be installed). run() replaces the handlers of SIGINT,
// SIGTERM and SIGHUP by ones that do what the framework's do and also wake
// the loop through an eventfd, so that a signal that arrives between two
// waits is not lost. The process becomes a child subreaper,
// so that what the office starts stays visible to the supervisor: signals go
// to the child and to every process below it, and what is left of it when
// the child has been reaped is killed and reaped before the next start.
// Reaps its own children only (no other part of the process may start child
// processes while run() runs).
class OfficeSupervisor {
public:
    OfficeSupervisor(OfficeSettings settings, Plume::ObjPtr<ChildRecord> record,
                     SupervisorTimings timings = SupervisorTimings());

    // The loop. Returns 0 once a stop request has ended the child. Start
    // failures of the executable are logged and retried like a child that
    // ended at once. Throws what the poller throws other than an
    // interruption, and Xadra::CException when the wake eventfd cannot be made.
    int run();

private:
    enum class Life { Ended, Stopped };
    // One start of the child through its end.
    Life superviseOnce();
    // Sleeps the restart pause; true when an interruption came meanwhile.
    bool pause();

    OfficeSettings settings_;
    Plume::ObjPtr<ChildRecord> record_;
    SupervisorTimings timings_;
};

// ----- processes below the child --------------------------------------------

// Every process below root (children before grandchildren), read from /proc.
std::vector<pid_t> descendantsOf(pid_t root);
// The direct children of parent, read from /proc.
std::vector<pid_t> childrenOf(pid_t parent);

// Makes this process a child subreaper (orphans below it become its
// children). False, with errno, when the kernel refuses.
bool becomeSubreaper();

}  // namespace Office
}  // namespace Xadra
