// The tee device, and what a read that places its page when the first frame
// ends needs from the reader: the asset arguments of the placed page and
// the raster images the device did not take.
#include "helpers.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace hpgs_test;

namespace {

const int kVectorCaps = HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_MULTIPAGE;

// A polygon (its vertices go to the device as runs), a circle, a Bezier
// curve, a label, a dashed line and a second page.
const char *kDrawing =
    "IN;SP1;PA100,100;PM0;PD2000,100,2000,1500,100,1500;PM2;FP;EP;"
    "PU3000,3000;CI500;PD;BZ3500,3500,4000,2500,4500,3000;PU;LT2;PD4000,4000;LT;LBAb\x03;PG;SP2;PD10,10;";

bool same_calls(const RecordingDevice &a, const RecordingDevice &b) {
  if (a.calls.size() != b.calls.size()) return false;
  for (size_t i = 0; i < a.calls.size(); ++i)
    if (a.calls[i].name != b.calls[i].name || a.calls[i].args != b.calls[i].args) return false;
  return true;
}

TEST(HpgsTeeDevice, BothGetEveryCallAsTheReaderMakesItForTheFirst) {
  for (bool multipage : {false, true}) {
    SCOPED_TRACE(multipage);
    // The first takes curves, the listener not: the reader reads for the
    // first, so the listener gets curves all the same.
    auto *first = new_recording_device(), *listener = new_recording_device();
    first->caps = kVectorCaps | HPGS_DEVICE_CAP_CURVES;
    hpgs_device *tee = hpgs_new_tee_device(&first->base, &listener->base);
    ASSERT_TRUE(tee);
    EXPECT_STREQ(hpgs_device_rtti(tee), "hpgs_tee_device");
    EXPECT_EQ(hpgs_device_capabilities(tee), first->caps);
    ReaderPtr r(hpgs_new_reader(mem(kDrawing), tee, multipage, 0));
    ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
    Recorded alone = record(kDrawing, multipage, first->caps);
    ASSERT_EQ(alone.rc, 0);
    EXPECT_TRUE(same_calls(*first, *alone.dev));
    EXPECT_TRUE(same_calls(*listener, *alone.dev));
    EXPECT_FALSE(first->named("curveto").empty());
    EXPECT_EQ(first->named("showpage").size(), multipage ? 2u : 1u);
  }
}

TEST(HpgsTeeDevice, AFailingCallStopsBeforeTheListenerAndFailsTheRead) {
  auto *first = new_recording_device(), *listener = new_recording_device();
  first->fail_on = "stroke";
  bool first_gone = false, listener_gone = false;
  first->destroyed = &first_gone;
  listener->destroyed = &listener_gone;
  {
    ReaderPtr r(hpgs_new_reader(mem(kDrawing), hpgs_new_tee_device(&first->base, &listener->base), false, 0));
    EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
    EXPECT_NE(std::string(hpgs_get_error()).find("stroke failed"), std::string::npos) << hpgs_get_error();
    EXPECT_EQ(first->named("stroke").size(), 1u);
    EXPECT_TRUE(listener->named("stroke").empty());
  }
  // The tee owned both.
  EXPECT_TRUE(first_gone);
  EXPECT_TRUE(listener_gone);
  // Without one of them there is no tee, and the other goes.
  auto *lone = new_recording_device();
  bool lone_gone = false;
  lone->destroyed = &lone_gone;
  EXPECT_EQ(hpgs_new_tee_device(&lone->base, nullptr), nullptr);
  EXPECT_TRUE(lone_gone);
}

TEST(HpgsTeeDevice, APlotSizeListenerMeasuresWhatItWouldAlone) {
  // The harmonograph's long polylines and the polygons of the others go to
  // the plot-size device as runs.
  for (const char *name : {"pu_big_harmonograph.hpgl", "syn_hatch_fill.hpgl", "pu_plotfont_gothic.hpgl",
                           "fig_ibmgl_bracket_ro90.hpgl", "syn_pw_metric_caps.hpgl"}) {
    SCOPED_TRACE(name);
    const std::string text = slurp(data_file(name));
    hpgs_bbox alone;
    ASSERT_EQ(plotsize(text, &alone), 0);
    auto *first = new_recording_device();
    first->caps = kVectorCaps | HPGS_DEVICE_CAP_CURVES;
    hpgs_device *measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    ReaderPtr r(hpgs_new_reader(mem(text), hpgs_new_tee_device(&first->base, measure), false, 0));
    ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
    hpgs_bbox teed;
    ASSERT_EQ(hpgs_getplotsize(measure, 1, &teed), 0);
    EXPECT_EQ(std::memcmp(&teed, &alone, sizeof teed), 0)
        << teed.llx << " " << teed.lly << " " << teed.urx << " " << teed.ury << " against " << alone.llx << " "
        << alone.lly << " " << alone.urx << " " << alone.ury;
  }
}

// ------------------------------------------------ page placed at a frame

struct Args {
  hpgs_matrix page{}, xform{};
  hpgs_bbox box{};
  int calls = 0;
};

struct Late {
  hpgs_reader *reader = nullptr;
  hpgs_bbox box{};
  double angle = 0;
  Args args;
};

int keep_args(void *ctxt, hpgs_device *, const hpgs_matrix *m, const hpgs_matrix *x, const hpgs_bbox *b, int) {
  auto *a = static_cast<Args *>(ctxt);
  if (a->calls++ == 0) {
    a->page = *m;
    a->xform = *x;
    a->box = *b;
  }
  return 0;
}

int place_late(void *ctxt, hpgs_device *, const hpgs_matrix *, const hpgs_matrix *, const hpgs_bbox *, int) {
  auto *l = static_cast<Late *>(ctxt);
  if (l->args.calls++ == 0) {
    hpgs_bbox b = l->box;
    if (hpgs_reader_set_dynamic_page(l->reader, &b, 72000, 72000, 0, l->angle) != 0) return -1;
    return hpgs_reader_get_asset_frame(l->reader, &l->args.page, &l->args.xform, &l->args.box);
  }
  return 0;
}

bool same(const Args &a, const Args &b) {
  return std::memcmp(&a.page, &b.page, sizeof a.page) == 0 && std::memcmp(&a.xform, &b.xform, sizeof a.xform) == 0 &&
         std::memcmp(&a.box, &b.box, sizeof a.box) == 0;
}

TEST(HpgsReaderAssetFrame, PagePlacedAtTheFirstFrameGivesTheArgumentsOfAPagePlacedBefore) {
  // Scaling, turning, P1/P2, a declared size and a PCL picture frame all
  // enter the transformation; it must come out bit for bit.
  const char *drawings[] = {
      "IN;SP1;PD1234,567;PG;PD1,1;",
      "IN;RO90;IP100,200,5000,3000;SC-3,7.5,2,11;SP2;PD1,3;PG;",
      "IN;RO270;SC0,1,0,1,2;SP1;PA0.3,0.7;PD2,2;FR;PD3,3;",
      "IN;PS20000,9000;RO180;IR10,10,90,90;SC0,100,0,100,1,30,70;SP1;PD50,50;",
      "\x1b" "E\x1b*c3600x2400Y\x1b*c4000k3000L\x1b%1BIN;SC0,10,0,10;SP1;PD10,10;",
  };
  for (const char *d : drawings) {
    for (double angle : {0.0, 90.0, 180.0, 270.0, 30.0, -45.5}) {
      SCOPED_TRACE(std::string(d) + " at " + std::to_string(angle));
      hpgs_bbox box;
      ASSERT_EQ(plotsize(d, &box), 0);
      Args before;
      {
        auto *dev = new_recording_device();
        ReaderPtr r(hpgs_new_reader(mem(d), &dev->base, false, 0));
        hpgs_bbox b = box;
        ASSERT_EQ(hpgs_reader_set_dynamic_page(r.get(), &b, 72000, 72000, 0, angle), 0);
        hpgs_reader_set_frame_asset_func(r.get(), &before, keep_args);
        ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
      }
      Late late;
      late.box = box;
      late.angle = angle;
      {
        auto *dev = new_recording_device();
        ReaderPtr r(hpgs_new_reader(mem(d), &dev->base, false, 0));
        late.reader = r.get();
        hpgs_reader_set_frame_asset_func(r.get(), &late, place_late);
        ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
      }
      ASSERT_EQ(before.calls, 1);
      ASSERT_EQ(late.args.calls, 1);
      EXPECT_TRUE(same(before, late.args));
      // Not the identity page any more.
      EXPECT_NE(late.args.page.dx, 0.0);
    }
  }
  EXPECT_EQ(hpgs_reader_get_asset_frame(nullptr, nullptr, nullptr, nullptr), -1);
}

// ------------------------------------------------------ skipped images

const std::string kImage = "\x1b*t75R\x1b*r8S\x1b*r1A\x1b*b1W\xf0\x1b*b1W\x0f\x1b*rC";

unsigned long skipped(const std::string &text, int caps, bool multipage, size_t *drawn) {
  auto *dev = new_recording_device();
  dev->caps = caps;
  ReaderPtr r(hpgs_new_reader(mem(text), &dev->base, multipage, 0));
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  *drawn = dev->named("drawimage").size();
  return hpgs_reader_get_skipped_images(r.get());
}

TEST(HpgsReaderSkippedImages, CountsTheImagesOfDrawnPagesThatTheDeviceDidNotTake) {
  const std::string two = "\x1b" "E" + kImage + "\x1b%1BSP1;PD1,1;\x1b%0A" + kImage + "\x1b%0BPG;";
  const std::string later = "\x1b" "E\x1b%1BSP1;PD1,1;PG;\x1b%0A" + kImage;
  size_t drawn = 0;
  EXPECT_EQ(skipped(two, kVectorCaps, false, &drawn), 2u);
  EXPECT_EQ(drawn, 0u);
  // Taking placements, the device gets them all.
  EXPECT_EQ(skipped(two, kVectorCaps | HPGS_DEVICE_CAP_NULLIMAGE, false, &drawn), 0u);
  EXPECT_EQ(drawn, 2u);
  EXPECT_EQ(skipped(two, kVectorCaps | HPGS_DEVICE_CAP_DRAWIMAGE, false, &drawn), 0u);
  EXPECT_EQ(drawn, 2u);
  // An image after the only page drawn does not count; with every page
  // drawn it does.
  EXPECT_EQ(skipped(later, kVectorCaps, false, &drawn), 0u);
  EXPECT_EQ(skipped(later, kVectorCaps, true, &drawn), 1u);
  EXPECT_EQ(skipped("SP1;PD1,1;", kVectorCaps, false, &drawn), 0u);
  EXPECT_EQ(hpgs_reader_get_skipped_images(nullptr), 0u);
}

TEST(HpgsReaderSkippedImages, ASecondPassCountsAfresh) {
  auto *dev = new_recording_device();
  const std::string text = "\x1b" "E" + kImage;
  ReaderPtr r(hpgs_new_reader(mem(text), &dev->base, false, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(hpgs_reader_get_skipped_images(r.get()), 1u);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0);
  EXPECT_EQ(hpgs_reader_get_skipped_images(r.get()), 1u);
}

}  // namespace
