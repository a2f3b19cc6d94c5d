// The inner state of a Connection (private to the plume library).
//
// Connection.cpp holds the calls in both directions: making a call and
// waiting for its reply, handling the frames read, running incoming calls
// and answering them, closing. ConnectionReader.cpp holds the reading role:
// which thread reads the socket when (see Connection in Remoting.h).
// ObjectTable and WireCodec hold the references and the value encoding.
//
// Locks and what they guard:
// - writeMutex: the socket (one frame is written at a time, whole).
// - stateMutex: open/closed with the reason, call ids and the map of
//   outstanding calls.
// - roleMutex: the reading role (who reads, who waits, who runs a call) and
//   the contents of every outstanding call's record (Pending).
// - readerMutex: the start and end of the own reader thread.
// - the object table's own mutex: exports and imports (ObjectTable.h).
//
// Lock order: none of these is taken while another of them is held, so no
// thread ever holds two of them and there is no order among them to keep.
// Under roleMutex only the thread pool's lock is taken (when a stand-in
// reader is handed to the pool) and the wake-up eventfd is written; under
// writeMutex the socket is written, which may block until the peer reads.
// Code outside the connection (handlers and targets of incoming calls,
// release methods, proxy creators, the pool's tasks) runs with none of them
// held, so it may call back into the connection. Owners of connections may
// hold their own locks while they take these (the server and the client pool
// ask their connections for their state and close them under their mutex).
#pragma once

#include "ObjectTable.h"
#include "UniqueFd.h"
#include "WireCodec.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace Plume {

struct Connection::Impl {
    // Takes the connected socket. Throws RemotingException naming the peer
    // and the reason when the connection cannot work (no eventfd for its
    // wake-ups); the socket is closed then.
    Impl(Connection* self, UniqueFd socket, Config config, const std::string& peer);

    // ---- Calls to the peer (Connection.cpp)

    // What a finished call came to. A failure is kept as plain data and
    // thrown in the caller's thread (an exception object made in the reading
    // thread and rethrown elsewhere would be shared through the runtime's
    // own counts).
    struct Outcome {
        ObjPtr<Object> result;
        enum Failure { NONE, REMOTE, LOCAL } failure = NONE;
        unsigned category = 0;
        int level = 0;
        ObjPtr<Throwable> throwable;  // REMOTE
        std::string message;          // LOCAL
    };
    // One outstanding call. Its fields are read and written only with
    // roleMutex held (functions that touch them say REQUIRES(roleMutex); the
    // analysis cannot tie a record's members to its owner's mutex): the
    // thread that reads the reply, or close(), completes the record, and the
    // caller takes the outcome once it sees it done.
    struct Pending {
        bool done = false;
        Outcome outcome;
    };

    ObjPtr<Object> call(const std::function<void(Packer&)>& packTarget, const std::string& method,
                        const ObjPtr<ObjectArray>& args) EXCLUDES(stateMutex, roleMutex, writeMutex);
    // Outstanding calls just numbered and registered; newCalls throws
    // RemotingException when the connection is closed.
    struct NewCall {
        uint64_t id;
        std::shared_ptr<Pending> record;
    };
    std::vector<NewCall> newCalls(size_t n) EXCLUDES(stateMutex);
    void forgetCalls(const std::vector<NewCall>& calls) EXCLUDES(stateMutex);
    // A caller that will read its replies, announced for the scope's life.
    struct CallerScope {
        explicit CallerScope(Impl& impl) : impl(impl) { impl.enterCaller(); }
        ~CallerScope() { impl.leaveCaller(); }
        CallerScope(const CallerScope&) = delete;
        CallerScope& operator=(const CallerScope&) = delete;
        Impl& impl;
    };
    // Argument-less calls on the peer's object `target`, written at once.
    std::vector<Outcome> callAll(uint64_t target, const std::vector<std::string>& methods)
        EXCLUDES(stateMutex, roleMutex, writeMutex);
    // The result of a finished call, or its failure thrown.
    static ObjPtr<Object> take(Outcome&& outcome);
    // Sets the frame's length and writes it. Throws RemotingException when it
    // exceeds the frame limit or the connection is lost.
    void sendFrame(msgpack::sbuffer& buf) EXCLUDES(writeMutex);
    // Sets the length of a frame built in buf; throws RemotingException when
    // it exceeds the frame limit.
    void setFrameLength(msgpack::sbuffer& buf) const;
    // Writes whole frames; throws RemotingException when the connection is lost.
    void writeFrames(const char* data, size_t size) EXCLUDES(writeMutex);
    void complete(Pending& p, Outcome&& outcome) REQUIRES(roleMutex);

    // ---- Calls from the peer (Connection.cpp)

    // A call read from the peer, to be run on this side.
    struct Incoming {
        uint64_t callId;
        bool byName;
        std::string name;
        uint64_t objectId;
        std::string method;
        ObjPtr<ObjectArray> args;
    };
    // Handles one frame: completes the call a reply answers, releases what a
    // release frame names; a call is returned to be run. Throws ProtocolError
    // (or RemotingException) for a frame that must close the connection.
    std::optional<Incoming> handleFrame(const char* data, size_t len) EXCLUDES(stateMutex, roleMutex);
    void handleReply(int64_t kind, const msgpack::object* e) EXCLUDES(stateMutex, roleMutex);
    // Queues a call on the pool; refuses it to the peer when the pool cannot take it.
    void submit(Incoming&& in) EXCLUDES(roleMutex, writeMutex);
    // Runs a call on this thread and sends its reply or error.
    void run(Incoming& in) EXCLUDES(stateMutex, roleMutex, writeMutex);
    void sendReply(uint64_t callId, const Object* result) EXCLUDES(writeMutex);
    void sendError(uint64_t callId, unsigned category, int level, const ObjPtr<Throwable>& t) EXCLUDES(writeMutex);
    // The last proxy handler h of the peer's object id is gone.
    void dropImport(const RemoteObjectHandler* h, uint64_t id) EXCLUDES(stateMutex, writeMutex);

    void close(const std::string& reason) EXCLUDES(stateMutex, roleMutex, writeMutex, readerMutex);
    bool isOpen() const EXCLUDES(stateMutex);

    // ---- The reading role (ConnectionReader.cpp)

    enum Holder { NOBODY, OWN_READER, STAND_IN, CALLER };
    enum Readiness { READABLE, WOKEN, TIMED_OUT };

    // Body of the own reader thread: reads until the connection closes, then
    // closes the socket and reports that it has ended.
    void readerMain() EXCLUDES(roleMutex, writeMutex, readerMutex);
    void ownReaderLoop() EXCLUDES(roleMutex);
    void standInLoop() EXCLUDES(roleMutex);
    // The caller of a call that is about to be sent wants to read its reply:
    // a background reader in poll() gives the role up.
    void enterCaller() EXCLUDES(roleMutex);
    void leaveCaller() EXCLUDES(roleMutex);
    // Waits for the call's outcome, reading frames itself whenever nobody else does.
    Outcome awaitReply(Pending& p) EXCLUDES(roleMutex);
    // Takes the role as a background reader (who) and waits in poll() for a
    // frame. False, with the role given up, when a caller asked for the role
    // or the time ran out; true, still holding the role, once a frame was
    // read (ok and reason as readOne says). roleMutex is let go meanwhile.
    bool readAsBackground(Holder who, int timeoutMs, std::vector<char>& buf, std::optional<Incoming>& in, bool& ok,
                          std::string& reason) REQUIRES(roleMutex);
    // Reads and handles one frame; a call is handed back in `in`. False with
    // the reason when the connection must close. Only the role's holder calls it.
    bool readOne(std::vector<char>& buf, std::optional<Incoming>& in, std::string& reason) EXCLUDES(roleMutex);
    // Waits until a frame can be read, a caller asks for the role, or
    // timeoutMs (-1: no limit) passes. Only the role's holder calls it.
    Readiness waitReadable(int timeoutMs);
    void roleChangedLocked() REQUIRES(roleMutex);
    bool startStandInLocked(bool mustRunNow) REQUIRES(roleMutex);
    void interruptPollingReaderLocked() REQUIRES(roleMutex);
    // The socket, for the holder of the reading role.
    int readSocket() const;

    // ---- Members

    Connection* const self;
    const Config cfg;
    ObjectTable objects;
    const WireCodec codec;
    // Wakes a background reader out of poll(); valid for the connection's life.
    const UniqueFd wakeFd;

    Mutex writeMutex;
    // The connected socket; closed (-1) by the own reader when it ends.
    UniqueFd sock GUARDED_BY(writeMutex);

    mutable Mutex stateMutex;
    bool open GUARDED_BY(stateMutex) = true;
    std::string closeReason GUARDED_BY(stateMutex);
    uint64_t nextCallId GUARDED_BY(stateMutex) = 1;
    // The outstanding calls by id (the records' contents: roleMutex).
    std::unordered_map<uint64_t, std::shared_ptr<Pending>> pending GUARDED_BY(stateMutex);

    Mutex readerMutex;
    WaitCondition readerCv;  // readerStarted or readerDone changed
    bool readerStarted GUARDED_BY(readerMutex) = false;  // readerId is set
    bool readerDone GUARDED_BY(readerMutex) = false;
    std::thread::id readerId GUARDED_BY(readerMutex);

    // The reading role. One thread at a time reads frames: the connection's
    // own reader, a caller waiting for its reply (so that a reply wakes the
    // caller directly instead of passing through another thread), or a pool
    // thread standing in while the own reader runs a call it has just read
    // (so that a call starts without a hand-over to the pool). A background
    // reader (own or stand-in) waits in poll() and gives the role up when a
    // caller writes to wakeFd. roleCv announces every change of role and
    // every finished call.
    Mutex roleMutex;
    WaitCondition roleCv;
    WaitCondition ownCv;  // the own reader waits here for the role
    std::chrono::steady_clock::time_point lastCallerLeft GUARDED_BY(roleMutex);
    Holder holder GUARDED_BY(roleMutex) = NOBODY;
    bool holderPolls GUARDED_BY(roleMutex) = false;  // the holder waits in poll() and can be woken
    bool wakeSent GUARDED_BY(roleMutex) = false;
    bool roleOpen GUARDED_BY(roleMutex) = true;  // false once closing: nobody takes the role again
    unsigned callersWaiting GUARDED_BY(roleMutex) = 0;
    bool ownIdle GUARDED_BY(roleMutex) = false;        // the own reader waits for the role
    bool ownBusy GUARDED_BY(roleMutex) = false;        // the own reader runs a call
    bool standInActive GUARDED_BY(roleMutex) = false;  // a stand-in reads or waits to read
};

}  // namespace Plume
