// Paint device and PNG image: exact pixels on tiny images, the thin-line
// rule, raster operations, PNG output and page names, error handling.
#include "paint_helpers.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <set>

using namespace hpgs_test;

namespace {

void line(hpgs_device *d, double x1, double y1, double x2, double y2) {
  hpgs_point a{x1, y1}, b{x2, y2};
  ASSERT_EQ(hpgs_moveto(d, &a), 0);
  ASSERT_EQ(hpgs_lineto(d, &b), 0);
  ASSERT_EQ(hpgs_stroke(d), 0);
}

void rect(hpgs_device *d, double x1, double y1, double x2, double y2) {
  hpgs_point p[4] = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
  hpgs_moveto(d, &p[0]);
  for (int i = 1; i < 4; ++i) hpgs_lineto(d, &p[i]);
  hpgs_closepath(d);
  ASSERT_EQ(hpgs_fill(d, HPGS_FALSE), 0);
}

std::set<int> values(const Canvas &c, int w, int h) {
  std::set<int> v;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char rgb[3];
      c.rgb(x, y, rgb);
      v.insert(rgb[0]);
      v.insert(rgb[1]);
      v.insert(rgb[2]);
    }
  return v;
}

TEST(HpgsPaint, OnePointLineAt72DpiLightsExactlyItsPixels) {
  for (bool aa : {true, false}) {
    Canvas c(10, 10, aa);
    hpgs_setlinewidth(c.dev(), 1.0);
    hpgs_setlinecap(c.dev(), hpgs_cap_butt);
    // Centre of pixel row 4 (y from the top) is 5.5 points from the bottom.
    line(c.dev(), 2.0, 5.5, 8.0, 5.5);
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 10; ++x) {
        int expect = (y == 4 && x >= 2 && x < 8) ? 0 : 255;
        EXPECT_EQ(c.px(x, y), expect) << "aa=" << aa << " pixel " << x << "," << y;
      }
  }
}

TEST(HpgsPaint, WithoutAntialiasingOnlyFullInkOrNone) {
  Canvas c(40, 30, false);
  hpgs_color red{204 / 255.0, 51 / 255.0, 102 / 255.0};
  hpgs_setrgbcolor(c.dev(), &red);
  hpgs_setlinewidth(c.dev(), 2.7);
  line(c.dev(), 1.3, 2.2, 37.9, 27.1);
  hpgs_setlinewidth(c.dev(), 0.0);
  line(c.dev(), 3.1, 28.4, 36.3, 1.7);
  hpgs_point ctr{20.2, 15.3}, p1{30.0, 15.3}, p2{20.2, 25.1}, p3{10.4, 15.3};
  hpgs_moveto(c.dev(), &ctr);
  hpgs_curveto(c.dev(), &p1, &p2, &p3);
  hpgs_closepath(c.dev());
  ASSERT_EQ(hpgs_fill(c.dev(), HPGS_TRUE), 0);
  std::set<int> v = values(c, 40, 30);
  std::set<int> allowed = {0, 255, 204, 51, 102};  // the channels of the colour
  for (int x : v) EXPECT_TRUE(allowed.count(x)) << "value " << x;
  // The same drawing with anti-aliasing has intermediate values.
  Canvas a(40, 30, true);
  hpgs_setlinewidth(a.dev(), 2.7);
  line(a.dev(), 1.3, 2.2, 37.9, 27.1);
  EXPECT_GT(values(a, 40, 30).size(), 3u);
}

TEST(HpgsPaint, ThinLinesAreOnePixelWideWithCoverageScaledByTheThinAlpha) {
  struct Case {
    double width_pt, thin, expect;  // expected coverage of the row
  } cases[] = {
      {0.0, 0.5, 0.5},   // PW0: the thin alpha
      {0.0, 0.25, 0.25},
      {0.2, 0.5, 0.5},   // narrower than the thin alpha: the thin alpha
      {0.8, 0.5, 0.8},   // wider: its own width
      {1.0, 0.1, 1.0},   // a full pixel is not thin
  };
  for (const auto &k : cases) {
    Canvas c(10, 10, true);
    ASSERT_EQ(hpgs_paint_device_set_thin_alpha(c.paint.get(), k.thin), 0);
    hpgs_setlinewidth(c.dev(), k.width_pt);
    line(c.dev(), 2.0, 5.5, 8.0, 5.5);
    double cov = 1.0 - c.px(5, 4) / 255.0;
    EXPECT_NEAR(cov, k.expect, 0.01) << "width " << k.width_pt << " thin " << k.thin;
    EXPECT_EQ(c.px(5, 3), 255);
    EXPECT_EQ(c.px(5, 5), 255);
  }
}

TEST(HpgsPaint, ThinLinesOnPixelEdgesSurviveWithoutAntialiasing) {
  // A hairline exactly on the border between two pixel rows and columns.
  Canvas c(12, 12, false);
  hpgs_setlinewidth(c.dev(), 0.0);
  line(c.dev(), 1.0, 6.0, 11.0, 6.0);
  line(c.dev(), 6.0, 1.0, 6.0, 11.0);
  for (int x = 1; x < 11; ++x) {
    if (x == 5 || x == 6) continue;
    int ink = (c.px(x, 5) == 0) + (c.px(x, 6) == 0);
    EXPECT_EQ(ink, 1) << "column " << x;
  }
  for (int y = 1; y < 11; ++y) {
    if (y == 5 || y == 6) continue;
    int ink = (c.px(5, y) == 0) + (c.px(6, y) == 0);
    EXPECT_EQ(ink, 1) << "row " << y;
  }
  EXPECT_EQ(hpgs_paint_device_set_thin_alpha(c.paint.get(), 0.0), -1);
  EXPECT_EQ(hpgs_paint_device_set_thin_alpha(c.paint.get(), 1.5), -1);
}

// Reference ROP3 on one 8-bit channel, bit by bit.
int rop_ref(int rop, int d, int s, int t) {
  int r = 0;
  for (int bit = 0; bit < 8; ++bit) {
    int db = (d >> bit) & 1, sb = (s >> bit) & 1, tb = (t >> bit) & 1;
    r |= ((rop >> (tb * 4 + sb * 2 + db)) & 1) << bit;
  }
  return r;
}

// A 2 x 2 image with four different destination colours.
const unsigned char kDest[4][3] = {{255, 255, 255}, {0, 0, 0}, {200, 100, 50}, {90, 180, 240}};

void load_dest(Canvas &c) {
  unsigned char *data;
  int stride;
  ASSERT_EQ(hpgs_image_get_data(c.img, &data, &stride), 0);
  for (int i = 0; i < 4; ++i) std::memcpy(data + (i / 2) * stride + (i % 2) * 3, kDest[i], 3);
}

TEST(HpgsPaint, RasterOperationsOnVectorsPerPixel) {
  const unsigned char pen[3] = {51, 153, 204};
  for (int rop : {252, 204, 240, 168, 136, 0, 255, 102, 170}) {
    Canvas c(2, 2, false);
    load_dest(c);
    hpgs_color col{pen[0] / 255.0, pen[1] / 255.0, pen[2] / 255.0};
    hpgs_setrgbcolor(c.dev(), &col);
    hpgs_setrop3(c.dev(), rop, HPGS_TRUE, HPGS_TRUE);
    rect(c.dev(), 0, 0, 2, 2);
    for (int i = 0; i < 4; ++i) {
      unsigned char got[3];
      c.rgb(i % 2, i / 2, got);
      for (int ch = 0; ch < 3; ++ch)
        EXPECT_EQ(got[ch], rop_ref(rop, kDest[i][ch], pen[ch], pen[ch])) << "rop " << rop << " pixel " << i;
    }
  }
}

TEST(HpgsPaint, WhiteVectorsAreTransparentOnlyWithSourceTransparency) {
  for (bool tr : {true, false}) {
    Canvas c(2, 2, false);
    load_dest(c);
    hpgs_color white{1, 1, 1};
    hpgs_setrgbcolor(c.dev(), &white);
    hpgs_setrop3(c.dev(), 252, tr, HPGS_TRUE);
    rect(c.dev(), 0, 0, 2, 2);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.px(i % 2, i / 2), tr ? kDest[i][0] : 255) << "tr " << tr;
  }
  // Without raster operations every mark is a copy, white included.
  Canvas c(2, 2, false, false);
  load_dest(c);
  hpgs_color white{1, 1, 1};
  hpgs_setrgbcolor(c.dev(), &white);
  hpgs_setrop3(c.dev(), 168, HPGS_TRUE, HPGS_TRUE);
  rect(c.dev(), 0, 0, 2, 2);
  EXPECT_EQ(c.px(1, 0), 255);
}

TEST(HpgsPaint, RasterOperationsOnImagesPerPixel) {
  // Source image: white, black, and two colours.
  const unsigned char src[4][3] = {{255, 255, 255}, {0, 0, 0}, {10, 200, 130}, {250, 20, 60}};
  unsigned char buf[12];
  for (int i = 0; i < 4; ++i) std::memcpy(buf + 3 * i, src[i], 3);
  hpgs_image im{2, 2, 24, 6, buf};
  struct Case {
    int rop;
    bool src_tr;
  } cases[] = {{252, false}, {204, false}, {168, false}, {136, false}, {0, false}, {255, false},
               {252, true},  {168, true}};
  for (const auto &k : cases) {
    Canvas c(2, 2, false);
    ASSERT_EQ(hpgs_paint_device_set_image_interpolation(c.paint.get(), 0), 0);
    load_dest(c);
    hpgs_setrop3(c.dev(), k.rop, k.src_tr, HPGS_TRUE);
    hpgs_point ll{0, 0}, lr{2, 0}, ur{2, 2};
    ASSERT_EQ(hpgs_drawimage(c.dev(), &im, &ll, &lr, &ur), 0);
    for (int i = 0; i < 4; ++i) {
      unsigned char got[3];
      c.rgb(i % 2, i / 2, got);
      bool keep = k.src_tr && i == 0;  // white source pixel
      for (int ch = 0; ch < 3; ++ch) {
        int expect = keep ? kDest[i][ch] : rop_ref(k.rop, kDest[i][ch], src[i][ch], 0);
        EXPECT_EQ(got[ch], expect) << "rop " << k.rop << " tr " << k.src_tr << " pixel " << i << " ch " << ch;
      }
    }
  }
}

TEST(HpgsPaint, ImagesArePlacedByTheirCorners) {
  // 2 x 1 image (black, red) placed upside down: ll at the top right.
  unsigned char buf[6] = {0, 0, 0, 255, 0, 0};
  hpgs_image im{2, 1, 24, 6, buf};
  Canvas c(4, 2, false);
  hpgs_paint_device_set_image_interpolation(c.paint.get(), 0);
  hpgs_point ll{4, 2}, lr{0, 2}, ur{0, 0};
  ASSERT_EQ(hpgs_drawimage(c.dev(), &im, &ll, &lr, &ur), 0);
  unsigned char p[3];
  c.rgb(3, 0, p);  // first column, rotated by 180 degrees: right side
  EXPECT_EQ(p[0], 0);
  c.rgb(0, 1, p);
  EXPECT_EQ(p[0], 255);
  EXPECT_EQ(p[1], 0);
}

TEST(HpgsPaint, ClipSaveAndRestore) {
  Canvas c(10, 10, false);
  hpgs_clipsave(c.dev());
  hpgs_point p[4] = {{0, 0}, {5, 0}, {5, 10}, {0, 10}};
  hpgs_moveto(c.dev(), &p[0]);
  for (int i = 1; i < 4; ++i) hpgs_lineto(c.dev(), &p[i]);
  hpgs_closepath(c.dev());
  ASSERT_EQ(hpgs_clip(c.dev(), HPGS_FALSE), 0);
  hpgs_color red{1, 0, 0};
  hpgs_setrgbcolor(c.dev(), &red);
  rect(c.dev(), 0, 0, 10, 5);
  EXPECT_EQ(c.px(2, 7), 255);  // red: full red channel
  unsigned char q[3];
  c.rgb(2, 7, q);
  EXPECT_EQ(q[1], 0);
  c.rgb(7, 7, q);
  EXPECT_EQ(q[1], 255);  // clipped away
  ASSERT_EQ(hpgs_cliprestore(c.dev()), 0);
  // The colour survives the restore (the device keeps its own state).
  rect(c.dev(), 0, 5, 10, 10);
  c.rgb(7, 2, q);
  EXPECT_EQ(q[0], 255);
  EXPECT_EQ(q[1], 0);
  EXPECT_EQ(hpgs_cliprestore(c.dev()), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("cliprestore"), std::string::npos);
}

TEST(HpgsPaint, EvenOddAndNonZeroFills) {
  for (bool winding : {false, true}) {
    Canvas c(10, 10, false);
    // Two nested squares in the same direction: the inner one is a hole
    // with even-odd only.
    hpgs_point outer[4] = {{0, 0}, {10, 0}, {10, 10}, {0, 10}}, inner[4] = {{3, 3}, {7, 3}, {7, 7}, {3, 7}};
    hpgs_moveto(c.dev(), &outer[0]);
    for (int i = 1; i < 4; ++i) hpgs_lineto(c.dev(), &outer[i]);
    hpgs_closepath(c.dev());
    hpgs_moveto(c.dev(), &inner[0]);
    for (int i = 1; i < 4; ++i) hpgs_lineto(c.dev(), &inner[i]);
    hpgs_closepath(c.dev());
    ASSERT_EQ(hpgs_fill(c.dev(), winding), 0);
    EXPECT_EQ(c.px(5, 5), winding ? 0 : 255);
    EXPECT_EQ(c.px(1, 1), 0);
  }
}

TEST(HpgsPaint, DashesFollowThePattern) {
  Canvas c(20, 3, false);
  float dash[2] = {4.0f, 2.0f};
  hpgs_setdash(c.dev(), dash, 2, 0.0);
  hpgs_setlinewidth(c.dev(), 1.0);
  line(c.dev(), 0.0, 1.5, 20.0, 1.5);
  std::string row;
  for (int x = 0; x < 20; ++x) row += c.px(x, 1) == 0 ? '#' : '.';
  EXPECT_EQ(row, "####..####..####..##");
  // Invalid patterns draw solid lines instead of failing.
  float zero[2] = {0.0f, 0.0f};
  EXPECT_EQ(hpgs_setdash(c.dev(), zero, 2, 0.0), 0);
  line(c.dev(), 0.0, 0.5, 20.0, 0.5);
  for (int x = 0; x < 20; ++x) EXPECT_EQ(c.px(x, 2), 0);
}

TEST(HpgsImage, CreationLimitsAndLayout) {
  EXPECT_EQ(hpgs_new_png_image(0, 10, 24, HPGS_FALSE, HPGS_FALSE), nullptr);
  EXPECT_EQ(hpgs_new_png_image(10, 40000, 24, HPGS_FALSE, HPGS_FALSE), nullptr);
  EXPECT_EQ(hpgs_new_png_image(10, 10, 16, HPGS_FALSE, HPGS_FALSE), nullptr);
  EXPECT_NE(std::string(hpgs_get_error()).find("depth"), std::string::npos);
  hpgs_png_image *g = hpgs_new_png_image(3, 2, 8, HPGS_FALSE, HPGS_FALSE);
  ASSERT_NE(g, nullptr);
  unsigned char *data;
  int stride;
  ASSERT_EQ(hpgs_image_get_data(g, &data, &stride), 0);
  EXPECT_GE(stride, 3);
  EXPECT_EQ(data[0], 255);
  data[stride + 2] = 77;
  unsigned char rgb[3];
  ASSERT_EQ(hpgs_image_get_pixel(g, 2, 1, rgb, nullptr), 0);
  EXPECT_EQ(rgb[0], 77);
  EXPECT_EQ(rgb[2], 77);
  EXPECT_EQ(hpgs_image_get_pixel(g, 3, 1, rgb, nullptr), -1);
  hpgs_image_destroy(g);
  hpgs_image_destroy(nullptr);
}

TEST(HpgsImage, GrayImagePaintsLuminanceAndKeepsLoadedPixels) {
  hpgs_png_image *g = hpgs_new_png_image(4, 1, 8, HPGS_FALSE, HPGS_FALSE);
  unsigned char *data;
  int stride;
  hpgs_image_get_data(g, &data, &stride);
  data[0] = 10;
  data[3] = 200;
  hpgs_bbox bb{0, 0, 4, 1};
  hpgs_paint_device *p = hpgs_new_paint_device(g, "", &bb, HPGS_FALSE);
  ASSERT_NE(p, nullptr);
  hpgs_device *d = reinterpret_cast<hpgs_device *>(p);
  hpgs_color green{0, 1, 0};
  hpgs_setrgbcolor(d, &green);
  rect(d, 1, 0, 2, 1);
  ASSERT_EQ(hpgs_image_get_data(g, &data, &stride), 0);
  EXPECT_EQ(data[0], 10);
  EXPECT_EQ(data[1], 150);  // 0.587 × 255
  EXPECT_EQ(data[2], 255);
  EXPECT_EQ(data[3], 200);
  // Drawing goes on after the pixels were looked at.
  rect(d, 2, 0, 3, 1);
  ASSERT_EQ(hpgs_image_get_data(g, &data, &stride), 0);
  EXPECT_EQ(data[2], 150);
  EXPECT_EQ(data[0], 10);
  hpgs_device_destroy(d);
}

TEST(HpgsImage, PngCarriesTheResolutionAndPagesGetNumberedNames) {
  std::string file = temp_path("pages.png");
  std::string file2 = temp_path("pages_2.png");
  {
    hpgs_png_image *img = hpgs_new_png_image(150, 75, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_bbox bb{0, 0, 72, 36};  // 1 x 0.5 inch: 150 dpi
    hpgs_paint_device *p = hpgs_new_paint_device(img, file.c_str(), &bb, HPGS_TRUE);
    ASSERT_NE(p, nullptr);
    hpgs_device *d = reinterpret_cast<hpgs_device *>(p);
    hpgs_setlinewidth(d, 2.0);
    line(d, 0, 18, 72, 18);
    ASSERT_EQ(hpgs_showpage(d, 1), 0);
    line(d, 36, 0, 36, 36);
    ASSERT_EQ(hpgs_showpage(d, 2), 0);
    hpgs_device_destroy(d);
  }
  Png a, b;
  ASSERT_TRUE(read_png(file, a));
  ASSERT_TRUE(read_png(file2, b));
  EXPECT_EQ(a.width, 150);
  EXPECT_EQ(a.height, 75);
  EXPECT_EQ(a.channels, 3);
  ASSERT_TRUE(a.has_phys);
  EXPECT_EQ(a.ppm_x, 5906u);  // 150 / 0.0254
  EXPECT_EQ(a.ppm_y, 5906u);
  // Page one has the horizontal line only; page two starts from white.
  EXPECT_EQ(a.at(10, 37), 0);
  EXPECT_EQ(a.at(75, 10), 255);
  EXPECT_EQ(b.at(10, 37), 255);
  EXPECT_EQ(b.at(75, 10), 0);
  std::remove(file.c_str());
  std::remove(file2.c_str());
}

TEST(HpgsImage, UnwritableFileIsAClearError) {
  hpgs_png_image *img = hpgs_new_png_image(4, 4, 24, HPGS_FALSE, HPGS_FALSE);
  hpgs_bbox bb{0, 0, 4, 4};
  hpgs_paint_device *p = hpgs_new_paint_device(img, "/nonexistent-dir/x.png", &bb, HPGS_TRUE);
  ASSERT_NE(p, nullptr);
  hpgs_device *d = reinterpret_cast<hpgs_device *>(p);
  EXPECT_EQ(hpgs_showpage(d, 0), -1);
  EXPECT_NE(std::string(hpgs_get_error()).find("/nonexistent-dir/x.png"), std::string::npos);
  hpgs_device_destroy(d);
  // An empty page box is refused and the image released with the failure.
  hpgs_png_image *img2 = hpgs_new_png_image(4, 4, 24, HPGS_FALSE, HPGS_FALSE);
  hpgs_bbox empty{0, 0, 0, 4};
  EXPECT_EQ(hpgs_new_paint_device(img2, "", &empty, HPGS_TRUE), nullptr);
  EXPECT_EQ(hpgs_new_paint_device(nullptr, "", &bb, HPGS_TRUE), nullptr);
}

TEST(HpgsPaint, PageNumbersFromTheReaderNameTheFiles) {
  std::string file = temp_path("multi.png");
  hpgs_png_image *img = hpgs_new_png_image(50, 50, 24, HPGS_FALSE, HPGS_TRUE);
  hpgs_bbox bb{0, 0, 200, 200};
  hpgs_paint_device *p = hpgs_new_paint_device(img, file.c_str(), &bb, HPGS_TRUE);
  ReaderPtr r(hpgs_new_reader(mem("IN;SP1;PU100,100;PD2000,2000;PG;SP1;PU100,2000;PD2000,100;PG;"),
                              reinterpret_cast<hpgs_device *>(p), HPGS_TRUE, 0));
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
  Png a, b;
  ASSERT_TRUE(read_png(file, a));
  ASSERT_TRUE(read_png(temp_path("multi_2.png"), b));
  std::remove(file.c_str());
  std::remove(temp_path("multi_2.png").c_str());
}

}  // namespace

namespace {

TEST(HpgsPaintRobustness, ExtremeGeometryIsBoundedAndHarmless) {
  Canvas c(20, 20, true);
  hpgs_device *d = c.dev();
  // A line far beyond cairo's fixed-point range still crosses the image.
  hpgs_setlinewidth(d, 2.0);
  line(d, -1e12, 10.0, 1e12, 10.0);
  EXPECT_LT(c.px(10, 9), 128);
  // A huge width covers everything without trouble; NaN widths are thin.
  Canvas big(8, 8, false);
  hpgs_setlinewidth(big.dev(), 1e12);
  hpgs_setlinecap(big.dev(), hpgs_cap_round);
  line(big.dev(), 0, 0, 1, 1);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(big.px(x, y), 0);
  Canvas n(8, 8, false);
  hpgs_setlinewidth(n.dev(), std::nan(""));
  line(n.dev(), 0, 4.5, 8, 4.5);
  EXPECT_EQ(n.px(4, 3), 0);
  // A dash pattern far below a pixel is drawn solid rather than dash by dash.
  Canvas t(8, 8, false);
  float tiny[2] = {1e-7f, 1e-7f};
  hpgs_setdash(t.dev(), tiny, 2, 0.0);
  line(t.dev(), 0, 4.5, 8, 4.5);
  for (int x = 0; x < 8; ++x) EXPECT_EQ(t.px(x, 3), 0);
  // An image squeezed to a point draws nothing.
  unsigned char px[3] = {0, 0, 0};
  hpgs_image im{1, 1, 24, 3, px};
  hpgs_point p{3, 3};
  Canvas e(8, 8, false);
  EXPECT_EQ(hpgs_drawimage(e.dev(), &im, &p, &p, &p), 0);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(e.px(x, y), 255);
}

TEST(HpgsPaintRobustness, AnInterruptedReadStopsPainting) {
  std::string text = "IN;SP1;PA0,0;PD";
  for (int i = 0; i < 200000; ++i) text += std::to_string(i % 1000) + "," + std::to_string((i * 7) % 1000) + ",";
  text += "0,0;";
  hpgs_png_image *img = hpgs_new_png_image(100, 100, 24, HPGS_FALSE, HPGS_TRUE);
  hpgs_bbox bb{0, 0, 100, 100};
  hpgs_paint_device *p = hpgs_new_paint_device(img, "", &bb, HPGS_TRUE);
  ReaderPtr r(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
  hpgs_reader_interrupt(r.get());
  EXPECT_EQ(hpgs_read(r.get(), HPGS_TRUE), -1);
  EXPECT_STREQ(hpgs_get_error(), "Interrupted.");
}

}  // namespace

namespace {

// The centre pixel of a 10 x 10 image of one inch square, painted from
// text with raster operations on and without anti-aliasing.
struct CentrePixel {
  unsigned char rgb[3] = {0, 0, 0};
  int rc = -1;
  explicit CentrePixel(const std::string &text) {
    hpgs_png_image *img = hpgs_new_png_image(10, 10, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_bbox bb{0, 0, 72, 72};
    hpgs_paint_device *p = hpgs_new_paint_device(img, "", &bb, HPGS_FALSE);
    ReaderPtr r(hpgs_new_reader(mem(text), reinterpret_cast<hpgs_device *>(p), HPGS_FALSE, 0));
    rc = hpgs_read(r.get(), HPGS_TRUE);
    if (rc == 0) rc = hpgs_image_get_pixel(img, 5, 5, rgb, nullptr);
  }
};

// The escapes the annotation writer puts between frames: the ROP governs
// later vectors (MC shares its state), source transparency (ESC*v#N)
// governs raster images only, vectors follow TR.
TEST(HpgsPaintEscapes, AnnotationWriterEscapesAffectLaterVectorsByTheirRop) {
  const std::string esc = "\x1b%1A\x1b*v1N\x1b*v1O\x1b*l168O\x1b%1B";
  // Grey background, then a red box drawn after the escapes: merged (AND).
  std::string text = "IN;PC1,128,128,128;SP1;TR0;PA0,0;RA1016,1016;" + esc + "PC2,255,0,0;SP2;PA0,0;RA1016,1016;";
  CentrePixel merged(text);
  ASSERT_EQ(merged.rc, 0) << hpgs_get_error();
  EXPECT_EQ(merged.rgb[0], 128);  // 128 & 255
  EXPECT_EQ(merged.rgb[1], 0);    // 128 & 0
  // MC0 restores plain copies.
  CentrePixel copied(text + "MC0;PC3,0,0,255;SP3;PA0,0;RA1016,1016;");
  ASSERT_EQ(copied.rc, 0) << hpgs_get_error();
  EXPECT_EQ(copied.rgb[0], 0);
  EXPECT_EQ(copied.rgb[2], 255);
}

TEST(HpgsPaintEscapes, WhitePenIsTransparentUnderTr1AndOpaqueUnderTr0) {
  for (int tr : {0, 1}) {
    CentrePixel c("IN;SP1;PA0,0;RA1016,1016;TR" + std::to_string(tr) + ";SP0;PA0,0;RA1016,1016;");
    ASSERT_EQ(c.rc, 0) << hpgs_get_error();
    EXPECT_EQ(c.rgb[0], tr ? 0 : 255) << "TR" << tr;
  }
}

}  // namespace
