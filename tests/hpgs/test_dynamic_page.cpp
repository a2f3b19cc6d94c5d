// Dynamic page placement and what the page and frame asset callbacks receive.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

struct Seen {
  std::vector<std::string> order;
  hpgs_matrix page{};
  hpgs_matrix xform{};
  hpgs_bbox box{};
  std::vector<int> indexes;
  int fail = 0;
};

int page_cb(void *ctxt, hpgs_device *dev, const hpgs_matrix *m, const hpgs_matrix *x, const hpgs_bbox *b, int i) {
  auto *s = static_cast<Seen *>(ctxt);
  s->order.push_back(std::string("page:") + hpgs_device_rtti(dev));
  s->page = *m;
  s->xform = *x;
  s->box = *b;
  s->indexes.push_back(i);
  if (s->fail) return hpgs_set_error("annotation bundle failed");
  return 0;
}

int frame_cb(void *ctxt, hpgs_device *, const hpgs_matrix *, const hpgs_matrix *, const hpgs_bbox *, int i) {
  static_cast<Seen *>(ctxt)->order.push_back("frame" + std::to_string(i));
  return 0;
}

struct Placed {
  hpgs_bbox page;
  Seen seen;
};

Placed place(double angle, hpgs_bbox box, double max_w = 72000, double max_h = 72000, double border = 0) {
  Placed p;
  auto *dev = new_recording_device();
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1016,1016"), &dev->base, false, 0));
  p.page = box;
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &p.page, max_w, max_h, border, angle), 0) << hpgs_get_error();
  hpgs_reader_set_page_asset_func(r.get(), &p.seen, page_cb);
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  return p;
}

hpgs_point apply(const hpgs_matrix &m, double x, double y) {
  hpgs_point p{x, y}, q;
  hpgs_matrix_xform(&q, &m, &p);
  return q;
}

void expect_box(const hpgs_bbox &b, double llx, double lly, double urx, double ury) {
  EXPECT_NEAR(b.llx, llx, 1e-9);
  EXPECT_NEAR(b.lly, lly, 1e-9);
  EXPECT_NEAR(b.urx, urx, 1e-9);
  EXPECT_NEAR(b.ury, ury, 1e-9);
}

const hpgs_bbox kBox{10, 20, 110, 70};  // 100 x 50 points

TEST(HpgsDynamicPage, RightAnglesTurnTheBoxCounterClockwise) {
  struct {
    double angle, w, h;
    hpgs_point ll;  // where the drawing's lower-left corner lands
  } cases[] = {{0, 100, 50, {0, 0}}, {90, 50, 100, {50, 0}}, {180, 100, 50, {100, 50}}, {270, 50, 100, {0, 100}},
               {-90, 50, 100, {0, 100}}, {450, 50, 100, {50, 0}}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.angle);
    Placed p = place(c.angle, kBox);
    expect_box(p.page, 0, 0, c.w, c.h);
    hpgs_point q = apply(p.seen.page, kBox.llx, kBox.lly);
    EXPECT_NEAR(q.x, c.ll.x, 1e-9);
    EXPECT_NEAR(q.y, c.ll.y, 1e-9);
    expect_box(p.seen.box, kBox.llx, kBox.lly, kBox.urx, kBox.ury);
    hpgs_bbox dev;
    hpgs_matrix_xform_bbox(&dev, &p.seen.page, &p.seen.box);
    expect_box(dev, 0, 0, c.w, c.h);
  }
}

TEST(HpgsDynamicPage, ThirtyDegreesGivesTheBoxOfTheTurnedDrawing) {
  Placed p = place(30, kBox);
  const double c = std::cos(M_PI / 6), s = std::sin(M_PI / 6);
  expect_box(p.page, 0, 0, 100 * c + 50 * s, 100 * s + 50 * c);
  EXPECT_NEAR(p.seen.page.mxx, c, 1e-12);
  EXPECT_NEAR(p.seen.page.myx, s, 1e-12);
  hpgs_bbox dev;
  hpgs_matrix_xform_bbox(&dev, &p.seen.page, &p.seen.box);
  expect_box(dev, p.page.llx, p.page.lly, p.page.urx, p.page.ury);
  // Turned counter-clockwise: the lower-left corner is the lowest point,
  // the upper-left corner the leftmost.
  EXPECT_NEAR(apply(p.seen.page, kBox.llx, kBox.lly).y, 0, 1e-9);
  EXPECT_NEAR(apply(p.seen.page, kBox.llx, kBox.ury).x, 0, 1e-9);
}

TEST(HpgsDynamicPage, BorderOnEverySideAndScalingToTheMaxima) {
  Placed p = place(0, {0, 0, 1000, 500}, 520, 520, 10);
  expect_box(p.page, 0, 0, 520, 270);  // drawing scaled by 0.5, border kept
  EXPECT_NEAR(p.seen.page.mxx, 0.5, 1e-12);
  hpgs_point q = apply(p.seen.page, 0, 0);
  EXPECT_NEAR(q.x, 10, 1e-9);
  EXPECT_NEAR(q.y, 10, 1e-9);
  hpgs_bbox dev;
  hpgs_matrix_xform_bbox(&dev, &p.seen.page, &p.seen.box);
  expect_box(dev, 0, 0, 520, 270);
  // With an angle that is no right angle the page box still maps onto the page.
  Placed t = place(30, {0, 0, 1000, 500}, 100000, 100000, 20);
  hpgs_matrix_xform_bbox(&dev, &t.seen.page, &t.seen.box);
  expect_box(dev, 0, 0, t.page.urx, t.page.ury);
}

TEST(HpgsDynamicPage, LineWidthsAndCoordinatesFollowThePageScale) {
  auto *dev = new_recording_device();
  ReaderPtr r(hpgs_new_reader(mem("PW1;SP1PU1016,0PD2032,0"), &dev->base, false, 0));
  hpgs_bbox box{0, 0, 1000, 500};
  ASSERT_EQ(hpgs_reader_set_dynamic_page(r.get(), &box, 500, 500, 0, 0), 0);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_NEAR(dev->named("setlinewidth")[0].args[0], 0.5 * 72 / 25.4, 1e-9);
  EXPECT_NEAR(dev->named("lineto")[0].args[0], 72, 1e-9);
}

TEST(HpgsDynamicPage, XformMapsCurrentUnitsToTheDevice) {
  auto *dev = new_recording_device();
  Seen seen;
  ReaderPtr r(hpgs_new_reader(mem("IP1016,1016,2032,2032;SC0,1,0,1;SP1PU0,0PD1,1"), &dev->base, false, 0));
  hpgs_bbox box{0, 0, 200, 200};
  ASSERT_EQ(hpgs_reader_set_dynamic_page(r.get(), &box, 100, 100, 0, 0), 0);
  hpgs_reader_set_page_asset_func(r.get(), &seen, page_cb);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  hpgs_point q = apply(seen.xform, 1, 1);  // user (1,1) = 2032 plu = 144 pt, halved
  EXPECT_NEAR(q.x, 72, 1e-9);
  EXPECT_NEAR(q.y, 72, 1e-9);
}

TEST(HpgsDynamicPage, InvalidArgumentsAreRefusedWithAMessage) {
  auto *dev = new_recording_device();
  ReaderPtr r(hpgs_new_reader(mem(""), &dev->base, false, 0));
  hpgs_bbox null_box;
  hpgs_bbox_null(&null_box);
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &null_box, 100, 100, 0, 0), -1);
  hpgs_bbox b{0, 0, 10, 10};
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &b, 0, 100, 0, 0), -1);
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &b, 100, 100, -1, 0), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("border"), std::string::npos);
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &b, 100, 100, 60, 0), -1);
  EXPECT_EQ(hpgs_reader_set_dynamic_page(r.get(), &b, 100, 100, 0, NAN), -1);
}

TEST(HpgsAssetCallbacks, FrameThenPageThenShowpageForEveryPage) {
  auto *dev = new_recording_device();
  Seen seen;
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1,1;PG;PD2,2;PG;"), &dev->base, true, 0));
  hpgs_reader_set_page_asset_func(r.get(), &seen, page_cb);
  hpgs_reader_set_frame_asset_func(r.get(), &seen, frame_cb);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(seen.order, (std::vector<std::string>{"frame0", "page:recording_device", "frame1",
                                                 "page:recording_device"}));
  EXPECT_EQ(seen.indexes, (std::vector<int>{0, 1}));
  // Without a dynamic page: identity matrix and the plot's page box.
  EXPECT_EQ(seen.page.mxx, 1);
  EXPECT_EQ(seen.page.dx, 0);
  EXPECT_NEAR(seen.box.urx, 11176 * kPt, 1e-9);
}

TEST(HpgsAssetCallbacks, FailingCallbackFailsTheReadWithItsMessage) {
  auto *dev = new_recording_device();
  Seen seen;
  seen.fail = 1;
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1,1"), &dev->base, false, 0));
  hpgs_reader_set_page_asset_func(r.get(), &seen, page_cb);
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_STREQ(hpgs_get_error(), "annotation bundle failed");
  EXPECT_TRUE(dev->named("showpage").empty());
}

}  // namespace

namespace {

// Input stream over a string that counts the bytes handed out.
struct Counted {
  std::string data;
  size_t pos = 0;
};
const hpgs_istream_vtable kCounted = {
    [](void *s) {
      auto *c = static_cast<Counted *>(s);
      return c->pos < c->data.size() ? static_cast<unsigned char>(c->data[c->pos++]) : EOF;
    },
    [](int, void *) { return EOF; },
    [](void *, size_t, size_t, void *) -> size_t { return 0; },
    [](void *s, size_t p) {
      static_cast<Counted *>(s)->pos = p;
      return 0;
    },
    [](void *s, size_t *p) {
      *p = static_cast<Counted *>(s)->pos;
      return 0;
    },
    [](void *s) { return int(static_cast<Counted *>(s)->pos >= static_cast<Counted *>(s)->data.size()); },
    [](void *) { return 0; },
    [](void *s) {
      delete static_cast<Counted *>(s);
      return 0;
    },
};

struct Positions {
  Counted *stream;
  std::vector<size_t> at;
};

int note_position(void *ctxt, hpgs_device *, const hpgs_matrix *, const hpgs_matrix *, const hpgs_bbox *, int) {
  auto *p = static_cast<Positions *>(ctxt);
  p->at.push_back(p->stream->pos);
  return 0;
}

std::vector<size_t> frame_positions(const std::string &text) {
  auto *c = new Counted{text};
  Positions pos{c, {}};
  auto *dev = new_recording_device();
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kCounted, c), &dev->base, true, 0));
  hpgs_reader_set_frame_asset_func(r.get(), &pos, note_position);
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  return pos.at;
}

TEST(HpgsAssetCallbacks, FrameCallbackComesRightAfterTheFrameCommand) {
  std::string a = "SP1PU0,0PD1,1;PG;PD2,2;";
  EXPECT_EQ(frame_positions(a), (std::vector<size_t>{a.find("PG;") + 3, a.size()}));
  std::string b = "SP1PU0,0PD1,1;FR IN;";  // no terminator: up to the next command's first byte
  EXPECT_EQ(frame_positions(b), (std::vector<size_t>{b.find("IN") + 1}));
  std::string c = "SP1PU0,0PD1,1;PG1;";
  EXPECT_EQ(frame_positions(c), (std::vector<size_t>{c.size()}));
}

}  // namespace
