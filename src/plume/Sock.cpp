// Addresses, listening sockets, the accepting server and the client pool.

#include "Remoting.h"
#include "System.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Plume {
namespace Sock {

namespace {

// Splits "host:port", "[v6]:port" or "host"; port -1 when absent.
void splitHostPort(const std::string& text, std::string& host, int& port) {
    port = -1;
    host = text;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) throw Exception(1, 3, "Invalid address [%s]: missing ']'.", text.c_str());
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') throw Exception(1, 3, "Invalid address [%s].", text.c_str());
            std::string p = text.substr(close + 2);
            char* end = nullptr;
            long v = std::strtol(p.c_str(), &end, 10);
            if (p.empty() || *end || v < 0 || v > 65535)
                throw Exception(1, 3, "Invalid port [%s] in address [%s].", p.c_str(), text.c_str());
            port = static_cast<int>(v);
        }
        return;
    }
    size_t colon = text.rfind(':');
    if (colon != std::string::npos && text.find(':') == colon) {
        host = text.substr(0, colon);
        std::string p = text.substr(colon + 1);
        char* end = nullptr;
        long v = std::strtol(p.c_str(), &end, 10);
        if (p.empty() || *end || v < 0 || v > 65535)
            throw Exception(1, 3, "Invalid port [%s] in address [%s].", p.c_str(), text.c_str());
        port = static_cast<int>(v);
    }
}

struct AddrInfo {
    addrinfo* ai = nullptr;
    ~AddrInfo() {
        if (ai) freeaddrinfo(ai);
    }
};

void lookup(const Address& a, bool passive, AddrInfo& out) {
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    if (passive) hints.ai_flags = AI_PASSIVE;
    std::string port = std::to_string(a.getPort());
    int rc = getaddrinfo(a.getHost().empty() ? nullptr : a.getHost().c_str(), port.c_str(), &hints, &out.ai);
    if (rc != 0)
        throw Exception(1, 3, "Cannot resolve address [%s]: %s.", a.toString().c_str(), gai_strerror(rc));
}

std::string peerName(const sockaddr_storage& ss) {
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (ss.ss_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        port = ntohs(in->sin_port);
        return std::string(host) + ":" + std::to_string(port);
    }
    if (ss.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    return "?";
}

}  // namespace

ObjPtr<Address> Address::newInstance(const std::string& text) {
    std::string host;
    int port;
    splitHostPort(text, host, port);
    if (port < 0) throw Exception(1, 3, "Address [%s] has no port (expected host:port).", text.c_str());
    return makeObj<Address>(host, port);
}

ObjPtr<Address> Address::resolve(const std::string& host, int defaultPort) {
    std::string h;
    int port;
    splitHostPort(host, h, port);
    return makeObj<Address>(h, port < 0 ? defaultPort : port);
}

std::string Address::toString() const {
    if (host_.find(':') != std::string::npos) return "[" + host_ + "]:" + std::to_string(port_);
    return host_ + ":" + std::to_string(port_);
}

void Device::bind() {
    AddrInfo ai;
    lookup(*address_, true, ai);
    int lastErr = 0;
    for (addrinfo* p = ai.ai; p; p = p->ai_next) {
        UniqueFd fd(::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC, p->ai_protocol));
        if (!fd) {
            lastErr = errno;
            continue;
        }
        int one = 1;
        setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd.get(), p->ai_addr, p->ai_addrlen) == 0) {
            fd_ = std::move(fd);
            return;
        }
        lastErr = errno;
    }
    errno = lastErr;
    throw CException(1, 3, "Cannot bind to address [%s]", address_->toString().c_str());
}

void Device::listen(int backlog) {
    if (!fd_) throw Exception(1, 3, "Device for [%s] is not bound.", address_->toString().c_str());
    if (::listen(fd_.get(), backlog) != 0)
        throw CException(1, 3, "Cannot listen on address [%s]", address_->toString().c_str());
}

int Device::getBoundPort() const {
    sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (!fd_ || getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0) return -1;
    if (ss.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port);
    return -1;
}

int DeviceFactory::connect(const Address& address, long timeoutMs) {
    AddrInfo ai;
    try {
        lookup(address, false, ai);
    } catch (const Exception& e) {
        throw RemotingException(e.getMessage());
    }
    std::string lastError = "no address";
    for (addrinfo* p = ai.ai; p; p = p->ai_next) {
        UniqueFd fd(::socket(p->ai_family, p->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, p->ai_protocol));
        if (!fd) {
            lastError = std::strerror(errno);
            continue;
        }
        int rc = ::connect(fd.get(), p->ai_addr, p->ai_addrlen);
        if (rc != 0 && errno == EINPROGRESS) {
            pollfd pfd{fd.get(), POLLOUT, 0};
            int64_t deadline = getCurrentTimeMillis() + timeoutMs;
            for (;;) {
                long left = static_cast<long>(deadline - getCurrentTimeMillis());
                rc = ::poll(&pfd, 1, left < 0 ? 0 : static_cast<int>(left));
                if (rc < 0 && errno == EINTR) continue;
                break;
            }
            if (rc == 0) {
                lastError = "timed out after " + std::to_string(timeoutMs) + " ms";
                continue;
            }
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                lastError = std::strerror(err);
                continue;
            }
            rc = 0;
        }
        if (rc != 0) {
            lastError = std::strerror(errno);
            continue;
        }
        int flags = fcntl(fd.get(), F_GETFL);
        fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
        return fd.release();
    }
    throw RemotingException("Cannot connect to " + address.toString() + ": " + lastError + ".");
}

Server::Server(ObjPtr<RemotingConnectionHandlerFactory> handlers, ObjPtr<ThreadPool> pool)
    : handlers_(std::move(handlers)), pool_(std::move(pool)), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!wakeFd_) throw CException(1, 3, "Cannot create the server's wake-up eventfd");
}

void Server::addDevice(const ObjPtr<Device>& device) { devices_.push_back(device); }

size_t Server::getConnectionCount() const {
    MutexLock lock(mutex_);
    size_t n = 0;
    for (auto& c : connections_)
        if (c->isOpen()) ++n;
    return n;
}

void Server::onSignal(int) {
    stop_ = true;
    uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd_.get(), &one, sizeof one);
    (void)ignored;
}

void Server::run() {
    std::vector<pollfd> fds;
    fds.push_back(pollfd{wakeFd_.get(), POLLIN, 0});
    for (auto& d : devices_) fds.push_back(pollfd{d->getFd(), POLLIN, 0});
    while (!stop_) {
        int rc = ::poll(fds.data(), fds.size(), -1);
        if (rc < 0) {
            if (errno == EINTR) continue;
            plumelog_write("plumeremoting", 3, std::string("Server poll failed: ") + std::strerror(errno));
            break;
        }
        if (stop_) break;
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN)) continue;
            sockaddr_storage ss;
            socklen_t len = sizeof ss;
            UniqueFd fd(::accept4(fds[i].fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_CLOEXEC));
            if (!fd) {
                if (errno != EINTR && errno != EAGAIN)
                    plumelog_write("plumeremoting", 4, std::string("accept failed: ") + std::strerror(errno));
                if (errno == EMFILE || errno == ENFILE) Thread::msleep(100);
                continue;
            }
            Connection::Config cfg;
            cfg.factory = handlers_->getSerializableFactory();
            cfg.interfaces = handlers_->getInterfaces();
            cfg.bindings = handlers_;
            cfg.pool = pool_;
            cfg.limits = handlers_->getLimits();
            const std::string peer = peerName(ss);
            ObjPtr<Connection> c;
            try {
                c = Connection::start(std::move(fd), peer, cfg);
            } catch (const std::exception& e) {
                plumelog_write("plumeremoting", 3, "Connection from " + peer + " refused: " + e.what());
                continue;
            }
            MutexLock lock(mutex_);
            std::erase_if(connections_, [](const ObjPtr<Connection>& x) { return !x->isOpen(); });
            connections_.push_back(c);
        }
    }
    std::vector<ObjPtr<Connection>> all;
    {
        MutexLock lock(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) c->close("server stopped");
}

}  // namespace Sock

ObjPtr<RemotingClientPool> RemotingClientPool::newInstance(unsigned minConnections, unsigned maxConnections, long idleMs,
                                                           long connectTimeoutMs, const std::string& url,
                                                           const ObjPtr<Sock::DeviceFactory>& devices,
                                                           const ObjPtr<SerializableFactory>& factory) {
    std::string rest = url;
    if (rest.rfind("tcp://", 0) == 0) rest = rest.substr(6);
    else throw Exception(1, 3, "Unsupported remoting URL [%s] (expected tcp://host:port).", url.c_str());
    return makeObj<RemotingClientPool>(minConnections, maxConnections, idleMs, connectTimeoutMs,
                                       Sock::Address::newInstance(rest), devices, factory);
}

RemotingClientPool::RemotingClientPool(unsigned minConnections, unsigned maxConnections, long idleMs,
                                       long connectTimeoutMs, ObjPtr<Sock::Address> address,
                                       ObjPtr<Sock::DeviceFactory> devices, ObjPtr<SerializableFactory> factory)
    : min_(minConnections),
      max_(maxConnections < 1 ? 1 : maxConnections),
      idleMs_(idleMs),
      connectTimeoutMs_(connectTimeoutMs),
      address_(std::move(address)),
      devices_(devices ? std::move(devices) : Sock::DeviceFactory::newInstance()),
      factory_(std::move(factory)) {
    callbacks_ = ThreadPool::newInstance(1, 16, 0, 30000);
    callbacks_->start();
}

RemotingClientPool::~RemotingClientPool() { shutdown(); }

ObjPtr<Connection> RemotingClientPool::acquire() {
    MutexLock lock(mutex_);
    std::erase_if(connections_, [](const ObjPtr<Connection>& c) { return !c->isOpen(); });
    // Idle connections beyond the minimum go; one that still carries a call,
    // a proxy or an exported object stays, since closing it would break them.
    if (idleMs_ > 0 && connections_.size() > min_) {
        const int64_t now = getCurrentTimeMillis();
        for (auto it = connections_.begin(); it != connections_.end() && connections_.size() > min_;) {
            Connection& c = **it;
            if (now - c.getLastUse() >= idleMs_ && c.getOutstandingCalls() == 0 && c.getImportCount() == 0 &&
                c.getExportCount() == 0) {
                c.close("idle");
                it = connections_.erase(it);
            } else {
                ++it;
            }
        }
    }
    ObjPtr<Connection> best;
    size_t bestLoad = SIZE_MAX;
    for (auto& c : connections_) {
        size_t load = c->getOutstandingCalls();
        if (load < bestLoad) {
            best = c;
            bestLoad = load;
        }
    }
    if (best && (bestLoad == 0 || connections_.size() >= max_)) return best;
    UniqueFd fd(devices_->connect(*address_, connectTimeoutMs_));
    Connection::Config cfg;
    cfg.factory = factory_;
    cfg.interfaces = interfaces_;
    cfg.pool = callbacks_;
    cfg.ownReaderPauseMs = 20;
    cfg.runCallsInWaitingCaller = true;
    cfg.limits = limits_;
    ObjPtr<Connection> c = Connection::start(std::move(fd), address_->toString(), cfg);
    connections_.push_back(c);
    return c;
}

size_t RemotingClientPool::getConnectionCount() const {
    MutexLock lock(mutex_);
    return connections_.size();
}

void RemotingClientPool::shutdown() {
    std::vector<ObjPtr<Connection>> all;
    {
        MutexLock lock(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) c->close("client pool shut down");
    if (callbacks_) callbacks_->stop();
}

namespace {
// The handler of an imported named object: each call takes a pooled connection.
class NamedObjectHandler : public InvocationHandler {
public:
    NamedObjectHandler(ObjPtr<RemotingClientPool> pool, std::string name) : pool_(std::move(pool)), name_(std::move(name)) {}
    ObjPtr<Object> invoke(const std::string& method, const ObjPtr<ObjectArray>& args) override {
        return pool_->acquire()->callNamed(name_, method, args);
    }

private:
    ObjPtr<RemotingClientPool> pool_;
    std::string name_;
};
}  // namespace

BeanImporter::BeanImporter(ObjPtr<RemotingClientPool> pool)
    : pool_(std::move(pool)), registry_(makeObj<InterfaceRegistry>()) {
    pool_->setInterfaces(registry_);
}

ObjPtr<BeanImporter> BeanImporter::newInstance(const ObjPtr<RemotingClientPool>& pool) {
    return makeObj<BeanImporter>(pool);
}

ObjPtr<Object> BeanImporter::importObject(const std::string& name, const std::string& interfaceName) {
    auto info = registry_->find(interfaceName);
    if (!info) throw RemotingException("Interface " + interfaceName + " is not registered for import.");
    return info->proxyCreator(makeObj<NamedObjectHandler>(pool_, name));
}

}  // namespace Plume
