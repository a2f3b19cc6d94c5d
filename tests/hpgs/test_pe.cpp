// Polyline-encoded (PE) data against hand-computed vectors.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

constexpr double k = kPt;

std::vector<std::pair<double, double>> lines(const RecordingDevice &d) {
  std::vector<std::pair<double, double>> r;
  for (const auto &c : d.named("lineto")) r.push_back({c.args[0] / k, c.args[1] / k});
  return r;
}

TEST(HpgsPolylineEncoded, SingleByteValuesAndSigns) {
  // 0 -> BF, 1 -> C1, -1 -> C2: relative pen-down pairs (1,0), (0,-1).
  auto r = record("SP1PU0,0;PE\xc1\xbf\xbf\xc2;");
  auto l = lines(*r.dev);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NEAR(l[0].first, 1, 1e-9);
  EXPECT_NEAR(l[1].second, -1, 1e-9);
}

TEST(HpgsPolylineEncoded, MultiByteValuesAreLeastSignificantDigitFirst) {
  // 32 -> 3F C0; 1000 -> 4F DE.
  auto r = record("SP1PU0,0;PE?\xc0O\xde;");
  auto l = lines(*r.dev);
  ASSERT_EQ(l.size(), 1u);
  EXPECT_NEAR(l[0].first, 32, 1e-9);
  EXPECT_NEAR(l[0].second, 1000, 1e-9);
}

TEST(HpgsPolylineEncoded, AbsolutePenUpPairThenPenDown) {
  // From an AutoCAD file: pen up to (2088,2315), pen down to (193,421).
  auto r = record("SP1PU0,0;PE<=O@\xc0UG\xc0=A\xc5I\xcc;");
  auto m = r.dev->named("moveto");
  ASSERT_EQ(m.size(), 1u);
  EXPECT_NEAR(m[0].args[0] / k, 2088, 1e-9);
  EXPECT_NEAR(m[0].args[1] / k, 2315, 1e-9);
  auto l = lines(*r.dev);
  ASSERT_EQ(l.size(), 1u);
  EXPECT_NEAR(l[0].first, 193, 1e-9);
  EXPECT_NEAR(l[0].second, 421, 1e-9);
}

TEST(HpgsPolylineEncoded, SevenBitModeUsesBase32) {
  // 7-bit: 0 -> '_', 1 -> 'a', -1 -> 'b', 32 -> '?a'.
  auto r = record("SP1PU0,0;PE7a_?ab;");
  auto l = lines(*r.dev);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NEAR(l[0].first, 1, 1e-9);
  EXPECT_NEAR(l[0].second, 0, 1e-9);
  EXPECT_NEAR(l[1].first, 33, 1e-9);
  EXPECT_NEAR(l[1].second, -1, 1e-9);
}

TEST(HpgsPolylineEncoded, FractionBitsAndExactContinuationWithPr) {
  // >1: one fraction bit; 3 -> 1.5. Then PR continues from exactly 1.5.
  auto r = record("SP1PU0,0;PE>\xc1\xc5\xbf;PR;PD1,0;");
  auto l = lines(*r.dev);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_DOUBLE_EQ(l[0].first, 1.5);
  EXPECT_DOUBLE_EQ(l[1].first, 2.5);
  // Negative fraction bits multiply: >-1 makes 3 into 6.
  auto n = record("SP1PU0,0;PE>\xc2\xc5\xbf;");
  EXPECT_NEAR(lines(*n.dev)[0].first, 6, 1e-9);
  // Fraction bits hold for one PE only.
  auto reset = record("SP1PU0,0;PE>\xc1\xc5\xbf;PE\xc5\xbf;");
  EXPECT_NEAR(lines(*reset.dev)[1].first, 4.5, 1e-9);
}

TEST(HpgsPolylineEncoded, PenSelectLineFeedsAndFinalPenState) {
  // ':' selects pen 3 (value 6 -> C5); CR LF inside the data are skipped;
  // the last pair is pen-up, so the pen stays up after PE.
  auto r = record("SP1PU0,0;PE:\xc5\xc1\r\n\xbf<\xc1\xbf;PA;PD;");
  auto col = r.dev->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_EQ(col[0].args, (std::vector<double>{0, 1, 0}));
  EXPECT_EQ(lines(*r.dev).size(), 2u);  // one PE line + the dot of PD;
}

TEST(HpgsPolylineEncoded, PenRemainsDownAfterPenDownPair) {
  auto r = record("SP1PU0,0;PE\xc1\xbf;PA2,0;");
  EXPECT_EQ(lines(*r.dev).size(), 2u);  // PA continues with the pen down
}

TEST(HpgsPolylineEncoded, InsidePolygonModeFillsTheBuffer) {
  auto r = record("SP1PU0,0;PM0;PE\xc5\xbf\xbf\xc5;PM2;FP;");
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto lineto closepath fill showpage finish");
}

TEST(HpgsPolylineEncoded, EscapeEndsPeAndPlainPeOnlySetsNothing) {
  auto r = record("SP1PU0,0;PE\xc5\xbf\x1b%0BPD0,0;PE;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(lines(*r.dev).size(), 2u);
}

TEST(HpgsPolylineEncoded, OverlongNumbersAreClampedNotWrapped) {
  std::string pe = "SP1PU0,0;PE";
  pe += std::string(40, '~');  // 40 non-final digits of 63
  pe += "\xfe\xbf;";
  auto r = record(pe);
  ASSERT_EQ(r.rc, 0);
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 1u);
  EXPECT_LE(std::fabs(l[0].args[0]), 1073741824.0 * k + 1e-6);
}

}  // namespace
