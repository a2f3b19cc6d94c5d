// Labels drawn with the stroke font and hatched fills, checked on the
// device calls the reader makes.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

struct Extent {
  double minx = 1e300, miny = 1e300, maxx = -1e300, maxy = -1e300;
  void add(double x, double y) {
    minx = std::min(minx, x), maxx = std::max(maxx, x);
    miny = std::min(miny, y), maxy = std::max(maxy, y);
  }
};

Extent path_extent(const RecordingDevice *d) {
  Extent e;
  for (const auto &c : d->calls)
    if (c.name == "moveto" || c.name == "lineto") e.add(c.args[0], c.args[1]);
  return e;
}

TEST(HpgsLabels, StickFontGlyphFillsTheCharacterCell) {
  // SI 0.5 x 1 cm: body 200 x 400 plotter units; 'I' is one vertical stroke
  // from the baseline to the capital height, centred on the body.
  auto r = record("IN;SP2;SI0.5,1;PA1000,1000;LBI\x03;");
  ASSERT_EQ(r.rc, 0);
  auto m = r.dev->named("moveto"), l = r.dev->named("lineto");
  ASSERT_EQ(m.size(), 1u);
  ASSERT_EQ(l.size(), 1u);
  EXPECT_NEAR(m[0].args[0], 1100 * kPt, 1e-6);
  EXPECT_NEAR(std::fabs(l[0].args[1] - m[0].args[1]), 400 * kPt, 1e-6);
  EXPECT_NEAR(std::min(l[0].args[1], m[0].args[1]), 1000 * kPt, 1e-6);
  // Pen 2 is red; text is solid with round ends whatever LT says.
  auto col = r.dev->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_EQ(col.back().args[0], 1.0);
  auto dash = r.dev->named("setdash");
  ASSERT_FALSE(dash.empty());
  EXPECT_EQ(dash.back().args.size(), 1u);  // no segments, offset only
}

TEST(HpgsLabels, DirectionOriginAndSlant) {
  // DI0,1: the text runs upwards, its capitals grow to the left.
  auto up = record("IN;SP1;SI0.5,1;DI0,1;PA2000,2000;LBHHH\x03;");
  Extent e = path_extent(up.dev);
  EXPECT_NEAR(e.maxx, 2000 * kPt, 1e-6);
  EXPECT_NEAR(e.minx, 1600 * kPt, 1e-6);
  EXPECT_GT(e.maxy - e.miny, 2 * 300 * kPt);  // three cells of 300 along y
  // LO5 centres the label on the pen in both directions.
  auto c = record("IN;SP1;SI0.5,1;LO5;PA3000,3000;LBHH\x03;");
  Extent ec = path_extent(c.dev);
  EXPECT_NEAR(0.5 * (ec.minx + ec.maxx), 3000 * kPt, 15 * kPt);
  EXPECT_NEAR(0.5 * (ec.miny + ec.maxy), 3000 * kPt, 1e-6);
  // SL1 leans the capitals by their height.
  auto plain = record("IN;SP1;SI0.5,1;PA0,0;LBI\x03;");
  auto slanted = record("IN;SP1;SI0.5,1;SL1;PA0,0;LBI\x03;");
  Extent ep = path_extent(plain.dev), es = path_extent(slanted.dev);
  EXPECT_NEAR((es.maxx - es.minx) - (ep.maxx - ep.minx), 400 * kPt, 1e-6);
}

TEST(HpgsLabels, LinesAndControlCodesAndPolygonMode) {
  // CR LF starts the next line two capital heights lower at the start.
  auto r = record("IN;SP1;SI0.5,1;PA1000,3000;LBI\r\nI\x03;");
  auto m = r.dev->named("moveto");
  ASSERT_EQ(m.size(), 2u);
  EXPECT_NEAR(m[0].args[0], m[1].args[0], 1e-6);
  EXPECT_NEAR(m[0].args[1] - m[1].args[1], 800 * kPt, 1e-6);
  // Inside polygon mode labels draw nothing; the pen still advances.
  auto p = record("IN;SP1;PM0;PA0,0;LBABC\x03;PM2;");
  EXPECT_TRUE(p.dev->named("stroke").empty());
  // Spaces and unknown bytes: nothing for the space, '?' for the unknown.
  auto q = record("IN;SP1;SI0.5,1;LB \x03;");
  EXPECT_TRUE(q.dev->named("stroke").empty());
  auto u = record("IN;SP1;SI0.5,1;LB\xe9\x03;");
  EXPECT_FALSE(u.dev->named("stroke").empty());
}

TEST(HpgsLabels, ProportionalFontsAdvanceByGlyphWidths) {
  // Spacing 1 (proportional): 'i' advances less than 'm'.
  auto narrow = record("IN;SP1;SD2,1,4,20;PA0,0;LBiiii\x03;");
  auto wide = record("IN;SP1;SD2,1,4,20;PA0,0;LBmmmm\x03;");
  Extent en = path_extent(narrow.dev), ew = path_extent(wide.dev);
  EXPECT_LT(en.maxx - en.minx, 0.5 * (ew.maxx - ew.minx));
  // Fixed pitch: 'i' and 'm' take cells of one size.
  auto fn = record("IN;SP1;SD2,0,3,10,4,20;PA0,0;LBiiii\x03;");
  auto fw = record("IN;SP1;SD2,0,3,10,4,20;PA0,0;LBmmmm\x03;");
  Extent efn = path_extent(fn.dev), efw = path_extent(fw.dev);
  EXPECT_NEAR(0.5 * (efn.minx + efn.maxx), 0.5 * (efw.minx + efw.maxx), 2.0);
}

TEST(HpgsFills, HatchLinesAreSpacedClippedAndAnchored) {
  auto r = record("IN;SP1;FT3,100,0;AC0,0;PA0,0;RA1000,1000;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.dev->path_ops().substr(0, 8), "clipsave");
  EXPECT_EQ(r.dev->named("clip").size(), 1u);
  EXPECT_EQ(r.dev->named("cliprestore").size(), 1u);
  EXPECT_TRUE(r.dev->named("fill").empty());
  // Horizontal lines every 100 plotter units through the anchor: y = 0 ...
  // 1000, eleven lines.
  size_t lines = 0;
  bool after_clip = false;
  for (const auto &c : r.dev->calls) {
    if (c.name == "clip") after_clip = true;
    if (!after_clip || c.name != "moveto") continue;
    double y = c.args[1] / kPt;
    EXPECT_NEAR(y, std::round(y / 100) * 100, 1e-6);
    ++lines;
  }
  EXPECT_EQ(lines, 11u);
  // The anchor moves the lines: AC0,50 puts them at 50, 150, ...
  auto a = record("IN;SP1;FT3,100,0;AC0,50;PA0,0;RA1000,1000;");
  auto ma = a.dev->named("moveto");
  bool shifted = false;
  for (const auto &c : ma)
    if (std::fabs(c.args[1] / kPt - 550) < 1e-6) shifted = true;
  EXPECT_TRUE(shifted);
  // FT4: a second family at right angles.
  auto x = record("IN;SP1;FT4,100,0;PA0,0;RA1000,1000;");
  EXPECT_GE(x.dev->named("moveto").size(), 2 * 11u);
}

TEST(HpgsFills, AbsurdHatchSpacingStaysBounded) {
  auto r = record("IN;SP1;FT3,0.0001,45;PA0,0;RA10000,10000;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_LE(r.dev->named("moveto").size(), 200002u + 10);
  EXPECT_GE(r.dev->named("moveto").size(), 1000u);
}

TEST(HpgsFills, ShadingMixesThePenWithWhite) {
  auto r = record("IN;SP1;PC1,0,0,0;FT10,25;PA0,0;RA100,100;");
  auto col = r.dev->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_NEAR(col.back().args[0], 0.75, 1e-9);
  // A raster pattern that was never defined fills solid; a defined one
  // reaches devices other than the paint device as its mean colour.
  auto p = record("IN;SP1;PC1,0,0,0;FT22,1;PA0,0;RA100,100;");
  auto pc = p.dev->named("setrgbcolor");
  ASSERT_FALSE(pc.empty());
  EXPECT_NEAR(pc.back().args[0], 0.0, 1e-9);
  auto m = record("IN;SP1;PC1,0,0,0;RF1,4,1,1,0,0,0;FT11,1;PA0,0;RA100,100;");
  auto mc = m.dev->named("setrgbcolor");
  ASSERT_FALSE(mc.empty());
  EXPECT_NEAR(mc.back().args[0], 0.75, 1e-9);
  EXPECT_EQ(m.dev->named("fill").size(), 1u);
}

TEST(HpgsPaintDashes, DotsOfDottedLinesAreVisibleWithButtCaps) {
  for (bool aa : {true, false}) {
    Canvas c(20, 3, aa);
    float dots[2] = {0.0f, 4.0f};
    hpgs_setdash(c.dev(), dots, 2, 0.0);
    hpgs_setlinewidth(c.dev(), 1.0);
    hpgs_setlinecap(c.dev(), hpgs_cap_butt);
    hpgs_point a{0, 1.5}, b{20, 1.5};
    hpgs_moveto(c.dev(), &a);
    hpgs_lineto(c.dev(), &b);
    ASSERT_EQ(hpgs_stroke(c.dev()), 0);
    int dark = 0;
    for (int x = 0; x < 20; ++x) dark += c.px(x, 1) < 128;
    EXPECT_EQ(dark, 5) << "aa " << aa;
  }
}

}  // namespace

namespace {

TEST(HpgsLabels, OutlineTypefacesAreFilledGlyphsOfCapitalHeight) {
  // Typeface 4148 (Univers) is set in an outline font: glyphs are filled
  // (non-zero rule), not stroked, and 'H' is as high as the capital height.
  auto r = record("IN;SP1;SD1,277,2,1,4,20,7,4148;PA1000,1000;LBH\x03;");
  ASSERT_EQ(r.rc, 0);
  auto fills = r.dev->named("fill");
  ASSERT_EQ(fills.size(), 1u);
  EXPECT_EQ(fills[0].args[0], 1.0);
  EXPECT_TRUE(r.dev->named("stroke").empty());
  Extent e = path_extent(r.dev);
  const double cap = 20 * 0.7 / 72 * 1016 * kPt;  // 20-point font
  EXPECT_NEAR(e.maxy - e.miny, cap, 0.02 * cap);
  EXPECT_NEAR(e.miny, 1000 * kPt, 0.02 * cap);
  // The stick font (48) stays strokes.
  auto s = record("IN;SP1;SD1,277,2,1,4,20,7,48;PA1000,1000;LBH\x03;");
  EXPECT_TRUE(s.dev->named("fill").empty());
  EXPECT_FALSE(s.dev->named("stroke").empty());
}

TEST(HpgsLabels, OutlineFontsComeFromHpgsFontPathFirst) {
  // A font directory without the wanted files falls back to the packaged
  // fonts; the label is drawn either way.
  setenv("HPGS_FONT_PATH", "/nonexistent-font-dir", 1);
  auto r = record("IN;SP1;SD1,277,2,1,4,20,7,4101;PA1000,1000;LBTimes\x03;");
  unsetenv("HPGS_FONT_PATH");
  EXPECT_EQ(r.dev->named("fill").size(), 5u);
}

}  // namespace
