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

// Devices with HPGS_DEVICE_CAP_PATTERN get the raster pattern itself, and
// the recording device passes it on to the device it is played into.
TEST(HpgsFills, RasterPatternsReachPatternDevicesWhole) {
  const int caps = HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_PATTERN;
  const std::string text = "IN;SP1;PC1,0,0,0;RF1,4,1,1,0,0,2;FT11,1;AC1016,0;PA0,0;RA100,100;";
  auto r = record(text, false, caps);
  ASSERT_EQ(r.rc, 0) << hpgs_get_error();
  auto pats = r.dev->named("setpattern");
  ASSERT_EQ(pats.size(), 1u);
  const auto &a = pats[0].args;
  ASSERT_EQ(a.size(), 8u + 4u);
  EXPECT_EQ(a[0], 4);
  EXPECT_EQ(a[1], 1);
  // Top-left corner on the anchor (an inch right), a 300 dpi dot a cell,
  // rows downwards.
  EXPECT_NEAR(a[2], 72.0, 1e-9);
  EXPECT_NEAR(a[3], 0.0, 1e-9);
  EXPECT_NEAR(a[4], 0.24, 1e-12);
  EXPECT_NEAR(a[5], 0.0, 1e-12);
  EXPECT_NEAR(a[6], 0.0, 1e-12);
  EXPECT_NEAR(a[7], -0.24, 1e-12);
  // Pen 1 black, white clear (TR1), pen 2 red.
  EXPECT_EQ(static_cast<uint32_t>(a[8]), 0xff000000u);
  EXPECT_EQ(static_cast<uint32_t>(a[9]), 0u);
  EXPECT_EQ(static_cast<uint32_t>(a[11]), 0xffff0000u);
  // The pattern paints the one fill that follows; no mean colour is set.
  size_t at = 0;
  while (at < r.dev->calls.size() && r.dev->calls[at].name != "setpattern") ++at;
  std::string next;
  for (size_t i = at + 1; i < r.dev->calls.size() && next.empty(); ++i)
    if (r.dev->calls[i].name == "fill" || r.dev->calls[i].name == "stroke") next = r.dev->calls[i].name;
  EXPECT_EQ(next, "fill");
  EXPECT_EQ(r.dev->named("fill").size(), 1u);
  for (const auto &c : r.dev->named("setrgbcolor"))
    EXPECT_FALSE(c.args[0] == 0.75 && c.args[1] == 0.5) << "mean colour set";
  // Under TR0 white cells paint white.
  auto opaque = record("IN;SP1;TR0;RF1,2,1,1,0;FT11,1;PA0,0;RA100,100;", false, caps);
  ASSERT_EQ(opaque.dev->named("setpattern").size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(opaque.dev->named("setpattern")[0].args[9]), 0xffffffffu);

  // Through a recording: played into a pattern device as the pattern (its
  // matrix after the replay's), into others as the mean colour, after
  // which the colour set before comes back.
  hpgs_device *rec = hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE);
  ASSERT_TRUE(hpgs_device_capabilities(rec) & HPGS_DEVICE_CAP_PATTERN);
  ReaderPtr reader(hpgs_new_reader(mem(text), rec, HPGS_FALSE, 0));
  ASSERT_EQ(hpgs_read(reader.get(), HPGS_TRUE), 0) << hpgs_get_error();
  hpgs_matrix twice{5, 7, 2, 0, 0, 2};
  RecordingDevice with;
  with.base.vtable = &RecordingDevice::vtable;
  with.caps = caps;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 1, &with.base, &twice), 0) << hpgs_get_error();
  ASSERT_EQ(with.named("setpattern").size(), 1u);
  EXPECT_NEAR(with.named("setpattern")[0].args[2], 5 + 2 * 72.0, 1e-9);
  EXPECT_NEAR(with.named("setpattern")[0].args[4], 0.48, 1e-12);
  RecordingDevice without;
  without.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 1, &without.base, nullptr), 0);
  EXPECT_TRUE(without.named("setpattern").empty());
  auto colours = without.named("setrgbcolor");
  ASSERT_GE(colours.size(), 2u);
  // (black + white + white + red) / 4, then black again.
  EXPECT_NEAR(colours[colours.size() - 2].args[0], 0.75, 1e-9);
  EXPECT_NEAR(colours[colours.size() - 2].args[1], 0.5, 1e-9);
  EXPECT_NEAR(colours.back().args[0], 0.0, 1e-9);

  // setpattern on the recording device itself keeps the pattern for its
  // next mark only.
  hpgs::UniqueDevice direct(hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE));
  const uint32_t cell = 0xff00ff00u;
  hpgs_pattern p{1, 1, &cell, {0, 0, 1, 0, 0, 1}};
  ASSERT_EQ(hpgs_setpattern(direct.get(), &p), 0);
  hpgs_point q[3] = {{0, 0}, {10, 0}, {10, 10}};
  for (int i = 0; i < 2; ++i) {
    hpgs_moveto(direct.get(), &q[0]);
    hpgs_lineto(direct.get(), &q[1]);
    hpgs_lineto(direct.get(), &q[2]);
    ASSERT_EQ(hpgs_fill(direct.get(), HPGS_TRUE), 0);
  }
  RecordingDevice played;
  played.base.vtable = &RecordingDevice::vtable;
  played.caps = caps;
  ASSERT_EQ(hpgs_recording_device_replay(direct.get(), 1, &played.base, nullptr), 0) << hpgs_get_error();
  EXPECT_EQ(played.named("setpattern").size(), 1u);
  EXPECT_EQ(played.named("fill").size(), 2u);
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
  // One filled path holds the contours of all five glyphs.
  EXPECT_EQ(r.dev->named("fill").size(), 1u);
  EXPECT_GE(r.dev->named("moveto").size(), 5u);
}

}  // namespace

namespace {

// Strokes of a stick label: each 'I' is one moveto/lineto pair, so the
// movetos give the glyph positions in label order.
std::vector<std::pair<double, double>> starts(const RecordingDevice *d) {
  std::vector<std::pair<double, double>> r;
  for (const auto &c : d->calls)
    if (c.name == "moveto") r.push_back({c.args[0] / kPt, c.args[1] / kPt});
  return r;
}

// Where the pen is after the commands: a zero-length pen-down move there
// draws a dot starting at the pen.
std::pair<double, double> pen_after(const std::string &cmds) {
  auto r = record(cmds + "PU;PD;PR0,0;");
  auto s = starts(r.dev);
  return s.empty() ? std::pair<double, double>{NAN, NAN} : s.back();
}

TEST(HpgsLabels, SdSizesComeFromPitchForFixedAndPointSizeForProportionalFonts) {
  // Fixed pitch 10: cells of 1016 / 10 plotter units; the point size
  // follows the pitch (11.5 points at 9 per inch), capitals are 2/3 of it
  // and the height given with SD is ignored.
  auto r = record("IN;SP1;SD2,0,3,10,4,30;PA0,0;LBII\x03;");
  auto s = starts(r.dev);
  ASSERT_EQ(s.size(), 2u);
  EXPECT_NEAR(s[1].first - s[0].first, 101.6, 1e-6);
  const double cap = 101.6 * 9 * 11.5 / 72 * 2 / 3;
  Extent e = path_extent(r.dev);
  EXPECT_NEAR(e.maxy - e.miny, cap * kPt, 1e-6);
  // Proportional outline font: the height is the point size (the em), so
  // twice the height gives capitals twice as high.
  auto a = record("IN;SP1;SD2,1,4,20,7,4148;PA0,0;LBH\x03;");
  auto b = record("IN;SP1;SD2,1,4,40,7,4148;PA0,0;LBH\x03;");
  Extent ea = path_extent(a.dev), eb = path_extent(b.dev);
  const double em20 = 20.0 / 72 * 1016 * kPt;
  EXPECT_GT(ea.maxy - ea.miny, 0.6 * em20);
  EXPECT_LT(ea.maxy - ea.miny, 0.8 * em20);
  EXPECT_NEAR(eb.maxy - eb.miny, 2 * (ea.maxy - ea.miny), 1e-6);
}

TEST(HpgsLabels, RelativeSizeAndDirectionFollowP1P2) {
  // P2 - P1 = 20000 x 10000: SR1,2 gives w = 200, h = 200; DR1,1 runs at
  // atan(10000 / 20000), DI1,1 at 45 degrees.
  auto r = record("IN;SP1;IP0,0,20000,10000;SR1,2;PA1000,1000;LBI\x03;");
  Extent e = path_extent(r.dev);
  EXPECT_NEAR(e.maxy - e.miny, 200 * kPt, 1e-6);
  auto dr = starts(record("IN;SP1;IP0,0,20000,10000;SI0.5,1;DR1,1;PA0,0;LBII\x03;").dev);
  auto di = starts(record("IN;SP1;IP0,0,20000,10000;SI0.5,1;DI1,1;PA0,0;LBII\x03;").dev);
  ASSERT_EQ(dr.size(), 2u);
  ASSERT_EQ(di.size(), 2u);
  EXPECT_NEAR(std::atan2(dr[1].second - dr[0].second, dr[1].first - dr[0].first), std::atan2(1.0, 2.0), 1e-9);
  EXPECT_NEAR(std::atan2(di[1].second - di[0].second, di[1].first - di[0].first), std::atan2(1.0, 1.0), 1e-9);
  // A negative width mirrors the label: it runs to the left of the pen.
  // The strokes of 'I' sit in the middle of bodies 200 wide, 300 apart.
  auto m = starts(record("IN;SP1;SI-0.5,1;PA2000,2000;LBII\x03;").dev);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_NEAR(m[0].first, 1900, 1e-6);
  EXPECT_NEAR(m[1].first, 1600, 1e-6);
}

TEST(HpgsLabels, LabelOriginOffsetsAndWhereThePenEnds) {
  // SI0.5,1: w = 200, h = 400, stick point size 600; LO11 moves the label
  // a third of the point size (200) right and up from LO1.
  auto plain = starts(record("IN;SP1;SI0.5,1;PA1000,1000;LBI\x03;").dev);
  auto off = starts(record("IN;SP1;SI0.5,1;LO11;PA1000,1000;LBI\x03;").dev);
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(off.size(), 1u);
  EXPECT_NEAR(off[0].first - plain[0].first, 200, 1e-6);
  EXPECT_NEAR(off[0].second - plain[0].second, 200, 1e-6);
  // LO1 lets labels follow each other: the pen ends two cells further.
  auto p1 = pen_after("IN;SP1;SI0.5,1;PA1000,1000;LBII\x03;");
  EXPECT_NEAR(p1.first, 1600, 1e-6);
  EXPECT_NEAR(p1.second, 1000, 1e-6);
  // Centred and right-aligned labels leave the pen where they started.
  for (const char *lo : {"LO5;", "LO8;", "LO16;"}) {
    auto p = pen_after(std::string("IN;SP1;SI0.5,1;") + lo + "PA1000,1000;LBII\x03;");
    EXPECT_NEAR(p.first, 1000, 1e-6) << lo;
    EXPECT_NEAR(p.second, 1000, 1e-6) << lo;
  }
  // Going down (DV1), LO3 lets labels follow: the pen ends two cell
  // heights (2 h each) lower.
  auto down = pen_after("IN;SP1;SI0.5,1;DV1;LO3;PA1000,5000;LBII\x03;");
  EXPECT_NEAR(down.first, 1000, 1e-6);
  EXPECT_NEAR(down.second, 5000 - 1600, 1e-6);
}

TEST(HpgsLabels, TextPathStacksCharactersAndLinesFollowIt) {
  const std::string size = "IN;SP1;SI0.5,1;";
  // DV1: characters downwards, one cell height (2 h = 800) apart, in one column.
  auto d = starts(record(size + "DV1;PA1000,5000;LBIII\x03;").dev);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_NEAR(d[0].first, d[2].first, 1e-6);
  EXPECT_NEAR(d[0].second - d[1].second, 800, 1e-6);
  EXPECT_NEAR(d[1].second - d[2].second, 800, 1e-6);
  // DV3: upwards.
  auto u = starts(record(size + "DV3;PA1000,1000;LBII\x03;").dev);
  ASSERT_EQ(u.size(), 2u);
  EXPECT_NEAR(u[1].second - u[0].second, 800, 1e-6);
  // DV2: leftwards, one cell (1.5 w = 300) apart.
  auto l = starts(record(size + "DV2;PA5000,1000;LBII\x03;").dev);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NEAR(l[0].first - l[1].first, 300, 1e-6);
  EXPECT_NEAR(l[0].second, l[1].second, 1e-6);
  // Lines go down from a rightward path, up with the reversed line feed.
  auto n = starts(record(size + "DV0;PA1000,3000;LBI\r\nI\x03;").dev);
  auto rv = starts(record(size + "DV0,1;PA1000,3000;LBI\r\nI\x03;").dev);
  ASSERT_EQ(n.size(), 2u);
  ASSERT_EQ(rv.size(), 2u);
  EXPECT_NEAR(n[0].second - n[1].second, 800, 1e-6);
  EXPECT_NEAR(rv[1].second - rv[0].second, 800, 1e-6);
  // Down the page, lines move to the left.
  auto dl = starts(record(size + "DV1;PA5000,5000;LBI\r\nI\x03;").dev);
  ASSERT_EQ(dl.size(), 2u);
  EXPECT_NEAR(dl[0].first - dl[1].first, 300, 1e-6);
  EXPECT_NEAR(dl[0].second, dl[1].second, 1e-6);
}

TEST(HpgsLabels, SpacingTerminatorsTransparentDataAndCharacterPlot) {
  const std::string size = "IN;SP1;SI0.5,1;PA1000,1000;";
  // ES1 adds one cell between characters.
  auto es = starts(record(size + "ES1;LBII\x03;").dev);
  ASSERT_EQ(es.size(), 2u);
  EXPECT_NEAR(es[1].first - es[0].first, 600, 1e-6);
  // TD1 prints control codes instead of obeying them: the line feed is a
  // character on the same line.
  auto td = record(size + "TD1;LBI\nI\x03;");
  auto tds = starts(td.dev);
  ASSERT_GE(tds.size(), 3u);
  EXPECT_NEAR(tds.front().second, tds.back().second, 1e-6);
  EXPECT_NEAR(tds.back().first - tds.front().first, 600, 1e-6);
  // DT#,0 ends labels at '#' and prints it; DT#,1 does not.
  auto shown = record(size + "DT#,0;LBI#");
  auto hidden = record(size + "DT#,1;LBI#");
  EXPECT_GT(shown.dev->named("lineto").size(), hidden.dev->named("lineto").size());
  EXPECT_EQ(hidden.dev->named("lineto").size(), 1u);
  // CP moves by cells and lines; CP; returns to the label's start one
  // line lower.
  auto cp = pen_after(size + "CP2,-1;");
  EXPECT_NEAR(cp.first, 1600, 1e-6);
  EXPECT_NEAR(cp.second, 1000 - 800, 1e-6);
  auto crlf = pen_after(size + "LBIII\x03;CP;");
  EXPECT_NEAR(crlf.first, 1000, 1e-6);
  EXPECT_NEAR(crlf.second, 1000 - 800, 1e-6);
}

TEST(HpgsLabels, SixteenBitLabelModeReadsBytePairs) {
  using namespace std::string_literals;
  const std::string size = "IN;SP1;SI0.5,1;PA1000,1000;";
  const auto one = starts(record(size + "LBII\x03;").dev);
  ASSERT_EQ(one.size(), 2u);
  // Row 0 holds the 8-bit characters; the terminator comes after a NUL.
  EXPECT_EQ(starts(record(size + "LM1;LB"s + "\0I\0I\0\x03;"s).dev), one);
  EXPECT_EQ(starts(record(size + "LM3;LB"s + "\0I\0I\0\x03;"s).dev), one);
  // Other rows are undefined here and advance like a space; a terminator
  // byte that is not after a NUL is half of a character.
  EXPECT_EQ(starts(record(size + "LM1;LB"s + "\x30\x41\0I\x03\x03\0I\0\x03;"s).dev),
            starts(record(size + "LB I I\x03;").dev));
  // Back in 8-bit mode, bytes are characters again.
  EXPECT_EQ(starts(record(size + "LM1;LM0,37;LBII\x03;").dev), one);
  // A label cut short inside a pair is warned about, not a failure.
  EXPECT_EQ(record(size + "LM1;LB"s + "\0I\0"s).rc, 0);
}

// Symbol mode draws its character centred on every point of PA, PD, PR,
// PU and PE, pen up or down, and leaves the pen where the point put it.
TEST(HpgsLabels, SymbolModeMarksEveryPoint) {
  const std::string sym = "IN;SP1;SI0.5,1;SMI;";
  auto up = starts(record(sym + "PU1000,1000,3000,1000;PR2000,0;").dev);
  ASSERT_EQ(up.size(), 3u);
  EXPECT_NEAR(up[1].first - up[0].first, 2000, 1e-6);
  EXPECT_NEAR(up[2].first - up[1].first, 2000, 1e-6);
  EXPECT_NEAR(up[0].second, up[2].second, 1e-6);
  // Centred: the glyph's stroke crosses the point's height.
  auto glyph = record(sym + "PU1000,1000;").dev->named("lineto");
  ASSERT_EQ(glyph.size(), 1u);
  EXPECT_LT(std::min(glyph[0].args[1], up[0].second * kPt), 1000 * kPt);
  EXPECT_GT(std::max(glyph[0].args[1], up[0].second * kPt), 1000 * kPt);
  // Pen down: the line runs from point to point between the symbols.
  auto down = record(sym + "PA1000,1000;PD3000,1000;");
  EXPECT_EQ(starts(down.dev).size(), 3u);  // two symbols and the line
  // PE pairs (1,0) and (0,-1), pen down: a symbol at each, as at PU's
  // point, and the two lines.
  EXPECT_EQ(starts(record(sym + "PU0,0;PE\xc1\xbf\xbf\xc2;").dev).size(), 3u + 2u);
  EXPECT_EQ(pen_after(sym + "PA1000,1000;SM;"), (std::pair<double, double>{1000, 1000}));
  // SM; and non-printing characters end the mode; so does a new label mode.
  EXPECT_EQ(starts(record(sym + "SM;PU1000,1000;").dev).size(), 0u);
  EXPECT_EQ(starts(record(sym + "SM\x01;PU1000,1000;").dev).size(), 0u);
  EXPECT_EQ(starts(record(sym + "LM1;PU1000,1000;").dev).size(), 0u);
}

TEST(HpgsLabels, Roman8BytesAreDecodedForTheDefaultSymbolSet) {
  // Roman-8 0xC0 is a-circumflex, shown by the stick font as 'a'; in
  // Latin-1 (symbol set 14) the same byte is A-grave, shown as 'A'.
  auto roman = record("IN;SP1;SI0.5,1;PA0,0;LB\xc0\x03;");
  auto a = record("IN;SP1;SI0.5,1;PA0,0;LBa\x03;");
  auto latin = record("IN;SP1;SI0.5,1;SD1,14;PA0,0;LB\xc0\x03;");
  auto cap_a = record("IN;SP1;SI0.5,1;PA0,0;LBA\x03;");
  EXPECT_EQ(starts(roman.dev), starts(a.dev));
  EXPECT_EQ(starts(latin.dev), starts(cap_a.dev));
  EXPECT_NE(starts(a.dev), starts(cap_a.dev));
}

TEST(HpgsLabels, CharacterFillModeFillsAndEdgesOutlineGlyphs) {
  const std::string font = "IN;SP1;SD2,1,4,40,7,4148;PA1000,1000;";
  auto count = [](const Recorded &r, const char *n) { return r.dev->named(n).size(); };
  // CF0 (default): filled, not edged.
  auto f0 = record(font + "CF;LBH\x03;");
  EXPECT_EQ(count(f0, "fill"), 1u);
  EXPECT_EQ(count(f0, "stroke"), 0u);
  // CF0,3: filled in the pen's colour and edged in pen 3's (green).
  auto f03 = record(font + "CF0,3;LBH\x03;");
  EXPECT_EQ(count(f03, "fill"), 1u);
  ASSERT_EQ(count(f03, "stroke"), 1u);
  auto col = f03.dev->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_EQ(col.back().args, (std::vector<double>{0, 1, 0}));
  // CF1: edged only, with the current pen when no edge pen is given.
  auto f1 = record(font + "SP2;CF1;LBH\x03;");
  EXPECT_EQ(count(f1, "fill"), 0u);
  EXPECT_EQ(count(f1, "stroke"), 1u);
  // CF2 uses the fill type: a hatch gives hatch lines, not a solid fill of
  // the glyph outline.
  auto f2 = record(font + "FT3,20,45;CF2;LBH\x03;");
  auto solid = record(font + "FT1;CF2;LBH\x03;");
  EXPECT_EQ(count(solid, "fill"), 1u);
  EXPECT_GT(f2.dev->calls.size(), solid.dev->calls.size());
  // The stick font is strokes whatever CF says.
  auto stick = record("IN;SP1;SI0.5,1;CF2;PA0,0;LBI\x03;");
  EXPECT_EQ(count(stick, "fill"), 0u);
  EXPECT_EQ(count(stick, "stroke"), 1u);
}

TEST(HpgsLabels, StickStrokesWeighWithTheCharacterSize) {
  // Medium weight: 6 % of the point size (SI height 1 cm: point size
  // 1.5 cm = 600 plotter units, strokes 36); twice the size, twice the
  // stroke; bold (3) adds 3 %; weight 9999 keeps the pen's 0.35 mm.
  auto width = [](const std::string &cmds) {
    auto r = record("IN;SP1;PA0,0;" + cmds + "LBI\x03;");
    auto w = r.dev->named("setlinewidth");
    return w.empty() ? -1.0 : w.back().args[0] / kPt;
  };
  EXPECT_NEAR(width("SI0.5,1;"), 36, 1e-6);
  EXPECT_NEAR(width("SI1,2;"), 72, 1e-6);
  EXPECT_NEAR(width("SD6,3;SI0.5,1;"), 54, 1e-6);
  EXPECT_NEAR(width("SD6,9999;SI0.5,1;"), 0.35 * 40, 1e-6);
}

TEST(HpgsLabels, ShiftOutAndShiftInSwitchFontsInsideALabel) {
  // Standard font: the stick font; alternate: an outline font. SO sets the
  // characters after it in the alternate font, SI returns; the last one
  // stays selected for the next label, as SA would.
  const std::string fonts = "IN;SP1;SD1,277,2,0,3,10,7,48;AD1,277,2,1,4,20,7,4148;PA0,0;";
  auto mixed = record(fonts + "LBI\x0eH\x0fI\x03;");
  EXPECT_EQ(mixed.dev->named("fill").size(), 1u);   // the 'H'
  EXPECT_EQ(mixed.dev->named("stroke").size(), 1u);  // both 'I's
  auto kept = record(fonts + "LB\x0e\x03;LBH\x03;");
  EXPECT_EQ(kept.dev->named("fill").size(), 1u);
  EXPECT_TRUE(kept.dev->named("stroke").empty());
}

}  // namespace
