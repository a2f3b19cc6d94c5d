// Daemon support: one running instance per daemon name, found through its
// runtime files, detaching, user switch, stop and status requests.
//
// Runtime files of a daemon named "xad/xad_xadrad" live in the runtime
// directory (the environment variable XAD_RUNTIME_DIR, else "/run" for root,
// else $XDG_RUNTIME_DIR, else "/tmp"): "<dir>/xad/xad_xadrad.pid" holds the
// process id, "<dir>/xad/xad_xadrad.sock" is a Unix-domain socket on which the
// running instance writes its state report (Stateful::printState) to whoever
// connects.
//
// Thread-safety: the object is used by the main thread; the status listener
// runs on its own thread and only calls the attached Stateful.
#pragma once

#include "Thread.h"
#include "UniqueFd.h"

#include <ostream>
#include <string>

namespace Plume {
namespace Sock {

// Something that can report its state; called on the status listener thread.
class Stateful : public virtual Object {
public:
    virtual void printState(std::ostream& out) = 0;
};

class Daemon : public virtual Object {
public:
    static ObjPtr<Daemon> newInstance(const std::string& name) { return makeObj<Daemon>(name); }
    explicit Daemon(std::string name);
    ~Daemon() override;

    // Ask start() to stop the running instance instead of starting one.
    void stopRequest() { stop_ = true; }
    // Ask start() to print the running instance's state instead of starting one.
    void statusRequest() { status_ = true; }
    // The user to run as when started as root ("root" keeps root); the daemon
    // also lowers its scheduling priority by niceIncrement (0: unchanged).
    void setUser(const std::string& user, int niceIncrement);
    void attach(const ObjPtr<Stateful>& stateful) { stateful_ = stateful; }

    // Performs a requested stop or status (returns false: the caller ends
    // with status 0; throws Plume::Exception naming the daemon when no
    // instance runs). Otherwise becomes the running instance: refuses when
    // one already runs, detaches when fork is true (the parent waits until
    // the child reports start-up complete or fails, then returns false),
    // writes the pid file, opens the status socket, switches the user and
    // returns true in the process that continues as the daemon.
    bool start(bool fork);
    // Reports readiness: to systemd (sd_notify, when NOTIFY_SOCKET is set)
    // and to a waiting parent.
    void startupComplete();

    const std::string& getName() const { return name_; }
    std::string getPidFile() const;
    std::string getSocketPath() const;
    static std::string runtimeDirectory();

private:
    void becomeInstance();
    void switchUser();
    void serveStatus();
    int findRunningPid() const;

    std::string name_;
    bool stop_ = false, status_ = false;
    std::string user_;
    int nice_ = 0;
    ObjPtr<Stateful> stateful_;
    // Every descriptor is close-on-exec, so none leaks into child processes.
    UniqueFd readyFd_;        // write end of the pipe to a waiting parent
    UniqueFd listenFd_;       // status socket
    UniqueFd wakeFd_;         // stops the status listener
    bool ownsFiles_ = false;  // this process wrote the pid file
    std::thread listener_;
};

}  // namespace Sock
}  // namespace Plume
