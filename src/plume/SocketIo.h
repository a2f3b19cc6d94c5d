// Blocking socket I/O for the remoting connection (private to the plume
// library): whole-buffer reads and writes and the options every connected
// socket gets.
//
// Thread-safety: plain functions over a descriptor; callers serialise the
// reads and the writes of one socket themselves.
#pragma once

#include <cstddef>

namespace Plume {

// Reads exactly n bytes, retrying after signals. False when the peer closed
// the connection or the read failed (errno tells which) before n bytes came.
bool readFull(int fd, char* p, size_t n);

// Writes all n bytes, retrying after signals and never raising SIGPIPE.
// False when the connection failed (errno set).
bool writeFull(int fd, const char* p, size_t n);

// Small messages go out at once (no Nagle delay); a peer that vanishes
// without closing is noticed by keep-alive probes after about two minutes.
// Failures are ignored: the socket works without these options.
void tuneSocket(int fd);

}  // namespace Plume
