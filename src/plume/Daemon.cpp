#include "Daemon.h"

#include "Exception.h"
#include "Log.h"
#include "System.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sstream>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace Plume {
namespace Sock {

namespace {

void makeDirs(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') cur = "/";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += part + "/";
        if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST)
            throw CException(16, 3, "Cannot create runtime directory %s", cur.c_str());
    }
}

// A process counts as alive until it has exited; a zombie (exited, not yet
// reaped by its parent) does not.
bool alive(int pid) {
    if (pid <= 0 || (::kill(pid, 0) != 0 && errno != EPERM)) return false;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return true;
    size_t close = line.rfind(')');
    return !(close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z');
}

// The connected socket; none (errno set) when the connection fails.
UniqueFd connectUnix(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.reset();
    return fd;
}

// An ostream over a socket descriptor.
class FdBuf : public std::streambuf {
public:
    explicit FdBuf(int fd) : fd_(fd) {}

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::streamsize done = 0;
        while (done < n) {
            ssize_t w = ::send(fd_, s + done, static_cast<size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0) {
                if (w < 0 && errno == EINTR) continue;
                break;
            }
            done += w;
        }
        return done;
    }
    int_type overflow(int_type c) override {
        if (c == traits_type::eof()) return 0;
        char ch = static_cast<char>(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

private:
    int fd_;
};

}  // namespace

Daemon::Daemon(std::string name) : name_(std::move(name)) {}

Daemon::~Daemon() {
    if (wakeFd_) {
        uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd_.get(), &one, sizeof one);
        (void)ignored;
    }
    if (listener_.joinable()) listener_.join();
    if (ownsFiles_) {
        ::unlink(getSocketPath().c_str());
        ::unlink(getPidFile().c_str());
    }
}

std::string Daemon::runtimeDirectory() {
    if (const char* d = std::getenv("XAD_RUNTIME_DIR"); d && *d) return d;
    if (::geteuid() == 0) return "/run";
    if (const char* d = std::getenv("XDG_RUNTIME_DIR"); d && *d) return d;
    return "/tmp";
}

std::string Daemon::getPidFile() const { return runtimeDirectory() + "/" + name_ + ".pid"; }
std::string Daemon::getSocketPath() const { return runtimeDirectory() + "/" + name_ + ".sock"; }

void Daemon::setUser(const std::string& user, int niceIncrement) {
    user_ = user;
    nice_ = niceIncrement;
}

int Daemon::findRunningPid() const {
    std::ifstream in(getPidFile());
    int pid = 0;
    if (!(in >> pid)) return 0;
    return alive(pid) ? pid : 0;
}

bool Daemon::start(bool fork) {
    if (stop_ || status_) {
        int pid = findRunningPid();
        if (!pid)
            throw Exception(16, 3, "No running instance of %s found (pid file %s).", name_.c_str(),
                            getPidFile().c_str());
        if (status_) {
            UniqueFd fd = connectUnix(getSocketPath());
            if (!fd)
                throw CException(16, 3, "Instance %d of %s does not answer on %s", pid, name_.c_str(),
                                 getSocketPath().c_str());
            char buf[4096];
            for (;;) {
                ssize_t r = ::recv(fd.get(), buf, sizeof buf, 0);
                if (r < 0 && errno == EINTR) continue;
                if (r <= 0) break;
                std::fwrite(buf, 1, static_cast<size_t>(r), stdout);
            }
            std::fflush(stdout);
        }
        if (stop_) {
            if (::kill(pid, SIGTERM) != 0)
                throw CException(16, 3, "Cannot send the stop signal to instance %d of %s", pid, name_.c_str());
            for (int i = 0; i < 600 && alive(pid); ++i) ::usleep(100000);
            if (alive(pid))
                throw Exception(16, 3, "Instance %d of %s did not stop within 60 seconds.", pid, name_.c_str());
            std::printf("Stopped %s (pid %d).\n", name_.c_str(), pid);
            std::fflush(stdout);
        }
        return false;
    }

    if (int pid = findRunningPid())
        throw Exception(16, 3, "%s is already running (pid %d, pid file %s).", name_.c_str(), pid,
                        getPidFile().c_str());

    if (fork) {
        int pipeFds[2];
        if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw CException(16, 3, "pipe for daemon start-up failed");
        UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
        std::fflush(nullptr);
        pid_t child = ::fork();
        if (child < 0) throw CException(16, 3, "fork failed");
        if (child > 0) {
            // The parent waits for the daemon to report start-up complete.
            writeEnd.reset();
            char c = 0;
            ssize_t r;
            do {
                r = ::read(readEnd.get(), &c, 1);
            } while (r < 0 && errno == EINTR);
            readEnd.reset();
            int status = 0;
            ::waitpid(child, &status, 0);  // the intermediate process exits at once
            if (r != 1 || c != 'R')
                throw Exception(16, 3, "%s failed to start; its log says why.", name_.c_str());
            return false;
        }
        readEnd.reset();
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild < 0) _exit(1);
        if (grandchild > 0) _exit(0);
        readyFd_ = std::move(writeEnd);
        // Standard input and output become /dev/null (inherited by children,
        // as standard descriptors are).
        UniqueFd devnull(::open("/dev/null", O_RDWR | O_CLOEXEC));
        if (devnull) {
            for (int stdFd = 0; stdFd <= 2; ++stdFd)
                if (devnull.get() != stdFd) ::dup2(devnull.get(), stdFd);
            if (devnull.get() <= 2) {
                // It took a free standard slot: keep it open without close-on-exec.
                ::fcntl(devnull.get(), F_SETFD, 0);
                devnull.release();
            }
        }
        plumelog_use_syslog(true);
    }
    becomeInstance();
    return true;
}

void Daemon::becomeInstance() {
    std::string pidFile = getPidFile();
    makeDirs(pidFile.substr(0, pidFile.rfind('/')));
    {
        std::string tmp = pidFile + ".tmp";
        std::ofstream out(tmp);
        out << ::getpid() << "\n";
        out.close();
        if (!out || ::rename(tmp.c_str(), pidFile.c_str()) != 0)
            throw CException(16, 3, "Cannot write pid file %s", pidFile.c_str());
    }
    ownsFiles_ = true;
    std::string sock = getSocketPath();
    ::unlink(sock.c_str());
    // Bound and listening under a temporary name, then renamed into place:
    // whoever finds the socket's path can connect at once (between bind and
    // listen a connect would be refused).
    const std::string bound = sock + ".tmp";
    ::unlink(bound.c_str());
    listenFd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (bound.size() >= sizeof a.sun_path) throw Exception(16, 3, "Status socket path %s is too long.", sock.c_str());
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", bound.c_str());
    if (!listenFd_ || ::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listenFd_.get(), 4) != 0)
        throw CException(16, 3, "Cannot open status socket %s", sock.c_str());
    ::chmod(bound.c_str(), 0660);
    if (::rename(bound.c_str(), sock.c_str()) != 0) {
        const int e = errno;
        ::unlink(bound.c_str());
        errno = e;
        throw CException(16, 3, "Cannot open status socket %s", sock.c_str());
    }
    switchUser();
    wakeFd_.reset(::eventfd(0, EFD_CLOEXEC));
    if (!wakeFd_) throw CException(16, 3, "Cannot create the eventfd that stops the status listener of %s", name_.c_str());
    listener_ = std::thread([this] {
        blockTerminationSignals();
        serveStatus();
    });
}

void Daemon::switchUser() {
    if (nice_ != 0) {
        errno = 0;
        if (::nice(nice_) == -1 && errno != 0) plumelog_write("plumedaemon", 4, "nice failed");
    }
    if (::geteuid() != 0) {
        if (!user_.empty())
            plumelog_write("plumedaemon", 6,
                           "Not started as root: running as uid " + std::to_string(::geteuid()) + ", no switch to user " +
                               user_ + ".");
        return;
    }
    if (user_.empty() || user_ == "root") return;
    errno = 0;
    struct passwd* pw = ::getpwnam(user_.c_str());
    if (!pw) throw Exception(16, 3, "User %s does not exist; refusing to keep running as root.", user_.c_str());
    // The runtime files must stay removable by the switched user.
    std::string pidFile = getPidFile();
    if (::chown(pidFile.substr(0, pidFile.rfind('/')).c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
        ::chown(pidFile.c_str(), pw->pw_uid, pw->pw_gid) != 0 ||
        ::chown(getSocketPath().c_str(), pw->pw_uid, pw->pw_gid) != 0)
        plumelog_write("plumedaemon", 4, "Cannot hand the runtime files to user " + user_ + ".");
    if (::initgroups(pw->pw_name, pw->pw_gid) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
        throw CException(16, 3, "Cannot switch to user %s", user_.c_str());
    if (::setuid(0) == 0) throw Exception(16, 3, "Switch to user %s left root privileges.", user_.c_str());
    plumelog_write("plumedaemon", 6, "Running as user " + user_ + ".");
}

void Daemon::serveStatus() {
    pollfd fds[2] = {{wakeFd_.get(), POLLIN, 0}, {listenFd_.get(), POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents) return;
        if (!(fds[1].revents & POLLIN)) continue;
        UniqueFd c(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!c) continue;
        timeval tv{10, 0};
        setsockopt(c.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        try {
            FdBuf buf(c.get());
            std::ostream out(&buf);
            if (stateful_) stateful_->printState(out);
            out.flush();
        } catch (const std::exception& e) {
            plumelog_write("plumedaemon", 4, std::string("Status report failed: ") + e.what());
        }
    }
}

void Daemon::startupComplete() {
    sd_notify(0, "READY=1");
    if (readyFd_) {
        char c = 'R';
        ssize_t ignored = ::write(readyFd_.get(), &c, 1);
        (void)ignored;
        readyFd_.reset();
    }
}

}  // namespace Sock
}  // namespace Plume
