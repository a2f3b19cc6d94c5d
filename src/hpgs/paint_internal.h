// Internal view of PNG images for the paint device.
//
// A small image keeps its pixels in one block with a row stride of 4 ×
// width bytes. The block is in one of two layouts:
//   packed  rows of width × depth/8 bytes (R, G, B or gray) at the start of
//           each row: the layout hpgs_image_get_data hands out;
//   native  one 32-bit word per pixel, 0xffRRGGBB in host byte order: the
//           layout cairo paints into (CAIRO_FORMAT_RGB24), gray included.
// Both conversions run in place, row by row, so painting needs no second
// copy of the raster. White is all 0xff bytes in both layouts.
//
// An image whose 32-bit raster would exceed the band limit (128 MiB, or
// HPGS_BAND_LIMIT bytes from the environment, read when the image is made)
// is banded: it stays packed (stride width × depth/8) and the paint device
// paints its pages band by band into a small 32-bit surface.
#ifndef HPGS_PAINT_INTERNAL_H
#define HPGS_PAINT_INTERNAL_H

#include "hpgs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct hpgs_png_image_st {
  int width = 0, height = 0;
  int depth = 24;          // 8 or 24
  bool palette = false;
  bool do_rop3 = false;
  int stride = 0;          // 4 × width
  unsigned char *data = nullptr;
  bool native = false;
  bool banded = false;     // packed for good; painted band by band
  // The pixels were handed out (hpgs_image_get_data); until then they are
  // all white, which both layouts spell the same.
  bool exposed = false;
  double xres = 72.0, yres = 72.0;  // dots per inch, written as pHYs
};

namespace hpgs {

// A repeating raster pattern for the paint device: width x height pixels,
// rows from the top, each 0xAARRGGBB with alpha 0 (leave the page as it
// is) or 255; to_dev maps pattern space (x right, y down, one unit per
// pattern pixel) to device points.
struct PaintPattern {
  int width = 0, height = 0;
  std::vector<uint32_t> argb;
  hpgs_matrix to_dev{0, 0, 1, 0, 0, 1};
};

// The pattern's cells as the public view of it (pointing into pat).
inline hpgs_pattern public_pattern(const PaintPattern &pat) {
  return hpgs_pattern{pat.width, pat.height, pat.argb.data(), pat.to_dev};
}
// The mean colour of the cells, clear cells counted white: what devices
// without raster patterns paint instead (fills.cpp).
hpgs_color pattern_mean_color(const uint32_t *argb, size_t n);

// True for devices made by hpgs_new_paint_device and for recording
// devices (which keep the pattern for a later paint device).
bool is_paint_device(hpgs_device *dev);
// The recording device's part of the two (recording_device.cpp).
bool is_recording_device(hpgs_device *dev);
int recording_device_pattern(hpgs_device *dev, const PaintPattern &pat, bool stroke, bool winding);
// Strokes or fills the current path with the pattern instead of the
// colour, under the device's raster operation.
int paint_device_pattern(hpgs_device *dev, const PaintPattern &pat, bool stroke, bool winding);

constexpr size_t kDefaultBandLimit = size_t{128} << 20;
// Largest band surface (bytes) of a banded page.
constexpr size_t kBandSurfaceBytes = size_t{16} << 20;
// Images with more 32-bit raster bytes than this are banded.
size_t band_limit();

// Rows y0 ... y0 + n - 1 of a packed image to or from cairo's 32-bit
// layout in dst/src (row stride in bytes).
void packed_rows_to_native(const hpgs_png_image *img, int y0, int n, unsigned char *dst, int dstride);
void native_rows_to_packed(hpgs_png_image *img, int y0, int n, const unsigned char *src, int sstride);

void image_to_native(hpgs_png_image *img);
void image_to_packed(hpgs_png_image *img);
// Round-capped, round-joined solid strokes are painted by the capsule
// rasteriser (capsule_stroke.h) where it applies; with this set, cairo
// strokes them as it does every other stroke. Read from HPGS_CAIRO_STROKES
// (non-empty and not "0": cairo) on first use; the tests compare the two.
void set_cairo_strokes(bool on);
bool cairo_strokes();
// Strokes the capsule rasteriser has painted in this process.
unsigned long capsule_stroke_count();

// Writes the image as PNG (8-bit gray or 24-bit RGB with pHYs).
int image_write_png(hpgs_png_image *img, const char *filename);
// File name of page `page` (1-based) of an output named `base`.
std::string page_file_name(const std::string &base, int page);

}  // namespace hpgs

#endif
