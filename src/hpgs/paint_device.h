// The paint device's state, shared by the files that make it up:
//   paint_device.cpp        creation, settings and the C entry points
//   paint_direct.cpp        the device painting in place: its kept path,
//                           stroke, fill, clip, state calls and its table
//   paint_stroke_state.cpp  line width, caps, joins, dashes, the thin-line
//                           rule and pixel snapping, as cairo gets them
//   paint_capsule.cpp       solid strokes handed to the capsule rasteriser
//   paint_rop.h, .cpp       raster operations on pixels and their masks
//   paint_image.cpp         raster images (drawimage)
//   paint_pattern.cpp       fills and strokes with a raster pattern
//   paint_banded.cpp        banded pages: the display list and the painting
//                           band by band
//
// Coordinates: the page box (points) is mapped onto the whole image, y
// upwards in points and downwards in pixels. The device keeps its own
// graphic state and applies it at every stroke or fill, because clipsave
// and cliprestore map onto cairo_save/cairo_restore, which would otherwise
// roll colours and widths back behind the reader's back.
//
// Not thread-safe: one device is used by one thread at a time.
#ifndef HPGS_PAINT_DEVICE_H
#define HPGS_PAINT_DEVICE_H

#include "capsule_stroke.h"
#include "display_list.h"
#include "paint_internal.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace hpgs::paint {

// Coordinates handed to cairo stay well inside its 24.8 fixed-point range.
constexpr double kMaxPixel = 4.0e6;

inline double clampp(double v) {
  if (!(v == v)) return 0.0;
  return std::clamp(v, -kMaxPixel, kMaxPixel);
}

// A device made by hpgs_new_paint_device (painting in place or banded), or
// the painter of one band of a banded page (render_bands).
struct PaintDevice {
  hpgs_device base;  // must stay the first member
  hpgs_png_image *img = nullptr;
  std::string filename;
  hpgs_bbox page{};
  bool antialias = true;
  double thin_alpha = 0.5;
  int interpolation = 1;
  cairo_surface_t *surface = nullptr;
  cairo_t *cr = nullptr;
  // point -> pixel
  double sx = 1, sy = 1, tx = 0, ty = 0, scale = 1;
  // graphic state (points)
  hpgs_color color{0, 0, 0};
  double line_width = 0.0;
  hpgs_line_cap cap = hpgs_cap_butt;
  hpgs_line_join join = hpgs_join_miter;
  double miter = 10.0;
  std::vector<double> dash;  // points
  double dash_offset = 0.0;
  int rop = 252;
  bool src_tr = true, pat_tr = true;
  hpgs_color patcol{0, 0, 0};
  bool clear_pending = false;
  int clip_depth = 0;
  bool path_empty = true;
  // Pixels the marks land in: rows band_y0 ... band_y0 + band_rows - 1 of
  // the image in cairo's 32-bit layout. The whole image when painting in
  // place; one band of a banded page (paint_banded.cpp) otherwise.
  unsigned char *pix = nullptr;
  int pstride = 0;
  int band_y0 = 0, band_rows = 0;
  // A painter of one band: its pixels are prepared by the banded device.
  bool band_painter = false;
  // Banded page (packed image): the calls of the page, in device points.
  std::unique_ptr<DisplayList> list;
  // Capsule strokes: the clip as whole-pixel rectangles (clip_known: taken
  // since the clip last changed; clip_rects_ok: it is such a set).
  CapsuleStroker capsules;
  std::vector<double> stroke_points;
  // Most strokes become capsule strokes, which need no cairo path: the
  // current path is kept here instead (in cairo's fixed-point pixel
  // coordinates, so that it is the path cairo would hold) while it has
  // only straight segments, and handed to cairo only when cairo draws it
  // (pending: the path is here, not in cairo).
  struct PathOp {
    enum Kind : uint8_t { kMove, kLine, kClose } kind;
    int32_t x, y;  // 1/256 pixel
  };
  std::vector<PathOp> own_path;
  bool keep_own_path = false;  // set by start_painter
  bool pending = false;
  bool needs_move = false;     // after a close: a line starts at own_start
  int32_t own_cur_x = 0, own_cur_y = 0, own_start_x = 0, own_start_y = 0;
  bool clip_known = false, clip_rects_ok = false;
  std::vector<CapsuleTarget::Rect> clip_rects;

  unsigned char *row(int y) const { return pix + static_cast<size_t>(y - band_y0) * pstride; }
  bool row_inside(int y) const { return y >= band_y0 && y < band_y0 + band_rows; }

  double px(double x) const { return clampp(sx * x + tx); }
  double py(double y) const { return clampp(sy * y + ty); }

  // Called before anything touches the pixels.
  void begin_paint() {
    if (band_painter) return;
    if (!img->native && !img->exposed) {
      img->native = true;
    } else if (!img->native) {
      cairo_surface_flush(surface);
      image_to_native(img);
      cairo_surface_mark_dirty(surface);
    }
    if (clear_pending) {
      cairo_surface_flush(surface);
      std::memset(img->data, 0xff, static_cast<size_t>(img->stride) * img->height);
      cairo_surface_mark_dirty(surface);
      clear_pending = false;
    }
  }

  bool use_rop() const { return img->do_rop3; }
  bool is_white(const hpgs_color &c) const { return c.r >= 1.0 && c.g >= 1.0 && c.b >= 1.0; }
  // Marks of a vector in the current state leave no trace.
  bool vector_invisible() const { return use_rop() && src_tr && is_white(color) && rop != 0 && rop != 255; }
  bool vector_plain() const {
    if (!use_rop()) return true;
    // Copy operations: the result is the pen colour whatever D is.
    return rop == 252 || rop == 204 || rop == 240;
  }
};

// Owned cairo objects, for code between their creation and release that
// may throw.
struct CairoDeleter {
  void operator()(cairo_t *c) const noexcept { cairo_destroy(c); }
  void operator()(cairo_surface_t *s) const noexcept { cairo_surface_destroy(s); }
  void operator()(cairo_pattern_t *p) const noexcept { cairo_pattern_destroy(p); }
};
using UniqueCairo = std::unique_ptr<cairo_t, CairoDeleter>;
using UniqueCairoSurface = std::unique_ptr<cairo_surface_t, CairoDeleter>;
using UniqueCairoPattern = std::unique_ptr<cairo_pattern_t, CairoDeleter>;

inline PaintDevice *pd(hpgs_device *d) { return reinterpret_cast<PaintDevice *>(d); }

// 0 while cairo is fine; else -1 with cairo's status named after what.
int cairo_check(PaintDevice *p, const char *what);

inline unsigned char to_byte(double v) { return static_cast<unsigned char>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); }

// Sets up a painter's cairo context: anti-aliasing, tolerance, whether
// paths are kept for capsule strokes (paint_device.cpp).
void start_painter(PaintDevice *p);

// --- paint_direct.cpp: painting in place
extern const hpgs_device_vtable kPaintVtable;
// Forgets a path kept for capsule strokes.
void drop_own_path(PaintDevice *p);
// Ends the current path, wherever it is kept.
void end_path(PaintDevice *p);
// Hands a path kept here to cairo, which draws it or adds curves to it.
void cairo_path_ready(PaintDevice *p);
// State calls the banded device passes on to its own state as well.
int dev_setrgbcolor(hpgs_device *d, const hpgs_color *c);
int dev_setrop3(hpgs_device *d, int rop, hpgs_bool st, hpgs_bool pt);
int dev_setpatcol(hpgs_device *d, const hpgs_color *c);
int dev_finish(hpgs_device *d);
int dev_capabilities(hpgs_device *d);
// Releases the device made by hpgs_new_paint_device with its image.
void dev_destroy(hpgs_device *d);

// --- paint_stroke_state.cpp
int dev_setdash(hpgs_device *d, const float *segs, unsigned n, double offset);
int dev_setlinewidth(hpgs_device *d, double w);
int dev_setlinecap(hpgs_device *d, hpgs_line_cap c);
int dev_setlinejoin(hpgs_device *d, hpgs_line_join j);
int dev_setmiterlimit(hpgs_device *d, double l);
// The thin-line rule: a line narrower than a pixel is drawn a pixel wide,
// with anti-aliasing at the thin alpha's share (its own width if that is
// more). Returns the width drawn, in pixels, and sets the coverage factor.
double drawn_width(const PaintDevice *p, double &alpha);
// The centre of the pixel holding coordinate v: where a thin line's
// vertices go.
inline double pixel_centre(double v) { return std::floor(v) + 0.5; }
// Moves the n points (x, y interleaved) of one subpath of a thin line to
// pixel centres. A pixel holds its near edge, so a line running along the
// far edge of the w x h image (right or bottom: points there, up to the
// 1/256 pixel of cairo's coordinates, next to one another) would go to the
// pixels outside: it takes the last pixels inside, as a line along the
// near edge takes the first. Lines that only end on the far edge keep the
// plain rule.
void snap_thin_points(double *xy, size_t n, bool closed, int w, int h);
// The dash pattern in pixels as it is drawn: an even list, dots at least a
// pixel long, dots whose gap is too short for that merged with the next
// dash (a gap of 0).
std::vector<double> dash_pixels(const PaintDevice *p);
// Hands the stroke state to cairo: line width in pixels (thin-line rule),
// caps, joins, miter limit, dashes; sets the coverage factor.
void apply_stroke_state(PaintDevice *p, double &alpha);
// Moves the vertices of cairo's current path to pixel centres (thin lines)
// of the w x h image.
void snap_thin_path(cairo_t *cr, int w, int h);

// --- paint_capsule.cpp
// Paints the current path as a union of convex pieces (capsule_stroke.h)
// if the stroke allows it (solid, at least a pixel wide, straight
// segments, a plain copy under a clip of whole-pixel rectangles), and then
// ends the path: 1. 0: cairo strokes it. -1: out of memory (error set).
int capsule_stroke(PaintDevice *p);

// --- paint_image.cpp
int dev_drawimage(hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                  const hpgs_point *ur);

// --- paint_banded.cpp
extern const hpgs_device_vtable kBandedVtable;
// Records a pattern fill or stroke on a banded page.
int banded_pattern(hpgs_device *d, const PaintPattern &pat, bool stroke, bool winding);

}  // namespace hpgs::paint

// The handle of hpgs.h: the device made by hpgs_new_paint_device.
struct hpgs_paint_device_st {
  hpgs::paint::PaintDevice impl;
};

#endif
