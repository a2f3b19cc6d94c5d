#include "Channel.h"

#include "Exception.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace Plume {

ObjPtr<Channel> Channel::newInstance(UniqueFd fd, std::string name) {
    return makeObj<Channel>(std::move(fd), std::move(name));
}

Channel::Channel(UniqueFd fd, std::string name) : fd_(std::move(fd)), name_(std::move(name)) {
    if (!fd_) {
        errno = EBADF;
        throw CException(4, 3, "Channel %s has no descriptor", name_.c_str());
    }
    const int flags = ::fcntl(fd_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throw CException(4, 3, "Cannot make channel %s non-blocking", name_.c_str());
}

Channel::~Channel() = default;

ssize_t Channel::read(void* buf, size_t len) {
    if (!fd_) {
        errno = EBADF;
        return -1;
    }
    if (len == 0) return 0;
    ssize_t n;
    do {
        n = ::read(fd_.get(), buf, len);
    } while (n < 0 && errno == EINTR);
    return n;
}

Channel::ReadResult Channel::readChunk(std::string& chunk, size_t maxBytes) {
    if (maxBytes == 0) maxBytes = 1;
    chunk.resize(maxBytes);
    const ssize_t n = read(chunk.data(), maxBytes);
    if (n > 0) {
        chunk.resize(static_cast<size_t>(n));
        return ReadResult::Data;
    }
    const int err = errno;
    chunk.clear();
    if (n == 0) return ReadResult::EndOfFile;
    errno = err;
    return (err == EAGAIN || err == EWOULDBLOCK) ? ReadResult::WouldBlock : ReadResult::Error;
}

ssize_t Channel::write(const void* data, size_t len) {
    if (!fd_) {
        errno = EBADF;
        return -1;
    }
    // A write to a pipe without reader raises SIGPIPE in the writing thread.
    // Block it around the write and take away the one this write raised, so
    // that the caller only sees EPIPE; a SIGPIPE that was already pending
    // stays pending.
    sigset_t pipeSet, oldMask, pending;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    ssize_t n;
    do {
        n = ::write(fd_.get(), data, len);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n < 0 && err == EPIPE && !wasPending) {
        const struct timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    errno = err;
    return n;
}

}  // namespace Plume
