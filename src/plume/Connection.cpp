// A connection's calls in both directions: calls to the peer and their
// replies, frames from the peer, incoming calls and their dispatch, closing.
// The reading role is in ConnectionReader.cpp.

#include "ConnectionImpl.h"

#include "SocketIo.h"
#include "System.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>

namespace Plume {

namespace {

thread_local Connection* t_currentConnection = nullptr;

UniqueFd newWakeFd(const std::string& peer) {
    UniqueFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!fd)
        throw RemotingException("Cannot start the connection to " + peer +
                                ": no eventfd for its wake-ups: " + std::strerror(errno) + ".");
    return fd;
}

}  // namespace

Connection::Impl::Impl(Connection* s, UniqueFd socket, Config config, const std::string& peer)
    : self(s),
      cfg(std::move(config)),
      objects(*s),
      codec(cfg.factory, cfg.interfaces, cfg.limits, objects),
      wakeFd(newWakeFd(peer)),
      sock(std::move(socket)) {}

// ---------------------------------------------------------------------------
// Calls to the peer

void Connection::Impl::setFrameLength(msgpack::sbuffer& buf) const {
    size_t payload = buf.size() - 4;
    if (payload > cfg.limits.maxFrameBytes)
        throw RemotingException("Message of " + std::to_string(payload) + " bytes exceeds the frame limit of " +
                                std::to_string(cfg.limits.maxFrameBytes) + " bytes.");
    uint32_t be = htonl(static_cast<uint32_t>(payload));
    std::memcpy(buf.data(), &be, 4);
}

void Connection::Impl::writeFrames(const char* data, size_t size) {
    MutexLock lock(writeMutex);
    if (!sock || !writeFull(sock.get(), data, size))
        throw RemotingException("Cannot send to " + self->getPeer() + ": connection lost.");
}

void Connection::Impl::sendFrame(msgpack::sbuffer& buf) {
    setFrameLength(buf);
    writeFrames(buf.data(), buf.size());
}

std::vector<Connection::Impl::NewCall> Connection::Impl::newCalls(size_t n) {
    std::vector<NewCall> calls;
    MutexLock lock(stateMutex);
    if (!open) throw RemotingException("Connection to " + self->getPeer() + " is closed: " + closeReason);
    for (size_t i = 0; i < n; ++i) {
        calls.push_back(NewCall{nextCallId++, std::make_shared<Pending>()});
        pending.emplace(calls.back().id, calls.back().record);
    }
    return calls;
}

void Connection::Impl::forgetCalls(const std::vector<NewCall>& calls) {
    MutexLock lock(stateMutex);
    for (const NewCall& c : calls) pending.erase(c.id);
}

ObjPtr<Object> Connection::Impl::call(const std::function<void(Packer&)>& packTarget, const std::string& method,
                                      const ObjPtr<ObjectArray>& args) {
    const std::vector<NewCall> calls = newCalls(1);
    // Announced before sending, so that a background reader in poll() gives
    // the role up while the request travels.
    CallerScope caller(*this);
    try {
        OutgoingFrame f(FRAME_CALL, 5, calls[0].id);
        packTarget(f.pk);
        packString(f.pk, method);
        if (!args) {
            f.pk.pack_nil();
        } else {
            f.pk.pack_array(static_cast<uint32_t>(args->getSize()));
            for (size_t i = 0; i < args->getSize(); ++i) codec.pack(f.pk, args->get(i).get(), 1);
        }
        sendFrame(f.buf);
    } catch (...) {
        forgetCalls(calls);
        throw;
    }
    self->lastUse_ = getCurrentTimeMillis();
    return take(awaitReply(*calls[0].record));
}

ObjPtr<Object> Connection::Impl::take(Outcome&& outcome) {
    if (outcome.failure == Outcome::REMOTE)
        throw ThrowableException(outcome.category, outcome.level, outcome.throwable);
    if (outcome.failure == Outcome::LOCAL) throw RemotingException(outcome.message);
    return std::move(outcome.result);
}

std::vector<Connection::Impl::Outcome> Connection::Impl::callAll(uint64_t target,
                                                                 const std::vector<std::string>& methods) {
    const std::vector<NewCall> calls = newCalls(methods.size());
    CallerScope caller(*this);
    try {
        msgpack::sbuffer all;
        for (size_t i = 0; i < methods.size(); ++i) {
            OutgoingFrame f(FRAME_CALL, 5, calls[i].id);
            f.pk.pack_uint64(target);
            packString(f.pk, methods[i]);
            f.pk.pack_nil();
            setFrameLength(f.buf);
            all.write(f.buf.data(), f.buf.size());
        }
        writeFrames(all.data(), all.size());
    } catch (...) {
        forgetCalls(calls);
        throw;
    }
    self->lastUse_ = getCurrentTimeMillis();
    std::vector<Outcome> outcomes;
    outcomes.reserve(calls.size());
    for (const NewCall& c : calls) outcomes.push_back(awaitReply(*c.record));
    return outcomes;
}

void Connection::Impl::complete(Pending& p, Outcome&& outcome) {
    p.outcome = std::move(outcome);
    p.done = true;
}

// ---------------------------------------------------------------------------
// Frames from the peer

std::optional<Connection::Impl::Incoming> Connection::Impl::handleFrame(const char* data, size_t len) {
    struct AlwaysReference {
        static bool ref(msgpack::type::object_type, std::size_t, void*) { return true; }
    };
    const RemotingLimits& lim = cfg.limits;
    // The nesting limit counts values, which the codec checks. A List or an
    // object array is two MessagePack arrays (the [type, items] pair and the
    // items), so the unpacker leaves room for two arrays a level, one level
    // beyond the limit (for the codec to name the fault), and the message
    // array with the argument array around them.
    msgpack::unpack_limit limit(lim.maxFrameBytes, 0, lim.maxFrameBytes, lim.maxFrameBytes, 0,
                                unpackDepthFor(lim.maxDepth));
    std::size_t off = 0;
    msgpack::object_handle oh = msgpack::unpack(data, len, off, &AlwaysReference::ref, nullptr, limit);
    if (off != len) throw ProtocolError("trailing bytes after the message");
    const msgpack::object& f = oh.get();
    if (f.type != msgpack::type::ARRAY || f.via.array.size < 2) throw ProtocolError("message is not an array");
    const msgpack::object* e = f.via.array.ptr;
    uint32_t n = f.via.array.size;
    int64_t kind = asSigned(e[0], "message kind");
    switch (kind) {
        case FRAME_CALL: {
            if (n != 5) throw ProtocolError("malformed call");
            uint64_t callId = asUnsigned(e[1], "call id");
            bool byName = e[2].type == msgpack::type::STR;
            std::string name = byName ? asString(e[2], "target") : std::string();
            uint64_t objectId = byName ? 0 : asUnsigned(e[2], "target");
            std::string method = asString(e[3], "method name");
            ObjPtr<ObjectArray> args;
            if (e[4].type == msgpack::type::ARRAY) {
                const msgpack::object_array& a = e[4].via.array;
                args = ObjectArray::newInstance(a.size);
                for (uint32_t i = 0; i < a.size; ++i) args->set(i, codec.decode(a.ptr[i], 1));
            } else if (e[4].type != msgpack::type::NIL) {
                throw ProtocolError("call arguments are neither an array nor nil");
            }
            return Incoming{callId, byName, std::move(name), objectId, std::move(method), std::move(args)};
        }
        case FRAME_REPLY:
        case FRAME_ERROR:
            if ((kind == FRAME_REPLY && n != 3) || (kind == FRAME_ERROR && n != 5)) throw ProtocolError("malformed reply");
            handleReply(kind, e);
            return std::nullopt;
        case FRAME_RELEASE:
            if (n != 3) throw ProtocolError("malformed release");
            objects.release(asUnsigned(e[1], "object id"), asUnsigned(e[2], "reference count"));
            return std::nullopt;
        default:
            throw ProtocolError("unknown message kind " + std::to_string(kind));
    }
}

// Completes the call a reply or error frame answers. A reply that cannot be
// decoded fails its call and closes the connection.
void Connection::Impl::handleReply(int64_t kind, const msgpack::object* e) {
    uint64_t callId = asUnsigned(e[1], "call id");
    std::shared_ptr<Pending> p;
    {
        MutexLock lock(stateMutex);
        auto it = pending.find(callId);
        if (it == pending.end()) throw ProtocolError("reply to unknown call " + std::to_string(callId));
        p = it->second;
        pending.erase(it);
    }
    Outcome outcome;
    try {
        if (kind == FRAME_REPLY) {
            outcome.result = codec.decode(e[2], 1);
        } else {
            outcome.failure = Outcome::REMOTE;
            outcome.category = static_cast<unsigned>(asUnsigned(e[2], "error category"));
            outcome.level = static_cast<int>(asSigned(e[3], "error level"));
            outcome.throwable = objCast<Throwable>(codec.decode(e[4], 1));
            if (!outcome.throwable)
                outcome.throwable = makeObj<RemoteError>("The peer reported an error without a throwable.");
        }
    } catch (const ProtocolError& pe) {
        Outcome failed;
        failed.failure = Outcome::LOCAL;
        failed.message = "Malformed reply from " + self->getPeer() + ": " + pe.what();
        {
            MutexLock lock(roleMutex);
            complete(*p, std::move(failed));
        }
        roleCv.broadcast();
        throw;
    }
    {
        MutexLock lock(roleMutex);
        complete(*p, std::move(outcome));
    }
    roleCv.broadcast();
}

// ---------------------------------------------------------------------------
// Calls from the peer

void Connection::Impl::submit(Incoming&& in) {
    ObjPtr<Connection> keep(self);
    uint64_t callId = in.callId;
    auto task = [keep, this, in = std::move(in)]() mutable { run(in); };
    try {
        if (!cfg.pool) throw Exception(1, 3, "This side does not accept calls.");
        cfg.pool->execute(std::move(task));
    } catch (const Exception& ex) {
        try {
            sendError(callId, 1, 3, makeObj<RemoteError>(std::string("Call refused: ") + ex.what()));
        } catch (const std::exception& e) {
            plumelog_write("plumeremoting", 4, "Refusal to " + self->getPeer() + " not sent: " + e.what());
        }
    }
}

void Connection::Impl::run(Incoming& in) {
    Connection* previous = t_currentConnection;
    t_currentConnection = self;
    try {
        try {
            ObjPtr<Object> result;
            if (in.byName) {
                ObjPtr<InvocationHandler> h = cfg.bindings ? cfg.bindings->lookup(in.name) : ObjPtr<InvocationHandler>();
                if (!h) throw Exception(1, 3, "No object is bound under the name [%s].", in.name.c_str());
                result = h->invoke(in.method, in.args);
            } else {
                ObjPtr<ReflectionTarget> target = objects.findTarget(in.objectId);
                if (!target)
                    throw Exception(1, 3, "Call of %s on object %llu, which is no longer exported.", in.method.c_str(),
                                    static_cast<unsigned long long>(in.objectId));
                result = target->invokeMethod(in.method.c_str(), in.args);
            }
            in.args.reset();
            sendReply(in.callId, result.get());
        } catch (const ThrowableException& e) {
            sendError(in.callId, e.getCategory(), e.getLevel(), e.getThrowable());
        } catch (const RemotingException& e) {
            // The reply could not be sent (connection lost) or not be encoded.
            if (!isOpen()) throw;
            sendError(in.callId, e.getCategory(), e.getLevel(), makeObj<RemoteError>(e.getMessage()));
        } catch (const Exception& e) {
            sendError(in.callId, e.getCategory(), e.getLevel(), makeObj<RemoteError>(e.getMessage()));
        } catch (const std::exception& e) {
            sendError(in.callId, 1, 3, makeObj<RemoteError>(e.what()));
        } catch (...) {
            sendError(in.callId, 1, 3, makeObj<RemoteError>("Caught unknown exception."));
        }
    } catch (const std::exception& e) {
        plumelog_write("plumeremoting", 4, "Reply to " + self->getPeer() + " not sent: " + e.what());
    }
    t_currentConnection = previous;
}

void Connection::Impl::sendReply(uint64_t callId, const Object* result) {
    OutgoingFrame f(FRAME_REPLY, 3, callId);
    codec.pack(f.pk, result, 1);
    sendFrame(f.buf);
}

void Connection::Impl::sendError(uint64_t callId, unsigned category, int level, const ObjPtr<Throwable>& t) {
    ObjPtr<Throwable> throwable = t;
    if (!throwable || !cfg.factory->find(throwable->getSerialID()))
        throwable = makeObj<RemoteError>(throwable ? throwable->toString() : std::string("null throwable"));
    OutgoingFrame f(FRAME_ERROR, 5, callId);
    f.pk.pack_uint32(category);
    f.pk.pack_int32(level);
    codec.pack(f.pk, throwable.get(), 1);
    sendFrame(f.buf);
}

void Connection::Impl::dropImport(const RemoteObjectHandler* h, uint64_t id) {
    const uint64_t count = objects.dropImport(h, id);
    if (count == 0 || !isOpen()) return;
    try {
        OutgoingFrame f(FRAME_RELEASE, 3, id);
        f.pk.pack_uint64(count);
        sendFrame(f.buf);
    } catch (const std::exception&) {
        // The connection is going away; the peer releases everything then.
    }
}

// ---------------------------------------------------------------------------
// Closing

void Connection::Impl::close(const std::string& reason) {
    std::unordered_map<uint64_t, std::shared_ptr<Pending>> failed;
    {
        MutexLock lock(stateMutex);
        if (open) {
            open = false;
            closeReason = reason;
            failed.swap(pending);
        }
    }
    {
        MutexLock lock(writeMutex);
        if (sock) ::shutdown(sock.get(), SHUT_RDWR);
    }
    {
        MutexLock lock(roleMutex);
        roleOpen = false;
        for (auto& [id, p] : failed) {
            Outcome outcome;
            outcome.failure = Outcome::LOCAL;
            outcome.message = "Connection to " + self->getPeer() + " lost during the call: " + reason + ".";
            complete(*p, std::move(outcome));
        }
    }
    roleCv.broadcast();
    ownCv.broadcast();
    objects.close(reason);
    MutexLock lock(readerMutex);
    while (!readerStarted) readerCv.wait(readerMutex);
    if (std::this_thread::get_id() == readerId) return;
    while (!readerDone) readerCv.wait(readerMutex);
}

bool Connection::Impl::isOpen() const {
    MutexLock lock(stateMutex);
    return open;
}

// ---------------------------------------------------------------------------
// Connection

Connection::Connection(int fd, std::string peer, Config config) : Connection(UniqueFd(fd), std::move(peer), std::move(config)) {}

Connection::Connection(UniqueFd fd, std::string peer, Config config)
    : impl_(std::make_unique<Impl>(this, std::move(fd), std::move(config), peer)), peer_(std::move(peer)) {
    lastUse_ = getCurrentTimeMillis();
}

Connection::~Connection() = default;

ObjPtr<Connection> Connection::start(int fd, const std::string& peer, Config config) {
    return start(UniqueFd(fd), peer, std::move(config));
}

ObjPtr<Connection> Connection::start(UniqueFd fd, const std::string& peer, Config config) {
    tuneSocket(fd.get());
    ObjPtr<Connection> c = makeObj<Connection>(std::move(fd), peer, std::move(config));
    ObjPtr<Connection> keep = c;
    try {
        std::thread([keep]() { keep->impl_->readerMain(); }).detach();
    } catch (const std::system_error& e) {
        throw RemotingException("Cannot start the connection to " + peer + ": no reader thread: " + e.what() + ".");
    }
    return c;
}

ObjPtr<Object> Connection::callNamed(const std::string& name, const std::string& method,
                                     const ObjPtr<ObjectArray>& args) {
    return impl_->call([&](Packer& pk) { packString(pk, name); }, method, args);
}

ObjPtr<Object> Connection::callRemote(uint64_t id, const std::string& method, const ObjPtr<ObjectArray>& args) {
    return impl_->call([&](Packer& pk) { pk.pack_uint64(id); }, method, args);
}

std::vector<Connection::CallOutcome> Connection::callRemoteAll(uint64_t id, const std::vector<std::string>& methods) {
    std::vector<CallOutcome> out;
    for (Impl::Outcome& o : impl_->callAll(id, methods)) {
        auto kept = std::make_shared<Impl::Outcome>(std::move(o));
        out.emplace_back([kept] { return Impl::take(std::move(*kept)); });
    }
    return out;
}

void Connection::close(const std::string& reason) { impl_->close(reason); }

bool Connection::isOpen() const { return impl_->isOpen(); }

size_t Connection::getOutstandingCalls() const {
    MutexLock lock(impl_->stateMutex);
    return impl_->pending.size();
}

size_t Connection::getImportCount() const { return impl_->objects.getImportCount(); }

size_t Connection::getExportCount() const { return impl_->objects.getExportCount(); }

Connection* Connection::current() { return t_currentConnection; }

void Connection::dropImport(InvocationHandler* handler, uint64_t id) {
    impl_->dropImport(static_cast<RemoteObjectHandler*>(handler), id);
}

}  // namespace Plume
