// Line types (residue, restart rules, LT99, adaptive types, dots), raster
// fill patterns and screened vectors: the device calls the reader makes and
// the pixels of tiny renders.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

constexpr double kMm = 72.0 / 25.4;  // points per millimetre

// Dash offset in force at each stroke drawn with a pattern.
std::vector<double> dash_offsets(const RecordingDevice &d) {
  std::vector<double> r;
  const Call *dash = nullptr;
  for (const auto &c : d.calls) {
    if (c.name == "setdash") dash = &c;
    if (c.name == "stroke" && dash && dash->args.size() > 1) r.push_back(dash->args.back());
  }
  return r;
}

// A paint device on a w x h image of 1 point per pixel, read from text.
// The reader owns the device; the image stays valid while it lives.
struct Painted {
  ReaderPtr reader;
  hpgs_png_image *img = nullptr;
  int rc = -1;
  Painted(const std::string &text, int w, int h, bool aa) {
    img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_bbox bb{0, 0, double(w), double(h)};
    hpgs_paint_device *p = hpgs_new_paint_device(img, "", &bb, aa ? HPGS_TRUE : HPGS_FALSE);
    reader.reset(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
    rc = hpgs_read(reader.get(), HPGS_TRUE);
  }
  int red(int x, int y) const {
    unsigned char rgb[3];
    return hpgs_image_get_pixel(img, x, y, rgb, nullptr) == 0 ? rgb[0] : -1;
  }
};

// One user unit = one point = one pixel of Painted (y up from the bottom).
const std::string kPointUnits = "IN;IP0,0,1016,1016;SC0,72,0,72;SP1;";

TEST(HpgsLineTypes, FixedPatternsCarryTheirResidueAcrossPenUpUntilAClearingCommand) {
  // 10 mm pattern: 200 plotter units (5 mm) leave half a pattern, 300 more
  // leave a quarter; pen-up moves do not count.
  auto r = record("IN;SP1;LT2,10,1;PU0,0;PD200,0;PU0,400;PD300,400;PU0,800;PD100,800;");
  ASSERT_EQ(r.rc, 0);
  auto off = dash_offsets(*r.dev);
  ASSERT_EQ(off.size(), 3u);
  EXPECT_NEAR(off[0], 0, 1e-6);
  EXPECT_NEAR(off[1], 5 * kMm, 1e-4);
  EXPECT_NEAR(off[2], 2.5 * kMm, 1e-4);
  // SP, PW, LA, TR, IP, SC ... start the pattern afresh.
  for (const char *cmd : {"SP1", "PW0.3", "LA1,4", "TR0", "AC0,0", "IP", "SC", "UL3", "WU0", "IW", "RO0"}) {
    auto c = record(std::string("IN;SP1;LT2,10,1;PU0,0;PD200,0;PU;") + cmd + ";PU0,400;PD300,400;");
    auto o = dash_offsets(*c.dev);
    ASSERT_FALSE(o.empty()) << cmd;
    EXPECT_NEAR(o.back(), 0, 1e-6) << cmd;
  }
}

TEST(HpgsLineTypes, OutlinesStartTheirOwnPatternAndKeepTheResidueOfTheLines) {
  auto r = record("IN;SP1;LT2,10,1;PU0,0;PD200,0;PU1000,0;EA1333,1333;CI100;PU2000,0;PD2100,0;");
  ASSERT_EQ(r.rc, 0);
  auto off = dash_offsets(*r.dev);
  ASSERT_EQ(off.size(), 4u);
  EXPECT_NEAR(off[1], 0, 1e-6);  // EA
  EXPECT_NEAR(off[2], 0, 1e-6);  // CI
  EXPECT_NEAR(off[3], 5 * kMm, 1e-4);
  // An edged polygon carries the pattern from one subpolygon to the next:
  // the first outline is 1600 units (40 mm, four patterns) plus a 200-unit
  // open piece, so the second subpolygon starts half-way.
  auto p = record("IN;SP1;LT2,10,1;PM0;PU0,0;PD400,0,400,400,0,400,0,0;PU0,1000;PD200,1000;PU0,2000;PD400,2000;PM2;EP;");
  auto po = dash_offsets(*p.dev);
  ASSERT_EQ(po.size(), 3u);
  EXPECT_NEAR(po[0], 0, 1e-6);
  EXPECT_NEAR(po[1], 0, 1e-4);
  EXPECT_NEAR(po[2], 5 * kMm, 1e-4);
}

TEST(HpgsLineTypes, Lt99RestoresTheTypeAndItsResidueOnlyWherePatternEnded) {
  auto r = record("IN;SP1;LT2,10,1;PU0,0;PD200,0;LT;LT99;PD300,0;");
  auto off = dash_offsets(*r.dev);
  ASSERT_EQ(off.size(), 2u);
  EXPECT_NEAR(off[1], 5 * kMm, 1e-4);
  // After a move the restore is refused: the line stays solid.
  auto m = record("IN;SP1;LT2,10,1;PU0,0;PD200,0;LT;PU500,0;LT99;PD600,0;");
  EXPECT_EQ(dash_offsets(*m.dev).size(), 1u);
  // PW while solid forgets the saved type.
  auto w = record("IN;SP1;LT2,10,1;PU0,0;PD200,0;LT;PW0.5;LT99;PD300,0;");
  EXPECT_EQ(dash_offsets(*w.dev).size(), 1u);
}

TEST(HpgsLineTypes, PatternLengthAndModeDefaultToTheLastOnesGiven) {
  auto r = record("IN;SP1;LT2,10,1;LT3;PU0,0;PD100,0;");
  auto d = r.dev->named("setdash");
  ASSERT_FALSE(d.empty());
  ASSERT_EQ(d.back().args.size(), 3u);
  EXPECT_NEAR(d.back().args[0], 7 * kMm, 1e-4);
  EXPECT_NEAR(d.back().args[1], 3 * kMm, 1e-4);
}

TEST(HpgsLineTypes, OddUserPatternsStartEveryRepetitionPenDown) {
  // 40 down, 40 up, 40 down: the last dash runs on into the next first one.
  auto r = record("IN;SP1;UL1,40,40,40;LT1,12,1;PU0,0;PD1000,0;");
  auto d = r.dev->named("setdash");
  ASSERT_FALSE(d.empty());
  ASSERT_EQ(d.back().args.size(), 5u);
  EXPECT_NEAR(d.back().args[0], 4 * kMm, 1e-4);
  EXPECT_NEAR(d.back().args[2], 4 * kMm, 1e-4);
  EXPECT_EQ(d.back().args[3], 0.0);
}

TEST(HpgsLineTypes, AdaptiveTypesFitWholePatternsIntoEachVector) {
  // 10 mm pattern; vectors of 12.5 mm (one pattern), 2.5 mm (one, shrunk)
  // and 27.5 mm (three), each its own stroke starting with a dash.
  auto r = record("IN;SP1;LT-2,10,1;PU0,0;PD500,0,500,100,1600,100;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.dev->named("stroke").size(), 3u);
  std::vector<double> firsts;
  for (const auto &c : r.dev->named("setdash"))
    if (c.args.size() == 3) {
      EXPECT_NEAR(c.args[0], c.args[1], 1e-4);
      EXPECT_EQ(c.args[2], 0.0);
      firsts.push_back(c.args[0]);
    }
  ASSERT_EQ(firsts.size(), 3u);
  EXPECT_NEAR(firsts[0], 6.25 * kMm, 1e-4);
  EXPECT_NEAR(firsts[1], 1.25 * kMm, 1e-4);
  EXPECT_NEAR(firsts[2], 27.5 / 3 / 2 * kMm, 1e-4);
}

TEST(HpgsLineTypes, AdaptiveDashesEndWhereTheVectorEnds) {
  // 16-pixel line, 7-point pattern: two stretched patterns of 8 pixels
  // (ink 2..5 and 10..13); the fixed type would put ink at 16..17 too.
  for (bool aa : {true, false}) {
    const std::string mm7 = "2.4694444";  // 7 points
    Painted a(kPointUnits + "PW0.36;LT-2," + mm7 + ",1;PU2,4.5;PD18,4.5;", 20, 10, aa);
    ASSERT_EQ(a.rc, 0) << hpgs_get_error();
    for (int x = 0; x < 20; ++x) {
      bool ink = (x >= 2 && x < 6) || (x >= 10 && x < 14);
      EXPECT_EQ(a.red(x, 5) < 128, ink) << "aa " << aa << " x " << x;
    }
    Painted f(kPointUnits + "PW0.36;LT2," + mm7 + ",1;PU2,4.5;PD18,4.5;", 20, 10, aa);
    EXPECT_LT(f.red(16, 5), 128) << "aa " << aa;
  }
}

TEST(HpgsLineTypes, LineTypeZeroPutsADotOnEachEndOfEachVector) {
  auto r = record("IN;SP1;LT0;PU0,0;PD1000,0;");
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto moveto lineto stroke showpage finish");
  auto d = r.dev->named("setdash");
  ASSERT_EQ(d.back().args.size(), 3u);
  EXPECT_NEAR(d.back().args[0], kPt, 1e-6);  // one plotter unit
  auto mv = r.dev->named("moveto");
  EXPECT_NEAR(mv[0].args[0], 0, 1e-9);
  EXPECT_NEAR(mv[1].args[0], 1000 * kPt, 1e-9);
  // Painted: one pixel at each end and nothing between.
  for (bool aa : {true, false}) {
    Painted p(kPointUnits + "PW0.36;LT0;PU2,4.5;PD17,4.5;", 20, 10, aa);
    ASSERT_EQ(p.rc, 0) << hpgs_get_error();
    int dark = 0;
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 20; ++x) dark += p.red(x, y) < 128;
    EXPECT_EQ(dark, 2) << "aa " << aa;
    EXPECT_LT(p.red(2, 5), 128) << "aa " << aa;
    EXPECT_LT(p.red(16, 5), 128) << "aa " << aa;
  }
}

}  // namespace

namespace {

// One user unit = one pattern cell (1/300 inch) = one pixel of a Painted
// image made with kCellPt points per pixel.
const std::string kCellUnits = "IN;IP0,0,1016,1016;SC0,300,0,300;";
constexpr double kCellPt = 72.0 / 300.0;

struct CellPainted {
  ReaderPtr reader;
  hpgs_png_image *img = nullptr;
  int rc = -1;
  // cells: pattern cells per pixel.
  CellPainted(const std::string &text, int w, int h, bool aa, double cells = 1.0) {
    img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_bbox bb{0, 0, w * kCellPt * cells, h * kCellPt * cells};
    hpgs_paint_device *p = hpgs_new_paint_device(img, "", &bb, aa ? HPGS_TRUE : HPGS_FALSE);
    reader.reset(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
    rc = hpgs_read(reader.get(), HPGS_TRUE);
  }
  std::vector<int> rgb(int x, int y) const {
    unsigned char c[3] = {0, 0, 0};
    hpgs_image_get_pixel(img, x, y, c, nullptr);
    return {c[0], c[1], c[2]};
  }
};

const std::vector<int> kBlack{0, 0, 0}, kWhite{255, 255, 255}, kRed{255, 0, 0}, kBlue{0, 0, 255},
    kMagenta{255, 0, 255};

// RF pattern 4 x 2: row 0 = pen 1 then white, row 1 = white, white, pen 2,
// white. Pixel (x, y from the top) of a 20 x 20 page holds cell
// (x - ax) mod 4, (y + ay) mod 2 for an anchor ax, ay in cells.
const char *kRf = "RF1,4,2,1,0,0,0,0,0,2,0;";

std::vector<int> rf_cell(int x, int y, int ax, int ay, const std::vector<int> &white) {
  int cx = ((x - ax) % 4 + 4) % 4, cy = ((y + ay) % 2 + 2) % 2;
  if (cy == 0 && cx == 0) return kBlack;
  if (cy == 1 && cx == 2) return kRed;
  return white;
}

TEST(HpgsRasterPatterns, Ft11RepeatsTheRfCellsFromTheAnchor) {
  for (bool aa : {true, false})
    for (int ax : {0, 1}) {
      const std::string anchor = ax ? "AC1,1;" : "";
      CellPainted p(kCellUnits + kRf + anchor + "SP1;FT11,1;PA0,0;RA20,20;", 20, 20, aa);
      ASSERT_EQ(p.rc, 0) << hpgs_get_error();
      for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x)
          ASSERT_EQ(p.rgb(x, y), rf_cell(x, y, ax, ax, kWhite)) << "aa " << aa << " ax " << ax << " at " << x << "," << y;
    }
}

// Cells smaller than a pixel are averaged with anti-aliasing: the page
// keeps the pattern's tone (1 black, 1 red, 6 white cells of 8) at
// scales that do and do not divide the cell grid evenly, without it each
// pixel shows one cell's colour.
TEST(HpgsRasterPatterns, CellsSmallerThanAPixelKeepTheirTone) {
  for (double cells : {2.0, 3.1, 4.7}) {
    const int side = 120;
    const std::string fill = kCellUnits + kRf + "SP1;FT11,1;PA0,0;RA600,600;";
    CellPainted p(fill, side, side, true, cells);
    ASSERT_EQ(p.rc, 0) << hpgs_get_error();
    double sum[3] = {0, 0, 0};
    int darkest = 255;
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        auto c = p.rgb(x, y);
        for (int k = 0; k < 3; ++k) sum[k] += c[k];
        darkest = std::min(darkest, c[0]);
      }
    // A pixel of more than 3 x 3 cells mixes several, never only black.
    if (cells > 3) {
      EXPECT_GT(darkest, 100) << cells;
    }
    const double n = side * side;
    EXPECT_NEAR(sum[0] / n, 7 * 255 / 8.0, 3.0) << cells;
    EXPECT_NEAR(sum[1] / n, 6 * 255 / 8.0, 3.0) << cells;
    EXPECT_NEAR(sum[2] / n, 6 * 255 / 8.0, 3.0) << cells;
    CellPainted sharp(fill, side, side, false, cells);
    for (int y = 0; y < side; ++y)
      for (int x = 0; x < side; ++x) {
        auto c = sharp.rgb(x, y);
        ASSERT_TRUE(c == kBlack || c == kRed || c == kWhite) << cells << " at " << x << "," << y;
      }
  }
}

TEST(HpgsRasterPatterns, WhiteCellsAreTransparentUnderTr1AndRasterOperationsApply) {
  const std::string blue = kCellUnits + kRf + "SP5;PA0,0;RA20,20;SP1;FT11,1;";
  for (bool aa : {true, false}) {
    CellPainted t1(blue + "TR1;RA20,20;", 20, 20, aa);
    CellPainted t0(blue + "TR0;RA20,20;", 20, 20, aa);
    // S | D (238): red over blue is magenta, black over blue stays blue.
    CellPainted rop(blue + "TR1;MC1,238;RA20,20;", 20, 20, aa);
    for (int y = 0; y < 20; ++y)
      for (int x = 0; x < 20; ++x) {
        ASSERT_EQ(t1.rgb(x, y), rf_cell(x, y, 0, 0, kBlue)) << x << "," << y;
        ASSERT_EQ(t0.rgb(x, y), rf_cell(x, y, 0, 0, kWhite)) << x << "," << y;
        auto c = rf_cell(x, y, 0, 0, kBlue);
        ASSERT_EQ(rop.rgb(x, y), c == kRed ? kMagenta : kBlue) << x << "," << y;
      }
  }
}

TEST(HpgsRasterPatterns, Ft22UsesPclUserPatternsByIdInThePenColour) {
  // ESC*c7G, then an 8 x 2 one-bit pattern: rows 11110000 and 00001111.
  const std::string pcl = std::string("\x1b*c7G\x1b*c10W") + std::string("\0\0\1\0\0\2\0\x08", 8) + "\xf0\x0f";
  for (bool aa : {true, false}) {
    CellPainted p(kCellUnits + pcl + "SP2;FT22,7;PA0,0;RA16,4;", 16, 4, aa);
    ASSERT_EQ(p.rc, 0) << hpgs_get_error();
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 16; ++x) {
        bool ink = (y % 2 == 0) ? x % 8 < 4 : x % 8 >= 4;
        ASSERT_EQ(p.rgb(x, y), ink ? kRed : kWhite) << "aa " << aa << " at " << x << "," << y;
      }
  }
  // An unknown id fills solid.
  CellPainted s(kCellUnits + pcl + "SP2;FT22,8;PA0,0;RA16,4;", 16, 4, false);
  EXPECT_EQ(s.rgb(5, 0), kRed);
}

TEST(HpgsScreenedVectors, Sv1ShadesVectorsButNotFills) {
  auto r = record("IN;SP1;SV1,25;PU0,0;PD100,0;PU;FT1;RA200,200;");
  auto c = r.dev->named("setrgbcolor");
  ASSERT_GE(c.size(), 2u);
  EXPECT_NEAR(c[0].args[0], 0.75, 1e-9);
  EXPECT_NEAR(c.back().args[0], 0.0, 1e-9);
  // SV0 restores the pen.
  auto z = record("IN;SP1;SV1,25;SV0;PU0,0;PD100,0;");
  EXPECT_NEAR(z.dev->named("setrgbcolor").back().args[0], 0.0, 1e-9);
}

TEST(HpgsScreenedVectors, Sv2DrawsLinesThroughTheRfPattern) {
  // Vertical stripes (pen 1, white) on a line eight cells wide.
  for (bool aa : {true, false}) {
    CellPainted p(kCellUnits + "RF2,2,1,1,0;SV2,2;SP1;PW0.677;PU0,10;PD20,10;", 20, 20, aa);
    ASSERT_EQ(p.rc, 0) << hpgs_get_error();
    for (int x = 0; x < 20; ++x) EXPECT_EQ(p.rgb(x, 9), x % 2 == 0 ? kBlack : kWhite) << "aa " << aa << " x " << x;
    EXPECT_EQ(p.rgb(4, 2), kWhite);
  }
  // A hairline through the pattern keeps the thin-line coverage (one half
  // by default) with anti-aliasing and full ink without.
  for (bool aa : {true, false}) {
    CellPainted h(kCellUnits + "RF2,2,1,1,0;SV2,2;SP1;PW0;PU0,10.5;PD20,10.5;", 20, 20, aa);
    ASSERT_EQ(h.rc, 0) << hpgs_get_error();
    int ink = h.rgb(4, 9)[0], blank = h.rgb(5, 9)[0];
    EXPECT_EQ(blank, 255) << "aa " << aa;
    if (aa) EXPECT_NEAR(ink, 128, 20);
    else EXPECT_EQ(ink, 0);
  }
}

}  // namespace

namespace {

TEST(HpgsScreenedVectors, Sv21DrawsLinesThroughPclCrossHatches) {
  // Horizontal hatch (type 1): two rows of ink every 15 cells, anchored at
  // the top-left cell on AC. A wide vertical line shows only those rows.
  for (bool aa : {true, false}) {
    CellPainted p(kCellUnits + "AC0,30;SV21,1;SP1;PW1.693;PU10,0;PD10,30;", 20, 30, aa);
    ASSERT_EQ(p.rc, 0) << hpgs_get_error();
    for (int y = 0; y < 30; ++y) EXPECT_EQ(p.rgb(10, y), y % 15 < 2 ? kBlack : kWhite) << "aa " << aa << " y " << y;
  }
  // Vertical hatch (type 2) on a horizontal line: columns 0, 1, 15, 16.
  CellPainted v(kCellUnits + "SV21,2;SP1;PW1.693;PU0,10;PD20,10;", 20, 20, false);
  for (int x = 0; x < 20; ++x) EXPECT_EQ(v.rgb(x, 10), x % 15 < 2 ? kBlack : kWhite) << "x " << x;
}

}  // namespace

namespace {

// Stick-font labels are vectors too: under SV2 their strokes show the
// pattern (every other column of cells) and nothing outside the strokes.
TEST(HpgsScreenedVectors, Sv2ScreensStickFontLabels) {
  const std::string label = "SP1;SD2,1,4,36,6,3,7,48;PU10,10;LBHI\x03";
  CellPainted solid(kCellUnits + label, 300, 200, false);
  CellPainted screened(kCellUnits + "RF2,2,1,1,0;SV2,2;" + label, 300, 200, false);
  ASSERT_EQ(solid.rc, 0) << hpgs_get_error();
  ASSERT_EQ(screened.rc, 0) << hpgs_get_error();
  const std::vector<int> black = kBlack, white = kWhite;
  long ink = 0, kept = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 300; ++x) {
      const bool s = solid.rgb(x, y) == black;
      if (!s) {
        ASSERT_EQ(screened.rgb(x, y), white) << "ink outside the label at " << x << "," << y;
        continue;
      }
      ++ink;
      if (screened.rgb(x, y) == black) ++kept;
    }
  ASSERT_GT(ink, 500);
  EXPECT_GT(kept, ink * 3 / 10);
  EXPECT_LT(kept, ink * 7 / 10);
}

TEST(HpgsScreenedVectors, HatchFillsIgnoreTheScreen) {
  auto r = record("IN;SP1;SV1,25;FT3,100,0;PA0,0;RA1000,1000;");
  auto c = r.dev->named("setrgbcolor");
  ASSERT_FALSE(c.empty());
  EXPECT_NEAR(c.back().args[0], 0.0, 1e-9);
}

}  // namespace

namespace {

// Inked pixels (red below 128) of row y, and the runs they form.
struct RowInk {
  int inked = 0, runs = 0;
};
RowInk row_ink(const Painted &p, int y, int w) {
  RowInk r;
  bool prev = false;
  for (int x = 0; x < w; ++x) {
    const bool ink = p.red(x, y) < 128;
    r.inked += ink;
    r.runs += ink && !prev;
    prev = ink;
  }
  return r;
}

// Inked pixels of a w x h render of text whose page is the drawing's
// measured box, painted at dpi (as previews are).
long fitted_ink(const std::string &text, double dpi, bool aa, int *width = nullptr) {
  hpgs_bbox box;
  if (plotsize(text, &box) != 0) return -1;
  const int w = int(std::floor((box.urx - box.llx) * dpi / 72 + 0.5));
  const int h = int(std::floor((box.ury - box.lly) * dpi / 72 + 0.5));
  hpgs_png_image *img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
  hpgs_paint_device *p = hpgs_new_paint_device(img, "", &box, aa ? HPGS_TRUE : HPGS_FALSE);
  ReaderPtr r(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
  if (hpgs_read(r.get(), HPGS_TRUE) != 0) return -1;
  long n = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char c[3];
      hpgs_image_get_pixel(img, x, y, c, nullptr);
      n += c[0] < 128;
    }
  if (width) *width = w;
  return n;
}

TEST(HpgsLineTypes, PatternsFarBelowAPixelShowAsALine) {
  // Every fixed and adaptive type, with patterns from a third of a pixel
  // down to a millionth: the dots and dashes merge into the line they
  // draw, as wide as the pen and as long as the vector (pixels 3 ... 37;
  // the ends take half a pixel each).
  for (bool aa : {true, false}) {
    const RowInk solid = row_ink(Painted(kPointUnits + "PW0.36;PU3,4.5;PD37,4.5;", 40, 10, aa), 5, 40);
    EXPECT_GE(solid.inked, 33) << "aa " << aa;
    for (int type = -8; type <= 8; ++type) {
      if (type == 0) continue;
      for (const char *mm : {"0.1", "0.01", "0.0001", "0.0000003"}) {
        const std::string lt = "LT" + std::to_string(type) + "," + mm + ",1;";
        Painted p(kPointUnits + "PW0.36;" + lt + "PU3,4.5;PD37,4.5;", 40, 10, aa);
        ASSERT_EQ(p.rc, 0) << hpgs_get_error();
        const RowInk r = row_ink(p, 5, 40);
        EXPECT_EQ(r.inked, solid.inked) << lt << " aa " << aa;
        EXPECT_EQ(r.runs, 1) << lt << " aa " << aa;
      }
    }
  }
}

TEST(HpgsLineTypes, DottedLinesShowAtAnyResolution) {
  // A dotted line whose pattern (0.01 % of the diagonal, 0.1 point) is
  // below a pixel up to 600 dpi: a line of the pen's width there, dots
  // where a pixel holds less than a pattern.
  const std::string dotted = "IN;SP1;PW0.5;LT1,0.01;PU0,0;PD4000,0;";
  const std::string solid = "IN;SP1;PW0.5;PU0,0;PD4000,0;";
  for (bool aa : {true, false}) {
    for (double dpi : {72.0, 150.0, 600.0}) {
      const long d = fitted_ink(dotted, dpi, aa), s = fitted_ink(solid, dpi, aa);
      ASSERT_GT(s, 0);
      EXPECT_EQ(d, s) << dpi << " dpi, aa " << aa;
    }
    // At 2400 dpi a pattern takes 3.3 pixels: dots a pixel long, as many
    // as the patterns the line holds.
    int w = 0;
    const long d = fitted_ink(dotted, 2400, aa, &w), s = fitted_ink(solid, 2400, aa);
    EXPECT_GT(d, s / 5) << "aa " << aa;
    EXPECT_LT(d, s / 2) << "aa " << aa;
  }
  // A pattern of a few millimetres keeps its dots.
  for (bool aa : {true, false}) {
    Painted p(kPointUnits + "PW0.36;LT1,1.4111,1;PU2,4.5;PD38,4.5;", 40, 10, aa);  // 4 points
    const RowInk r = row_ink(p, 5, 40);
    EXPECT_EQ(r.runs, r.inked) << "aa " << aa;  // single pixels
    EXPECT_GE(r.runs, 9) << "aa " << aa;
  }
}

TEST(HpgsLineTypes, DotsWithGapsShorterThanAPixelRunIntoTheNextDash) {
  // LT4 over 3.5 pixels: a dash of 2.8, gap 0.35, dot, gap 0.35. The dot
  // cannot take a pixel from its gap: it takes the gap and runs on into
  // the next dash, leaving one gap per pattern.
  Canvas c(40, 10, false);
  hpgs_device *d = c.dev();
  const float pat[4] = {2.8f, 0.35f, 0.0f, 0.35f};
  hpgs_setlinewidth(d, 1.0);
  hpgs_setdash(d, pat, 4, 0.0);
  hpgs_point a{0, 4.5}, b{35, 4.5};
  hpgs_moveto(d, &a);
  hpgs_lineto(d, &b);
  hpgs_stroke(d);
  int inked = 0;
  for (int x = 0; x < 40; ++x) inked += c.px(x, 5) < 128;
  EXPECT_GT(inked, 20);  // the dots are not lost
  EXPECT_LT(inked, 35);  // and the gaps stay
  // A dot whose gap is shorter than the pixel it needs makes, repeated, a
  // line: drawn solid, however many patterns it holds.
  Canvas s(40, 10, false);
  const float dots[2] = {0.0f, 0.5f};
  hpgs_setlinewidth(s.dev(), 1.0);
  hpgs_setdash(s.dev(), dots, 2, 0.25);
  hpgs_moveto(s.dev(), &a);
  hpgs_lineto(s.dev(), &b);
  hpgs_stroke(s.dev());
  for (int x = 0; x < 35; ++x) EXPECT_EQ(s.px(x, 5), 0) << "x " << x;
}

}  // namespace
