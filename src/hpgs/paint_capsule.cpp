// Solid strokes that the paint device paints itself: the conditions under
// which the capsule rasteriser (capsule_stroke.h) takes a stroke instead of
// cairo, the clip as whole-pixel rectangles it paints under, and the
// hand-over of the kept path to it.
#include "paint_device.h"

#include <new>

namespace hpgs::paint {

namespace {

struct RectangleListDeleter {
  void operator()(cairo_rectangle_list_t *l) const noexcept { cairo_rectangle_list_destroy(l); }
};

// Takes the clip as whole-pixel rectangles if it is one. Throws
// std::bad_alloc.
void update_clip_rects(PaintDevice *p) {
  if (p->clip_known) return;
  p->clip_known = true;
  p->clip_rects_ok = false;
  p->clip_rects.clear();
  std::unique_ptr<cairo_rectangle_list_t, RectangleListDeleter> l(cairo_copy_clip_rectangle_list(p->cr));
  if (!l) return;
  if (l->status == CAIRO_STATUS_SUCCESS) {
    bool ok = true;
    for (int i = 0; i < l->num_rectangles && ok; ++i) {
      const cairo_rectangle_t &r = l->rectangles[i];
      const double x1 = r.x + r.width, y1 = r.y + r.height;
      ok = std::floor(r.x) == r.x && std::floor(r.y) == r.y && std::floor(x1) == x1 && std::floor(y1) == y1 &&
           std::fabs(r.x) < kMaxPixel && std::fabs(r.y) < kMaxPixel && std::fabs(x1) < kMaxPixel &&
           std::fabs(y1) < kMaxPixel;
      if (ok)
        p->clip_rects.push_back({static_cast<int>(r.x), static_cast<int>(r.y), static_cast<int>(x1),
                                 static_cast<int>(y1)});
    }
    p->clip_rects_ok = ok;
  }
}


}  // namespace

int capsule_stroke(PaintDevice *p) {
  const double given = p->line_width * p->scale;
  if (!(given >= 0.0 && given <= 4096.0) || !p->dash.empty() || !p->vector_plain() || cairo_strokes()) return 0;
  if (!p->pending) return 0;  // the path has curves
  update_clip_rects(p);
  if (!p->clip_rects_ok) return 0;
  // Lines thinner than a pixel as cairo is asked to draw them
  // (drawn_width, snap_thin_path): through the centres of their points'
  // pixels.
  double alpha;
  const double w = drawn_width(p, alpha);
  const bool thin = given < 1.0;
  const int iw = p->img->width, ih = p->img->height;
  const double r = w / 2;
  const StrokeCap cap = p->cap == hpgs_cap_round    ? StrokeCap::round
                        : p->cap == hpgs_cap_square ? StrokeCap::square
                                                    : StrokeCap::butt;
  const StrokeJoin join = p->join == hpgs_join_round   ? StrokeJoin::round
                          : p->join == hpgs_join_bevel ? StrokeJoin::bevel
                                                       : StrokeJoin::miter;
  CapsuleStroker &cs = p->capsules;
  cs.clear();
  std::vector<double> &pts = p->stroke_points;
  pts.clear();
  bool ok = true;
  // Ends the subpath in pts (after a close_path cairo starts the next one
  // with a move_to to its first point).
  auto flush = [&](bool closed) {
    if (!pts.empty() && (pts.size() > 2 || closed)) {
      if (thin) snap_thin_points(pts.data(), pts.size() / 2, closed, iw, ih);
      ok = ok && cs.add_polyline(pts.data(), pts.size() / 2, closed, r, cap, join, p->miter);
    }
    pts.clear();
  };
  for (const auto &o : p->own_path) {
    if (!ok) break;
    switch (o.kind) {
      case PaintDevice::PathOp::kMove:
        flush(false);
        [[fallthrough]];
      case PaintDevice::PathOp::kLine:
        pts.push_back(o.x / 256.0);
        pts.push_back(o.y / 256.0);
        break;
      case PaintDevice::PathOp::kClose:
        flush(true);
        break;
    }
  }
  if (ok) flush(false);
  if (!ok) {
    cs.clear();
    return 0;
  }
  drop_own_path(p);
  if (cs.empty()) return 1;
  CapsuleTarget t;
  t.pix = p->pix;
  t.stride = p->pstride;
  t.y0 = p->band_y0;
  t.rows = p->band_rows;
  t.width = p->img->width;
  t.clip = p->clip_rects.data();
  t.nclip = p->clip_rects.size();
  const uint32_t rgb = cairo_colour_byte(p->color.r) << 16 | cairo_colour_byte(p->color.g) << 8 |
                       cairo_colour_byte(p->color.b);
  cairo_surface_flush(p->surface);
  if (!p->antialias) {
    cs.paint_solid(t, r, rgb);
  } else {
    try {
      cs.paint_aa(t, r, rgb, alpha);
    } catch (const std::bad_alloc &) {
      cairo_surface_mark_dirty(p->surface);
      hpgs_set_error("paint device: out of memory for the coverage of an anti-aliased stroke.");
      return -1;
    }
  }
  cairo_surface_mark_dirty(p->surface);
  return 1;
}

}  // namespace hpgs::paint
