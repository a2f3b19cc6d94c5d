// Real plot files against reference renderings made without this library:
// ink F-score (2-pixel tolerance) at 150 dpi after cropping both to their
// ink and resampling to one size; the IoU is printed as a figure. Where
// both are at one scale, also the F-score with the rendering laid on the
// reference at the best whole-pixel shift.
#include "ink_compare.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace hpgs_test;

namespace {

int render_file(const std::string &in, const std::string &out, double dpi, bool aa) {
  TwoPassOptions o;
  o.dpi = dpi;
  o.aa = aa;
  if (const char *t = std::getenv("HPGS_THIN")) o.thin_alpha = std::atof(t);
  return render_two_pass(in, out, o);
}

struct RefCase {
  const char *name;
  bool exact;
  // Known shortfall: the score this renderer reaches today where it stays
  // below the target (0.95 exact, 0.85 approximate); 0 = the target holds.
  // The two plotutils cases below target are held back by dash lengths:
  // libplot's PNG driver sizes dashes from its whole-pixel line width, its
  // HP-GL writer from the real width, so the reference's dashes are not the
  // file's. pu_pic2plot_states: 7 on, 7 off where the file's LT8,0.8839
  // pattern is 14.6 pixels; the thick dashed line at the bottom is 12 whole
  // patterns long and ends in a gap in the file but in a dash in the
  // reference, so the ink box is 6 pixels shorter here and the crop scales
  // everything below it (with that line's end inked the score is 0.96).
  // pu_graph_dashed: 8 on, 8 off against the file's 9.6 and 9.6 for the
  // dashed curve, grid dots 1 on, 3 off against 2.1 and 6.2.
  // pu_pcl_spectrum: the file sets its labels in CG Times (filled serif
  // outlines here, at the places the producer computed for CG Times); the
  // reference draws HersheySerif strokes, wider and one pixel thin. Labels
  // bound the ink box on three sides, so the wider reference labels shift
  // and scale the whole crop, and thin strokes miss filled glyphs.
  // gp_pcl5_response: gnuplot's pcl5 layout puts the rotated y label's
  // centre 54 plotter units from the canvas edge, 18 inside the frame, so
  // the 12-point label crosses the frame and starts the ink box 6 pixels
  // left of it; the pngcairo reference lays the label out inside the frame
  // (without the label the score is 0.85). The key box is sized by each
  // terminal for its own font.
  // gp_hpgl_polar: the file asks for labels 0.2 % x 0.4 % of P2-P1
  // (capitals 5 pixels high) and has no key titles; the reference shows
  // both in its own font (the title 24 pixels high), and its grid is a
  // light grey dotted line (no ink) where the file draws it solid with
  // pen 2.
  double known_floor = 0;
  // Both pictures are at 150 dpi, so the drawing is also compared laid on
  // the reference at the best whole-pixel shift, without cropping and
  // rescaling (compare_registered). There the two dash and label cases
  // above reach their targets: their shortfall is the crop's, moved by a
  // few pixels of the reference's own making. pu_pcl_spectrum stays below
  // (its labels are another font's); gp_hpgl_polar is drawn at another
  // scale (its size depends on the P1/P2 a renderer assumes), so only the
  // cropped comparison applies.
  bool same_scale = true;
  double registered_floor = 0;
};

const RefCase kCases[] = {
    {"pu_graph_dashed", true, 0.94},
    {"pu_pic2plot_states", true, 0.90},
    {"pu_plotfont_gothic", true},
    {"pu_pcl_spectrum", false, 0.65, true, 0.82},
    {"pu_big_harmonograph", true},
    {"gp_pcl5_response", false, 0.72},
    {"gp_pcl5_area", false},
    {"gp_hpgl_polar", false, 0.655, false},
    {"ps_parts_hpgl2", true},
    {"fig_ibmgl_bracket_ro90", false},
    {"syn_pjl_frame", true},
    {"syn_pe_encoded", true},
    {"syn_bezier", true},
    {"syn_arcs_relative", true},
    {"syn_pw_metric_caps", true},
    {"syn_hatch_fill", true},
    {"syn_rtl_raster", true},
    {"syn_iso_ro90", true},
};

void PrintTo(const RefCase &c, std::ostream *os) { *os << c.name; }

class HpgsReferences : public ::testing::TestWithParam<RefCase> {};

TEST_P(HpgsReferences, InkMatchesTheReferenceAt150Dpi) {
  const RefCase &c = GetParam();
  std::string out = temp_path(std::string(c.name) + ".png");
  ASSERT_EQ(render_file(data_file(std::string(c.name) + ".hpgl"), out, 150, std::getenv("HPGS_NOAA") == nullptr), 0) << hpgs_get_error();
  Png ref, test;
  ASSERT_TRUE(read_png(data_file("ref/" + std::string(c.name) + ".ref.png"), ref));
  ASSERT_TRUE(read_png(out, test));
  InkScore s = compare_ink(ref, test);
  ASSERT_TRUE(s.ok);
  // HPGS_INK_DIFF=DIR keeps a picture of the differences per file.
  if (const char *dir = std::getenv("HPGS_INK_DIFF")) write_diff(s, std::string(dir) + "/" + c.name + ".diff.png");
  std::printf("| %-24s | %-11s | f_tol %.3f | iou %.3f | precision %.3f | recall %.3f |\n", c.name,
              c.exact ? "exact" : "approximate", s.f_tol, s.iou, s.precision, s.recall);
  const double target = c.exact ? 0.95 : 0.85;
  EXPECT_GE(s.f_tol, c.known_floor > 0 ? c.known_floor : target);
  if (c.known_floor > 0 && s.f_tol >= target) std::printf("  %s now reaches its target: drop its floor\n", c.name);
  if (c.same_scale) {
    RegisteredScore r = compare_registered(ref, test);
    ASSERT_TRUE(r.ok);
    std::printf("| %-24s | registered  | f_tol %.3f | shift %d,%d | precision %.3f | recall %.3f |\n", c.name, r.f_tol,
                r.shift_x, r.shift_y, r.precision, r.recall);
    EXPECT_GE(r.f_tol, c.registered_floor > 0 ? c.registered_floor : target);
  }
  std::remove(out.c_str());
}

INSTANTIATE_TEST_SUITE_P(Files, HpgsReferences, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The comparison itself: identical pictures score 1, a one-pixel shift is
// tolerated by the F-score but not by the IoU, a missing part lowers the
// recall and a wrong aspect ratio shows.
Png synthetic(int w, int h, int shift, bool half) {
  Png p;
  p.width = w;
  p.height = h;
  p.channels = 3;
  p.pixels.assign(static_cast<size_t>(w) * h * 3, 255);
  auto ink = [&](int x, int y) {
    if (x >= 0 && y >= 0 && x < w && y < h)
      for (int c = 0; c < 3; ++c) p.pixels[(static_cast<size_t>(y) * w + x) * 3 + c] = 0;
  };
  for (int x = 10; x < 90; ++x) ink(x, 20 + shift), ink(x, 80 + shift);
  for (int y = 20; y <= 80; ++y) ink(10, y + shift);
  if (!half)
    for (int y = 20; y <= 80; ++y) ink(89, y + shift);
  for (int i = 0; i < 60; ++i) ink(20 + i, 20 + i + shift);
  return p;
}

TEST(HpgsInkCompare, ScoresBehaveAsDocumented) {
  Png a = synthetic(100, 100, 0, false);
  InkScore same = compare_ink(a, a);
  EXPECT_DOUBLE_EQ(same.f_tol, 1.0);
  EXPECT_DOUBLE_EQ(same.iou, 1.0);
  // The diagonal moves by one pixel against the frame.
  Png b = a;
  for (int i = 0; i < 60; ++i) {
    for (int c = 0; c < 3; ++c) {
      b.pixels[(static_cast<size_t>(20 + i) * 100 + 20 + i) * 3 + c] = 255;
      b.pixels[(static_cast<size_t>(21 + i) * 100 + 20 + i) * 3 + c] = 0;
    }
  }
  InkScore shifted = compare_ink(a, b);
  EXPECT_GT(shifted.f_tol, 0.99);
  EXPECT_LT(shifted.iou, 0.9);
  InkScore missing = compare_ink(a, synthetic(100, 100, 0, true));
  EXPECT_DOUBLE_EQ(missing.precision, 1.0);
  EXPECT_LT(missing.recall, 0.9);
  Png blank;
  blank.width = blank.height = 10;
  blank.channels = 3;
  blank.pixels.assign(300, 255);
  EXPECT_FALSE(compare_ink(a, blank).ok);
}

TEST(HpgsInkCompare, RegisteredScoresFindTheShiftAndKeepTheScale) {
  // The same drawing on a larger canvas, 23 pixels right and 9 down.
  Png a = synthetic(100, 100, 0, false);
  Png big;
  big.width = 160;
  big.height = 130;
  big.channels = 3;
  big.pixels.assign(static_cast<size_t>(160) * 130 * 3, 255);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x)
      for (int c = 0; c < 3; ++c)
        big.pixels[(static_cast<size_t>(y + 9) * 160 + x + 23) * 3 + c] = a.pixels[(static_cast<size_t>(y) * 100 + x) * 3 + c];
  RegisteredScore r = compare_registered(big, a);
  ASSERT_TRUE(r.ok);
  EXPECT_DOUBLE_EQ(r.f_tol, 1.0);
  EXPECT_EQ(r.shift_x, 23);
  EXPECT_EQ(r.shift_y, 9);
  // A missing side costs recall only.
  RegisteredScore half = compare_registered(big, synthetic(100, 100, 0, true));
  EXPECT_DOUBLE_EQ(half.precision, 1.0);
  EXPECT_LT(half.recall, 0.95);
  // The drawing at 1.25 times the size: the cropped comparison forgives
  // the scale, the registered one does not.
  Png scaled = synthetic(125, 125, 0, false);
  for (auto &v : scaled.pixels) v = 255;
  for (int y = 0; y < 125; ++y)
    for (int x = 0; x < 125; ++x)
      if (a.at(x * 4 / 5, y * 4 / 5) == 0)
        for (int c = 0; c < 3; ++c) scaled.pixels[(static_cast<size_t>(y) * 125 + x) * 3 + c] = 0;
  EXPECT_GT(compare_ink(a, scaled).f_tol, 0.95);
  EXPECT_LT(compare_registered(a, scaled).f_tol, 0.8);
}

}  // namespace
