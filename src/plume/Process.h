// A child process started with posix_spawn, its standard streams connected to
// pipes whose parent ends are non-blocking channels.
//
// The child starts with an empty signal mask and every signal at its default
// disposition (framework threads block SIGHUP, SIGTERM and SIGINT, and the
// process ignores SIGPIPE; none of that reaches the child). The one exception
// is glibc's: its posix_spawn leaves the C library's two internal signals (32
// and 33, below SIGRTMIN) ignored when the parent handles them; a glibc
// program installs its own handlers for them when it needs them. The child
// runs in the parent's working directory and environment, with exactly three
// open descriptors: 0 (read end of the stdin pipe), 1 and 2 (write ends of
// the stdout and stderr pipes). The pipes are made close-on-exec and every
// descriptor above 2 is closed in the child, so nothing else of the parent
// leaks into it.
//
// Exit status: waitFor and tryWait return the child's exit code (0..255) when
// it ended by exit, or the negated signal number (-9 for SIGKILL) when a
// signal killed it; a negative status thus always means "killed by a signal"
// and every status other than 0 means failure.
//
// Reaping: the child is reaped exactly once, by waitFor, tryWait or isAlive
// when it has ended, or else by the destructor, which sends SIGKILL to a child
// still running and waits for it. So a run that ends early by an exception, a
// worker interrupted while it waits, and the end of the owner all leave no
// zombie behind. The object never signals a process after reaping it (the
// process id may belong to another process by then). A copy of the object in a
// forked process leaves the child alone. The process must not reap children
// it did not start itself (waitpid(-1, ...), SIGCHLD set to SIG_IGN);
// a child reaped that way is reported as an ECHILD failure of the wait.
//
// Ownership: the Process owns the child and holds one reference to each of the
// three channels; callers share the channels through ObjPtr. Closing or
// dropping the channels does not end the child, and the channels stay usable
// after the Process is gone.
//
// Thread-safety: start and the channel getters belong to the owning thread.
// sendSignal, waitFor, tryWait and isAlive may be called from any thread, also
// while another thread waits (sending SIGTERM to a child that a worker waits
// for is the usual way to end it early).
#pragma once

#include "Channel.h"
#include "Thread.h"

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace Plume {

class Process : public virtual Object {
public:
    static ObjPtr<Process> newInstance();
    Process();
    // Sends SIGKILL to a child that was not reaped yet and reaps it.
    ~Process() override;

    // Starts the executable at path (no search along PATH) with the argument
    // vector argv; argv[0] is what the child sees as its name and may differ
    // from path (for instance "[xadrad-gs]"). The second form takes a
    // null-terminated array. Throws Plume::Exception (category 4, level 3)
    // when the process was already started or argv is empty, and CException
    // (category 4, level 3) "Cannot start <path>: <reason>" when the pipes
    // cannot be made or the executable cannot be run (missing, not
    // executable); nothing is left open then.
    void start(const std::string& path, const std::vector<std::string>& argv);
    void start(const char* path, const char* const* argv);

    // The parent's ends of the child's standard streams: stdin is writable,
    // stdout and stderr readable. Null before start.
    ObjPtr<Channel> getStdin() const { return stdin_; }
    ObjPtr<Channel> getStdout() const { return stdout_; }
    ObjPtr<Channel> getStderr() const { return stderr_; }
    const std::string& getPath() const { return path_; }
    // Process id of the child, -1 before start.
    pid_t getPid() const;

    // Sends sig to the child. Returns false, and sends nothing, when the
    // process was not started or the child has been reaped. Throws CException
    // (category 4, level 3) naming the executable and the process id when
    // kill(2) fails (an invalid signal number).
    bool sendSignal(int sig);

    // Blocks until the child ends, reaps it and returns its status (see
    // above); once reaped, returns the same status at once. Throws
    // CException (category 4, level 7) with isInterrupt() true when a signal
    // handled by the process interrupts the wait (the child then stays
    // unreaped and running), CException (category 4, level 3) when waiting
    // fails otherwise, and Plume::Exception (category 4, level 3) when the
    // process was not started.
    //
    // A child that reads its standard input to the end needs stdin closed
    // first, or it will not end.
    int waitFor();
    // Reaps the child when it has ended and returns its status; nullopt while
    // it runs. Throws like waitFor, but is never interrupted.
    std::optional<int> tryWait();
    // True while the child runs (it may have been signalled but not ended
    // yet); false once it has ended (it is reaped then) or when the process
    // was not started. Throws like tryWait.
    bool isAlive();

private:
    // Records the status of a reaped child. REQUIRES mutex_.
    void setReaped(int rawStatus) REQUIRES(mutex_);
    [[noreturn]] void throwLostChild() REQUIRES(mutex_);

    std::string path_;
    ObjPtr<Channel> stdin_, stdout_, stderr_;
    pid_t parentPid_ = -1;  // the process that started the child

    mutable Mutex mutex_;
    pid_t pid_ GUARDED_BY(mutex_) = -1;
    bool reaped_ GUARDED_BY(mutex_) = false;
    int status_ GUARDED_BY(mutex_) = 0;
};

}  // namespace Plume
