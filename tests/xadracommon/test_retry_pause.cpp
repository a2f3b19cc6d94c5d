#include "xadracommon/RetryPause.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

using namespace std::chrono;
using Xadra::RetryPause;

TEST(RetryPause, ShortAndSpreadWhileARequestHasWaitedAShortTime) {
    RetryPause p(7);
    std::set<long> seen;
    long sum = 0;
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        const auto waited = milliseconds(i % 601);
        const long ms = p.next(waited).count();
        ASSERT_GE(ms, 6) << i;
        ASSERT_LE(ms, 18) << i;
        seen.insert(ms);
        sum += ms;
    }
    // Clients refused together must not all come back at the same instant.
    EXPECT_GE(seen.size(), 10u);
    EXPECT_NEAR(static_cast<double>(sum) / n, 12.0, 1.0);
}

TEST(RetryPause, GrowsWithTheWaitBeyondASecondUpToItsCeiling) {
    EXPECT_EQ(RetryPause::middle(milliseconds(-5)).count(), 12);
    EXPECT_EQ(RetryPause::middle(milliseconds(600)).count(), 12);
    EXPECT_EQ(RetryPause::middle(milliseconds(1000)).count(), 20);
    EXPECT_EQ(RetryPause::middle(milliseconds(2000)).count(), 40);
    EXPECT_EQ(RetryPause::middle(seconds(10)).count(), 200);
    EXPECT_EQ(RetryPause::middle(seconds(25)).count(), 500);
    EXPECT_EQ(RetryPause::middle(hours(5)).count(), 500);
    long last = 0;
    for (int s = 1; s <= 40; ++s) {
        const long m = RetryPause::middle(seconds(s)).count();
        EXPECT_GE(m, last) << s;
        last = m;
    }
    RetryPause p(11);
    long lo = 1000, hi = 0;
    for (int i = 0; i < 1000; ++i) {
        const long ms = p.next(minutes(3)).count();
        lo = std::min(lo, ms);
        hi = std::max(hi, ms);
    }
    EXPECT_GE(lo, 250);
    EXPECT_LE(hi, 750);
    EXPECT_LT(lo, 300);
    EXPECT_GT(hi, 700);
}
