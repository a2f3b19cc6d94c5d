// Calls sent ahead together: each reaches the peer once and in order, the
// calls that follow take their outcomes, and nothing kept is served to a
// later question.
#include "RemotingFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <vector>
#include <thread>

using namespace Plume;
using namespace plumetest;

namespace {

// A counter of the server's, and the client's proxy of it.
template <class C = Counter>
struct Remote {
    ObjPtr<C> counter = makeObj<C>();
    ObjPtr<ICounter> proxy;
    Remote(LoopbackServer& s, LoopbackClient& c) {
        s.service->kept = counter;
        proxy = objCast<ICounter>(c.call("service", "getKept", {}));
        s.service->kept.reset();
    }
};

// The first call of next() waits (up to 3 s) for a second one to arrive:
// it only sees one when the calls were written without waiting for replies.
class WaitingCounter : public Counter {
public:
    std::atomic<int> entered{0};
    std::atomic<bool> overlapped{false};
    int next() override {
        if (++entered == 1) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
            while (entered.load() < 2 && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            overlapped = entered.load() >= 2;
        }
        return Counter::next();
    }
};

// A server, a client and a counter of the server's with its proxy.
class CallsAheadOnACounter : public ::testing::Test {
protected:
    LoopbackServer s;
    LoopbackClient c{s.url()};
    Remote<> r{s, c};
};

}  // namespace

TEST(CallsAhead, AreWrittenWithoutWaitingForEachReply) {
    LoopbackServer s;
    LoopbackClient c(s.url());
    Remote<WaitingCounter> r(s, c);
    const auto& counter = r.counter;
    const auto& proxy = r.proxy;
    ASSERT_TRUE(proxy);
    const auto t0 = std::chrono::steady_clock::now();
    {
        CallsAhead ahead(proxy, {"next", "next"});
        EXPECT_TRUE(counter->overlapped.load());
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
        const int a = proxy->next(), b = proxy->next();
        EXPECT_EQ(a + b, 3);
    }
    EXPECT_EQ(counter->value.load(), 2);
}

TEST_F(CallsAheadOnACounter, GoOutTogetherInOrderAndTheCallsThatFollowTakeTheirOutcomes) {
    ASSERT_TRUE(r.proxy);
    {
        CallsAhead ahead(r.proxy, {"next", "next", "next"});
        // All three ran on the server before any of them was asked for here.
        EXPECT_EQ(r.counter->value.load(), 3);
        // The server may run calls that arrive together at once, so their
        // values come in any order; each is taken once.
        std::vector<int> got = {r.proxy->next(), r.proxy->next(), r.proxy->next()};
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(r.counter->value.load(), 3);
        // Beyond what was sent ahead, calls go out one by one again.
        EXPECT_EQ(r.proxy->next(), 4);
    }
    EXPECT_EQ(r.proxy->next(), 5);
    EXPECT_EQ(r.counter->value.load(), 5);
}

TEST_F(CallsAheadOnACounter, WhatIsLeftOrOutOfTurnIsNeverServedToALaterCall) {
    {
        CallsAhead ahead(r.proxy, {"next", "next"});
        const int first = r.proxy->next();
        EXPECT_TRUE(first == 1 || first == 2) << first;
    }
    // The second outcome went with its batch: this call asks again.
    EXPECT_EQ(r.proxy->next(), 3);
    {
        CallsAhead ahead(r.proxy, {"next", "next"});  // 4 and 5 on the server
        // A call of another method, or with arguments, drops what is kept.
        EXPECT_EQ(r.proxy->add(10), 15);
        EXPECT_EQ(r.proxy->next(), 16);
    }
    {
        CallsAhead ahead(r.proxy, {"next", "close"});  // 17
        r.proxy->close();                              // out of turn: dropped, sent again
        EXPECT_EQ(r.proxy->next(), 18);
    }
    EXPECT_EQ(r.counter->value.load(), 18);
}

TEST_F(CallsAheadOnACounter, AFailureSentAheadIsThrownByItsOwnCall) {
    auto* proxy = dynamic_cast<ReflectionProxy*>(r.proxy.get());
    ASSERT_TRUE(proxy);
    CallsAhead ahead(r.proxy, {"next", "nosuch", "next"});
    const int first = r.proxy->next();
    try {
        proxy->getInvocationHandler()->invoke("nosuch", nullptr);
        FAIL() << "no exception";
    } catch (const ThrowableException& e) {
        ASSERT_TRUE(e.getThrowable());
        EXPECT_NE(e.getThrowable()->getDetailMessage().find("Invalid method nosuch"), std::string::npos)
            << e.getThrowable()->getDetailMessage();
    }
    EXPECT_EQ(first + r.proxy->next(), 3);
}

TEST(CallsAhead, LeavesLocalObjectsAndLostConnectionsToTheCallsThemselves) {
    auto local = makeObj<Counter>();
    {
        CallsAhead ahead(local, {"next", "next"});
        EXPECT_EQ(local->value.load(), 0);
        EXPECT_EQ(local->next(), 1);
    }
    CallsAhead none(nullptr, {"next"});

    auto s = std::make_unique<LoopbackServer>();
    LoopbackClient c(s->url());
    Remote<> r(*s, c);
    s.reset();
    // The server is gone: sending ahead does not throw, and the call itself
    // reports the lost connection.
    for (int i = 0; i < 2; ++i) {
        EXPECT_NO_THROW(CallsAhead(r.proxy, {"next", "next"}));
        CallsAhead ahead(r.proxy, {"next"});
        EXPECT_THROW(r.proxy->next(), RemotingException);
    }
}
