// The reading role of a connection: which thread reads the socket when.
//
// One thread at a time holds the role. A caller waiting for its reply reads
// itself whenever nobody else does; otherwise the connection's own reader
// waits in poll(). A call the own reader reads runs on that thread while a
// pool thread stands in as reader, so a call starts without a hand-over. A
// call a waiting caller reads goes to the pool, or runs on the caller's own
// thread when the connection is configured so and nobody else waits.

#include "ConnectionImpl.h"

#include "SocketIo.h"
#include "System.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <unistd.h>

namespace Plume {

// The own reader closes the socket only after the role was closed and the
// last holder gave it up (readerMain), so the descriptor stays open while the
// caller holds the role. The role is a flag under roleMutex rather than a
// lock the caller holds, which the analysis cannot follow.
int Connection::Impl::readSocket() const NO_THREAD_SAFETY_ANALYSIS { return sock.get(); }

Connection::Impl::Readiness Connection::Impl::waitReadable(int timeoutMs) {
    struct pollfd pfd[2];
    pfd[0].fd = readSocket();
    pfd[0].events = POLLIN;
    pfd[1].fd = wakeFd.get();
    pfd[1].events = POLLIN;
    for (;;) {
        pfd[0].revents = pfd[1].revents = 0;
        int r = ::poll(pfd, 2, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) return TIMED_OUT;
        if (r > 0 && (pfd[1].revents & POLLIN)) {
            uint64_t count;
            while (::read(wakeFd.get(), &count, sizeof count) > 0) {
            }
            return WOKEN;
        }
        // Readable, hung up or failed: the read that follows tells which.
        return READABLE;
    }
}

bool Connection::Impl::readOne(std::vector<char>& buf, std::optional<Incoming>& in, std::string& reason) {
    const int fd = readSocket();
    char head[4];
    if (!readFull(fd, head, 4)) {
        reason = "closed by the peer";
        return false;
    }
    uint32_t len;
    std::memcpy(&len, head, 4);
    len = ntohl(len);
    if (len > cfg.limits.maxFrameBytes) {
        reason = "message of " + std::to_string(len) + " bytes exceeds the limit of " +
                 std::to_string(cfg.limits.maxFrameBytes) + " bytes";
        plumelog_write("plumeremoting", 4, "Closing connection to " + self->getPeer() + ": " + reason + ".");
        return false;
    }
    buf.resize(len);
    if (len > 0 && !readFull(fd, buf.data(), len)) {
        reason = "connection lost in the middle of a message";
        return false;
    }
    self->lastUse_ = getCurrentTimeMillis();
    bool ok = true;
    try {
        in = handleFrame(buf.data(), len);
    } catch (const std::exception& ex) {
        reason = std::string("protocol error: ") + ex.what();
        plumelog_write("plumeremoting", 4, "Closing connection to " + self->getPeer() + ": " + reason + ".");
        ok = false;
    }
    if (buf.capacity() > (1u << 20)) std::vector<char>().swap(buf);
    return ok;
}

void Connection::Impl::interruptPollingReaderLocked() {
    if (holder != NOBODY && holder != CALLER && holderPolls && !wakeSent) {
        wakeSent = true;
        uint64_t one = 1;
        ssize_t w = ::write(wakeFd.get(), &one, sizeof one);
        (void)w;  // only fails when the counter is full: a wake-up is pending anyway
    }
}

// Starts a stand-in reader on the pool. With mustRunNow it only starts when a
// pool thread can take it at once; otherwise it may also wait in the queue.
bool Connection::Impl::startStandInLocked(bool mustRunNow) {
    if (!cfg.pool || standInActive) return standInActive;
    ObjPtr<Connection> keep(self);
    auto task = [keep, this]() { standInLoop(); };
    try {
        if (cfg.pool->tryExecuteNow(task)) {
            standInActive = true;
        } else if (!mustRunNow) {
            cfg.pool->execute(std::move(task));
            standInActive = true;
        }
    } catch (const std::exception&) {
        // The pool is full or stopped: the own reader reads again when its
        // call is done.
    }
    return standInActive;
}

// After the role was given up or a caller left: wakes the waiting threads and
// makes sure somebody reads when no caller does.
void Connection::Impl::roleChangedLocked() {
    roleCv.broadcast();
    if (!roleOpen || holder != NOBODY || callersWaiting > 0) return;
    if (ownIdle) {
        if (cfg.ownReaderPauseMs <= 0) ownCv.signal();
    } else if (ownBusy && !standInActive) {
        startStandInLocked(false);
    }
}

void Connection::Impl::enterCaller() {
    MutexLock lock(roleMutex);
    ++callersWaiting;
    interruptPollingReaderLocked();
}

void Connection::Impl::leaveCaller() {
    MutexLock lock(roleMutex);
    --callersWaiting;
    lastCallerLeft = std::chrono::steady_clock::now();
    if (callersWaiting == 0) roleChangedLocked();
}

Connection::Impl::Outcome Connection::Impl::awaitReply(Pending& p) {
    std::vector<char> buf;
    ReleasableMutexLock lk(roleMutex);
    while (!p.done) {
        if (holder != NOBODY || !roleOpen) {
            roleCv.wait(roleMutex);
            continue;
        }
        holder = CALLER;
        holderPolls = false;
        lk.unlock();
        std::optional<Incoming> in;
        std::string reason;
        bool ok = readOne(buf, in, reason);
        lk.lock();
        holder = NOBODY;
        const bool runHere = in && ok && cfg.runCallsInWaitingCaller && callersWaiting == 1;
        roleChangedLocked();
        if (in || !ok) {
            lk.unlock();
            if (runHere)
                run(*in);
            else if (in)
                submit(std::move(*in));
            if (!ok) close(reason);
            lk.lock();
        }
    }
    return std::move(p.outcome);
}

bool Connection::Impl::readAsBackground(Holder who, int timeoutMs, std::vector<char>& buf,
                                        std::optional<Incoming>& in, bool& ok, std::string& reason) {
    holder = who;
    holderPolls = true;
    roleMutex.unlock();
    Readiness r = waitReadable(timeoutMs);
    roleMutex.lock();
    holderPolls = false;
    if (r != READABLE) {
        if (r == WOKEN) wakeSent = false;
        holder = NOBODY;
        roleChangedLocked();
        return false;
    }
    roleMutex.unlock();
    ok = readOne(buf, in, reason);
    roleMutex.lock();
    return true;
}

void Connection::Impl::readerMain() {
    blockTerminationSignals();
    // The reader records its own id before it reads anything, so that a close
    // from inside the reader (a protocol error on the first frame) knows not
    // to wait for itself.
    {
        MutexLock lock(readerMutex);
        readerId = std::this_thread::get_id();
        readerStarted = true;
    }
    readerCv.broadcast();
    ownReaderLoop();
    {
        MutexLock lock(roleMutex);
        while (holder != NOBODY) roleCv.wait(roleMutex);
    }
    {
        MutexLock lock(writeMutex);
        sock.reset();
    }
    {
        MutexLock lock(readerMutex);
        readerDone = true;
    }
    readerCv.broadcast();
}

// The connection's own reader. It reads whenever no caller wants to. A call
// it reads runs on this thread while a stand-in from the pool reads on, when
// the pool has a thread free at once, and goes to the pool otherwise.
void Connection::Impl::ownReaderLoop() {
    std::vector<char> buf;
    ReleasableMutexLock lk(roleMutex);
    const auto pause = std::chrono::milliseconds(cfg.ownReaderPauseMs);
    for (;;) {
        ownIdle = true;
        while (roleOpen) {
            if (holder == NOBODY && callersWaiting == 0 &&
                (pause.count() <= 0 || std::chrono::steady_clock::now() - lastCallerLeft >= pause))
                break;
            if (pause.count() <= 0)
                ownCv.wait(roleMutex);
            else
                ownCv.timedWait(roleMutex, cfg.ownReaderPauseMs);
        }
        ownIdle = false;
        if (!roleOpen) break;
        std::optional<Incoming> in;
        std::string reason;
        bool ok;
        if (!readAsBackground(OWN_READER, -1, buf, in, ok, reason)) continue;
        bool runHere = in && ok && startStandInLocked(true);
        ownBusy = runHere;
        holder = NOBODY;
        roleChangedLocked();
        lk.unlock();
        if (in) {
            if (runHere)
                run(*in);
            else
                submit(std::move(*in));
        }
        if (!ok) close(reason);
        lk.lock();
        if (ownBusy) {
            ownBusy = false;
            roleCv.broadcast();  // a stand-in waiting for the role ends
        }
    }
}

// A pool thread reading in place of the own reader while that runs a call.
// A call it reads runs here while the own reader, when idle again, or a new
// stand-in reads on. Once the own reader's call is done it ends with the
// next frame, the next caller or a short quiet time, whichever comes first,
// so that an idle connection does not keep a pool thread.
void Connection::Impl::standInLoop() {
    static constexpr int kQuietMs = 50;
    std::vector<char> buf;
    ReleasableMutexLock lk(roleMutex);
    for (;;) {
        while (roleOpen && ownBusy && (holder != NOBODY || callersWaiting > 0)) roleCv.wait(roleMutex);
        if (!roleOpen || !ownBusy) break;
        std::optional<Incoming> in;
        std::string reason;
        bool ok;
        if (!readAsBackground(STAND_IN, kQuietMs, buf, in, ok, reason)) continue;
        if (in && ok) {
            // Hand the reading on and run the call here.
            standInActive = false;
            bool handedOn = ownIdle || startStandInLocked(true);
            if (handedOn) {
                holder = NOBODY;
                roleChangedLocked();
                lk.unlock();
                run(*in);
                return;
            }
            standInActive = true;
        }
        holder = NOBODY;
        roleChangedLocked();
        lk.unlock();
        if (in) submit(std::move(*in));
        if (!ok) close(reason);
        lk.lock();
    }
    standInActive = false;
    roleChangedLocked();
}

}  // namespace Plume
