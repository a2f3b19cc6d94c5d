// Plot-size device: real plot files against the ink boxes of their
// reference renderings, and the measuring rules on small inputs.
#include "helpers.h"

#include <gtest/gtest.h>

using namespace hpgs_test;

namespace {

struct FileCase {
  const char *name;
  hpgs_bbox ink;     // ink box of the reference rendering, points
  double tolerance;  // points
};

// Ink boxes measured on the reference PNGs (150 px/in, one pixel = 0.48 pt)
// and mapped to plot coordinates as the test data's README describes.
const FileCase kFiles[] = {
    {"pu_graph_dashed.hpgl", {54.72, 69.12, 472.80, 502.56}, 1.0},
    {"pu_plotfont_gothic.hpgl", {57.60, 74.88, 518.40, 546.24}, 1.0},
    {"pu_big_harmonograph.hpgl", {64.32, 95.52, 477.60, 501.60}, 1.0},
    {"pu_pic2plot_states.hpgl", {118.56, 136.32, 444.00, 425.76}, 2.0},
    {"ps_parts_hpgl2.hpgl", {5.28, 5.28, 498.72, 354.72}, 1.0},
    {"syn_arcs_relative.hpgl", {69.60, 69.60, 660.00, 497.28}, 1.0},
    {"syn_bezier.hpgl", {40.80, 39.36, 511.20, 380.16}, 1.0},
    {"syn_hatch_fill.hpgl", {70.08, 55.68, 766.08, 525.12}, 1.0},
    {"syn_iso_ro90.hpgl", {70.56, 70.56, 720.96, 541.44}, 1.0},
    {"syn_pe_encoded.hpgl", {27.36, 38.88, 574.08, 363.84}, 1.0},
    {"syn_pjl_frame.hpgl", {26.88, 26.88, 814.56, 568.32}, 1.0},
    {"syn_pw_metric_caps.hpgl", {64.80, 57.60, 684.48, 482.40}, 1.0},
    {"syn_rtl_raster.hpgl", {69.60, 162.24, 348.00, 218.40}, 1.0},
};

void PrintTo(const FileCase &c, std::ostream *os) { *os << c.name; }

class HpgsRealFiles : public ::testing::TestWithParam<FileCase> {};

TEST_P(HpgsRealFiles, PlotSizeMatchesTheReferenceDrawing) {
  const FileCase &c = GetParam();
  hpgs_bbox bb;
  ASSERT_EQ(plotsize(slurp(data_file(c.name)), &bb), 0) << hpgs_get_error();
  EXPECT_NEAR(bb.llx, c.ink.llx, c.tolerance);
  EXPECT_NEAR(bb.lly, c.ink.lly, c.tolerance);
  EXPECT_NEAR(bb.urx, c.ink.urx, c.tolerance);
  EXPECT_NEAR(bb.ury, c.ink.ury, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(HpgsFiles, HpgsRealFiles, ::testing::ValuesIn(kFiles), [](const auto &info) {
  std::string n = info.param.name;
  return n.substr(0, n.find('.'));
});

// Files whose extreme marks are text set in device fonts, which the
// stroke font only approximates: the measured box lies within a few points
// of the reference's ink box.
TEST(HpgsRealFilesWithText, VectorsLieInsideTheReferenceInk) {
  hpgs_bbox bb;
  ASSERT_EQ(plotsize(slurp(data_file("pu_pcl_spectrum.hpgl")), &bb), 0);
  EXPECT_GE(bb.llx, 44.64 - 4);
  EXPECT_GE(bb.lly, 141.12 - 4);
  EXPECT_LE(bb.urx, 481.44 + 4);
  EXPECT_LE(bb.ury, 573.60 + 4);
  // The frame drawn at screen 0.005..0.995 bounds the gnuplot drawings.
  for (const char *f : {"gp_pcl5_response.hpgl", "gp_pcl5_area.hpgl"}) {
    ASSERT_EQ(plotsize(slurp(data_file(f)), &bb), 0) << f;
    EXPECT_NEAR((bb.urx - bb.llx) / (bb.ury - bb.lly), 7.0 / 5.0, 0.02) << f;
  }
  ASSERT_EQ(plotsize(slurp(data_file("gp_hpgl_polar.hpgl")), &bb), 0);
  EXPECT_GT(bb.urx - bb.llx, 500);
}

TEST(HpgsRealFilesWithText, TurnedFigureHasThePortraitFiguresAspectTurned) {
  // The bracket is a portrait figure; after RO90 it lies on its side.
  // Reference ink: 1063 x 983 px at 150 dpi, its width including a label
  // set in Helvetica, which the stroke font draws a little wider.
  hpgs_bbox bb;
  ASSERT_EQ(plotsize(slurp(data_file("fig_ibmgl_bracket_ro90.hpgl")), &bb), 0);
  EXPECT_NEAR((bb.ury - bb.lly) * 150 / 72, 983, 983 * 0.01);
  EXPECT_LE((bb.urx - bb.llx) * 150 / 72, 1063 + 8);
  EXPECT_GT((bb.urx - bb.llx) * 150 / 72, 1063 * 0.9);
}

TEST(HpgsMeasuring, EmptyDrawingGivesAZeroBox) {
  hpgs_bbox bb{1, 1, 1, 1};
  ASSERT_EQ(plotsize("IN;SP1;PU100,100;PG;", &bb), 0);
  EXPECT_EQ(bb.llx, 0);
  EXPECT_EQ(bb.urx, 0);
  EXPECT_EQ(bb.ury, 0);
  ASSERT_EQ(plotsize("", &bb, true, true, 0), 0);
  EXPECT_EQ(bb.urx, 0);
}

TEST(HpgsMeasuring, DeclaredPlotSizeCountsUnlessIgnored) {
  hpgs_bbox bb;
  ASSERT_EQ(plotsize("PS2032,1016;SP1PU100,100PD200,200", &bb, false, false), 0);
  EXPECT_NEAR(bb.urx, 144, 1e-9);
  EXPECT_NEAR(bb.ury, 72, 1e-9);
  ASSERT_EQ(plotsize("PS2032,1016;SP1PU1016,0PD2032,1016", &bb, true, false), 0);
  EXPECT_NEAR(bb.llx, 72, 1e-9);
}

TEST(HpgsMeasuring, HalfTheLineWidthIsAddedOnlyWhenAsked) {
  hpgs_bbox with, without;
  ASSERT_EQ(plotsize("PW1;SP1PU1016,1016PD2032,1016", &with, true, true), 0);
  ASSERT_EQ(plotsize("PW1;SP1PU1016,1016PD2032,1016", &without, true, false), 0);
  EXPECT_NEAR(without.llx, 72, 1e-9);
  EXPECT_NEAR(with.llx, 72 - 0.5 * 72 / 25.4, 1e-9);
  EXPECT_NEAR(with.ury - with.lly, 72 / 25.4, 1e-9);
}

TEST(HpgsMeasuring, WhiteMarksDoNotCount) {
  hpgs_bbox bb;
  ASSERT_EQ(plotsize("SP1PU0,0PD1016,0;SP0;PU0,0;PD5080,5080;", &bb, true, false), 0);
  EXPECT_NEAR(bb.urx, 72, 1e-9);
}

TEST(HpgsMeasuring, SoftWindowClipsTheMeasurement) {
  hpgs_bbox bb;
  ASSERT_EQ(plotsize("IW0,0,1016,1016;SP1PU0,0PD5080,5080;", &bb, true, false), 0);
  EXPECT_NEAR(bb.urx, 72, 1e-9);
  EXPECT_NEAR(bb.ury, 72, 1e-9);
}

TEST(HpgsMeasuring, CurvesCountWithTheirExactExtremes) {
  hpgs_bbox bb;
  ASSERT_EQ(plotsize("SP1PU0,0PD;BZ0,1016,1016,1016,1016,0;", &bb, true, false), 0);
  EXPECT_NEAR(bb.ury, 0.75 * 72, 1e-9);
}

TEST(HpgsMeasuring, PagesAreMeasuredSeparately) {
  const char *two = "SP1PU0,0PD1016,1016;PG;PU2032,0;PD3048,1016;PG;";
  hpgs_bbox p1, p2, all;
  ASSERT_EQ(plotsize(two, &p1, true, false, 1, true), 0);
  ASSERT_EQ(plotsize(two, &p2, true, false, 2, true), 0);
  ASSERT_EQ(plotsize(two, &all, true, false, 0, true), 0);
  EXPECT_NEAR(p1.urx, 72, 1e-9);
  EXPECT_NEAR(p2.llx, 144, 1e-9);
  EXPECT_NEAR(all.llx, 0, 1e-9);
  EXPECT_NEAR(all.urx, 216, 1e-9);
  hpgs_bbox none;
  EXPECT_EQ(plotsize(two, &none, true, false, 3, true), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("Page 3"), std::string::npos);
}

TEST(HpgsMeasuring, DeviceWithoutPlotSizeReportsItsName) {
  auto *d = new_recording_device();
  hpgs_bbox bb;
  EXPECT_EQ(hpgs_getplotsize(&d->base, 1, &bb), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("recording_device"), std::string::npos);
  hpgs_device_destroy(&d->base);
}

TEST(HpgsMeasuring, RttiAndCapabilities) {
  hpgs_device *d = hpgs_new_plotsize_device(1, 1);
  EXPECT_STREQ(hpgs_device_rtti(d), "hpgs_plotsize_device");
  EXPECT_TRUE(hpgs_device_capabilities(d) & HPGS_DEVICE_CAP_NULLIMAGE);
  EXPECT_FALSE(hpgs_device_capabilities(d) & HPGS_DEVICE_CAP_DRAWIMAGE);
  hpgs_device_destroy(d);
}

}  // namespace

namespace {

TEST(HpgsMeasuring, AllNegativeCoordinatesGiveANegativeBox) {
  hpgs_bbox bb;
  ASSERT_EQ(hpgs_test::plotsize("SP1PU-3048,-2032;PD-1016,-1016;", &bb, true, false), 0);
  EXPECT_NEAR(bb.llx, -216, 1e-9);
  EXPECT_NEAR(bb.lly, -144, 1e-9);
  EXPECT_NEAR(bb.urx, -72, 1e-9);
  EXPECT_NEAR(bb.ury, -72, 1e-9);
}

TEST(HpgsMeasuring, RasterImagesCountWithTheirPlacement) {
  std::string s = "\x1b%0BIN;PU1016,1016;\x1b%1A\x1b*t72R\x1b*r4S\x1b*r1A\x1b*b0M\x1b*b4W\xff\xff\xff\xff";
  s += "\x1b*b4W\xff\xff\xff\xff\x1b*rC\x1b%0B";
  hpgs_bbox bb;
  ASSERT_EQ(hpgs_test::plotsize(s, &bb), 0);
  EXPECT_NEAR(bb.llx, 72, 1e-9);
  EXPECT_NEAR(bb.lly, 70, 1e-9);
  EXPECT_NEAR(bb.urx, 76, 1e-9);
  EXPECT_NEAR(bb.ury, 72, 1e-9);
}

}  // namespace
