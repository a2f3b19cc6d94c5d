// Stroking of undashed polylines without cairo's stroker, with or without
// anti-aliasing. A stroke is the union of convex pieces: with round
// caps and joins exactly the union of its segments' capsules (the points
// within half the line width of a segment); otherwise segment bodies
// (rectangles, longer by half the width at square caps), end discs for
// round caps and join wedges (disc, miter quadrilateral or bevel
// triangle). A horizontal line meets a convex piece in one interval, found
// analytically, and a pixel is lit when its centre lies in a piece (on
// the piece's left or upper edge, not on its right or lower one). With
// anti-aliasing each pixel takes the largest coverage any piece gives it,
// a piece covering by the distance of the pixel's centre inside it (see
// paint_aa): cairo fills a stroke as one polygon, and its scan converter
// took about half of an anti-aliased render of long thin polylines. The
// paint device hands its straight segments (pixel coordinates) to a
// CapsuleStroker when the clip is a set of whole-pixel rectangles and the
// mark is a plain copy; everything else goes to cairo.
#ifndef HPGS_CAPSULE_STROKE_H
#define HPGS_CAPSULE_STROKE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "big_alloc.h"

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

enum class StrokeCap { butt, round, square };
enum class StrokeJoin { miter, round, bevel };

// A stroke as a union of convex pieces: capsules, segment bodies (with
// their square-cap extensions and optional end discs) and join wedges.
class CapsuleStroker {
 public:
  void clear() {
    segs_.clear();
    polys_.clear();
  }
  // A segment from (ax, ay) to (bx, by) with round ends; equal ends give a dot.
  void add(double ax, double ay, double bx, double by) { add_body(ax, ay, bx, by, 0, 0, true, true, false, false); }
  // A polyline of n points (x, y pairs; closed: back to the first point)
  // stroked with half width r: bodies of its segments, the caps of an open
  // one and the joins (a miter becomes a bevel where the miter length
  // exceeds miter_limit times the width). False if it cannot be drawn this
  // way (a single point with square caps): nothing is added then.
  bool add_polyline(const double *xy, size_t n, bool closed, double r, StrokeCap cap, StrokeJoin join,
                    double miter_limit);
  bool empty() const { return segs_.empty() && polys_.empty(); }
  // Without anti-aliasing: every pixel whose centre lies in a piece takes
  // `rgb` (0xRRGGBB).
  void paint_solid(const CapsuleTarget &t, double r, uint32_t rgb);
  // With anti-aliasing: each pixel is covered by the piece that covers it
  // most, a piece covering by 0.5 plus the distance of the pixel's centre
  // inside its outline (clamped to 0 ... 1), so that the coverage falls
  // from 1 to 0 across a band one pixel wide centred on the outline; the
  // pixel then takes `rgb` by that share times `alpha` (0 ... 1). Lines
  // at least a pixel wide. Throws std::bad_alloc when its coverage buffer
  // cannot be had.
  void paint_aa(const CapsuleTarget &t, double r, uint32_t rgb, double alpha = 1.0);

 private:
  // Left uninitialised on construction: add_body and add_poly set every
  // field that is read (k, nx, ny, nc are set by the painters).
  struct Seg {
    Seg() {}
    double ax, ay, bx, by;
    double ux, uy, len;  // unit direction and length (0: a disc at a)
    double iux, iuy;     // 1 / ux, 1 / uy (0 where those are 0)
    double t0, t1;       // the body spans t0 <= t <= t1 along the segment
    bool disc_a, disc_b; // discs of radius r around the ends
    bool cap_a, cap_b;   // the body ends at a cap there (not at a join)
    double ylo, yhi;     // rows reached
  };
  struct Poly {          // convex, up to 4 corners
    Poly() {}
    double x[4], y[4];
    double k[4];         // without anti-aliasing: dx / dy of edge i (0 if level)
    double nx[4], ny[4], nc[4];  // anti-aliasing: edge i's line nx x + ny y + nc, > 0 outside
    int n;
    double ylo, yhi;
  };
  void add_body(double ax, double ay, double bx, double by, double ext_a, double ext_b, bool disc_a, bool disc_b,
                bool cap_a, bool cap_b);
  // Anti-aliased coverage (0 ... 1) of the pixel centred at (x, y).
  static inline double coverage(const Seg &s, double x, double y, double r);
  static inline double coverage(const Poly &p, double x, double y, double r);
  void add_poly(const double *x, const double *y, int n);
  // The interval of x whose points (x, y) lie in the piece, if any.
  [[gnu::always_inline]] static inline bool span(const Seg &s, double y, double r, double &xl, double &xr);
  [[gnu::always_inline]] static inline bool span(const Poly &s, double y, double r, double &xl, double &xr);
  // Sets the rows each segment reaches: its outline's (outline_rows,
  // painting without anti-aliasing) or those within r of its points.
  void prepare(double r, bool outline_rows);
  // Counts the stroke, takes the usable clip rectangles and the rows they
  // span, and prepares the pieces; false if nothing can be painted.
  bool start(const CapsuleTarget &t, double r, bool outline_rows, std::vector<CapsuleTarget::Rect> &clip, int &cy0,
             int &cy1);
  template <class Emit>
  void rows(int y0, int y1, double r, double sub0, double sub1, Emit &&emit);

  std::vector<Seg> segs_;
  std::vector<Poly> polys_;
  std::vector<double> scratch_;
  // Anti-aliasing: coverage of the target's pixels (0 where untouched)
  // and the pixels touched by the stroke being painted.
  std::unique_ptr<uint8_t[], FreeDeleter> cov_;
  size_t cov_size_ = 0;
  std::vector<uint32_t> touched_;
};

// Pen colour component (0 ... 1) as the 8-bit value cairo paints.
inline unsigned cairo_colour_byte(double v) {
  v = v < 0 ? 0 : v > 1 ? 1 : v;
  return static_cast<unsigned>(v * 65535.0 + 0.5) >> 8;
}

}  // namespace hpgs

#endif
