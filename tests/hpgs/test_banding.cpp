// Banded painting (packed images above the band limit, painted band by
// band at showpage) gives the pixels of painting in place: raster
// operations, nested clips, images, thin lines, dashes, both anti-alias
// settings, gray and RGB, state carried over to a second page.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace hpgs_test;

namespace {

// Images made while it lives are banded with bands of `rows` rows of a
// `width`-pixel image (the limit is read when an image is made); rows 0:
// never banded. The earlier setting comes back afterwards.
struct ForceBanding {
  ForceBanding(int width, int rows) {
    if (const char *e = std::getenv("HPGS_BAND_LIMIT")) saved = e, had = true;
    setenv("HPGS_BAND_LIMIT", rows > 0 ? std::to_string(4 * width * rows).c_str() : "1000000000000", 1);
  }
  ~ForceBanding() {
    if (had) setenv("HPGS_BAND_LIMIT", saved.c_str(), 1);
    else unsetenv("HPGS_BAND_LIMIT");
  }
  std::string saved;
  bool had = false;
};

struct Pixels {
  int width = 0, height = 0, stride = 0;
  std::vector<unsigned char> rgb;  // packed RGB rows
};

Pixels pixels_of(hpgs_png_image *img, int w, int h) {
  Pixels p;
  p.width = w, p.height = h;
  unsigned char *data = nullptr;
  hpgs_image_get_data(img, &data, &p.stride);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      unsigned char c[3];
      hpgs_image_get_pixel(img, x, y, c, nullptr);
      p.rgb.insert(p.rgb.end(), c, c + 3);
    }
  return p;
}

// Pixels whose channels differ by more than `delta`; the first ten are
// listed in `where` (x,y and both colours).
long differing(const Pixels &a, const Pixels &b, std::string *where = nullptr, int delta = 0) {
  long n = 0;
  for (size_t i = 0; i < a.rgb.size(); i += 3) {
    int d = 0;
    for (int c = 0; c < 3; ++c) d = std::max(d, std::abs(a.rgb[i + c] - b.rgb[i + c]));
    if (d <= delta) continue;
    if (where && n < 10)
      *where += std::to_string(i / 3 % a.width) + "," + std::to_string(i / 3 / a.width) + " (" +
                std::to_string(a.rgb[i]) + " " + std::to_string(a.rgb[i + 1]) + " " + std::to_string(a.rgb[i + 2]) +
                " / " + std::to_string(b.rgb[i]) + " " + std::to_string(b.rgb[i + 1]) + " " +
                std::to_string(b.rgb[i + 2]) + ") ";
    ++n;
  }
  return n;
}

void path(hpgs_device *d, std::initializer_list<hpgs_point> pts, bool close = false) {
  bool first = true;
  for (const hpgs_point &p : pts) {
    if (first) hpgs_moveto(d, &p);
    else hpgs_lineto(d, &p);
    first = false;
  }
  if (close) hpgs_closepath(d);
}

void color(hpgs_device *d, double r, double g, double b) {
  hpgs_color c{r, g, b};
  hpgs_setrgbcolor(d, &c);
}

// A page of everything whose pixels depend on more than one mark, most
// crossing band seams. Device points = pixels (72 dpi); y upwards.
void scene(hpgs_device *d, int page) {
  const double W = 300, H = 200;
  // Background fill and a wide miter-joined polyline.
  color(d, 0.9, 0.8, 0.2);
  path(d, {{10, 10}, {290, 10}, {290, 190}, {10, 190}}, true);
  hpgs_fill(d, HPGS_TRUE);
  color(d, 0, 0, 0.5);
  hpgs_setlinewidth(d, 7);
  hpgs_setlinejoin(d, hpgs_join_miter);
  hpgs_setmiterlimit(d, 8);
  path(d, {{20, 30}, {150, 180}, {160, 25}, {280, 170}});
  hpgs_stroke(d);
  // XOR strokes over it, wide and hairline.
  hpgs_setrop3(d, 102, HPGS_FALSE, HPGS_FALSE);
  color(d, 1, 0.3, 0.6);
  hpgs_setlinewidth(d, 5);
  hpgs_setlinecap(d, hpgs_cap_round);
  path(d, {{5, H - 5}, {W - 5, 5}});
  hpgs_stroke(d);
  hpgs_setlinewidth(d, 0);
  for (int i = 0; i < 12; ++i) {
    path(d, {{13.0 + 23 * i, 3}, {40.0 + 21 * i, H - 4.5}});
    hpgs_stroke(d);
  }
  // Darken (168) under source transparency: white marks vanish.
  hpgs_setrop3(d, 168, HPGS_TRUE, HPGS_TRUE);
  color(d, 1, 1, 1);
  path(d, {{0, 0}, {W, H}});
  hpgs_stroke(d);
  color(d, 0.2, 0.9, 0.9);
  path(d, {{60, 60}, {240, 60}, {240, 140}, {60, 140}}, true);
  hpgs_fill(d, HPGS_FALSE);
  hpgs_setrop3(d, 252, HPGS_TRUE, HPGS_TRUE);
  // Nested clips: a diamond, then a band across it; restored in turn.
  hpgs_clipsave(d);
  path(d, {{150, 5}, {295, 100}, {150, 195}, {5, 100}}, true);
  hpgs_clip(d, HPGS_FALSE);
  color(d, 0, 0.6, 0);
  hpgs_setlinewidth(d, 3);
  float dash[] = {9, 4, 0.3f, 4};
  hpgs_setdash(d, dash, 4, 2);
  for (int i = 0; i < 10; ++i) {
    path(d, {{0, 10.0 + 19 * i}, {W, 15.0 + 17 * i}});
    hpgs_stroke(d);
  }
  hpgs_setdash(d, nullptr, 0, 0);
  hpgs_clipsave(d);
  path(d, {{0, 70}, {W, 70}, {W, 118}, {0, 118}}, true);
  hpgs_clip(d, HPGS_TRUE);
  color(d, 0.5, 0, 0.5);
  path(d, {{0, 0}, {W, 0}, {W, H}, {0, H}}, true);
  hpgs_fill(d, HPGS_TRUE);
  hpgs_cliprestore(d);
  color(d, 0.1, 0.1, 0.1);
  path(d, {{30, 100}, {270, 104}});
  hpgs_stroke(d);
  hpgs_cliprestore(d);
  // Images: turned and smoothed; then through a raster operation with
  // white kept out.
  std::vector<unsigned char> px(24 * 16 * 3);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 24; ++x) {
      unsigned char *p = &px[(y * 24 + x) * 3];
      bool white = (x + y) % 5 == 0;
      p[0] = white ? 255 : static_cast<unsigned char>(x * 10);
      p[1] = white ? 255 : static_cast<unsigned char>(y * 15);
      p[2] = white ? 255 : static_cast<unsigned char>(128 + page * 40);
    }
  hpgs_image img{24, 16, 24, 24 * 3, px.data()};
  const double a = 0.5;
  hpgs_point ll{100, 20}, lr{100 + 120 * std::cos(a), 20 + 120 * std::sin(a)};
  hpgs_point ur{lr.x - 80 * std::sin(a), lr.y + 80 * std::cos(a)};
  hpgs_drawimage(d, &img, &ll, &lr, &ur);
  hpgs_setrop3(d, 238, HPGS_TRUE, HPGS_FALSE);
  hpgs_point ll2{20, 120}, lr2{92, 120}, ur2{92, 168};
  hpgs_drawimage(d, &img, &ll2, &lr2, &ur2);
  hpgs_setrop3(d, 252, HPGS_TRUE, HPGS_TRUE);
  // A curve and a path drawn wholly outside the page.
  color(d, 0.7, 0.1, 0.1);
  hpgs_setlinewidth(d, 2.5);
  hpgs_point c0{10, 190}, c1{100, -50}, c2{200, 260}, c3{290, 40};
  hpgs_moveto(d, &c0);
  hpgs_curveto(d, &c1, &c2, &c3);
  hpgs_stroke(d);
  path(d, {{-100, -100}, {-50, -80}});
  hpgs_stroke(d);
}

// Renders two pages of the scene; the second keeps the first page's last
// state (colour, width) for an extra mark before its own scene.
std::vector<Pixels> render_scene(bool banded, bool aa, int depth, double thin) {
  const int w = 300, h = 200;
  ForceBanding force(w, banded ? 13 : 0);
  hpgs_png_image *img = hpgs_new_png_image(w, h, depth, HPGS_FALSE, HPGS_TRUE);
  hpgs_bbox bb{0, 0, double(w), double(h)};
  hpgs_paint_device *pd = hpgs_new_paint_device(img, "", &bb, aa ? HPGS_TRUE : HPGS_FALSE);
  hpgs_paint_device_set_thin_alpha(pd, thin);
  hpgs_device *d = reinterpret_cast<hpgs_device *>(pd);
  std::vector<Pixels> out;
  scene(d, 1);
  EXPECT_EQ(hpgs_showpage(d, 1), 0) << hpgs_get_error();
  out.push_back(pixels_of(img, w, h));
  path(d, {{0, 0}, {300, 200}});
  hpgs_stroke(d);
  scene(d, 2);
  EXPECT_EQ(hpgs_showpage(d, 2), 0) << hpgs_get_error();
  out.push_back(pixels_of(img, w, h));
  hpgs_device_destroy(d);
  return out;
}

TEST(HpgsBanding, ScenePixelsMatchPaintingInPlace) {
  for (int depth : {24, 8})
    for (bool aa : {true, false})
      for (double thin : {0.5, 1.0}) {
        std::vector<Pixels> direct = render_scene(false, aa, depth, thin);
        std::vector<Pixels> banded = render_scene(true, aa, depth, thin);
        ASSERT_EQ(direct.size(), 2u);
        ASSERT_EQ(banded.size(), 2u);
        // The layouts show that both ways were taken.
        EXPECT_EQ(direct[0].stride, 4 * 300);
        EXPECT_EQ(banded[0].stride, 300 * depth / 8);
        for (int page = 0; page < 2; ++page) {
          // Vectors, clips and raster operations match exactly. A turned
          // image is sampled through pixman's fixed-point matrix, whose
          // translation differs per band, so a sample lying on the edge
          // between two source pixels may pick the other one: at most one
          // pixel in 10000.
          std::string where;
          EXPECT_LE(differing(direct[page], banded[page], &where), 300 * 200 / 10000)
              << "depth " << depth << " aa " << aa << " thin " << thin << " page " << page + 1 << ": " << where;
        }
        // The scene is not blank, and the pages differ (state and image).
        EXPECT_GT(differing(direct[0], direct[1]), 100);
      }
}

// A picture already in the image is painted over in both ways.
TEST(HpgsBanding, StartsFromThePixelsAlreadyThere) {
  Pixels result[2];
  for (int banded = 0; banded < 2; ++banded) {
    ForceBanding force(40, banded ? 7 : 0);
    hpgs_png_image *img = hpgs_new_png_image(40, 30, 24, HPGS_FALSE, HPGS_FALSE);
    unsigned char *data;
    int stride;
    ASSERT_EQ(hpgs_image_get_data(img, &data, &stride), 0);
    for (int y = 0; y < 30; ++y) data[y * stride + 3 * (y % 40)] = 0;  // a diagonal in cyan
    hpgs_bbox bb{0, 0, 40, 30};
    hpgs_device *d = reinterpret_cast<hpgs_device *>(hpgs_new_paint_device(img, "", &bb, HPGS_TRUE));
    color(d, 0, 0, 0);
    hpgs_setlinewidth(d, 2);
    path(d, {{0, 15}, {40, 15}});
    hpgs_stroke(d);
    ASSERT_EQ(hpgs_showpage(d, 0), 0);
    result[banded] = pixels_of(img, 40, 30);
    unsigned char c[3];
    hpgs_image_get_pixel(img, 3, 3, c, nullptr);
    EXPECT_EQ(c[0], 0) << "banded " << banded;
    EXPECT_EQ(c[1], 255);
    hpgs_device_destroy(d);
  }
  EXPECT_EQ(differing(result[0], result[1]), 0);
}

// Every sample drawing, read into a banded and an in-place paint device.
TEST(HpgsBanding, SampleDrawingsMatchPaintingInPlace) {
  for (const char *name : {"pu_graph_dashed", "pu_pic2plot_states", "pu_plotfont_gothic", "pu_big_harmonograph",
                           "gp_pcl5_response", "gp_pcl5_area", "ps_parts_hpgl2", "fig_ibmgl_bracket_ro90",
                           "syn_pjl_frame", "syn_bezier", "syn_hatch_fill", "syn_rtl_raster", "syn_iso_ro90",
                           "syn_pw_metric_caps", "syn_raster_patterns"}) {
    for (bool aa : {true, false}) {
      Pixels res[2];
      for (int banded = 0; banded < 2; ++banded) {
        hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
        ReaderPtr r(hpgs_new_reader(hpgs_new_file_istream(data_file(std::string(name) + ".hpgl").c_str()), ps,
                                    HPGS_FALSE, 0));
        hpgs_bbox box;
        ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << name;
        ASSERT_EQ(hpgs_getplotsize(ps, 1, &box), 0);
        ASSERT_EQ(hpgs_reader_set_dynamic_page(r.get(), &box, 72000, 72000, 0, 0), 0);
        const int w = static_cast<int>(std::lround((box.urx - box.llx) * 100 / 72));
        const int h = static_cast<int>(std::lround((box.ury - box.lly) * 100 / 72));
        ForceBanding force(w, banded ? 37 : 0);
        hpgs_png_image *img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
        hpgs_paint_device *p = hpgs_new_paint_device(img, "", &box, aa ? HPGS_TRUE : HPGS_FALSE);
        ASSERT_EQ(hpgs_reader_imbue(r.get(), reinterpret_cast<hpgs_device *>(p)), 0);
        ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << name << ": " << hpgs_get_error();
        res[banded] = pixels_of(img, w, h);
        EXPECT_EQ(res[banded].stride, banded ? 3 * w : 4 * w);
      }
      // Without anti-aliasing: exact but for image samples on a knife edge
      // (see above). With it, cairo's fast rasteriser steps a slanted edge
      // from where it enters the surface, so a long edge may cover a pixel
      // by one or two of its 16 levels more or less in a band than on the
      // whole image: small differences on at most 0.1 % of the pixels, and
      // none larger than two levels (2 x 16 of 255, 40 with rounding).
      // Smoothed pattern samples (cells below a pixel) are rounded from a
      // band's own fixed-point matrix: one unit either way is not counted.
      const long px = static_cast<long>(res[0].width) * res[0].height;
      std::string where;
      EXPECT_LE(differing(res[0], res[1], &where, aa ? 1 : 0), aa ? px / 1000 : px / 10000)
          << name << " aa " << aa << ": " << where;
      where.clear();
      EXPECT_LE(differing(res[0], res[1], &where, 40), px / 10000) << name << " aa " << aa << ": " << where;
    }
  }
}

}  // namespace
