// Listing a process's open descriptors through /proc, for tests of which
// descriptors a child process would inherit.
#pragma once

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace plumetest {

// The open descriptors of process pid (0: this process, without the one the
// listing itself used).
inline std::set<int> openFds(pid_t pid = 0) {
    const std::string dir = pid ? "/proc/" + std::to_string(pid) + "/fd" : std::string("/proc/self/fd");
    std::set<int> listed, fds;
    for (const auto& e : std::filesystem::directory_iterator(dir)) listed.insert(std::stoi(e.path().filename()));
    if (pid) return listed;
    for (int fd : listed)
        if (fcntl(fd, F_GETFD) >= 0) fds.insert(fd);
    return fds;
}

// What descriptor fd of process pid (0: this process) refers to, as
// "socket:[...]" or "anon_inode:[eventfd]"; empty when it is not open.
inline std::string fdTarget(int fd, pid_t pid = 0) {
    std::error_code ec;
    const std::string link = (pid ? "/proc/" + std::to_string(pid) : std::string("/proc/self")) + "/fd/" +
                             std::to_string(fd);
    auto target = std::filesystem::read_symlink(link, ec);
    return ec ? std::string() : target.string();
}

// True when descriptor fd of another process pid is close-on-exec (its
// open flags in /proc/<pid>/fdinfo hold O_CLOEXEC).
inline bool isCloseOnExecIn(pid_t pid, int fd) {
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + std::to_string(fd));
    std::string key;
    while (info >> key)
        if (key == "flags:") {
            std::string octal;
            info >> octal;
            return (std::stoul(octal, nullptr, 8) & O_CLOEXEC) != 0;
        }
    return false;
}

}  // namespace plumetest
