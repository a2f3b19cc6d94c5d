// Numbers in content streams: the integer path that writes coordinates
// gives what exact decimal formatting gives.
#include "common.h"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <random>
#include <string>

namespace {

std::string written(double v, int decimals) {
    std::string s;
    hpgspdf::appendNum(s, v, decimals);
    return s;
}

// Exact formatting with to_chars, trailing zeros (and a bare point) cut.
std::string exact(double v, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    std::string s(buf, r.ptr);
    if (decimals > 0) {
        while (s.back() == '0') s.pop_back();
        if (s.back() == '.') s.pop_back();
    }
    return s == "-0" ? "0" : s;
}

}  // namespace

TEST(PdfNumbers, CoordinatesAreWrittenAsExactFormattingWritesThem) {
    EXPECT_EQ(written(0, 3), "0");
    EXPECT_EQ(written(-0.0004, 3), "0");
    EXPECT_EQ(written(-0.0006, 3), "-0.001");
    EXPECT_EQ(written(57.1181, 3), "57.118");
    EXPECT_EQ(written(-12.5, 3), "-12.5");
    EXPECT_EQ(written(100, 3), "100");
    EXPECT_EQ(written(0.24, 10 - 4), "0.24");
    EXPECT_EQ(written(14400, 0), "14400");
    EXPECT_EQ(written(2.5e9, 3), "2500000000");
    EXPECT_EQ(written(-1234567890.125, 2), "-1234567890.12");
    EXPECT_EQ(written(999999999.9996, 3), "1000000000");

    // Random values at every scale and each number of decimals: the same
    // text, except within a rounding error of a half step, where the last
    // digit may go either way.
    std::mt19937_64 rng(20261210);
    std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
    size_t compared = 0;
    for (int i = 0; i < 200000; ++i) {
        const double v = mantissa(rng) * std::pow(10.0, static_cast<int>(rng() % 13) - 3);
        const int d = static_cast<int>(rng() % 7);
        const double scaled = std::fabs(v) * std::pow(10.0, d);
        if (std::fabs(scaled - std::floor(scaled) - 0.5) < 1e-6) continue;
        ++compared;
        ASSERT_EQ(written(v, d), exact(v, d)) << v << " with " << d << " decimals";
    }
    EXPECT_GT(compared, 199000u);
}

TEST(PdfNumbers, WhatCannotBeWrittenIsRefused) {
    std::string s;
    EXPECT_THROW(hpgspdf::appendNum(s, NAN, 3), std::exception);
    EXPECT_THROW(hpgspdf::appendNum(s, INFINITY, 3), std::exception);
    EXPECT_THROW(hpgspdf::appendNum(s, 1.0, 7), std::exception);
    EXPECT_TRUE(s.empty());
}
