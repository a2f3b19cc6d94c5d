// Exact device calls for each command family on small hand-made inputs.
// Without PS, IP or a dynamic page one plotter unit is 72/1016 point.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

constexpr double k = kPt;

void expect_point(const Call &c, double x, double y, const char *what = "") {
  ASSERT_GE(c.args.size(), 2u) << c.name;
  EXPECT_NEAR(c.args[0], x, 1e-9) << what << " " << c.name;
  EXPECT_NEAR(c.args[1], y, 1e-9) << what << " " << c.name;
}

// Points of moveto and lineto calls in order.
std::vector<std::pair<double, double>> points(const RecordingDevice &d) {
  std::vector<std::pair<double, double>> r;
  for (const auto &c : d.calls)
    if (c.name == "moveto" || c.name == "lineto") r.push_back({c.args[0], c.args[1]});
  return r;
}

TEST(HpgsVectors, AbsoluteAndRelativeMovesFormOnePolyline) {
  auto r = record("IN;SP1;PU1016,0;PD2032,0,2032,1016;PR;PD-1016,0;PU;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto lineto lineto stroke showpage finish");
  auto p = points(*r.dev);
  expect_point(r.dev->named("moveto")[0], 72, 0);
  EXPECT_NEAR(p[3].first, 72, 1e-9);
  EXPECT_NEAR(p[3].second, 72, 1e-9);
}

TEST(HpgsVectors, MissingSemicolonsLowerCaseAndSignSeparatorsAreAccepted) {
  auto a = record("IN;SP1;PU0,0;PD1016,-1016;PU;");
  auto b = record("in sp1pu0,0pd1016-1016pu");
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(points(*a.dev), points(*b.dev));
  expect_point(b.dev->named("lineto")[0], 72, -72);
}

TEST(HpgsVectors, NumbersWithExponentAreReadWhileEStillStartsCommands) {
  auto r = record("SP1PU0,0PD1.016e3,0,1016E0,2.032E+3;PA10,20EA30,40;");
  ASSERT_EQ(r.rc, 0);
  auto l = r.dev->named("lineto");
  ASSERT_GE(l.size(), 2u);
  expect_point(l[0], 72, 0);
  expect_point(l[1], 72, 144);
  // EA after "20" is the edge-rectangle command, not an exponent.
  EXPECT_EQ(r.dev->named("closepath").size(), 1u);
  auto d = record("DI4.48966e-09,100;SP1PU0,0PD1016,0");
  EXPECT_EQ(d.dev->named("lineto").size(), 1u);
}

TEST(HpgsVectors, OddCoordinateCountDropsTheLoneValue) {
  auto r = record("SP1PU0,0PD1016,0,2032;");
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);
}

TEST(HpgsVectors, PenDownAloneDrawsADot) {
  auto r = record("SP1PU1016,1016;PD;PU;");
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto stroke showpage finish");
  expect_point(r.dev->named("lineto")[0], 72, 72);
}

TEST(HpgsVectors, HugeCoordinatesAreClamped) {
  auto r = record("SP1PU0,0PD1e300,-99999999999999999999999;");
  ASSERT_EQ(r.rc, 0);
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 1u);
  EXPECT_NEAR(l[0].args[0], 1073741824.0 * k, 1e-3);
  EXPECT_NEAR(l[0].args[1], -1073741824.0 * k, 1e-3);
}

TEST(HpgsArcs, AbsoluteArcUsesTheChordAngle) {
  auto r = record("SP1PU1016,0;PD;AA0,0,90,30;PU;");
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 4u);  // the dot of PD; and three chords
  for (int i = 1; i <= 3; ++i)
    expect_point(l[static_cast<size_t>(i)], 72 * std::cos(i * M_PI / 6), 72 * std::sin(i * M_PI / 6));
}

TEST(HpgsArcs, RelativeCentreAndNegativeSweepTurnClockwise) {
  auto r = record("SP1PU1016,0;PD;AR-1016,0,-90,45;PU;");
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 3u);
  expect_point(l[2], 0, -72);
}

TEST(HpgsArcs, ThreePointArcThroughTheIntermediatePoint) {
  auto r = record("SP1PU0,0;PD;AT1016,1016,2032,0,90;PU;");
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 3u);
  expect_point(l[1], 72, 72);
  expect_point(l[2], 144, 0);
  // Relative form: both points relative to the start.
  auto rr = record("SP1PU1016,0;PD;RT1016,1016,2032,0,90;PU;");
  expect_point(rr.dev->named("lineto")[2], 216, 0);
}

TEST(HpgsArcs, DegenerateThreePointArcs) {
  auto colinear = record("SP1PU0,0;PD;AT1016,0,2032,0;PU;");
  EXPECT_EQ(colinear.dev->named("lineto").size(), 2u);  // dot + straight line
  auto closed = record("SP1PU0,0;PD;AT2032,0,0,0,90;PU;");  // end = start: full circle
  auto l = closed.dev->named("lineto");
  ASSERT_EQ(l.size(), 5u);
  expect_point(l[2], 144, 0);
}

TEST(HpgsCircles, CircleIsDrawnWithThePenUpAndThePenReturnsToTheCentre) {
  auto r = record("SP1PU1016,1016;CI508,90;PR;PD508,0;PU;");
  EXPECT_EQ(r.dev->path_ops(),
            "moveto lineto lineto lineto lineto closepath stroke moveto lineto stroke showpage finish");
  auto m = r.dev->named("moveto");
  expect_point(m[0], 108, 72);
  expect_point(m[1], 72, 72);  // the following line starts at the centre
  expect_point(r.dev->named("lineto")[1], 36, 72);
}

TEST(HpgsRectangles, EdgeAndFillRectangles) {
  auto e = record("SP1PU0,0;EA1016,508;");
  EXPECT_EQ(e.dev->path_ops(), "moveto lineto lineto lineto lineto closepath stroke showpage finish");
  expect_point(e.dev->named("lineto")[1], 72, 36);
  auto f = record("SP1PU1016,1016;RR-1016,-508;");
  EXPECT_EQ(f.dev->named("fill").size(), 1u);
  expect_point(f.dev->named("lineto")[1], 0, 36);
}

TEST(HpgsWedges, WedgeRunsFromTheCentreAlongTheArcAndBack) {
  auto r = record("SP1PU0,0;WG1016,0,90,45;");
  auto p = points(*r.dev);
  ASSERT_EQ(p.size(), 5u);
  EXPECT_NEAR(p[1].first, 72, 1e-9);
  EXPECT_NEAR(p[3].second, 72, 1e-9);
  EXPECT_NEAR(p[4].first, 0, 1e-9);
  EXPECT_EQ(r.dev->named("fill").size(), 1u);
  auto full = record("SP1PU0,0;EW1016,0,360,90;");
  EXPECT_NEAR(points(*full.dev)[0].first, 72, 1e-9);  // a full circle has no radius lines
}

TEST(HpgsBezier, CurvesGoToDevicesThatTakeThem) {
  auto r = record("SP1PU0,0;PD;BZ1016,0,1016,1016,0,1016;PU;", false,
                  HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_CURVES);
  auto c = r.dev->named("curveto");
  ASSERT_EQ(c.size(), 1u);
  EXPECT_NEAR(c[0].args[2], 72, 1e-9);
  EXPECT_NEAR(c[0].args[5], 72, 1e-9);
}

TEST(HpgsBezier, RelativeCurvesAreRelativeToEachCurvesStart) {
  auto r = record("SP1PU0,0;PD;BR1016,0,1016,1016,0,1016,1016,0,1016,1016,0,1016;PU;", false,
                  HPGS_DEVICE_CAP_CURVES);
  auto c = r.dev->named("curveto");
  ASSERT_EQ(c.size(), 2u);
  EXPECT_NEAR(c[1].args[0], 72, 1e-9);
  EXPECT_NEAR(c[1].args[1], 72, 1e-9);
  EXPECT_NEAR(c[1].args[5], 144, 1e-9);
}

TEST(HpgsBezier, CurvesAreFlattenedForOtherDevicesAndPenUpOnlyMoves) {
  auto r = record("SP1PU0,0;PD;BZ1016,0,1016,1016,0,1016;PU;BR0,0,0,0,1016,0;PD0,0;PU;", false, 0);
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 1u + 32u + 1u);
  expect_point(l[32], 0, 72);
  expect_point(r.dev->named("moveto")[1], 72, 72);
}

TEST(HpgsPolygons, FillClosesEverySubpolygonEdgeOnlyTheClosedOnes) {
  auto r = record("SP1PU0,0;PM0;PD1016,0,1016,1016;PM1;PU2032,0;PD3048,0,3048,1016;PU;PM2;FP;EP;");
  EXPECT_EQ(r.dev->path_ops(),
            "moveto lineto lineto closepath moveto lineto lineto closepath fill "
            "moveto lineto lineto closepath moveto lineto lineto stroke showpage finish");
  EXPECT_EQ(r.dev->named("fill")[0].args[0], 0);  // even-odd by default
  auto nz = record("SP1PU0,0;PM0;PD1016,0,1016,1016;PM2;FP1;");
  EXPECT_EQ(nz.dev->named("fill")[0].args[0], 1);
}

TEST(HpgsPolygons, CircleIsItsOwnSubpolygonAndSelectPenIsIgnoredInside) {
  auto r = record("SP1PU1016,1016;PM0;CI508,90;SP2;PM2;FP;");
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto lineto lineto lineto closepath fill showpage finish");
  auto col = r.dev->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_EQ(col.back().args, (std::vector<double>{0, 0, 0}));
}

TEST(HpgsPolygons, EmptyBufferDrawsNothing) {
  auto r = record("SP1PM0;PM2;FP;EP;");
  EXPECT_EQ(r.dev->path_ops(), "showpage finish");
}

TEST(HpgsPens, ColourAndWidthFollowSelectPen) {
  auto r = record("IN;SP2;PW0.5;PC2,0,128,255;PU0,0;PD1016,0;");
  auto col = r.dev->named("setrgbcolor");
  ASSERT_EQ(col.size(), 1u);
  EXPECT_NEAR(col[0].args[1], 128.0 / 255, 1e-12);
  EXPECT_NEAR(r.dev->named("setlinewidth")[0].args[0], 0.5 * 72 / 25.4, 1e-12);
}

TEST(HpgsPens, RelativeWidthsArePercentOfTheP1P2Diagonal) {
  auto r = record("IN;IP0,0,3000,4000;WU1;PW1;SP1;PU0,0;PD1016,0;");
  EXPECT_NEAR(r.dev->named("setlinewidth")[0].args[0], 50 * k, 1e-9);
}

TEST(HpgsPens, HighPenNumbersWrapAndSpWithoutValueSelectsWhite) {
  auto r = record("SP9;PU0,0;PD1016,0;SP;PD0,0;");
  auto col = r.dev->named("setrgbcolor");
  ASSERT_EQ(col.size(), 2u);
  EXPECT_EQ(col[0].args, (std::vector<double>{1, 0, 0}));  // pen 9 of 8 is pen 2
  EXPECT_EQ(col[1].args, (std::vector<double>{1, 1, 1}));
}

TEST(HpgsPens, ColorRangeScalesPenColours) {
  auto r = record("CR0,100,0,100,0,100;PC1,50,100,0;SP1;PU0,0;PD1016,0;");
  EXPECT_EQ(r.dev->named("setrgbcolor")[0].args, (std::vector<double>{0.5, 1, 0}));
}

TEST(HpgsLineTypes, PatternInMillimetresAndSolidReset) {
  auto r = record("SP1;LT2,6,1;PU0,0;PD1016,0;PU;LT;PD0,0;");
  auto d = r.dev->named("setdash");
  ASSERT_EQ(d.size(), 2u);
  ASSERT_EQ(d[0].args.size(), 3u);
  EXPECT_NEAR(d[0].args[0], 3 * 72 / 25.4, 1e-5);
  EXPECT_NEAR(d[0].args[1], 3 * 72 / 25.4, 1e-5);
  EXPECT_EQ(d[1].args.size(), 1u);  // solid: only the offset
}

TEST(HpgsLineTypes, UserPatternsAreNormalised) {
  auto r = record("SP1;UL3,1,3;LT3,10,1;PU0,0;PD1016,0;");
  auto d = r.dev->named("setdash");
  EXPECT_NEAR(d[0].args[0], 2.5 * 72 / 25.4, 1e-5);
  EXPECT_NEAR(d[0].args[1], 7.5 * 72 / 25.4, 1e-5);
}

TEST(HpgsLineAttributes, CapsAndJoinsAreMapped) {
  auto r = record("SP1;LA1,4,2,5,3,2.5;PU0,0;PD1016,0;");
  EXPECT_EQ(r.dev->named("setlinecap")[0].args[0], hpgs_cap_round);
  EXPECT_EQ(r.dev->named("setlinejoin")[0].args[0], hpgs_join_bevel);
  EXPECT_EQ(r.dev->named("setmiterlimit")[0].args[0], 2.5);
}

TEST(HpgsScaling, AnisotropicIsotropicAndPointFactor) {
  auto a = record("IP0,0,1016,1016;SC0,10,0,10;SP1PU0,0;PD10,10;");
  expect_point(a.dev->named("lineto")[0], 72, 72);
  auto iso = record("IP0,0,2032,1016;SC0,10,0,10,1;SP1PU0,0;PD10,10;");
  expect_point(iso.dev->named("moveto")[0], 36, 0);
  expect_point(iso.dev->named("lineto")[0], 108, 72);
  auto left = record("IP0,0,2032,1016;SC0,10,0,10,1,0,100;SP1PU0,0;PD10,10;");
  expect_point(left.dev->named("moveto")[0], 0, 0);
  auto pf = record("IP1016,1016;SC0,1016,0,508,2;SP1PU0,0;PD1,1;");
  expect_point(pf.dev->named("moveto")[0], 72, 72);
  expect_point(pf.dev->named("lineto")[0], 144, 108);
  auto off = record("IP0,0,1016,1016;SC0,10,0,10;SC;SP1PU0,0;PD1016,0;");
  expect_point(off.dev->named("lineto")[0], 72, 0);
}

TEST(HpgsScaling, ReversedYInputWindowFlipsTheDrawing) {
  auto r = record("IP0,1016,1016,0;SC0,10,0,10;SP1PU0,0;PD10,10;");
  expect_point(r.dev->named("moveto")[0], 0, 72);
  expect_point(r.dev->named("lineto")[0], 72, 0);
}

TEST(HpgsScaling, InputRelativeAndTwoValueIpMoveP2Along) {
  auto r = record("PS2032,1016;IR50,0;SC0,1,0,1;SP1PU0,0;PD1,1;");
  expect_point(r.dev->named("moveto")[0], 72, 0);
  expect_point(r.dev->named("lineto")[0], 216, 72);  // P2 moved with P1, keeping P2 - P1
}

TEST(HpgsScaling, EmptyRangeIsRejected) {
  auto r = record("SC5,5,0,10;SP1PU0,0;PD1016,0;");
  expect_point(r.dev->named("lineto")[0], 72, 0);
}

TEST(HpgsRotation, Ro90MapsRotatedCoordinatesOntoThePage) {
  auto r = record("PS2032,1016;RO90;SP1;PU0,0;PD1016,0;");
  expect_point(r.dev->named("moveto")[0], 144, 0);
  expect_point(r.dev->named("lineto")[0], 144, 72);
  auto r180 = record("PS2032,1016;RO180;SP1;PU0,0;PD1016,0;");
  expect_point(r180.dev->named("lineto")[0], 72, 72);
  auto r270 = record("PS2032,1016;RO270;SP1;PU0,0;PD1016,0;");
  expect_point(r270.dev->named("lineto")[0], 0, 0);
  auto bad = record("RO45;SP1;PU0,0;PD1016,0;");
  expect_point(bad.dev->named("lineto")[0], 72, 0);
}

TEST(HpgsRotation, PlotSizeIsAnnouncedToTheDevice) {
  auto r = record("PS2032,1016;SP1PU0,0PD1,1");
  auto ps = r.dev->named("setplotsize");
  ASSERT_EQ(ps.size(), 1u);
  EXPECT_NEAR(ps[0].args[2], 144, 1e-9);
  EXPECT_NEAR(ps[0].args[3], 72, 1e-9);
}

TEST(HpgsWindow, InputWindowClipsLaterDrawing) {
  auto r = record("IW0,0,1016,1016;SP1PU0,0;PD2032,2032;");
  EXPECT_EQ(r.dev->path_ops(),
            "clipsave moveto lineto lineto lineto closepath clip moveto lineto stroke cliprestore showpage finish");
}

TEST(HpgsPages, MultipageShowsEveryMarkedPage) {
  auto r = record("SP1PU0,0;PD1016,0;PG;PG;PU0,0;PD0,1016;FR;", true);
  auto s = r.dev->named("showpage");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].args[0], 1);
  EXPECT_EQ(s[1].args[0], 2);
}

TEST(HpgsPages, SinglePageModeDrawsOnlyTheFirstPage) {
  auto r = record("SP1PU0,0;PD1016,0;PG;PU0,0;PD0,1016;PG;");
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto stroke showpage finish");
  EXPECT_EQ(r.dev->named("showpage")[0].args[0], 0);
}

TEST(HpgsPages, EmptyInputStillGivesOnePage) {
  auto r = record("");
  EXPECT_EQ(r.dev->path_ops(), "showpage finish");
}

TEST(HpgsFraming, PjlAndPclWrappedPlotIsRead) {
  auto r = record(
      "\x1b%-12345X@PJL JOB NAME=\"x\"\r\n@PJL ENTER LANGUAGE=HPGL2\r\n\x1b" "E\x1b%1BBP1,\"name\",5,1;IN;SP1;"
      "PU0,0;PD1016,0;PG;\x1b" "E\x1b%-12345X@PJL EOJ\r\n\x1b%-12345X");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.dev->path_ops(), "moveto lineto stroke showpage finish");
}

TEST(HpgsFraming, PclTextIsNotDrawnAndEnterTwiceIsHarmless) {
  auto r = record("\x1b" "EPD1016,1016 some text\x1b%0B\x1b%0BSP1PU0,0PD1016,0\x1b%0Atext PD5,5\x1b%0BPU");
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);
}

TEST(HpgsFraming, HpGl1DeviceControlIsSkipped) {
  auto r = record("\x1b.Y\x1b.I81;;17:\x1b.N;19:\x1b.M500:IN;SP1;PU0,0;PD1016,0;");
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);
}

TEST(HpgsFraming, GarbageLetterBeforeACommandIsDropped) {
  auto r = record("SP1PU0,0XPD1016,0;");
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);
  auto u = record("SP1PU0,0;ZZ1,2,3;PD1016,0;");  // unknown command with parameters
  EXPECT_EQ(u.dev->named("lineto").size(), 1u);
}

TEST(HpgsFraming, BinaryPayloadsDoNotLoseSync) {
  std::string font = "\x1b(s5W\x1b" "PD9;";  // a 5-byte font block whose bytes look like commands
  auto r = record("\x1b" "E" + font + "\x1b%0BSP1PU0,0PD1016,0;");
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);
}

std::string raster_input() {
  std::string s = "\x1b%0BIN;PU1016,1016;\x1b%1A\x1b*t72R\x1b*r2S\x1b*r3T";
  s += std::string("\x1b*v6W\0\3\x08\x08\x08\x08", 11);
  s += "\x1b*r1A\x1b*b0M\x1b*b6W";
  s += std::string("\x1b\x01\x02\x03\x04\x05", 6);  // raw row, ESC as data
  s += "\x1b*b2M\x1b*b2W\xfb\x80";                   // PackBits: 6 x 0x80
  s += "\x1b*b3M\x1b*b2W\x02\xff";                   // delta: byte 2 := 0xff
  s += "\x1b*rC\x1b%0BSP1PU0,0;PD1016,0;";
  return s;
}

TEST(HpgsRaster, RowsAreDecodedAndPlacedAtThePen) {
  auto r = record(raster_input(), false, HPGS_DEVICE_CAP_DRAWIMAGE);
  ASSERT_EQ(r.rc, 0);
  auto img = r.dev->named("drawimage");
  ASSERT_EQ(img.size(), 1u);
  const auto &a = img[0].args;
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(a[1], 3);
  EXPECT_NEAR(a[2], 72, 1e-9);  // lower left
  EXPECT_NEAR(a[3], 69, 1e-9);
  EXPECT_NEAR(a[6], 74, 1e-9);  // upper right
  EXPECT_NEAR(a[7], 72, 1e-9);
  ASSERT_EQ(a.size(), 9u + 18u);
  EXPECT_EQ(a[9], 0x1b);
  EXPECT_EQ(a[14], 5);
  for (int i = 15; i < 21; ++i) EXPECT_EQ(a[static_cast<size_t>(i)], 0x80);
  EXPECT_EQ(a[21 + 2], 0xff);  // the delta row changes one byte of the seed row
  EXPECT_EQ(a[21 + 3], 0x80);
  EXPECT_EQ(r.dev->named("lineto").size(), 1u);  // vectors after the raster still read
}

TEST(HpgsRaster, PlacementOnlyDevicesGetANullImage) {
  auto r = record(raster_input(), false, HPGS_DEVICE_CAP_NULLIMAGE);
  auto img = r.dev->named("drawimage");
  ASSERT_EQ(img.size(), 1u);
  EXPECT_EQ(img[0].args.size(), 9u);
  EXPECT_EQ(img[0].args[8], 0);
}

TEST(HpgsDevices, FailingDeviceCallFailsTheRead) {
  auto *d = new_recording_device();
  d->fail_on = "stroke";
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1,1PU"), &d->base, false, 0));
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_STREQ(hpgs_get_error(), "recording device: stroke failed");
}

TEST(HpgsDevices, ImbueDestroysTheOldDeviceAndRereadsTheInput) {
  bool destroyed = false;
  auto *d1 = new_recording_device();
  d1->destroyed = &destroyed;
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1016,0"), &d1->base, false, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  auto *d2 = new_recording_device();
  ASSERT_EQ(hpgs_reader_imbue(r.get(), &d2->base), 0);
  EXPECT_TRUE(destroyed);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(d2->path_ops(), "moveto lineto stroke showpage finish");
}

TEST(HpgsDevices, UnfinishedReadContinuesOnTheSamePageWithTheNextInput) {
  auto *d = new_recording_device();
  ReaderPtr r(hpgs_new_reader(mem("SP1PU0,0PD1016,0"), &d->base, false, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_FALSE), 0);
  EXPECT_TRUE(d->named("showpage").empty());
  ASSERT_EQ(hpgs_reader_attach(r.get(), mem("PD1016,1016")), 0);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(d->path_ops(), "moveto lineto stroke moveto lineto stroke showpage finish");
}

TEST(HpgsDevices, NullArgumentsAreRefusedAndOwnershipStillTaken) {
  bool destroyed = false;
  auto *d = new_recording_device();
  d->destroyed = &destroyed;
  EXPECT_EQ(hpgs_new_reader(nullptr, &d->base, false, 0), nullptr);
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(hpgs_read(nullptr, 1), -1);
  EXPECT_EQ(hpgs_reader_get_current_pen(nullptr), -1);
  hpgs_destroy_reader(nullptr);
}

TEST(HpgsDevices, CurrentPenIsReported) {
  auto *d = new_recording_device();
  ReaderPtr r(hpgs_new_reader(mem("SP3;"), &d->base, false, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(hpgs_reader_get_current_pen(r.get()), 3);
}

}  // namespace

namespace {

TEST(HpgsFraming, PictureFrameSetsTheAreaAndScalesAGivenPlotSize) {
  // A 2 x 1 inch frame: P1/P2 span it.
  auto f = record("\x1b*c1440x720Y\x1b%0BSC0,1,0,1;SP1PU0,0;PD1,1;");
  expect_point(f.dev->named("lineto")[0], 144, 72);
  // A 4 x 2 inch GL/2 plot size scaled onto that frame: everything halves.
  auto s = record("\x1b*c1440x720Y\x1b*c4k2L\x1b%0BPW1;SP1PU0,0;PD4064,0;SC0,1,0,1;PD1,1;");
  auto l = s.dev->named("lineto");
  ASSERT_EQ(l.size(), 2u);
  expect_point(l[0], 144, 0);
  expect_point(l[1], 144, 72);
  EXPECT_NEAR(s.dev->named("setlinewidth")[0].args[0], 0.5 * 72 / 25.4, 1e-9);
  // A printer reset forgets the frame.
  auto r = record("\x1b*c1440x720Y\x1b" "E\x1b%0BSC0,1,0,1;SP1PU0,0;PD1,1;");
  expect_point(r.dev->named("lineto")[0], 11176 * k, 8636 * k);
}

}  // namespace
