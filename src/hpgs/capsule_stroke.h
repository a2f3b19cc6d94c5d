// Stroking of round-capped, round-joined, undashed polylines without
// cairo's stroker. Such a stroke is exactly the union of its segments'
// capsules (the points within half the line width of a segment), and a
// horizontal line meets a capsule in one interval, found analytically.
// The paint device hands its straight segments (pixel coordinates) to a
// CapsuleStroker when the clip is a set of whole-pixel rectangles and the
// mark is a plain copy; everything else goes to cairo.
#ifndef HPGS_CAPSULE_STROKE_H
#define HPGS_CAPSULE_STROKE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hpgs {

// Where a stroke lands: rows y0 ... y0 + rows - 1 of an image `width`
// pixels wide in cairo's 32-bit layout (0xffRRGGBB words), `stride` bytes
// apart, `pix` pointing at row y0; marks stay inside the clip rectangles
// (whole pixels, x0 <= x < x1, y0 <= y < y1, in image coordinates).
struct CapsuleTarget {
  unsigned char *pix = nullptr;
  int stride = 0;
  int y0 = 0, rows = 0, width = 0;
  struct Rect {
    int x0, y0, x1, y1;
  };
  const Rect *clip = nullptr;
  size_t nclip = 0;
};

class CapsuleStroker {
 public:
  void clear() { segs_.clear(); }
  // A segment from (ax, ay) to (bx, by); equal ends give a dot.
  void add(double ax, double ay, double bx, double by);
  bool empty() const { return segs_.empty(); }
  // Without anti-aliasing: every pixel whose centre lies within r of a
  // segment takes `rgb` (0xRRGGBB).
  void paint_solid(const CapsuleTarget &t, double r, uint32_t rgb);
  // With anti-aliasing: coverage from 4 x 4 samples per pixel, a sample
  // counting when it lies within r of any segment of the stroke (so the
  // joins of a polyline are not inked twice); `rgb` is blended over the
  // pixel by that coverage (17 levels).
  void paint_aa(const CapsuleTarget &t, double r, uint32_t rgb);

 private:
  struct Seg {
    double ax, ay, bx, by;
    double ux, uy, len;  // unit direction and length (0 for a dot)
    double ylo, yhi;     // rows reached: min/max y of the ends -+ r
  };
  // The interval of x whose points (x, y) lie within r of segment s, if any.
  static bool span(const Seg &s, double y, double r, double &xl, double &xr);
  void prepare(double r);

  std::vector<Seg> segs_;
  // Anti-aliasing: sample masks (bit 4 j + k: sample column k of sample
  // row j) of a strip of rows, and the masks made non-zero.
  std::vector<uint16_t> masks_;
  std::vector<uint32_t> touched_;
};

// Pen colour component (0 ... 1) as the 8-bit value cairo paints.
inline unsigned cairo_colour_byte(double v) {
  v = v < 0 ? 0 : v > 1 ? 1 : v;
  return static_cast<unsigned>(v * 65535.0 + 0.5) >> 8;
}

}  // namespace hpgs

#endif
