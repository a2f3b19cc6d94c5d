// Indexed PNG output: a page with few colours written with the palette
// option decodes to exactly the pixels of the gray or RGB file, in the
// fewest bits per index; more than 256 colours fall back to gray or RGB.
#include "paint_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace hpgs_test;

namespace {

struct Header {
  int bit_depth = 0, colour_type = -1;
};

Header header_of(const std::string &path) {
  Header h;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return h;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (!setjmp(png_jmpbuf(png))) {
    png_init_io(png, f);
    png_read_info(png, info);
    h.bit_depth = png_get_bit_depth(png, info);
    h.colour_type = png_get_color_type(png, info);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return h;
}

// Paints `colours` one-pixel columns of distinct colours (cycling over the
// width) on a w x h page and writes it to `file`.
void paint_columns(const std::string &file, int w, int h, int depth, bool palette, int colours) {
  hpgs_png_image *img = hpgs_new_png_image(w, h, depth, palette ? HPGS_TRUE : HPGS_FALSE, HPGS_TRUE);
  ASSERT_NE(img, nullptr);
  hpgs_bbox bb{0, 0, static_cast<double>(w), static_cast<double>(h)};  // 72 dpi
  hpgs_paint_device *p = hpgs_new_paint_device(img, file.c_str(), &bb, HPGS_FALSE);
  ASSERT_NE(p, nullptr);
  hpgs_device *d = reinterpret_cast<hpgs_device *>(p);
  for (int x = 1; x < w; x += 2) {
    const int i = (x / 2) % colours;
    // Distinct in RGB and, for up to 256, in gray as well.
    hpgs_color c{i / 255.0, ((i * 7) % 256) / 255.0, (i > 255 ? i - 256 : 0) / 255.0};
    hpgs_setrgbcolor(d, &c);
    hpgs_point q[4] = {{double(x), 1}, {x + 1.0, 1}, {x + 1.0, h - 1.0}, {double(x), h - 1.0}};
    hpgs_moveto(d, &q[0]);
    for (int k = 1; k < 4; ++k) hpgs_lineto(d, &q[k]);
    hpgs_closepath(d);
    ASSERT_EQ(hpgs_fill(d, HPGS_FALSE), 0);
  }
  ASSERT_EQ(hpgs_showpage(d, 1), 0) << hpgs_get_error();
  hpgs_device_destroy(d);
}

struct Case {
  int colours, width, depth, bits;  // bits 0: not indexed
};

void check(const Case &c, const char *what) {
  SCOPED_TRACE(std::string(what) + ": " + std::to_string(c.colours) + " colours, width " +
               std::to_string(c.width) + ", depth " + std::to_string(c.depth));
  const std::string plain = temp_path("plain.png"), indexed = temp_path("indexed.png");
  paint_columns(plain, c.width, 9, c.depth, false, c.colours);
  paint_columns(indexed, c.width, 9, c.depth, true, c.colours);
  const Header h = header_of(indexed);
  if (c.bits) {
    EXPECT_EQ(h.colour_type, PNG_COLOR_TYPE_PALETTE);
    EXPECT_EQ(h.bit_depth, c.bits);
  } else {
    EXPECT_EQ(h.colour_type, c.depth == 8 ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB);
  }
  Png a, b;
  ASSERT_TRUE(read_png(plain, a));
  ASSERT_TRUE(read_png(indexed, b));
  EXPECT_TRUE(b.has_phys);
  ASSERT_EQ(a.width, b.width);
  ASSERT_EQ(a.height, b.height);
  // Gray pages expand to gray palettes: compare the first channel there.
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      for (int ch = 0; ch < (c.depth == 8 ? 1 : 3); ++ch)
        ASSERT_EQ(a.at(x, y, a.channels == 1 ? 0 : ch), b.at(x, y, ch)) << "pixel " << x << "," << y;
  std::remove(plain.c_str());
  std::remove(indexed.c_str());
}

// White plus colours-1 inks; widths that end inside a byte of indices.
const Case kCases[] = {
    {1, 13, 24, 1},   {3, 13, 24, 2},   {4, 37, 24, 4},    {15, 37, 24, 4},  {200, 601, 24, 8},
    {255, 601, 24, 8}, {256, 601, 24, 0}, {300, 701, 24, 0}, {3, 13, 8, 2},    {100, 301, 8, 8},
};

TEST(HpgsPngOutput, IndexedFilesDecodeToTheSamePixelsInTheFewestBits) {
  for (const Case &c : kCases) check(c, "in place");
}

TEST(HpgsPngOutput, BandedPagesAreIndexedAlike) {
  const char *old = std::getenv("HPGS_BAND_LIMIT");
  const std::string saved = old ? old : "";
  setenv("HPGS_BAND_LIMIT", "4096", 1);  // a few rows per band
  for (const Case &c : kCases) check(c, "banded");
  if (old) setenv("HPGS_BAND_LIMIT", saved.c_str(), 1);
  else unsetenv("HPGS_BAND_LIMIT");
}

}  // namespace
