// The display list's block sequence: a small first block from the heap,
// then huge-page blocks that double. Elements must keep their places
// across both kinds of block boundary, whichever way they were appended.
#include "display_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using hpgs::BlockSeq;

// Enough bytes to fill the small block, the first huge block and part of
// the second (16 KiB + 2 MiB + more).
constexpr size_t kManyBytes = (size_t{16} << 10) + (size_t{2} << 20) + (size_t{1} << 20);

TEST(HpgsBlockSeq, BytesKeepTheirPlacesAcrossBlocks) {
  BlockSeq<uint8_t> s;
  for (size_t i = 0; i < kManyBytes; ++i) s.push_back(static_cast<uint8_t>(i * 7 + (i >> 13)));
  ASSERT_EQ(s.size(), kManyBytes);
  size_t wrong = 0;
  for (size_t i = 0; i < kManyBytes; ++i) wrong += s[i] != static_cast<uint8_t>(i * 7 + (i >> 13));
  EXPECT_EQ(wrong, 0u);
}

TEST(HpgsBlockSeq, AppendedRunsSpanBlockEnds) {
  // Runs of copies whose lengths do not divide the block sizes.
  BlockSeq<uint8_t> s;
  std::vector<uint8_t> want;
  for (size_t k = 0; want.size() < kManyBytes; ++k) {
    const size_t n = 1 + (k * 7919) % 40000;
    s.append(n, static_cast<uint8_t>(k));
    want.insert(want.end(), n, static_cast<uint8_t>(k));
  }
  ASSERT_EQ(s.size(), want.size());
  size_t wrong = 0;
  for (size_t i = 0; i < want.size(); ++i) wrong += s[i] != want[i];
  EXPECT_EQ(wrong, 0u);
}

TEST(HpgsBlockSeq, PointsSplitAcrossBlockEndsStayWhole) {
  // A leading odd number shifts every point so that one of them straddles
  // each block end; every point must still be visited once, in order.
  BlockSeq<double> s;
  s.push_back(-1.0);
  std::vector<hpgs_point> pts(100000);
  for (size_t i = 0; i < pts.size(); ++i) pts[i] = {static_cast<double>(i), -static_cast<double>(i) - 0.5};
  hpgs::PointRun run{reinterpret_cast<const unsigned char *>(pts.data()), pts.size(), sizeof(hpgs_point)};
  size_t visits = 0, out_of_order = 0;
  for (int rep = 0; rep < 4; ++rep)
    s.append_xy(run, [&](const hpgs_point &p, size_t i) {
      out_of_order += p.x != static_cast<double>(i);
      ++visits;
    });
  EXPECT_EQ(visits, 4 * pts.size());
  EXPECT_EQ(out_of_order, 0u);
  ASSERT_EQ(s.size(), 1 + 8 * pts.size());
  EXPECT_EQ(s[0], -1.0);
  size_t wrong = 0;
  for (size_t i = 0; i < 4 * pts.size(); ++i) {
    const hpgs_point &p = pts[i % pts.size()];
    wrong += s[1 + 2 * i] != p.x || s[2 + 2 * i] != p.y;
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(HpgsBlockSeq, ClearStartsAgainFromTheSmallBlock) {
  BlockSeq<double> s;
  for (int i = 0; i < 300000; ++i) s.push_back(i);
  s.clear();
  EXPECT_TRUE(s.empty());
  for (int i = 0; i < 5000; ++i) s.push_back(-i);
  ASSERT_EQ(s.size(), 5000u);
  EXPECT_EQ(s[0], 0.0);
  EXPECT_EQ(s[2047], -2047.0);
  EXPECT_EQ(s[2048], -2048.0);
  EXPECT_EQ(s[4999], -4999.0);
  EXPECT_LT(s.bytes(), size_t{3} << 20);
}

}  // namespace
