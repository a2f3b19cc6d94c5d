// Painting a file read once (recording device, replay through the page
// matrix) gives the pixels of reading it a second time into the paint
// device; hpgl2png takes the one-pass way.
#include "paint_helpers.h"
#include "recording_device.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>

using namespace hpgs_test;

namespace {

using Options = TwoPassOptions;

// Pixels differing between two PNG files of the same size (-1: sizes differ
// or unreadable).
long differing_pixels(const std::string &a, const std::string &b) {
  Png pa, pb;
  if (!read_png(a, pa) || !read_png(b, pb) || pa.width != pb.width || pa.height != pb.height ||
      pa.channels != pb.channels)
    return -1;
  long n = 0;
  for (size_t i = 0; i < pa.pixels.size(); i += static_cast<size_t>(pa.channels))
    if (std::memcmp(&pa.pixels[i], &pb.pixels[i], static_cast<size_t>(pa.channels)) != 0) ++n;
  return n;
}

class HpgsOnePass : public ::testing::TestWithParam<const char *> {};

// Every sample drawing (strokes, dashes, fills, clips, raster images,
// labels, rotations), with and without anti-aliasing, turned, stamped.
TEST_P(HpgsOnePass, Hpgl2pngMatchesTwoPassPainting) {
  const std::string name = GetParam();
  const std::string in = data_file(name + ".hpgl");
  const struct {
    Options o;
    std::string args;
  } variants[] = {
      {{150, true, 0, nullptr}, "--dpi 150"},
      {{100, false, 0, nullptr}, "--dpi 100 --no-antialias"},
      {{120, true, 30, "DRAFT"}, "--dpi 120 --angle 30 --stamp DRAFT --stamp-size 500"},
  };
  for (const auto &v : variants) {
    const std::string two = temp_path(name + "_two.png"), one = temp_path(name + "_one.png");
    ASSERT_EQ(render_two_pass(in, two, v.o), 0) << hpgs_get_error();
    ToolRun r = run_tool("hpgl2png", in + " " + one + " " + v.args);
    ASSERT_EQ(r.status, 0) << r.out;
    // The reader maps points by one composed matrix, the replay by two in
    // turn: the last bits differ, which can flip a pixel whose coverage
    // sits on a knife edge (hatch lines lying on their polygon's edge).
    Png p;
    ASSERT_TRUE(read_png(one, p));
    const long diff = differing_pixels(one, two);
    EXPECT_GE(diff, 0) << name << " " << v.args;
    EXPECT_LE(diff, static_cast<long>(p.width) * p.height / 1000) << name << " " << v.args;
    std::remove(two.c_str());
    std::remove(one.c_str());
  }
}

INSTANTIATE_TEST_SUITE_P(Files, HpgsOnePass,
                         ::testing::Values("pu_graph_dashed", "pu_pic2plot_states", "pu_plotfont_gothic",
                                           "pu_pcl_spectrum", "gp_pcl5_response", "gp_pcl5_area",
                                           "gp_hpgl_polar", "ps_parts_hpgl2", "fig_ibmgl_bracket_ro90",
                                           "syn_pjl_frame", "syn_pe_encoded", "syn_bezier", "syn_hatch_fill",
                                           "syn_rtl_raster", "syn_iso_ro90", "syn_pw_metric_caps",
                                           "syn_raster_patterns"));

// The replay hands every recorded call of the chosen page, mapped by the
// matrix (widths and dashes scaled by its scale), and nothing of showpage.
TEST(HpgsRecordingDevice, ReplaysPagesThroughTheMatrix) {
  const std::string text =
      "IN;SP1;PW0.5;LT2,4;PA0,0;PD1016,0,1016,1016;PU;"  // page 1: dashed polyline
      "PG;SP2;PA0,0;PD0,2032;PU;"                          // page 2
      "PG;SP1;PA100,100;PD200,200;";                       // page 3, left open
  hpgs_device *rec = hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE);
  ASSERT_NE(rec, nullptr);
  ReaderPtr r(hpgs_new_reader(mem(text), rec, HPGS_TRUE, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_FALSE), 0) << hpgs_get_error();
  // Measures like the plot-size device.
  hpgs_bbox box, ref;
  ASSERT_EQ(hpgs_getplotsize(rec, 1, &box), 0);
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  ReaderPtr r2(hpgs_new_reader(mem(text), ps, HPGS_TRUE, 0));
  ASSERT_EQ(hpgs_read(r2.get(), HPGS_FALSE), 0);
  ASSERT_EQ(hpgs_getplotsize(ps, 1, &ref), 0);
  EXPECT_DOUBLE_EQ(box.llx, ref.llx);
  EXPECT_DOUBLE_EQ(box.urx, ref.urx);
  EXPECT_DOUBLE_EQ(box.ury, ref.ury);

  // Identity: page 1 as recorded, in drawing points.
  RecordingDevice replayed;
  replayed.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 1, &replayed.base, nullptr), 0) << hpgs_get_error();
  EXPECT_TRUE(replayed.named("showpage").empty());
  ASSERT_EQ(replayed.named("lineto").size(), 2u);
  const double k = 72.0 / 1016.0;
  EXPECT_NEAR(replayed.named("lineto")[1].args[0], 1016 * k, 1e-9);
  const double w1 = replayed.named("setlinewidth").at(0).args[0];
  const auto d1 = replayed.named("setdash").at(0).args;

  // Scaled by 2 and turned by 90 degrees (det 4: scale 2).
  hpgs_matrix m2{10, 20, 0, -2, 2, 0};
  RecordingDevice turned;
  turned.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 0, &turned.base, &m2), 0);
  const std::vector<double> l = turned.named("lineto").at(1).args;
  EXPECT_NEAR(l[0], 10 - 2 * 1016 * k, 1e-9);
  EXPECT_NEAR(l[1], 20 + 2 * 1016 * k, 1e-9);
  EXPECT_NEAR(turned.named("setlinewidth").at(0).args[0], 2 * w1, 1e-9);
  const auto d2 = turned.named("setdash").at(0).args;
  ASSERT_EQ(d2.size(), d1.size());
  for (size_t i = 0; i + 1 < d1.size(); ++i) EXPECT_NEAR(d2[i], 2 * d1[i], 1e-4);

  // Page 2 holds only its own line; page 3 is the open page.
  RecordingDevice p2;
  p2.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 2, &p2.base, nullptr), 0);
  ASSERT_EQ(p2.named("lineto").size(), 1u);
  EXPECT_NEAR(p2.named("lineto")[0].args[1], 2032 * k, 1e-9);
  RecordingDevice p3;
  p3.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 3, &p3.base, nullptr), 0);
  ASSERT_EQ(p3.named("lineto").size(), 1u);
  EXPECT_NEAR(p3.named("lineto")[0].args[0], 200 * k, 1e-9);

  // Failures: unknown page, a device that is not a recording device, a
  // failing target (its message is kept).
  EXPECT_EQ(hpgs_recording_device_replay(rec, 4, &p3.base, nullptr), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("not recorded"), std::string::npos);
  EXPECT_EQ(hpgs_recording_device_replay(&p3.base, 1, &p2.base, nullptr), -1);
  RecordingDevice failing;
  failing.base.vtable = &RecordingDevice::vtable;
  failing.fail_on = "stroke";
  EXPECT_EQ(hpgs_recording_device_replay(rec, 1, &failing.base, nullptr), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("stroke failed"), std::string::npos);
}

// A dynamic page's matrix is what the reader hands to asset callbacks.
TEST(HpgsRecordingDevice, PageMatrixFollowsTheDynamicPage) {
  ReaderPtr r(hpgs_new_reader(mem("IN;PA0,0;PD100,100;"), hpgs_new_plotsize_device(1, 1), HPGS_FALSE, 0));
  hpgs_matrix m;
  ASSERT_EQ(hpgs_reader_get_page_matrix(r.get(), &m), 0);
  EXPECT_EQ(m.mxx, 1);
  EXPECT_EQ(m.dx, 0);
  hpgs_bbox bb{10, 20, 110, 70};
  ASSERT_EQ(hpgs_reader_set_dynamic_page(r.get(), &bb, 1000, 1000, 5, 90), 0);
  ASSERT_EQ(hpgs_reader_get_page_matrix(r.get(), &m), 0);
  hpgs_point p{10, 20}, q;
  hpgs_matrix_xform(&q, &m, &p);  // lower-left turns to the lower-right
  EXPECT_NEAR(q.x, bb.urx - 5, 1e-9);
  EXPECT_NEAR(q.y, 5, 1e-9);
  EXPECT_EQ(hpgs_reader_get_page_matrix(nullptr, &m), -1);
}

// Polygon buffers reach the recording device as runs of vertices: the
// replay through the identity hands over exactly the calls of reading
// straight into a device, and the measured box is the one a plot-size
// device builds point by point from that replay. A polygon with tens of
// thousands of vertices fills several blocks of the list, with points
// across block ends; subpolygons, pen-up moves and negative zeros
// interrupt and start runs.
TEST(HpgsRecordingDevice, PolygonRunsReplayAsReadAndMeasureAsPointByPoint) {
  std::string text = "IN;SP1;PW0.3;PA0,0;PM0;PD";
  for (int i = 0; i < 70000; ++i) {
    const double a = i * 0.001;
    text += (i ? "," : "") + std::to_string(static_cast<int>(5000 * std::cos(a) * std::sin(3 * a))) + "," +
            std::to_string(static_cast<int>(4000 * std::sin(a)));
  }
  text += ";PM1;PU-0,-0;PD0,100,-100,-0;PM1;PU10,10;PU20,20;PD30,30;PU;PM2;EP;FP;"
          "PA500,500;PM0;PD600,500,600,600;PM2;EP;PM0;PM2;EP;SP2;PA-50,-60;PD-70,-80;PU;";
  const int caps = HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_MULTISIZE | HPGS_DEVICE_CAP_CURVES |
                   HPGS_DEVICE_CAP_DRAWIMAGE;

  RecordingDevice *direct = new_recording_device();
  direct->caps = caps;
  ReaderPtr r1(hpgs_new_reader(mem(text), &direct->base, HPGS_FALSE, 0));
  ASSERT_EQ(hpgs_read(r1.get(), HPGS_TRUE), 0) << hpgs_get_error();

  hpgs_device *rec = hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE);
  ReaderPtr r2(hpgs_new_reader(mem(text), rec, HPGS_FALSE, 0));
  ASSERT_EQ(hpgs_read(r2.get(), HPGS_TRUE), 0) << hpgs_get_error();
  RecordingDevice replayed;
  replayed.base.vtable = &RecordingDevice::vtable;
  ASSERT_EQ(hpgs_recording_device_replay(rec, 1, &replayed.base, nullptr), 0) << hpgs_get_error();

  std::vector<Call> want;
  for (const Call &c : direct->calls)
    if (c.name != "showpage" && c.name != "finish") want.push_back(c);
  ASSERT_GT(want.size(), 70000u);
  ASSERT_EQ(replayed.calls.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(replayed.calls[i].name, want[i].name) << "call " << i;
    ASSERT_EQ(replayed.calls[i].args.size(), want[i].args.size()) << "call " << i;
    for (size_t k = 0; k < want[i].args.size(); ++k)
      ASSERT_EQ(std::memcmp(&replayed.calls[i].args[k], &want[i].args[k], sizeof(double)), 0) << "call " << i;
  }

  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  ASSERT_EQ(hpgs_recording_device_replay(rec, 1, ps, nullptr), 0);
  hpgs_bbox measured, point_by_point;
  ASSERT_EQ(hpgs_getplotsize(rec, 1, &measured), 0);
  ASSERT_EQ(hpgs_getplotsize(ps, 1, &point_by_point), 0);
  hpgs_device_destroy(ps);
  EXPECT_EQ(std::memcmp(&measured, &point_by_point, sizeof measured), 0)
      << measured.llx << " " << measured.lly << " " << measured.urx << " " << measured.ury;
}

}  // namespace
