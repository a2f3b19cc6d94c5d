// Raster operations (images made with do_rop3): every mark is combined
// with the image per 8-bit channel as a ROP3 on the bits, S and T being
// the pen colour for vectors and, for raster images, S the image pixel and
// T the pattern colour (black unless setpatcol). Source transparency keeps
// the destination where S is white; for raster images pattern transparency
// keeps it where T is white. Anti-aliased edges blend the result with the
// destination by coverage. Without do_rop3 every mark is a plain copy.
#ifndef HPGS_PAINT_ROP_H
#define HPGS_PAINT_ROP_H

#include "paint_device.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace hpgs::paint {

// ROP3 code rop applied to the bits of destination d, source s and
// pattern t.
inline unsigned char rop3_byte(int rop, unsigned d, unsigned s, unsigned t) {
  unsigned r = 0;
  for (int k = 0; k < 8; ++k) {
    if (!((rop >> k) & 1)) continue;
    unsigned m = ((k & 4) ? t : ~t) & ((k & 2) ? s : ~s) & ((k & 1) ? d : ~d);
    r |= m;
  }
  return static_cast<unsigned char>(r & 0xff);
}

// Applies a raster operation to one pixel of cairo's 32-bit layout: D is
// the pixel, S and T per channel; the result covers the pixel by a / 255.
inline void rop_pixel(unsigned char *px, int rop, const unsigned s[3], const unsigned t[3], unsigned a) {
  uint32_t v;
  std::memcpy(&v, px, 4);
  const unsigned d[3] = {(v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff};
  unsigned out[3];
  for (int c = 0; c < 3; ++c) {
    unsigned r = rop3_byte(rop, d[c], std::min(s[c], 255u), t[c]);
    out[c] = (r * a + d[c] * (255 - a) + 127) / 255;
  }
  v = 0xff000000u | (out[0] << 16) | (out[1] << 8) | out[2];
  std::memcpy(px, &v, 4);
}

// Combines the current path, painted opaque into a coverage mask, with the
// image by the raster operation, and ends the path. stroke: paint the path
// as a stroke. source: a pattern giving S pixel by pixel instead of the
// colour (its transparent pixels leave the image alone).
int rop_mark(PaintDevice *p, bool stroke, cairo_pattern_t *source = nullptr);

}  // namespace hpgs::paint

#endif
