// A pollable, non-blocking byte channel over one owned file descriptor: the
// parent's end of a pipe to a child process (Process.h), or any descriptor a
// caller hands over. ChannelPoller (ChannelPoller.h) watches channels.
//
// Ownership: the channel owns its descriptor (closed by close() or by the
// destructor). It is shared through ObjPtr; a poller holds a reference while
// the channel is registered.
//
// Thread-safety: none; one thread uses a channel (the thread that polls it).
//
// No function throws except newInstance. Reads and writes report failures
// through their result and errno, as the system calls do, so that a poll
// handler can treat an error like the end of the stream.
#pragma once

#include "Object.h"
#include "UniqueFd.h"

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace Plume {

class Channel : public virtual Object {
public:
    // What readChunk found.
    enum class ReadResult {
        Data,        // chunk holds 1..maxBytes bytes
        WouldBlock,  // nothing is ready yet; poll again (chunk empty)
        EndOfFile,   // the writer closed its end and all data was read (chunk empty)
        Error,       // the read failed or the channel is closed; errno tells why (chunk empty)
    };

    // Takes fd and puts it into non-blocking mode. name describes the channel
    // in messages (for instance "stdout of /usr/bin/gs (pid 42)"). Throws
    // CException (category 4, level 3) naming the channel when fd is invalid
    // or cannot be made non-blocking; fd is closed then.
    static ObjPtr<Channel> newInstance(UniqueFd fd, std::string name);
    Channel(UniqueFd fd, std::string name);
    ~Channel() override;

    const std::string& getName() const { return name_; }
    // The descriptor, -1 once closed.
    int getFd() const { return fd_.get(); }
    bool isOpen() const { return static_cast<bool>(fd_); }

    // read(2) on the descriptor, repeated when a signal interrupts it: the
    // number of bytes read (> 0), 0 at end of file, -1 with errno EAGAIN when
    // nothing is ready, EBADF when the channel is closed, or the error.
    // len 0 reads nothing and returns 0.
    ssize_t read(void* buf, size_t len);
    // Reads at most maxBytes of what is ready into chunk (replacing its
    // content). maxBytes 0 is taken as 1. Read in a loop until WouldBlock to
    // drain a channel, or once per poll event.
    ReadResult readChunk(std::string& chunk, size_t maxBytes);

    // write(2), repeated when a signal interrupts it: the number of bytes
    // taken (possibly fewer than len; the rest has to wait for POLLOUT), or
    // -1 with errno EAGAIN when the pipe is full, EPIPE when the reading end
    // is closed, EBADF when the channel is closed. A write to a closed pipe
    // never raises SIGPIPE, whatever the process's disposition of it.
    ssize_t write(const void* data, size_t len);

    // Closes the descriptor; later calls do nothing. A registered channel
    // that was closed is dropped by its poller's next poll.
    void close() { fd_.reset(); }

private:
    UniqueFd fd_;
    std::string name_;
};

}  // namespace Plume
