// Helpers for the painting tests: images, pixels and PNG files.
#ifndef HPGS_TEST_PAINT_HELPERS_H
#define HPGS_TEST_PAINT_HELPERS_H

#include "helpers.h"

#include <png.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace hpgs_test {

// A paint device on a fresh w x h image whose page box is (0,0,w,h) points
// scaled by 72/dpi, i.e. one pixel = 72/dpi points.
struct Canvas {
  hpgs::UniquePaintDevice paint;
  hpgs_png_image *img = nullptr;  // the device's
  hpgs_device *dev() const { return hpgs::as_device(paint.get()); }
  Canvas(int w, int h, bool aa, bool rop = true, double dpi = 72.0, const char *file = "") {
    img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, rop ? HPGS_TRUE : HPGS_FALSE);
    hpgs_bbox bb{0, 0, w * 72.0 / dpi, h * 72.0 / dpi};
    paint.reset(hpgs_new_paint_device(img, file, &bb, aa ? HPGS_TRUE : HPGS_FALSE));
  }
  // Red channel of pixel (x, y), y from the top.
  int px(int x, int y) const {
    unsigned char rgb[3];
    if (hpgs_image_get_pixel(img, x, y, rgb, nullptr) != 0) return -1;
    return rgb[0];
  }
  void rgb(int x, int y, unsigned char out[3]) const { hpgs_image_get_pixel(img, x, y, out, nullptr); }
};

// A decoded PNG file.
struct Png {
  int width = 0, height = 0, channels = 0;
  bool has_phys = false;
  png_uint_32 ppm_x = 0, ppm_y = 0;
  std::vector<unsigned char> pixels;  // rows of width × channels bytes
  int at(int x, int y, int c = 0) const { return pixels[(static_cast<size_t>(y) * width + x) * channels + c]; }
};

inline bool read_png(const std::string &path, Png &out) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  png_set_strip_16(png);
  png_set_strip_alpha(png);
  png_set_palette_to_rgb(png);
  png_set_expand_gray_1_2_4_to_8(png);
  png_read_update_info(png, info);
  out.width = static_cast<int>(png_get_image_width(png, info));
  out.height = static_cast<int>(png_get_image_height(png, info));
  out.channels = png_get_channels(png, info);
  int unit = 0;
  out.has_phys = png_get_pHYs(png, info, &out.ppm_x, &out.ppm_y, &unit) != 0 && unit == PNG_RESOLUTION_METER;
  size_t rb = png_get_rowbytes(png, info);
  out.pixels.resize(rb * out.height);
  std::vector<png_bytep> rows(out.height);
  for (int y = 0; y < out.height; ++y) rows[y] = out.pixels.data() + rb * y;
  png_read_image(png, rows.data());
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

inline std::string temp_path(const std::string &name) {
  const char *t = std::getenv("TMPDIR");
  return std::string(t && *t ? t : "/tmp") + "/hpgs_paint_" + std::to_string(::getpid()) + "_" + name;
}

// Renders a file the way the daemon does: plot-size pass, page fitted to
// the drawing, second read into a paint device writing `out` (RGB).
struct TwoPassOptions {
  double dpi = 150;
  bool aa = true;
  double angle = 0;
  const char *stamp = nullptr;
  double thin_alpha = -1;  // < 0: the device's default
};

inline int render_two_pass(const std::string &in, const std::string &out, const TwoPassOptions &o) {
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_istream *is = hpgs_new_file_istream(in.c_str());
  if (!is) return -1;
  ReaderPtr r(hpgs_new_reader(is, ps, HPGS_FALSE, 0));
  hpgs_bbox box;
  if (hpgs_read(r.get(), HPGS_TRUE) < 0 || hpgs_getplotsize(ps, 1, &box) < 0) return -1;
  if (hpgs_reader_set_dynamic_page(r.get(), &box, 72000, 72000, 0, o.angle) < 0) return -1;
  int w = static_cast<int>(std::floor((box.urx - box.llx) * o.dpi / 72 + 0.5));
  int h = static_cast<int>(std::floor((box.ury - box.lly) * o.dpi / 72 + 0.5));
  hpgs_png_image *img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
  if (!img) return -1;
  hpgs::UniquePaintDevice p(hpgs_new_paint_device(img, out.c_str(), &box, o.aa ? HPGS_TRUE : HPGS_FALSE));
  if (!p) return -1;
  if (o.thin_alpha >= 0) hpgs_paint_device_set_thin_alpha(p.get(), o.thin_alpha);
  if (hpgs_reader_imbue(r.get(), hpgs::as_device(p.release())) < 0) return -1;
  if (o.stamp && hpgs_reader_stamp(r.get(), &box, o.stamp, "utf-8", 500) < 0) return -1;
  return hpgs_read(r.get(), HPGS_TRUE);
}

}  // namespace hpgs_test

#endif
