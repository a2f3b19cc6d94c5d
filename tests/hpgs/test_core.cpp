// Error slot, logger, boxes and matrices.
#include "hpgs.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>

namespace {

TEST(HpgsErrorSlot, FormatsReturnsMinusOneAndClears) {
  EXPECT_EQ(hpgs_set_error("cannot open '%s': %d", "a.plt", 42), -1);
  EXPECT_STREQ(hpgs_get_error(), "cannot open 'a.plt': 42");
  hpgs_clear_error();
  EXPECT_STREQ(hpgs_get_error(), "");
}

TEST(HpgsErrorSlot, LongMessagesAreKeptWhole) {
  std::string big(5000, 'x');
  hpgs_set_error("%s!", big.c_str());
  EXPECT_EQ(std::string(hpgs_get_error()), big + "!");
}

TEST(HpgsErrorSlot, EachThreadHasItsOwnSlot) {
  hpgs_set_error("main");
  std::string seen;
  std::thread t([&] {
    seen = hpgs_get_error();
    hpgs_set_error("worker");
  });
  t.join();
  EXPECT_EQ(seen, "");
  EXPECT_STREQ(hpgs_get_error(), "main");
}

std::string g_logged;
void capture(const char *fmt, va_list ap) {
  char buf[256];
  vsnprintf(buf, sizeof buf, fmt, ap);
  g_logged += buf;
}

TEST(HpgsLogger, CustomLoggerReceivesMessagesAndNullRestoresDefault) {
  g_logged.clear();
  hpgs_set_logger(capture);
  hpgs_log("value=%d", 7);
  hpgs_set_logger(nullptr);
  hpgs_log("to stderr");
  EXPECT_EQ(g_logged, "value=7");
}

TEST(HpgsInit, PrefixIsStored) {
  hpgs_init("/opt/x");
  EXPECT_STREQ(hpgs_get_prefix(), "/opt/x");
  hpgs_init("/usr");
  hpgs_cleanup();
}

TEST(HpgsBBox, NullExpandIntersect) {
  hpgs_bbox a;
  hpgs_bbox_null(&a);
  EXPECT_TRUE(hpgs_bbox_isnull(&a));
  EXPECT_TRUE(hpgs_bbox_isempty(&a));
  hpgs_point p{1, 2};
  hpgs_bbox_add(&a, &p);
  EXPECT_FALSE(hpgs_bbox_isnull(&a));
  EXPECT_TRUE(hpgs_bbox_isempty(&a));  // a single point has no area
  hpgs_bbox b{0, 0, 4, 1};
  hpgs_bbox_expand(&a, &b);
  EXPECT_EQ(a.llx, 0);
  EXPECT_EQ(a.ury, 2);
  hpgs_bbox n;
  hpgs_bbox_null(&n);
  hpgs_bbox_expand(&a, &n);  // a null box adds nothing
  EXPECT_EQ(a.urx, 4);
  hpgs_bbox far{10, 10, 11, 11};
  hpgs_bbox_intersect(&a, &far);
  EXPECT_TRUE(hpgs_bbox_isnull(&a));
}

TEST(HpgsMatrix, ConcatAppliesRightOperandFirst) {
  hpgs_matrix scale{0, 0, 2, 0, 0, 2}, shift{10, 0, 1, 0, 0, 1}, m;
  hpgs_matrix_concat(&m, &shift, &scale);  // scale, then shift
  hpgs_point p{1, 1}, q;
  hpgs_matrix_xform(&q, &m, &p);
  EXPECT_DOUBLE_EQ(q.x, 12);
  EXPECT_DOUBLE_EQ(q.y, 2);
}

TEST(HpgsMatrix, InverseAndIxformUndoXform) {
  hpgs_matrix m{3, -4, 0.5, -2, 1.5, 0.25}, inv;
  ASSERT_EQ(hpgs_matrix_invert(&inv, &m), 0);
  hpgs_point p{7, -3}, q, r, s;
  hpgs_matrix_xform(&q, &m, &p);
  hpgs_matrix_xform(&r, &inv, &q);
  hpgs_matrix_ixform(&s, &m, &q);
  EXPECT_NEAR(r.x, 7, 1e-12);
  EXPECT_NEAR(r.y, -3, 1e-12);
  EXPECT_NEAR(s.x, 7, 1e-12);
  EXPECT_NEAR(s.y, -3, 1e-12);
}

TEST(HpgsMatrix, SingularMatrixIsRefused) {
  hpgs_matrix m{0, 0, 1, 2, 2, 4}, inv;
  EXPECT_EQ(hpgs_matrix_invert(&inv, &m), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("singular"), std::string::npos);
  hpgs_point p{1, 1}, q;
  hpgs_matrix_ixform(&q, &m, &p);  // leaves the point alone rather than dividing by zero
  EXPECT_EQ(q.x, 1);
}

TEST(HpgsMatrix, XformBBoxOfATurnedBoxHoldsAllCorners) {
  const double c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
  hpgs_matrix rot{0, 0, c, -s, s, c};
  hpgs_bbox b{0, 0, 2, 1}, r;
  hpgs_matrix_xform_bbox(&r, &rot, &b);
  EXPECT_NEAR(r.llx, -s, 1e-12);
  EXPECT_NEAR(r.urx, 2 * c, 1e-12);
  EXPECT_NEAR(r.lly, 0, 1e-12);
  EXPECT_NEAR(r.ury, 2 * s + c, 1e-12);
  hpgs_bbox n, rn;
  hpgs_bbox_null(&n);
  hpgs_matrix_xform_bbox(&rn, &rot, &n);
  EXPECT_TRUE(hpgs_bbox_isnull(&rn));
}

}  // namespace
