#include "Process.h"

#include "Exception.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace Plume {

namespace {

// Moves a descriptor above the standard ones, so that the child's dup2 onto
// 0, 1 and 2 cannot overwrite another pipe end (possible when the parent
// runs with a standard descriptor closed).
void liftAboveStandardFds(UniqueFd& fd, const char* path) {
    if (fd.get() > 2) return;
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, 3);
    if (moved < 0) throw CException(4, 3, "Cannot start %s, no descriptor for a pipe", path);
    fd.reset(moved);
}

struct Pipe {
    UniqueFd readEnd, writeEnd;
};

Pipe makePipe(const char* path) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw CException(4, 3, "Cannot start %s, no pipe", path);
    Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
    liftAboveStandardFds(p.readEnd, path);
    liftAboveStandardFds(p.writeEnd, path);
    return p;
}

class FileActions {
public:
    FileActions() { ok_ = posix_spawn_file_actions_init(&fa_) == 0; }
    ~FileActions() {
        if (ok_) posix_spawn_file_actions_destroy(&fa_);
    }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    // 0 or an error number.
    int dup2(int fd, int target) { return ok_ ? posix_spawn_file_actions_adddup2(&fa_, fd, target) : ENOMEM; }
    int closeFrom(int lowest) { return ok_ ? posix_spawn_file_actions_addclosefrom_np(&fa_, lowest) : ENOMEM; }
    const posix_spawn_file_actions_t* get() const { return &fa_; }

private:
    posix_spawn_file_actions_t fa_;
    bool ok_;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ok_ = posix_spawnattr_init(&attr_) == 0; }
    ~SpawnAttributes() {
        if (ok_) posix_spawnattr_destroy(&attr_);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    // Empty signal mask, every signal at its default disposition. 0 or an
    // error number.
    int setCleanSignals() {
        if (!ok_) return ENOMEM;
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        if (int rc = posix_spawnattr_setsigmask(&attr_, &none)) return rc;
        if (int rc = posix_spawnattr_setsigdefault(&attr_, &all)) return rc;
        return posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    const posix_spawnattr_t* get() const { return &attr_; }

private:
    posix_spawnattr_t attr_;
    bool ok_;
};

// Exit code, or the negated number of the signal that ended the child.
int decodeStatus(int rawStatus) {
    if (WIFEXITED(rawStatus)) return WEXITSTATUS(rawStatus);
    if (WIFSIGNALED(rawStatus)) return -WTERMSIG(rawStatus);
    return rawStatus;
}

}  // namespace

ObjPtr<Process> Process::newInstance() { return makeObj<Process>(); }

Process::Process() = default;

Process::~Process() {
    MutexLock lock(mutex_);
    if (pid_ <= 0 || reaped_ || ::getpid() != parentPid_) return;
    if (frameworkLogService().enabled(4, 7))
        plumelog_write("plumethread", 7,
                       "Killing child " + path_ + " (pid " + std::to_string(pid_) + ") that is still running.");
    ::kill(pid_, SIGKILL);
    int raw;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
}

void Process::start(const std::string& path, const std::vector<std::string>& argv) {
    std::vector<const char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(a.c_str());
    args.push_back(nullptr);
    start(path.c_str(), args.data());
}

void Process::start(const char* path, const char* const* argv) {
    {
        MutexLock lock(mutex_);
        if (pid_ > 0) throw Exception(4, 3, "Process %s already started (pid %d).", path_.c_str(), pid_);
    }
    if (!argv || !argv[0]) throw Exception(4, 3, "Cannot start %s without an argument vector.", path);

    Pipe in = makePipe(path), out = makePipe(path), err = makePipe(path);

    FileActions actions;
    SpawnAttributes attributes;
    int rc = actions.dup2(in.readEnd.get(), 0);
    if (rc == 0) rc = actions.dup2(out.writeEnd.get(), 1);
    if (rc == 0) rc = actions.dup2(err.writeEnd.get(), 2);
    if (rc == 0) rc = actions.closeFrom(3);
    if (rc == 0) rc = attributes.setCleanSignals();
    pid_t pid = -1;
    if (rc == 0)
        rc = posix_spawn(&pid, path, actions.get(), attributes.get(), const_cast<char* const*>(argv), environ);
    if (rc != 0) {
        errno = rc;
        throw CException(4, 3, "Cannot start %s", path);
    }

    // From here on the child exists and the destructor reaps it; nothing
    // below may leave it behind unowned.
    {
        MutexLock lock(mutex_);
        pid_ = pid;
    }
    parentPid_ = ::getpid();
    path_ = path;
    const std::string suffix = std::string(" of ") + path + " (pid " + std::to_string(pid) + ")";
    stdin_ = Channel::newInstance(std::move(in.writeEnd), "stdin" + suffix);
    stdout_ = Channel::newInstance(std::move(out.readEnd), "stdout" + suffix);
    stderr_ = Channel::newInstance(std::move(err.readEnd), "stderr" + suffix);
}

pid_t Process::getPid() const {
    MutexLock lock(mutex_);
    return pid_;
}

bool Process::sendSignal(int sig) {
    MutexLock lock(mutex_);
    if (pid_ <= 0 || reaped_) return false;
    // The child is not reaped while the lock is held, so its id is still its own.
    if (::kill(pid_, sig) != 0)
        throw CException(4, 3, "Cannot send signal %d to %s (pid %d)", sig, path_.c_str(), pid_);
    return true;
}

void Process::setReaped(int rawStatus) {
    reaped_ = true;
    status_ = decodeStatus(rawStatus);
}

void Process::throwLostChild() {
    // Someone else reaped the child: its id may be reused, never signal it again.
    const int err = errno;
    reaped_ = true;
    status_ = -1;
    errno = err;
    throw CException(4, 3, "Cannot wait for %s (pid %d)", path_.c_str(), pid_);
}

int Process::waitFor() {
    pid_t pid;
    {
        MutexLock lock(mutex_);
        if (pid_ <= 0) throw Exception(4, 3, "Cannot wait for a process that was not started.");
        if (reaped_) return status_;
        pid = pid_;
    }
    // Wait without reaping, so that sendSignal may go on using the id
    // until the child is reaped under the lock below.
    siginfo_t info;
    if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
        if (errno == EINTR) throw CException(4, 7, "Waiting for %s (pid %d) interrupted", path_.c_str(), pid);
        if (errno != ECHILD) throw CException(4, 3, "Cannot wait for %s (pid %d)", path_.c_str(), pid);
        // ECHILD: perhaps another thread reaped it meanwhile; settled below.
    }
    MutexLock lock(mutex_);
    if (reaped_) return status_;
    int raw;
    pid_t r;
    while ((r = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
    }
    if (r < 0) throwLostChild();
    setReaped(raw);
    return status_;
}

std::optional<int> Process::tryWait() {
    MutexLock lock(mutex_);
    if (pid_ <= 0) throw Exception(4, 3, "Cannot wait for a process that was not started.");
    if (reaped_) return status_;
    int raw;
    pid_t r;
    while ((r = ::waitpid(pid_, &raw, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (r < 0) throwLostChild();
    if (r == 0) return std::nullopt;
    setReaped(raw);
    return status_;
}

bool Process::isAlive() {
    if (getPid() <= 0) return false;
    return !tryWait().has_value();
}

}  // namespace Plume
