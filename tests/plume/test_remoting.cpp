#include "RemotingFixture.h"

#include <gtest/gtest.h>

#ifndef MSGPACK_NO_BOOST
#define MSGPACK_NO_BOOST 1
#endif
#include <msgpack.hpp>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace Plume;
using namespace plumetest;

namespace {

ObjPtr<Object> echo(LoopbackClient& c, const ObjPtr<Object>& v) { return c.call("return", "echo", {v}); }

int rawConnect(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// True when the peer closed the socket within the time.
bool closedByPeer(int fd, int ms) {
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char b[64];
    for (;;) {
        ssize_t r = recv(fd, b, sizeof b, 0);
        if (r == 0) return true;
        if (r < 0) return errno == ECONNRESET;
    }
}

template <class Pred>
bool eventually(Pred p, int ms = 3000) {
    for (int i = 0; i < ms / 10; ++i) {
        if (p()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return p();
}

}  // namespace

TEST(RemotingValues, BoxesStringsAndNullsRoundTrip) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    EXPECT_EQ(echo(c, nullptr), nullptr);
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(-7))), -7);
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(INT32_MIN))), INT32_MIN);
    EXPECT_EQ(Long::toLong(echo(c, Long::newInstance(1LL << 40))), 1LL << 40);
    EXPECT_EQ(Long::toLong(echo(c, Long::newInstance(3))), 3);  // a small Long stays a Long
    EXPECT_DOUBLE_EQ(Double::toDouble(echo(c, Double::newInstance(100.02))), 100.02);
    EXPECT_TRUE(Boolean::toBoolean(echo(c, Boolean::newInstance(true))));
    std::string text("a=b \n with\0nul", 14);
    EXPECT_EQ(String::toText(echo(c, String::newInstance(text)).get()), text);
    EXPECT_EQ(String::toText(echo(c, String::newInstance("")).get(), "x"), "");
}

// MessagePack packers write whole-number doubles as integers; a Double must
// still arrive as a Double, also beyond the 32-bit range.
TEST(RemotingValues, WholeNumberDoublesStayDoubles) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    for (double v : {72.0, 0.0, -3.0, 5e9, 1e300}) {
        auto back = echo(c, Double::newInstance(v));
        ASSERT_TRUE(objCast<Double>(back)) << v;
        EXPECT_EQ(Double::toDouble(back), v);
    }
    auto sample = makeObj<Sample>();
    sample->d = 150.0;
    auto back = objCast<Sample>(echo(c, sample));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->d, 150.0);
}

TEST(RemotingValues, ListsArraysBytesAndSerializablesRoundTrip) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    std::vector<signed char> bytes(100000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<signed char>(i * 7);
    auto ba = objCast<ByteArray>(echo(c, ByteArray::newInstance(bytes.data(), bytes.size())));
    ASSERT_TRUE(ba);
    EXPECT_EQ(ba->vec(), bytes);
    auto empty = objCast<ByteArray>(echo(c, ByteArray::newInstance(0)));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->getSize(), 0u);

    auto sample = makeObj<Sample>();
    sample->i = 5;
    sample->l = -(1LL << 50);
    sample->d = 0.25;
    sample->b = true;
    auto inner = List::newInstance();
    inner->add(String::newInstance("x"));
    inner->add(nullptr);
    sample->o = inner;
    auto list = List::newInstance();
    list->add(sample);
    auto arr = ObjectArray::newInstance(2, "test.Sample");
    arr->set(1, sample);
    list->add(arr);
    auto back = objCast<List>(echo(c, list));
    ASSERT_TRUE(back);
    ASSERT_EQ(back->getSize(), 2u);
    auto s2 = objCast<Sample>(back->get(0));
    ASSERT_TRUE(s2);
    EXPECT_NE(s2.get(), sample.get());
    EXPECT_EQ(s2->i, 5);
    EXPECT_EQ(s2->l, -(1LL << 50));
    EXPECT_EQ(s2->d, 0.25);
    EXPECT_TRUE(s2->b);
    auto l2 = objCast<List>(s2->o);
    ASSERT_TRUE(l2);
    EXPECT_EQ(String::toText(l2->get(0).get()), "x");
    EXPECT_EQ(l2->get(1), nullptr);
    auto a2 = objCast<ObjectArray>(back->get(1));
    ASSERT_TRUE(a2);
    EXPECT_EQ(a2->getComponentType(), "test.Sample");
    EXPECT_EQ(a2->get(0), nullptr);
    EXPECT_TRUE(objCast<Sample>(a2->get(1)));
}

TEST(RemotingValues, UnsendableValueFailsLocallyAndConnectionStaysUsable) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto plain = makeObj<Counter>();  // an interface the client knows: crosses by reference
    EXPECT_TRUE(echo(c, plain));
    struct Opaque : Object {};
    EXPECT_THROW(echo(c, makeObj<Opaque>()), RemotingException);
    auto unregisteredArray = ObjectArray::newInstance(1, "test.Unknown");
    EXPECT_THROW(echo(c, unregisteredArray), RemotingException);
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(1))), 1);
}

TEST(RemotingErrors, PeerThrowablesArriveAsThrowableException) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    try {
        c.call("service", "fail", {});
        FAIL() << "no exception";
    } catch (const ThrowableException& e) {
        ASSERT_TRUE(e.getThrowable());
        EXPECT_STREQ(e.getThrowable()->getSerialID(), "java.lang.Exception");
        EXPECT_EQ(e.getThrowable()->getDetailMessage(), "it failed");
        EXPECT_EQ(e.getCategory(), 16u);
        EXPECT_EQ(e.getLevel(), 3);
    }
    try {
        c.call("service", "failLocal", {});
        FAIL() << "no exception";
    } catch (const ThrowableException& e) {
        EXPECT_STREQ(e.getThrowable()->getSerialID(), "plume.RemoteError");
        EXPECT_EQ(e.getThrowable()->getDetailMessage(), "local failure 7");
        EXPECT_EQ(e.getLevel(), 4);
    }
    try {
        c.call("nobody", "x", {});
        FAIL() << "no exception";
    } catch (const ThrowableException& e) {
        EXPECT_NE(e.getThrowable()->getDetailMessage().find("[nobody]"), std::string::npos);
    }
}

TEST(RemotingReferences, ServerCallsBackIntoClientObjectWhileCallWaits) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    std::atomic<int> closes{0};
    auto counter = makeObj<Counter>();
    counter->closes = &closes;
    auto r = c.call("service", "read", {counter, Integer::newInstance(100)});
    EXPECT_EQ(Integer::toInteger(r), 100);
    EXPECT_EQ(counter->value.load(), 100);
    // The server's proxy went away after the call: the client closes and drops its export.
    EXPECT_TRUE(eventually([&] { return closes.load() == 1; }));
    EXPECT_TRUE(eventually([&] { return counter->refCount() == 1; }));
}

TEST(RemotingReferences, ReturnedReferenceIsReleasedWhenProxyDies) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    {
        auto proxy = objCast<ICounter>(c.call("service", "make", {}));
        ASSERT_TRUE(proxy);
        EXPECT_EQ(proxy->next(), 1);
        EXPECT_EQ(proxy->add(10), 11);
        // Passing the proxy back resolves to the server's own object.
        c.call("service", "keep", {proxy});
        auto kept = objCast<Counter>(s.service->kept);
        ASSERT_TRUE(kept);
        EXPECT_EQ(kept->value.load(), 11);
        s.service->kept.reset();
        EXPECT_EQ(s.service->closes.load(), 0);
    }
    EXPECT_TRUE(eventually([&] { return s.service->closes.load() == 1 && s.service->destroyed.load() == 1; }));
}

TEST(RemotingReferences, DroppedConnectionReleasesExportedObjects) {
    LoopbackServer s;
    std::atomic<int> closes{0};
    auto counter = makeObj<Counter>();
    counter->closes = &closes;
    {
        LoopbackClient c(s.url());
        c.call("service", "keep", {counter});
        EXPECT_EQ(closes.load(), 0);
        auto conn = c.pool->acquire();
        EXPECT_EQ(conn->getExportCount(), 1u);
    }  // client shuts down: its connection drops
    EXPECT_EQ(closes.load(), 1);
    EXPECT_TRUE(eventually([&] { return counter->refCount() == 1; }));
    // The server's proxy now fails cleanly.
    auto proxy = objCast<ICounter>(s.service->kept);
    ASSERT_TRUE(proxy);
    EXPECT_THROW(proxy->next(), RemotingException);
    s.service->kept.reset();
}

TEST(RemotingConnections, PeerVanishingMidCallFailsTheCall) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto conn = c.pool->acquire();
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s.thread->kill(15);  // the server closes every connection
    });
    auto args = ObjectArray::newInstance(1);
    args->set(0, Integer::newInstance(2000));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(conn->callNamed("service", "sleep", args), RemotingException);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    killer.join();
}

TEST(RemotingConnections, GarbageAndOversizedFramesCloseOnlyThatConnection) {
    RemotingLimits lim;
    lim.maxFrameBytes = 1 << 16;
    LoopbackServer s(lim);
    LoopbackClient good(s.url());
    EXPECT_EQ(Integer::toInteger(echo(good, Integer::newInstance(1))), 1);

    // Random bytes with a plausible length.
    int fd = rawConnect(s.port);
    ASSERT_GE(fd, 0);
    const unsigned char garbage[] = {0, 0, 0, 6, 0xc1, 0xc1, 0xff, 0x00, 0x12, 0x99};
    ASSERT_EQ(send(fd, garbage, sizeof garbage, 0), static_cast<ssize_t>(sizeof garbage));
    EXPECT_TRUE(closedByPeer(fd, 3000));
    close(fd);

    // A frame above the limit.
    fd = rawConnect(s.port);
    const unsigned char huge[] = {0x7f, 0xff, 0xff, 0xff, 0x95};
    send(fd, huge, sizeof huge, 0);
    EXPECT_TRUE(closedByPeer(fd, 3000));
    close(fd);

    // A well-formed call naming an unknown type: [1, 1, "return", "echo", [["no.Such", 1]]]
    fd = rawConnect(s.port);
    std::string payload = "\x95\x01\x01\xa6return\xa4" "echo\x91\x92\xa7no.Such\x01";
    uint32_t be = htonl(static_cast<uint32_t>(payload.size()));
    std::string frame(reinterpret_cast<char*>(&be), 4);
    frame += payload;
    send(fd, frame.data(), frame.size(), 0);
    EXPECT_TRUE(closedByPeer(fd, 3000));
    close(fd);

    // Truncated: a header promising more than is sent, then the peer leaves.
    fd = rawConnect(s.port);
    const unsigned char partial[] = {0, 0, 1, 0, 0x95, 0x01};
    send(fd, partial, sizeof partial, 0);
    close(fd);

    EXPECT_EQ(Integer::toInteger(echo(good, Integer::newInstance(2))), 2);
    EXPECT_TRUE(eventually([&] { return s.server->getConnectionCount() == 1; }));
}

TEST(RemotingConnections, DeepNestingIsRefused) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    ObjPtr<List> deep = List::newInstance();
    ObjPtr<List> cur = deep;
    for (int i = 0; i < 100; ++i) {
        auto next = List::newInstance();
        cur->add(next);
        cur = next;
    }
    EXPECT_THROW(echo(c, deep), RemotingException);
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(3))), 3);
}

namespace {

// Values nested `levels` deep (the argument is level 1, the innermost
// Integer is at level `levels`), built from one container kind: 'L' List,
// 'A' object array, 'S' the Sample value type (its object field), 'M' the
// three in turn.
ObjPtr<Object> nested(int levels, char kind) {
    ObjPtr<Object> v = Integer::newInstance(levels);
    for (int level = levels - 1; level >= 1; --level) {
        const char k = kind == 'M' ? "LAS"[level % 3] : kind;
        if (k == 'L') {
            auto l = List::newInstance();
            l->add(v);
            v = l;
        } else if (k == 'A') {
            auto a = ObjectArray::newInstance(1);
            a->set(0, v);
            v = a;
        } else {
            auto s = makeObj<Sample>();
            s->o = v;
            v = s;
        }
    }
    return v;
}

// The innermost Integer of a value made by nested(); -1 when the shape differs.
int innermost(ObjPtr<Object> v) {
    for (;;) {
        if (auto i = objCast<Integer>(v)) return i->value();
        if (auto l = objCast<List>(v)) {
            if (l->getSize() != 1) return -1;
            v = l->get(0);
        } else if (auto a = objCast<ObjectArray>(v)) {
            if (a->getSize() != 1) return -1;
            v = a->get(0);
        } else if (auto s = objCast<Sample>(v)) {
            v = s->o;
        } else {
            return -1;
        }
    }
}

// The same nesting written by hand as MessagePack, for a receiver test that
// the sender's own check cannot stop.
void packNested(msgpack::packer<msgpack::sbuffer>& pk, int level, int levels, char kind) {
    if (level == levels) {
        pk.pack_int(levels);
        return;
    }
    const char k = kind == 'M' ? "LAS"[level % 3] : kind;
    if (k == 'S') {
        pk.pack_array(7);
        pk.pack(std::string("test.Sample"));
        pk.pack_int64(Sample::kUid);
        pk.pack_int(0);
        pk.pack_int(0);
        pk.pack_double(0.5);
        pk.pack_false();
    } else {
        pk.pack_array(2);
        pk.pack(std::string(k == 'L' ? "java.util.List" : "[Ljava.lang.Object;"));
        pk.pack_array(1);
    }
    packNested(pk, level + 1, levels, kind);
}

// Sends [1, 7, "return", "echo", [value]] on a raw socket; true when a reply
// frame came back, false when the server closed the connection instead.
bool rawEchoAnswered(int port, int levels, char kind) {
    msgpack::sbuffer buf;
    msgpack::packer<msgpack::sbuffer> pk(buf);
    pk.pack_array(5);
    pk.pack_int(1);
    pk.pack_int(7);
    pk.pack(std::string("return"));
    pk.pack(std::string("echo"));
    pk.pack_array(1);
    packNested(pk, 1, levels, kind);
    int fd = rawConnect(port);
    if (fd < 0) return false;
    uint32_t be = htonl(static_cast<uint32_t>(buf.size()));
    std::string frame(reinterpret_cast<char*>(&be), 4);
    frame.append(buf.data(), buf.size());
    send(fd, frame.data(), frame.size(), 0);
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    unsigned char head[5];
    ssize_t r = recv(fd, head, sizeof head, MSG_WAITALL);
    close(fd);
    // A reply frame: length, then an array of three whose first element is 2.
    return r == 5 && head[4] == 0x93;
}

}  // namespace

// The limit counts values, whatever container holds them: 32 levels cross
// in both directions, a 33rd is refused by the sender and closes the
// connection at the receiver.
TEST(RemotingConnections, NestingLimitCountsValueLevelsForEveryContainerKind) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    for (char kind : {'L', 'A', 'S', 'M'}) {
        SCOPED_TRACE(std::string("container kind ") + kind);
        EXPECT_EQ(innermost(echo(c, nested(32, kind))), 32);
        EXPECT_THROW(echo(c, nested(33, kind)), RemotingException);
        EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(5))), 5);  // still connected
        EXPECT_TRUE(rawEchoAnswered(s.port, 32, kind));
        EXPECT_FALSE(rawEchoAnswered(s.port, 33, kind));
    }
    // Far beyond the limit the unpacker refuses before the codec looks.
    EXPECT_FALSE(rawEchoAnswered(s.port, 200, 'L'));
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(6))), 6);
}

// A lower limit set on a server holds for every container kind as well.
TEST(RemotingConnections, ConfiguredNestingLimitHoldsForLists) {
    RemotingLimits limits;
    limits.maxDepth = 4;
    LoopbackServer s(limits);
    EXPECT_TRUE(rawEchoAnswered(s.port, 4, 'L'));
    EXPECT_FALSE(rawEchoAnswered(s.port, 5, 'L'));
    EXPECT_TRUE(rawEchoAnswered(s.port, 4, 'A'));
    EXPECT_FALSE(rawEchoAnswered(s.port, 5, 'S'));
}

TEST(RemotingConnections, IncompatibleUidClosesConnectionAndOldUidIsAccepted) {
    LoopbackServer s;
    // A client whose Sample claims UID 42, which the server lists as an old UID.
    struct OldSample : Sample {
        int64_t getSerialVersionUID() const override { return 42; }
    };
    struct BadSample : Sample {
        int64_t getSerialVersionUID() const override { return 43; }
    };
    LoopbackClient c(s.url());
    auto old = makeObj<OldSample>();
    old->i = 9;
    auto back = objCast<Sample>(echo(c, old));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->i, 9);
    auto conn = c.pool->acquire();
    auto args = ObjectArray::newInstance(1);
    args->set(0, makeObj<BadSample>());
    EXPECT_THROW(conn->callNamed("return", "echo", args), RemotingException);
    EXPECT_FALSE(conn->isOpen());
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(4))), 4);  // the pool reconnects
}

TEST(RemotingConcurrency, ManyThreadsShareThePool) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    std::vector<std::thread> threads;
    std::atomic<int> ok{0};
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int k = 0; k < 50; ++k) {
                auto counter = makeObj<Counter>();
                int n = 1 + (t + k) % 5;
                if (Integer::toInteger(c.call("service", "read", {counter, Integer::newInstance(n)})) == n &&
                    counter->value.load() == n)
                    ++ok;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(ok.load(), 400);
}

// The server runs a call on the thread that read it while a pool thread
// reads on: a slow call must not hold up the calls behind it on the same
// connection, nor its callbacks.
TEST(RemotingConcurrency, SlowCallDoesNotHoldUpLaterCallsOnTheSameConnection) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    ObjPtr<Connection> conn = c.pool->acquire();
    std::atomic<bool> slowDone{false};
    std::thread slow([&] {
        auto a = ObjectArray::newInstance(1);
        a->set(0, Integer::newInstance(1500));
        conn->callNamed("service", "sleep", a);
        slowDone = true;
    });
    while (conn->getOutstandingCalls() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (int k = 0; k < 20; ++k) {
        auto a = ObjectArray::newInstance(1);
        a->set(0, Integer::newInstance(k));
        EXPECT_EQ(Integer::toInteger(conn->callNamed("return", "echo", a)), k);
        auto counter = makeObj<Counter>();
        auto b = ObjectArray::newInstance(2);
        b->set(0, counter);
        b->set(1, Integer::newInstance(3));
        EXPECT_EQ(Integer::toInteger(conn->callNamed("service", "read", b)), 3);
    }
    EXPECT_FALSE(slowDone.load()) << "later calls waited for the slow one";
    slow.join();
    EXPECT_TRUE(slowDone.load());
}

// Pool threads that read for a busy connection give the reading back once
// it is idle, so a small pool serving many connections keeps running calls.
TEST(RemotingConcurrency, ManyConnectionsShareASmallServerPool) {
    LoopbackServer s(RemotingLimits(), 2);
    std::vector<std::unique_ptr<LoopbackClient>> clients;
    for (int i = 0; i < 6; ++i) clients.push_back(std::make_unique<LoopbackClient>(s.url()));
    auto t0 = std::chrono::steady_clock::now();
    for (int round = 0; round < 3; ++round)
        for (auto& c : clients) {
            auto counter = makeObj<Counter>();
            EXPECT_EQ(Integer::toInteger(c->call("service", "read", {counter, Integer::newInstance(4)})), 4);
            EXPECT_EQ(Integer::toInteger(echo(*c, Integer::newInstance(round))), round);
        }
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_LE(s.pool->getThreadCount(), 2u);
}

// Connections opened for overlapping calls close again once idle, down to
// the pool's minimum; the one under a live proxy stays and keeps working.
TEST(RemotingConnections, IdleConnectionsBeyondTheMinimumClose) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    c.pool = RemotingClientPool::newInstance(1, 4, 100, 3000, s.url(), Sock::DeviceFactory::newInstance(), c.factory);
    c.importer = BeanImporter::newInstance(c.pool);
    registerCounter(c.importer->getRegistry());
    auto sleepCall = [&] {
        try {
            c.call("service", "sleep", {Integer::newInstance(300)});
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back(sleepCall);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(c.pool->getConnectionCount(), 4u);
    // The proxy is made while another call keeps the first connection busy,
    // so it lives on a connection the pool would otherwise close.
    std::thread busy(sleepCall);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ObjPtr<ICounter> counter = objCast<ICounter>(c.call("service", "make", {}));
    busy.join();
    ASSERT_NE(counter, nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(5))), 5);
    EXPECT_EQ(c.pool->getConnectionCount(), 1u);
    EXPECT_EQ(counter->next(), 1);
    EXPECT_EQ(counter->next(), 2);
}

TEST(RemotingConnections, UnreachableServerFailsClearly) {
    int port;
    {
        auto d = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
        d->bind();
        port = d->getBoundPort();
    }
    LoopbackClient c("tcp://127.0.0.1:" + std::to_string(port));
    try {
        c.call("return", "echo", {});
        FAIL();
    } catch (const RemotingException& e) {
        EXPECT_NE(std::string(e.what()).find("127.0.0.1:" + std::to_string(port)), std::string::npos) << e.what();
    }
}

TEST(RemotingFramework, SessionContextKnowsThePeer) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto peer = String::toText(c.call("sessionContext", "getPeerAddress", {}).get());
    EXPECT_EQ(peer.rfind("127.0.0.1:", 0), 0u) << peer;
}

// The framework's own handlers check their argument counts: "ping" and
// "getPeerAddress" take none (a null or an empty array), "echo" exactly one.
TEST(RemotingFramework, BuiltInHandlersCheckTheirArgumentCount) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto conn = c.pool->acquire();
    auto array = [](std::initializer_list<ObjPtr<Object>> items) {
        auto a = ObjectArray::newInstance(items.size());
        size_t i = 0;
        for (auto& x : items) a->set(i++, x);
        return a;
    };
    EXPECT_EQ(conn->callNamed("sessionContext", "ping", nullptr), nullptr);
    EXPECT_EQ(conn->callNamed("sessionContext", "ping", array({})), nullptr);
    EXPECT_TRUE(conn->callNamed("sessionContext", "getPeerAddress", nullptr));
    EXPECT_EQ(echo(c, nullptr), nullptr);  // one argument that happens to be null

    struct Refused {
        const char* name;
        const char* method;
        ObjPtr<ObjectArray> args;
    };
    const Refused refused[] = {
        {"sessionContext", "ping", array({Integer::newInstance(1)})},
        {"sessionContext", "ping", array({nullptr})},
        {"sessionContext", "getPeerAddress", array({String::newInstance("x")})},
        {"return", "echo", nullptr},
        {"return", "echo", array({})},
        {"return", "echo", array({Integer::newInstance(1), Integer::newInstance(2)})},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(std::string(r.name) + "::" + r.method + " with " +
                     (r.args ? std::to_string(r.args->getSize()) : std::string("no")) + " arguments");
        try {
            conn->callNamed(r.name, r.method, r.args);
            ADD_FAILURE() << "accepted";
        } catch (const ThrowableException& e) {
            ASSERT_TRUE(e.getThrowable());
            EXPECT_EQ(e.getThrowable()->getDetailMessage(),
                      std::string("Invalid number of arguments specified in call to ") + r.name + "::" + r.method);
        }
    }
    EXPECT_TRUE(conn->isOpen());
    EXPECT_EQ(Integer::toInteger(echo(c, Integer::newInstance(6))), 6);
}

// Several threads receive and drop proxies of one exported object over one
// connection, so references arrive while earlier proxies die: every
// reference is released exactly once (one too few keeps the object exported,
// one too many is a protocol error that fails calls).
TEST(RemotingReferences, ProxiesOfOneObjectComingAndGoingKeepExactCounts) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    std::atomic<int> closes{0};
    auto shared = makeObj<Counter>();
    shared->closes = &closes;
    s.service->kept = shared;
    const int unexported = shared->refCount();
    auto conn = c.pool->acquire();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int k = 0; k < 200; ++k) {
                try {
                    auto proxy = objCast<ICounter>(conn->callNamed("service", "getKept", nullptr));
                    if (!proxy || (k % 16 == 0 && proxy->next() <= 0)) ++failures;
                } catch (const std::exception&) {
                    ++failures;
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_TRUE(conn->isOpen());
    EXPECT_EQ(conn->getImportCount(), 0u);
    EXPECT_TRUE(eventually([&] { return shared->refCount() == unexported; })) << shared->refCount();
    EXPECT_GE(closes.load(), 1);
    s.service->kept.reset();
}

TEST(Addresses, ParseHostPortForms) {
    auto a = Sock::Address::newInstance("127.0.0.1:3455");
    EXPECT_EQ(a->getHost(), "127.0.0.1");
    EXPECT_EQ(a->getPort(), 3455);
    auto b = Sock::Address::resolve("localhost", 3455);
    EXPECT_EQ(b->getPort(), 3455);
    auto d = Sock::Address::resolve("localhost:4000", 3455);
    EXPECT_EQ(d->getHost(), "localhost");
    EXPECT_EQ(d->getPort(), 4000);
    auto v6 = Sock::Address::newInstance("[::1]:99");
    EXPECT_EQ(v6->getHost(), "::1");
    EXPECT_EQ(v6->toString(), "[::1]:99");
    EXPECT_THROW(Sock::Address::newInstance("host:notaport"), Exception);
    EXPECT_THROW(Sock::Address::newInstance("host:70000"), Exception);
    EXPECT_THROW(Sock::Address::newInstance("hostonly"), Exception);
}

namespace {

// Records the thread each call back runs on, and calls the server again
// from inside the call back, over the connection that brought it.
class ThreadCounter : public Counter {
public:
    std::vector<std::thread::id> threads;
    std::vector<int> echoed;
    int next() override {
        threads.push_back(std::this_thread::get_id());
        Connection* back = Connection::current();
        if (back) {
            auto a = ObjectArray::newInstance(1);
            a->set(0, Integer::newInstance(value.load() + 100));
            echoed.push_back(Integer::toInteger(back->callNamed("return", "echo", a)));
        }
        return Counter::next();
    }
};

}  // namespace

TEST(RemotingReferences, CallsBackRunOnTheOnlyWaitingCallersThreadAndMayCallAgain) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    auto counter = makeObj<ThreadCounter>();
    auto r = c.call("service", "read", {counter, Integer::newInstance(3)});
    EXPECT_EQ(Integer::toInteger(r), 3);
    ASSERT_EQ(counter->threads.size(), 3u);
    for (auto id : counter->threads) EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(counter->echoed, (std::vector<int>{100, 101, 102}));
}
