// The paint device painting in place (an image small enough for cairo's
// 32-bit layout): its kept path, stroke, fill, clip, the state calls that
// are not stroke state, showpage, and its device table.
#include "c_boundary.h"
#include "paint_device.h"
#include "paint_rop.h"

namespace hpgs::paint {

namespace {

// cairo's fixed-point value of a pixel coordinate (round to nearest even,
// as cairo converts).
inline int32_t to_fixed(double v) { return static_cast<int32_t>(std::nearbyint(v * 256.0)); }

void own_move_to(PaintDevice *p, double x, double y) {
  p->own_cur_x = p->own_start_x = to_fixed(x);
  p->own_cur_y = p->own_start_y = to_fixed(y);
  p->needs_move = true;
}

// Appends a line as cairo does: a zero-length line after another segment
// is dropped, and a line that goes straight on from the last one
// replaces it.
void own_line_to(PaintDevice *p, double xd, double yd) {
  const int32_t x = to_fixed(xd), y = to_fixed(yd);
  auto &path = p->own_path;
  if (p->needs_move || path.empty()) {
    path.push_back({PaintDevice::PathOp::kMove, p->own_cur_x, p->own_cur_y});
    p->needs_move = false;
  } else if (x == p->own_cur_x && y == p->own_cur_y && path.back().kind != PaintDevice::PathOp::kMove) {
    return;
  }
  if (path.back().kind == PaintDevice::PathOp::kLine) {
    const auto &prev = path[path.size() - 2];
    const int64_t ax = int64_t{p->own_cur_x} - prev.x, ay = int64_t{p->own_cur_y} - prev.y;
    const int64_t bx = int64_t{x} - p->own_cur_x, by = int64_t{y} - p->own_cur_y;
    if ((ax == 0 && ay == 0) || (ax * by == ay * bx && ax * bx + ay * by >= 0)) path.pop_back();
  }
  path.push_back({PaintDevice::PathOp::kLine, x, y});
  p->own_cur_x = x, p->own_cur_y = y;
}

// Closes the subpath; after a bare move this is a zero-length closed
// subpath, which round caps draw as a dot.
void own_close(PaintDevice *p) {
  own_line_to(p, p->own_start_x / 256.0, p->own_start_y / 256.0);
  p->own_path.push_back({PaintDevice::PathOp::kClose, 0, 0});
  p->own_cur_x = p->own_start_x, p->own_cur_y = p->own_start_y;
  p->needs_move = true;
}

}  // namespace

void drop_own_path(PaintDevice *p) {
  p->own_path.clear();
  p->pending = false;
  p->needs_move = false;
}

// Ends the current path, wherever it is kept.
void end_path(PaintDevice *p) {
  drop_own_path(p);
  cairo_new_path(p->cr);
  p->path_empty = true;
}

// Hands a path kept here to cairo, which draws it or adds curves to it.
void cairo_path_ready(PaintDevice *p) {
  if (!p->pending) return;
  cairo_t *cr = p->cr;
  for (const auto &o : p->own_path) {
    if (o.kind == PaintDevice::PathOp::kMove) cairo_move_to(cr, o.x / 256.0, o.y / 256.0);
    else if (o.kind == PaintDevice::PathOp::kLine) cairo_line_to(cr, o.x / 256.0, o.y / 256.0);
    else cairo_close_path(cr);
  }
  if (p->needs_move) cairo_move_to(cr, p->own_cur_x / 256.0, p->own_cur_y / 256.0);
  drop_own_path(p);
}

namespace {

// A new path is kept here when capsule strokes may take it.
inline bool own_path_on(PaintDevice *p) {
  if (p->path_empty && p->keep_own_path) p->pending = true;
  return p->pending;
}

int dev_moveto(hpgs_device *d, const hpgs_point *pt) {
  PaintDevice *p = pd(d);
  if (own_path_on(p)) own_move_to(p, p->px(pt->x), p->py(pt->y));
  else cairo_move_to(p->cr, p->px(pt->x), p->py(pt->y));
  p->path_empty = false;
  return 0;
}
int dev_lineto(hpgs_device *d, const hpgs_point *pt) {
  PaintDevice *p = pd(d);
  if (own_path_on(p)) {
    // A line without a current point starts one, as in cairo.
    if (p->path_empty) own_move_to(p, p->px(pt->x), p->py(pt->y));
    own_line_to(p, p->px(pt->x), p->py(pt->y));
  } else {
    cairo_line_to(p->cr, p->px(pt->x), p->py(pt->y));
  }
  p->path_empty = false;
  return 0;
}
int dev_curveto(hpgs_device *d, const hpgs_point *a, const hpgs_point *b, const hpgs_point *c) {
  PaintDevice *p = pd(d);
  cairo_path_ready(p);
  cairo_curve_to(p->cr, p->px(a->x), p->py(a->y), p->px(b->x), p->py(b->y), p->px(c->x), p->py(c->y));
  p->path_empty = false;
  return 0;
}
int dev_newpath(hpgs_device *d) {
  end_path(pd(d));
  return 0;
}
int dev_closepath(hpgs_device *d) {
  PaintDevice *p = pd(d);
  if (p->pending) own_close(p);
  else cairo_close_path(p->cr);
  return 0;
}

int dev_stroke(hpgs_device *d) {
  PaintDevice *p = pd(d);
  cairo_t *cr = p->cr;
  if (p->path_empty || p->vector_invisible()) {
    end_path(p);
    return 0;
  }
  p->begin_paint();
  if (const int done = capsule_stroke(p)) {
    p->path_empty = true;
    return done < 0 ? -1 : 0;
  }
  cairo_path_ready(p);
  double alpha;
  apply_stroke_state(p, alpha);
  if (p->line_width * p->scale < 1.0) snap_thin_path(cr, p->img->width, p->img->height);
  int rc = 0;
  if (p->vector_plain()) {
    cairo_set_source_rgba(cr, p->color.r, p->color.g, p->color.b, alpha);
    cairo_stroke(cr);
  } else {
    rc = rop_mark(p, true);
  }
  p->path_empty = true;
  return rc ? rc : cairo_check(p, "stroke");
}

int dev_fill(hpgs_device *d, hpgs_bool winding) {
  PaintDevice *p = pd(d);
  cairo_t *cr = p->cr;
  cairo_path_ready(p);
  if (p->path_empty || p->vector_invisible()) {
    cairo_new_path(cr);
    p->path_empty = true;
    return 0;
  }
  p->begin_paint();
  cairo_set_fill_rule(cr, winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
  int rc = 0;
  if (p->vector_plain()) {
    cairo_set_source_rgb(cr, p->color.r, p->color.g, p->color.b);
    cairo_fill(cr);
  } else {
    rc = rop_mark(p, false);
  }
  p->path_empty = true;
  return rc ? rc : cairo_check(p, "fill");
}

int dev_clip(hpgs_device *d, hpgs_bool winding) {
  PaintDevice *p = pd(d);
  cairo_path_ready(p);
  cairo_set_fill_rule(p->cr, winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
  cairo_clip(p->cr);
  p->clip_known = false;
  p->path_empty = true;
  return cairo_check(p, "clip");
}
int dev_clipsave(hpgs_device *d) {
  PaintDevice *p = pd(d);
  cairo_save(p->cr);
  ++p->clip_depth;
  return cairo_check(p, "clipsave");
}
int dev_cliprestore(hpgs_device *d) {
  PaintDevice *p = pd(d);
  if (p->clip_depth <= 0) return hpgs_set_error("paint device: cliprestore without clipsave.");
  cairo_restore(p->cr);
  p->clip_known = false;
  --p->clip_depth;
  return cairo_check(p, "cliprestore");
}

}  // namespace

int dev_setrgbcolor(hpgs_device *d, const hpgs_color *c) {
  PaintDevice *p = pd(d);
  p->color = {std::clamp(c->r, 0.0, 1.0), std::clamp(c->g, 0.0, 1.0), std::clamp(c->b, 0.0, 1.0)};
  if (!(p->color.r == p->color.r)) p->color.r = 0;
  if (!(p->color.g == p->color.g)) p->color.g = 0;
  if (!(p->color.b == p->color.b)) p->color.b = 0;
  return 0;
}
int dev_setrop3(hpgs_device *d, int rop, hpgs_bool st, hpgs_bool pt) {
  PaintDevice *p = pd(d);
  p->rop = rop & 0xff;
  p->src_tr = st != 0;
  p->pat_tr = pt != 0;
  return 0;
}
int dev_setpatcol(hpgs_device *d, const hpgs_color *c) {
  pd(d)->patcol = *c;
  return 0;
}

namespace {

int dev_showpage(hpgs_device *d, int i) {
  PaintDevice *p = pd(d);
  end_path(p);
  p->begin_paint();  // a page without marks is still cleared and written
  cairo_surface_flush(p->surface);
  int rc = 0;
  if (!p->filename.empty()) rc = image_write_png(p->img, page_file_name(p->filename, i).c_str());
  // The pixels stay readable until the next page starts drawing.
  p->clear_pending = true;
  return rc;
}

}  // namespace

int dev_finish(hpgs_device *) { return 0; }

int dev_capabilities(hpgs_device *d) {
  PaintDevice *p = pd(d);
  int c = HPGS_DEVICE_CAP_RASTER | HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_CURVES | HPGS_DEVICE_CAP_DRAWIMAGE;
  if (p->antialias) c |= HPGS_DEVICE_CAP_ANTIALIAS;
  if (p->img->do_rop3) c |= HPGS_DEVICE_CAP_ROP3;
  return c;
}

void dev_destroy(hpgs_device *d) {
  PaintDevice *p = pd(d);
  if (p->cr) cairo_destroy(p->cr);
  if (p->surface) cairo_surface_destroy(p->surface);
  hpgs_image_destroy(p->img);
  delete reinterpret_cast<hpgs_paint_device_st *>(d);
}

// The functions run behind device_guard: what they allocate (the kept
// path, dashes, clip rectangles, page file names) fails the call when
// memory runs out instead of throwing into the caller.
const hpgs_device_vtable kPaintVtable = {
    "hpgs_paint_device",
    device_guard<dev_moveto>,
    device_guard<dev_lineto>,
    device_guard<dev_curveto>,
    device_guard<dev_newpath>,
    device_guard<dev_closepath>,
    device_guard<dev_stroke>,
    device_guard<dev_fill>,
    device_guard<dev_clip>,
    device_guard<dev_clipsave>,
    device_guard<dev_cliprestore>,
    device_guard<dev_setrgbcolor>,
    device_guard<dev_setdash>,
    device_guard<dev_setlinewidth>,
    device_guard<dev_setlinecap>,
    device_guard<dev_setlinejoin>,
    device_guard<dev_setmiterlimit>,
    device_guard<dev_setrop3>,
    device_guard<dev_setpatcol>,
    device_guard<dev_drawimage>,
    nullptr,  // setplotsize
    nullptr,  // getplotsize
    device_guard<dev_showpage>,
    device_guard<dev_finish>,
    dev_capabilities,
    dev_destroy,
    nullptr,  // setpattern: the reader hands patterns over through paint_device_pattern
};

}  // namespace hpgs::paint
