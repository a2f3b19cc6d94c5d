// Stamps: drawn through path calls along the page diagonal, sized to fit,
// on top of the drawing, merged so that dark ink stays visible.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hpgs_test;

namespace {

TEST(HpgsStamp, FitsTheDiagonalAndUsesPathCalls) {
  RecordingDevice *rd = new_recording_device();
  hpgs_bbox page{100, 50, 700, 450};
  ASSERT_EQ(hpgs_device_stamp(&rd->base, &page, "CONFIDENTIAL", "utf-8", 5000.0), 0) << hpgs_get_error();
  auto moves = rd->named("moveto"), lines = rd->named("lineto");
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(rd->named("stroke").size(), 12u);  // one per glyph
  double minx = 1e9, maxx = -1e9, miny = 1e9, maxy = -1e9;
  for (const auto *v : {&moves, &lines})
    for (const auto &c : *v) {
      minx = std::min(minx, c.args[0]);
      maxx = std::max(maxx, c.args[0]);
      miny = std::min(miny, c.args[1]);
      maxy = std::max(maxy, c.args[1]);
    }
  EXPECT_GE(minx, page.llx);
  EXPECT_LE(maxx, page.urx);
  EXPECT_GE(miny, page.lly);
  EXPECT_LE(maxy, page.ury);
  // Centred on the page and running up along the diagonal.
  EXPECT_NEAR(0.5 * (minx + maxx), 400.0, 20.0);
  EXPECT_NEAR(0.5 * (miny + maxy), 250.0, 20.0);
  EXPECT_GT(maxx - minx, 0.6 * (page.urx - page.llx));
  // Light red, merged with the drawing, and plain copy again afterwards.
  auto col = rd->named("setrgbcolor");
  ASSERT_FALSE(col.empty());
  EXPECT_EQ(col[0].args[0], 1.0);
  EXPECT_LT(col[0].args[1], 1.0);
  auto rops = rd->named("setrop3");
  ASSERT_EQ(rops.size(), 2u);
  EXPECT_EQ(rops[0].args[0], 168);
  EXPECT_EQ(rops[1].args[0], 252);
  hpgs_device_destroy(&rd->base);
}

TEST(HpgsStamp, SmallSizeIsKeptAndBadArgumentsAreRefused) {
  RecordingDevice *rd = new_recording_device();
  hpgs_bbox page{0, 0, 1000, 1000};
  ASSERT_EQ(hpgs_device_stamp(&rd->base, &page, "I", "utf-8", 21.0), 0);
  auto lines = rd->named("lineto"), moves = rd->named("moveto");
  ASSERT_EQ(moves.size(), 1u);
  // 'I' is one vertical stroke of capital height: 21 points long, turned
  // by 45 degrees.
  double len = std::hypot(lines[0].args[0] - moves[0].args[0], lines[0].args[1] - moves[0].args[1]);
  EXPECT_NEAR(len, 21.0, 0.01);
  EXPECT_EQ(hpgs_device_stamp(&rd->base, &page, "x", "ebcdic", 20.0), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("ebcdic"), std::string::npos);
  EXPECT_EQ(hpgs_device_stamp(&rd->base, &page, "x", "utf-8", -1.0), -1);
  hpgs_bbox empty{0, 0, 0, 0};
  EXPECT_EQ(hpgs_device_stamp(&rd->base, &empty, "x", "utf-8", 20.0), -1);
  EXPECT_EQ(hpgs_device_stamp(&rd->base, &page, "", "utf-8", 20.0), 0);
  hpgs_device_destroy(&rd->base);
}

TEST(HpgsStamp, AccentsAndDashesFallBackToTheirAsciiLetters) {
  RecordingDevice *a = new_recording_device(), *b = new_recording_device();
  hpgs_bbox page{0, 0, 500, 300};
  ASSERT_EQ(hpgs_device_stamp(&a->base, &page, "\xc3\xa9t\xc3\xa9 \xe2\x80\x93 OK", "utf-8", 50.0), 0);
  ASSERT_EQ(hpgs_device_stamp(&b->base, &page, "ete - OK", "utf-8", 50.0), 0);
  EXPECT_EQ(a->path_ops(), b->path_ops());
  ASSERT_EQ(hpgs_device_stamp(&a->base, &page, "\xe9", "iso-8859-1", 50.0), 0);
  hpgs_device_destroy(&a->base);
  hpgs_device_destroy(&b->base);
}

TEST(HpgsStamp, ReaderStampLiesOnTopOfTheDrawingInThePng) {
  std::string file = temp_path("stamp.png");
  hpgs_png_image *img = hpgs_new_png_image(200, 200, 24, HPGS_FALSE, HPGS_TRUE);
  hpgs_bbox bb{0, 0, 200, 200};
  hpgs_paint_device *p = hpgs_new_paint_device(img, file.c_str(), &bb, HPGS_TRUE);
  // A black square over the middle of the page.
  ReaderPtr r(hpgs_new_reader(mem("IN;SP1;PA1200,1200;RA1600,1600;"), reinterpret_cast<hpgs_device *>(p),
                              HPGS_FALSE, 0));
  ASSERT_EQ(hpgs_reader_stamp(r.get(), &bb, "HHHHHHHH", "utf-8", 500.0), 0);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
  Png png;
  ASSERT_TRUE(read_png(file, png));
  int reddish = 0, black_inside = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 200; ++x) {
      int rr = png.at(x, y, 0), g = png.at(x, y, 1);
      if (rr > 200 && g < 200) ++reddish;
      // The square lies at 1200 ... 1600 plu = 85 ... 113 pt from the bottom.
      if (x > 88 && x < 110 && y > 88 && y < 110 && rr < 10) ++black_inside;
    }
  EXPECT_GT(reddish, 500);
  EXPECT_GT(black_inside, 400);  // the merge keeps the dark ink visible
  std::remove(file.c_str());
  EXPECT_EQ(hpgs_reader_stamp(r.get(), &bb, "x", "utf-16", 10.0), -1);
}

}  // namespace
