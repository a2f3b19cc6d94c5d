// Sole owner of a file descriptor: closes it when destroyed or reset.
// Moves hand the descriptor on; release() gives it up without closing.
//
// Thread-safety: as an int; one owner, one thread at a time.
#pragma once

#include <cerrno>
#include <unistd.h>
#include <utility>

namespace Plume {

class UniqueFd {
public:
    UniqueFd() = default;
    // Takes fd (may be -1: nothing owned).
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : fd_(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    // Gives the descriptor up without closing it.
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes the owned descriptor (a close interrupted by a signal is not
    // repeated: on Linux the descriptor is gone either way) and takes fd.
    // errno is kept.
    void reset(int fd = -1) noexcept {
        const int old = std::exchange(fd_, fd);
        if (old >= 0 && old != fd) {
            const int saved = errno;
            ::close(old);
            errno = saved;
        }
    }

private:
    int fd_ = -1;
};

}  // namespace Plume
