// The plot size holds every mark: drawings measured with the plot-size
// device and painted at a resolution, once onto exactly the measured box
// (as previews are made) and once with a wide margin, where the ink's true
// extent shows. Labels at every edge in the stick and outline fonts, caps,
// joins, dashes and hairlines.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

using namespace hpgs_test;

namespace {

constexpr double kPlu = 72.0 / 1016;  // points per plotter unit
constexpr double kMm = 72.0 / 25.4;   // points per millimetre

hpgs_bbox measure(const std::string &text, bool recording = false) {
  hpgs_bbox bb{0, 0, 0, 0};
  hpgs_device *dev = recording ? hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE) : hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  ReaderPtr r(hpgs_new_reader(mem(text), dev, HPGS_FALSE, 0));
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error() << " in " << text;
  EXPECT_EQ(hpgs_getplotsize(dev, 1, &bb), 0) << hpgs_get_error();
  return bb;
}

// text painted onto a w x h image showing the page box `page`.
struct Render {
  ReaderPtr reader;
  hpgs_png_image *img = nullptr;  // the device's, valid while reader lives
  int w, h;
  Render(const std::string &text, const hpgs_bbox &page, int w_, int h_, bool aa) : w(w_), h(h_) {
    img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_paint_device *p = hpgs_new_paint_device(img, "", &page, aa ? HPGS_TRUE : HPGS_FALSE);
    reader.reset(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
    EXPECT_EQ(hpgs_read(reader.get(), HPGS_TRUE), 0) << hpgs_get_error();
  }
  int ink(int x, int y) const {
    unsigned char c[3];
    if (hpgs_image_get_pixel(img, x, y, c, nullptr) != 0) return 0;
    return 765 - c[0] - c[1] - c[2];
  }
  long total() const {
    long t = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) t += ink(x, y);
    return t;
  }
  // Inked pixels in column x (or row y).
  int column(int x) const {
    int n = 0;
    for (int y = 0; y < h; ++y) n += ink(x, y) > 0;
    return n;
  }
  int row(int y) const {
    int n = 0;
    for (int x = 0; x < w; ++x) n += ink(x, y) > 0;
    return n;
  }
};

// Paints text at dpi onto its measured box and onto the box with a margin
// of 24 pixels, and checks that the measured box holds every inked pixel
// of the margin render, that it reaches out no further than `slack`
// points beyond that ink, and that the render onto the box loses no ink.
void expect_box_holds_the_ink(const std::string &what, const std::string &text, double dpi, bool aa,
                              double slack) {
  SCOPED_TRACE(what + (aa ? " (anti-aliased" : " (exact pixels") + ", " + std::to_string(int(dpi)) + " dpi)");
  const hpgs_bbox box = measure(text);
  ASSERT_GT(box.urx - box.llx, 0);
  const double px = 72.0 / dpi;
  const int margin = 24;
  const int mw = int(std::ceil((box.urx - box.llx) / px)) + 2 * margin;
  const int mh = int(std::ceil((box.ury - box.lly) / px)) + 2 * margin;
  const hpgs_bbox wide{box.llx - margin * px, box.lly - margin * px, box.llx + (mw - margin) * px,
                       box.lly + (mh - margin) * px};
  Render m(text, wide, mw, mh, aa);
  int x0 = mw, x1 = -1, y0 = mh, y1 = -1;
  for (int y = 0; y < mh; ++y)
    for (int x = 0; x < mw; ++x)
      if (m.ink(x, y) > 0) x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
  ASSERT_GE(x1, 0) << "nothing painted";
  // The ink's extent: between the inner and outer edges of its outermost
  // pixels (points, y up).
  const double out_l = wide.llx + x0 * px, in_l = out_l + px;
  const double out_r = wide.llx + (x1 + 1) * px, in_r = out_r - px;
  const double out_t = wide.ury - y0 * px, in_t = out_t - px;
  const double out_b = wide.ury - (y1 + 1) * px, in_b = out_b + px;
  const double eps = 1e-6;
  // Every inked pixel reaches into the box.
  EXPECT_LE(box.llx, in_l + eps) << "ink left of the box: box " << box.llx << ", ink from " << out_l;
  EXPECT_GE(box.urx, in_r - eps) << "ink right of the box: box " << box.urx << ", ink to " << out_r;
  EXPECT_LE(box.lly, in_b + eps) << "ink below the box: box " << box.lly << ", ink from " << out_b;
  EXPECT_GE(box.ury, in_t - eps) << "ink above the box: box " << box.ury << ", ink to " << out_t;
  // And the box grows no further than the ink needs. Without
  // anti-aliasing a pixel is inked only where the mark covers its centre,
  // so a mark may reach beyond the last one inked: half a pixel for a
  // straight edge, a few pixels for the narrow tip of an acute miter
  // (22 degrees here: 2.5 pixels before it is a pixel wide).
  if (!aa) slack += 3 * px;
  EXPECT_GE(box.llx, out_l - slack) << "box reaches beyond the ink on the left";
  EXPECT_LE(box.urx, out_r + slack) << "box reaches beyond the ink on the right";
  EXPECT_GE(box.lly, out_b - slack) << "box reaches beyond the ink at the bottom";
  EXPECT_LE(box.ury, out_t + slack) << "box reaches beyond the ink at the top";
  // Painted onto the box itself, as a preview is: the same ink, up to
  // where the pixel grid falls (which moves thin parts of glyphs in and
  // out of the pixel centres without anti-aliasing).
  const int fw = int(std::floor((box.urx - box.llx) / px + 0.5)), fh = int(std::floor((box.ury - box.lly) / px + 0.5));
  Render f(text, box, fw, fh, aa);
  const long all = m.total(), kept = f.total();
  EXPECT_GE(kept, all * (aa ? 0.97 : 0.85)) << "the render onto the box lost ink: " << kept << " of " << all;
}

// A frame with a label beyond each of its sides, all in direction DI
// (run, rise).
std::string labels_round_a_frame(const std::string &font, const std::string &di, const std::string &extra = "") {
  std::string s = "IN;SP1;PW0.3;" + extra + font + "PA3000,3000;PD;EA7000,7000;PU;DI" + di + ";LO5;";
  for (const char *at : {"1500,5000", "8500,5000", "5000,1500", "5000,8500"}) s += std::string("PA") + at + ";LBWgjy[Q]\x03";
  return s;
}

const char *const kDirections[] = {"1,0", "0,1", "-1,0", "0,-1"};

TEST(HpgsPlotSizeInk, StickFontLabelsAtEveryEdgeInEveryDirectionLieInside) {
  for (const char *di : kDirections) {
    // Medium and bold strokes (6 % and 13 % of the point size wide).
    for (const char *weight : {"0", "7"}) {
      const std::string font = std::string("SD1,277,2,1,4,24,5,0,6,") + weight + ",7,48;";
      const std::string what = std::string("stick font, weight ") + weight + ", DI" + di;
      // Round caps and joins: the box is the strokes' points grown by
      // half their width.
      expect_box_holds_the_ink(what, labels_round_a_frame(font, di), 150, true, 0.01);
      expect_box_holds_the_ink(what, labels_round_a_frame(font, di), 72, false, 0.01);
    }
  }
}

TEST(HpgsPlotSizeInk, OutlineFontLabelsAtEveryEdgeInEveryDirectionLieInside) {
  for (const char *di : kDirections) {
    for (const char *face : {"4148", "4101"}) {
      const std::string font = std::string("SD1,277,2,1,4,24,5,0,6,0,7,") + face + ";";
      const std::string what = std::string("typeface ") + face + ", DI" + di;
      expect_box_holds_the_ink(what + ", filled", labels_round_a_frame(font, di), 150, true, 0.01);
      expect_box_holds_the_ink(what + ", filled", labels_round_a_frame(font, di), 100, false, 0.01);
      // Edged with a wide pen: the glyphs' sharp corners are mitred (limit
      // 5), reaching well beyond half the pen's width.
      expect_box_holds_the_ink(what + ", edged", labels_round_a_frame(font, di, "CF1;PW1.5;"), 150, true, 0.75 * kMm);
    }
  }
}

TEST(HpgsPlotSizeInk, SquareCapsAndMiterJoinsCountWhereTheyReach) {
  struct Case {
    const char *what, *text;
    double slack;  // points: butt and bevel ends of slanted strokes lie within half the width
  };
  const Case cases[] = {
      {"square caps, diagonal", "IN;SP1;PW3;LA1,2;PA1000,1000;PD2000,2000;", 0.01},
      {"triangle caps, diagonal", "IN;SP1;PW3;LA1,3;PA1000,1000;PD2000,2000;", 1.5 * kMm},
      {"miter, sharp V", "IN;SP1;PW3;LA1,1,2,1,3,10;PA1000,1000;PD2000,1200,1000,1400;", 1.5 * kMm},
      {"miter, closed outline", "IN;SP1;PW3;LA2,1,3,10;PA1000,1000;PM0;PD2000,1200,1000,1400;PM2;EP;", 0.01},
      {"miter, star", "IN;SP1;PW2;LA2,1,3,8;PA2000,1000;PD2600,3000,3200,1000,1600,2200,3800,2200,2000,1000;",
       1.0 * kMm},
      {"square caps, dashed", "IN;SP1;PW3;LA1,2,2,5;LT2,3,1;PA1000,1000;PD2000,2000,3000,1000;", 1.5 * kMm},
      {"square caps, curve", "IN;SP1;PW3;LA1,2;PA1000,1000;PD;BZ1000,1000,1300,700,2000,2000;", 0.01},
      {"markers", "IN;SP1;PW1;SM*;PA1000,1000;PD2000,1000,2000,2000;", 0.01},
  };
  for (const Case &c : cases) {
    expect_box_holds_the_ink(c.what, c.text, 150, true, c.slack);
    expect_box_holds_the_ink(c.what, c.text, 100, false, c.slack);
  }
}

TEST(HpgsPlotSizeInk, ZigZagsWithEveryMiterLimitLieInside) {
  // Sharp and blunt turns mixed, one path and many, so that joins are
  // passed over inside the box and the page and worked out on its edges.
  unsigned seed = 12345;
  auto next = [&seed](int n) {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 8) % static_cast<unsigned>(n));
  };
  for (const char *limit : {"1.5", "4", "10"}) {
    for (int drawing = 0; drawing < 4; ++drawing) {
      std::string t = std::string("IN;SP1;PW2;LA1,1,2,1,3,") + limit + ";";
      for (int line = 0; line < 3; ++line) {
        t += "PU" + std::to_string(next(3000)) + "," + std::to_string(next(3000)) + ";PD";
        for (int i = 0; i < 12; ++i) t += (i ? "," : "") + std::to_string(next(3000)) + "," + std::to_string(next(3000));
        t += ";";
      }
      expect_box_holds_the_ink(t, t, 100, true, 1.0 * kMm);
    }
  }
}

TEST(HpgsPlotSizeInk, MarksBeyondHalfTheWidthHaveTheirExactReach) {
  const double h = 1.5 * kMm;  // half of PW3
  // A square cap on a 45 degree line: its corners lie half the width
  // along and across the line from its end, h * sqrt(2) further on in x
  // and y.
  hpgs_bbox b = measure("IN;SP1;PW3;LA1,2;PA1000,1000;PD2000,2000;");
  EXPECT_NEAR(b.llx, 1000 * kPlu - h * std::sqrt(2.0), 1e-9);
  EXPECT_NEAR(b.ury, 2000 * kPlu + h * std::sqrt(2.0), 1e-9);
  // Butt caps on an axis-parallel line reach half the width across it.
  b = measure("IN;SP1;PW3;LA1,1;PA1000,1000;PD2000,1000;");
  EXPECT_NEAR(b.lly, 1000 * kPlu - h, 1e-9);
  EXPECT_NEAR(b.urx, 2000 * kPlu + h, 1e-9);
  // A right-angled miter: the tip lies h * sqrt(2) from the corner along
  // the bisector, h beyond it in x and y.
  b = measure("IN;SP1;PW3;LA1,1,2,1;PA1000,2000;PD2000,2000,2000,1000;");
  EXPECT_NEAR(b.urx, 2000 * kPlu + h, 1e-9);
  EXPECT_NEAR(b.ury, 2000 * kPlu + h, 1e-9);
  // An acute miter (the legs 2 : 1, a turn of about 127 degrees): the tip
  // lies h / sin(interior / 2) beyond the corner, along the bisector.
  b = measure("IN;SP1;PW3;LA1,1,2,1,3,10;PA0,0;PD4000,2000,0,4000;");
  const double half_angle = std::atan2(2000.0, 4000.0);
  EXPECT_NEAR(b.urx, 4000 * kPlu + h / std::sin(half_angle), 1e-6);
  // Beyond the miter limit the join is bevelled: only half the width.
  b = measure("IN;SP1;PW3;LA1,1,2,1,3,2;PA0,0;PD4000,2000,0,4000;");
  EXPECT_NEAR(b.urx, 4000 * kPlu + h, 1e-6);
  // Round joins and bevels never reach further than half the width.
  for (const char *join : {"4", "5"}) {
    b = measure(std::string("IN;SP1;PW3;LA1,1,2,") + join + ";PA0,0;PD4000,2000,0,4000;");
    EXPECT_NEAR(b.urx, 4000 * kPlu + h, 1e-6) << "join " << join;
  }
  // Fills ignore the stroke's marks.
  b = measure("IN;SP1;PW3;LA1,2,2,1;PA0,0;PM0;PD4000,2000,0,4000;PM2;FP;");
  EXPECT_NEAR(b.urx, 4000 * kPlu, 1e-9);
  // The recording device measures alike.
  for (const char *t : {"IN;SP1;PW3;LA1,2;PA1000,1000;PD2000,2000;", "IN;SP1;PW3;LA1,1,2,1,3,10;PA0,0;PD4000,2000,0,4000;",
                        "IN;SP1;PW3;LA2,1,3,10;PA1000,1000;PM0;PD2000,1200,1000,1400;PM2;EP;"}) {
    const hpgs_bbox p = measure(t), r = measure(t, true);
    EXPECT_EQ(p.llx, r.llx) << t;
    EXPECT_EQ(p.lly, r.lly) << t;
    EXPECT_EQ(p.urx, r.urx) << t;
    EXPECT_EQ(p.ury, r.ury) << t;
  }
}

TEST(HpgsPlotSizeInk, StrokeStateChangedAfterThePathCountsAtItsFarthest) {
  // A device user may set the stroke state between building a path and
  // stroking it: the stroke is then measured with the farthest reach of
  // the state it is stroked in.
  hpgs_device *d = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_setlinewidth(d, 2.0);
  hpgs_setlinejoin(d, hpgs_join_round);
  hpgs_point a{0, 0}, b{100, 50}, c{0, 100};
  hpgs_moveto(d, &a);
  hpgs_lineto(d, &b);
  hpgs_lineto(d, &c);
  hpgs_setlinejoin(d, hpgs_join_miter);
  hpgs_setmiterlimit(d, 10.0);
  hpgs_stroke(d);
  hpgs_bbox bb;
  ASSERT_EQ(hpgs_getplotsize(d, 1, &bb), 0);
  const double tip = 1.0 / std::sin(std::atan2(50.0, 100.0));  // the tip's reach beyond b
  EXPECT_GE(bb.urx, 100 + tip - 1e-9);
  EXPECT_LE(bb.urx, 100 + 10.0 + 1e-9);
  hpgs_device_destroy(d);
}

TEST(HpgsPlotSizeInk, HairlinesOnEveryEdgeOfTheImageShow) {
  // A PW0 square: one pixel wide at any resolution, on all four edges of
  // the measured box. Each side shows along the whole edge of the preview.
  const std::string text = "IN;SP1;PW0;PA0,0;PD1000,0,1000,1000,0,1000,0,0;";
  const hpgs_bbox box = measure(text);
  for (double dpi : {72.0, 100.0, 150.0, 300.0}) {
    for (bool aa : {true, false}) {
      SCOPED_TRACE(std::to_string(int(dpi)) + " dpi" + (aa ? ", anti-aliased" : ", exact pixels"));
      const double px = 72.0 / dpi;
      const int fw = int(std::floor((box.urx - box.llx) / px + 0.5)), fh = int(std::floor((box.ury - box.lly) / px + 0.5));
      Render f(text, box, fw, fh, aa);
      EXPECT_GE(f.column(0), fh - 1) << "left side";
      EXPECT_GE(f.column(fw - 1), fh - 1) << "right side";
      EXPECT_GE(f.row(0), fw - 1) << "top side";
      EXPECT_GE(f.row(fh - 1), fw - 1) << "bottom side";
      // Inside the square the sides take one pixel each.
      EXPECT_LE(f.column(fw / 2), 2);
      EXPECT_LE(f.row(fh / 2), 2);
    }
  }
  // A hairline only ending on the far edge keeps its pixels there.
  expect_box_holds_the_ink("hairline cross", "IN;SP1;PW0;PA0,500;PD1000,500;PU500,0;PD500,1000;", 100, false, 0.01);
}

}  // namespace
