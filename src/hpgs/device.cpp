// Generic device calls and the plot-size (measuring) device.
#include "c_boundary.h"
#include "device_internal.h"
#include "hpgs.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

extern "C" {

const char *hpgs_device_rtti(hpgs_device *dev) {
  return dev && dev->vtable && dev->vtable->rtti ? dev->vtable->rtti : "";
}

int hpgs_device_capabilities(hpgs_device *dev) {
  return dev->vtable->capabilities ? dev->vtable->capabilities(dev) : 0;
}

#define HPGS_FORWARD(name, call) \
  return dev->vtable->name ? dev->vtable->name call : 0

int hpgs_moveto(hpgs_device *dev, const hpgs_point *p) { HPGS_FORWARD(moveto, (dev, p)); }
int hpgs_lineto(hpgs_device *dev, const hpgs_point *p) { HPGS_FORWARD(lineto, (dev, p)); }
int hpgs_curveto(hpgs_device *dev, const hpgs_point *p1, const hpgs_point *p2, const hpgs_point *p3) {
  HPGS_FORWARD(curveto, (dev, p1, p2, p3));
}
int hpgs_newpath(hpgs_device *dev) { HPGS_FORWARD(newpath, (dev)); }
int hpgs_closepath(hpgs_device *dev) { HPGS_FORWARD(closepath, (dev)); }
int hpgs_stroke(hpgs_device *dev) { HPGS_FORWARD(stroke, (dev)); }
int hpgs_fill(hpgs_device *dev, hpgs_bool winding) { HPGS_FORWARD(fill, (dev, winding)); }
int hpgs_clip(hpgs_device *dev, hpgs_bool winding) { HPGS_FORWARD(clip, (dev, winding)); }
int hpgs_clipsave(hpgs_device *dev) { HPGS_FORWARD(clipsave, (dev)); }
int hpgs_cliprestore(hpgs_device *dev) { HPGS_FORWARD(cliprestore, (dev)); }
int hpgs_setrgbcolor(hpgs_device *dev, const hpgs_color *rgb) { HPGS_FORWARD(setrgbcolor, (dev, rgb)); }
int hpgs_setdash(hpgs_device *dev, const float *segs, unsigned n, double offset) {
  HPGS_FORWARD(setdash, (dev, segs, n, offset));
}
int hpgs_setlinewidth(hpgs_device *dev, double w) { HPGS_FORWARD(setlinewidth, (dev, w)); }
int hpgs_setlinecap(hpgs_device *dev, hpgs_line_cap cap) { HPGS_FORWARD(setlinecap, (dev, cap)); }
int hpgs_setlinejoin(hpgs_device *dev, hpgs_line_join join) { HPGS_FORWARD(setlinejoin, (dev, join)); }
int hpgs_setmiterlimit(hpgs_device *dev, double l) { HPGS_FORWARD(setmiterlimit, (dev, l)); }
int hpgs_setrop3(hpgs_device *dev, int rop, hpgs_bool st, hpgs_bool pt) { HPGS_FORWARD(setrop3, (dev, rop, st, pt)); }
int hpgs_setpatcol(hpgs_device *dev, const hpgs_color *rgb) { HPGS_FORWARD(setpatcol, (dev, rgb)); }
int hpgs_drawimage(hpgs_device *dev, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                   const hpgs_point *ur) {
  HPGS_FORWARD(drawimage, (dev, img, ll, lr, ur));
}
int hpgs_setpattern(hpgs_device *dev, const hpgs_pattern *pat) {
  if (!dev || !(hpgs_device_capabilities(dev) & HPGS_DEVICE_CAP_PATTERN) || !dev->vtable->setpattern)
    return hpgs_set_error("Device '%s' takes no raster patterns.", hpgs_device_rtti(dev));
  if (!pat || pat->width <= 0 || pat->height <= 0 || !pat->argb)
    return hpgs_set_error("Device '%s': raster pattern without cells.", hpgs_device_rtti(dev));
  return dev->vtable->setpattern(dev, pat);
}
int hpgs_setplotsize(hpgs_device *dev, const hpgs_bbox *bb) { HPGS_FORWARD(setplotsize, (dev, bb)); }
int hpgs_getplotsize(hpgs_device *dev, int i, hpgs_bbox *bb) {
  if (!dev || !dev->vtable->getplotsize)
    return hpgs_set_error("Device '%s' cannot report a plot size.", hpgs_device_rtti(dev));
  return dev->vtable->getplotsize(dev, i, bb);
}
int hpgs_showpage(hpgs_device *dev, int i) { HPGS_FORWARD(showpage, (dev, i)); }
int hpgs_device_finish(hpgs_device *dev) { HPGS_FORWARD(finish, (dev)); }
void hpgs_device_destroy(hpgs_device *dev) {
  if (dev && dev->vtable->destroy) dev->vtable->destroy(dev);
}

#undef HPGS_FORWARD

}  // extern "C"

namespace {

// Measures the marks of every page. The current path is kept as a box of
// its points (curves contribute their exact extremes); stroke and fill add
// that box, grown by half the line width for strokes, clipped by the
// current clip box, to the page box.
//
// A stroke reaches further than half its width from its points only at
// miter joins (the tip, up to the miter limit times the half width) and at
// square caps (the corners, half the width along and across the line).
// Those points are computed while the path is built, with the stroke state
// of that moment, and kept in a box of their own that strokes add and fills
// ignore. With dashes every vertex may end a dash, so square caps are put
// on both sides of every vertex. Joins are skipped cheaply where the vertex
// lies deep enough inside the path's box for its farthest mark to stay
// inside. When the stroke state changes while a path is built, the stroke
// is measured with the farthest reach on every side instead.
struct PlotSizeDevice {
  hpgs_device base;  // must stay the first member

  PlotSizeDevice(bool ignore_ps, bool do_linewidth)
      : base{&kVtable}, ignore_ps_(ignore_ps), do_linewidth_(do_linewidth) {
    hpgs_bbox_null(&path_);
    hpgs_bbox_null(&extra_);
    hpgs_bbox_null(&page_);
    hpgs_bbox_null(&declared_);
    hpgs_bbox_null(&clip_);
    update_reach();
  }

  static const hpgs_device_vtable kVtable;

  static PlotSizeDevice *self(hpgs_device *d) { return reinterpret_cast<PlotSizeDevice *>(d); }

  void add_point(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    add_point_box(hpgs_point{x, y});
    cur_ = {x, y};
  }
  // hpgs_bbox_add, written out: every vertex passes here. p is finite.
  void add_point_box(const hpgs_point &p) {
    path_.llx = std::min(path_.llx, p.x);
    path_.lly = std::min(path_.lly, p.y);
    path_.urx = std::max(path_.urx, p.x);
    path_.ury = std::max(path_.ury, p.y);
  }

  // ---- stroke geometry beyond half the width

  // Half width and the farthest a join or cap mark reaches from its vertex
  // (0: no such marks in the current state).
  void update_reach() {
    half_ = do_linewidth_ ? 0.5 * linewidth_ : 0.0;
    double r = 0.0;
    if (join_ == hpgs_join_miter) r = miter_;
    if (cap_ == hpgs_cap_square) r = std::max(r, std::sqrt(2.0));
    reach_ = half_ > 0 ? r * half_ : 0.0;
    inv_half_ = half_ > 0 ? 1.0 / half_ : 0.0;
    margin_ = reach_ - half_;
    update_page_inner();
    limit_cos_ = 2.0 / (miter_ * miter_) - 1.0;
  }
  // A stroke attribute changes: a path under construction no longer knows
  // its marks exactly.
  void state_changes() {
    if (!hpgs_bbox_isnull(&path_)) state_changed_ = true;
  }
  void add_extra(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    extra_.llx = std::min(extra_.llx, x);
    extra_.lly = std::min(extra_.lly, y);
    extra_.urx = std::max(extra_.urx, x);
    extra_.ury = std::max(extra_.ury, y);
  }
  // Square cap at e for the unit direction (ux, uy): beyond e with s = 1,
  // behind it with s = -1.
  void square_cap(const hpgs_point &e, double ux, double uy, double s) {
    const double ax = e.x + s * half_ * ux, ay = e.y + s * half_ * uy;
    add_extra(ax - half_ * uy, ay + half_ * ux);
    add_extra(ax + half_ * uy, ay - half_ * ux);
  }
  static constexpr double kFlatTurn = 2.0 / (1.001 * 1.001) - 1.0;  // cos(turn) of a flat join (corner)
  // Whether the cosine dot / sqrt(l2) is at least q, without the root.
  static bool cos_at_least(double dot, double l2, double q) {
    if (q <= 0) return dot >= 0 || dot * dot <= q * q * l2;
    return dot > 0 && dot * dot >= q * q * l2;
  }
  // Whether marks within the farthest reach of the points in x0 ... x1,
  // y0 ... y1 lie inside what the page has already, so that they add
  // nothing whatever clip they meet.
  bool deep_in_page(double x0, double x1, double y0, double y1) const {
    return x0 >= page_inner_.llx && x1 <= page_inner_.urx && y0 >= page_inner_.lly && y1 <= page_inner_.ury;
  }
  // page_ shrunk by reach_ on every side (empty: llx > urx).
  void update_page_inner() {
    page_inner_ = hpgs_bbox{page_.llx + reach_, page_.lly + reach_, page_.urx - reach_, page_.ury - reach_};
  }
  // The marks at cur_ between the last segment (seg_) and the segment
  // (bx, by) leaving it. Returns the length of (bx, by) when it was worked
  // out, else -1. Most joins lie deep inside the box: told apart here,
  // inline, before the call that works the marks out.
  double corner(double bx, double by) {
    const hpgs_point &p = cur_;
    // How far the marks may reach and still stay in the box the stroke
    // has already (its points grown by half the width, the marks found so
    // far): p's distance to the nearest side of that box.
    if (deep_in_page(p.x, p.x, p.y, p.y)) return -1;
    const double x0 = std::min(path_.llx - half_, extra_.llx), x1 = std::max(path_.urx + half_, extra_.urx);
    const double y0 = std::min(path_.lly - half_, extra_.lly), y1 = std::max(path_.ury + half_, extra_.ury);
    const double d = std::min(std::min(p.x - x0, x1 - p.x), std::min(p.y - y0, y1 - p.y));
    if (d >= reach_) return -1;
    return corner_marks(bx, by, d);
  }
  [[gnu::noinline]] double corner_marks(double bx, double by, double d) {
    const hpgs_point &p = cur_;
    const double ax = seg_x_, ay = seg_y_;
    const bool caps = dashed_ && cap_ == hpgs_cap_square;
    if (join_ == hpgs_join_miter && !caps) {
      // The miter is 1 / sin(interior / 2) = sqrt(2 / (1 + cos turn))
      // times the half width long. Whether there is a tip (below the
      // limit), and whether it stays within d of p, is told by the cosine
      // alone: most joins need no root here. Turns
      // below about 5 degrees (flattened arcs and curves) are passed over:
      // their tips lie within a thousandth of the half width beyond it,
      // which no resolution shows and which would only jitter the box.
      const double dot = ax * bx + ay * by;
      const double l2 = (ax * ax + ay * ay) * (bx * bx + by * by);
      if (cos_at_least(dot, l2, kFlatTurn) || !cos_at_least(dot, l2, limit_cos_)) return -1;
      // Within d: sqrt(2 / (1 + cos)) <= f = d / half, i.e. with the root
      // l of l2, l (f^2 - 2) >= -f^2 dot; told by the signs and squares.
      const double f2 = (d * inv_half_) * (d * inv_half_), a = f2 - 2.0, b = -f2 * dot;
      const bool within = a >= 0 ? (b <= 0 || l2 * a * a >= b * b) : (b < 0 && b * b >= l2 * a * a);
      if (within) return -1;
    }
    const double la = seg_len_ >= 0 ? seg_len_ : std::sqrt(ax * ax + ay * ay);
    const double lb = std::sqrt(bx * bx + by * by);
    if (!(la > 0) || !(lb > 0) || !std::isfinite(la * lb)) return -1;
    if (join_ == hpgs_join_miter) {
      // With unit vectors ua, ub the tip lies at p + (ua - ub) half /
      // |ua x ub| = p + (a lb - b la) half / |a x b|.
      const double dot = ax * bx + ay * by, l2 = (ax * ax + ay * ay) * (bx * bx + by * by);
      const double cross = std::fabs(ax * by - ay * bx);
      if (!cos_at_least(dot, l2, kFlatTurn) && cos_at_least(dot, l2, limit_cos_) && cross > 1e-12 * la * lb) {
        const double k = half_ / cross;
        add_extra(p.x + (ax * lb - bx * la) * k, p.y + (ay * lb - by * la) * k);
      }
    }
    if (caps) {
      square_cap(p, ax / la, ay / la, 1.0);
      square_cap(p, bx / lb, by / lb, -1.0);
    }
    return lb;
  }
  // The caps of the open subpath just ended.
  void end_subpath() {
    if (have_dir_ && reach_ > 0 && cap_ == hpgs_cap_square) {
      const double fx = first_.x - start_.x, fy = first_.y - start_.y;
      const double lf = std::sqrt(fx * fx + fy * fy);
      const double le = seg_len_ >= 0 ? seg_len_ : std::sqrt(seg_x_ * seg_x_ + seg_y_ * seg_y_);
      if (lf > 0 && std::isfinite(lf)) square_cap(start_, fx / lf, fy / lf, -1.0);
      if (le > 0 && std::isfinite(le)) square_cap(cur_, seg_x_ / le, seg_y_ / le, 1.0);
    }
    have_dir_ = false;
  }
  // A segment from cur_ towards q: the join at cur_ with the last one.
  // seg_ becomes it; cur_ stays. False for a segment of no length.
  [[gnu::always_inline]] bool segment_to(const hpgs_point &q) {
    const double bx = q.x - cur_.x, by = q.y - cur_.y;
    if (bx == 0 && by == 0) return false;
    double lb = -1;
    if (!have_dir_) {
      first_ = q;
      have_dir_ = true;
    } else {
      lb = corner(bx, by);
    }
    seg_x_ = bx, seg_y_ = by, seg_len_ = lb;
    return true;
  }
  // A run of points none of whose joins can reach out of the path's box:
  // the subpath's first segment and last segment as the points would
  // leave them. last is the run's last finite point.
  void run_inside(const hpgs::PointRun &run, const hpgs_point &last) {
    auto finite = [](const hpgs_point &q) { return std::isfinite(q.x) && std::isfinite(q.y); };
    auto same = [](const hpgs_point &a, const hpgs_point &b) { return a.x == b.x && a.y == b.y; };
    if (!have_dir_) {
      size_t i = 0;
      while (i < run.n && (!finite(run[i]) || same(run[i], cur_))) ++i;
      if (i == run.n) return;  // no segment of any length
      first_ = run[i];
      have_dir_ = true;
    }
    // The last segment of non-zero length ends at last and starts at the
    // last point apart from it (cur_ when the run has none).
    hpgs_point from = cur_;
    for (size_t i = run.n; i-- > 0;) {
      if (finite(run[i]) && !same(run[i], last)) {
        from = run[i];
        break;
      }
    }
    if (!same(from, last)) seg_x_ = last.x - from.x, seg_y_ = last.y - from.y, seg_len_ = -1;
    cur_ = last;
  }
  // lineto's share of the geometry (cur_ is still the previous point).
  void line_geometry(const hpgs_point &q) { segment_to(q); }

  // Adds the extremes of the cubic from cur_ through p1, p2 to p3.
  void add_curve(const hpgs_point &p1, const hpgs_point &p2, const hpgs_point &p3) {
    const hpgs_point p0 = cur_;
    auto axis = [&](double a, double b, double c, double d, auto &&emit) {
      // Derivative: 3[(b-a)(1-t)^2 + 2(c-b)t(1-t) + (d-c)t^2] = 0.
      double qa = (b - a) - 2 * (c - b) + (d - c);
      double qb = 2 * ((c - b) - (b - a));
      double qc = b - a;
      if (std::fabs(qa) < 1e-12) {
        if (std::fabs(qb) > 1e-12) emit(-qc / qb);
        return;
      }
      double disc = qb * qb - 4 * qa * qc;
      if (disc < 0) return;
      double s = std::sqrt(disc);
      emit((-qb + s) / (2 * qa));
      emit((-qb - s) / (2 * qa));
    };
    auto eval = [&](double t) {
      if (!(t > 0.0 && t < 1.0)) return;
      double u = 1 - t;
      double x = u * u * u * p0.x + 3 * u * u * t * p1.x + 3 * u * t * t * p2.x + t * t * t * p3.x;
      double y = u * u * u * p0.y + 3 * u * u * t * p1.y + 3 * u * t * t * p2.y + t * t * t * p3.y;
      hpgs_point p{x, y};
      if (std::isfinite(x) && std::isfinite(y)) hpgs_bbox_add(&path_, &p);
    };
    axis(p0.x, p1.x, p2.x, p3.x, eval);
    axis(p0.y, p1.y, p2.y, p3.y, eval);
    if (reach_ > 0 && std::isfinite(p3.x) && std::isfinite(p3.y)) {
      // The curve leaves p0 towards the first control point apart from it
      // and arrives at p3 from the last one.
      auto same = [](const hpgs_point &a, const hpgs_point &b) { return a.x == b.x && a.y == b.y; };
      const hpgs_point &out = !same(p1, p0) ? p1 : !same(p2, p0) ? p2 : p3;
      const hpgs_point &in = !same(p2, p3) ? p2 : !same(p1, p3) ? p1 : p0;
      if (segment_to(out)) {
        // The curve's end tangent is the last segment.
        seg_x_ = p3.x - in.x, seg_y_ = p3.y - in.y, seg_len_ = -1;
      }
    }
    add_point(p3.x, p3.y);
  }

  // Adds the path to the page: its box grown by grow on every side, and
  // for strokes the marks of its joins and caps.
  void commit(double grow, bool stroke) {
    if (hpgs_bbox_isnull(&path_)) return;
    bool white = color_.r >= 1.0 && color_.g >= 1.0 && color_.b >= 1.0;
    if (!white) {
      if (stroke && state_changed_) grow = std::max(grow, reach_);
      hpgs_bbox b = path_;
      b.llx -= grow;
      b.lly -= grow;
      b.urx += grow;
      b.ury += grow;
      if (stroke && !hpgs_bbox_isnull(&extra_)) hpgs_bbox_expand(&b, &extra_);
      if (!hpgs_bbox_isnull(&clip_)) hpgs_bbox_intersect(&b, &clip_);
      hpgs_bbox_expand(&page_, &b);
      update_page_inner();
    }
    clear_path();
  }
  void clear_path() {
    hpgs_bbox_null(&path_);
    hpgs_bbox_null(&extra_);
    have_dir_ = false;
    open_ = false;
    state_changed_ = false;
  }

  static int moveto(hpgs_device *d, const hpgs_point *p) {
    auto *s = self(d);
    if (s->reach_ > 0) {
      s->end_subpath();
      if (!std::isfinite(p->x) || !std::isfinite(p->y)) return 0;
      s->add_point(p->x, p->y);
      s->start_ = s->cur_;
      s->open_ = true;
      return 0;
    }
    s->add_point(p->x, p->y);
    return 0;
  }
  static int lineto(hpgs_device *d, const hpgs_point *p) {
    auto *s = self(d);
    if (s->reach_ > 0) {
      if (!std::isfinite(p->x) || !std::isfinite(p->y)) return 0;
      if (!s->open_) return moveto(d, p);  // no current point: a move
      s->add_point_box(*p);
      s->line_geometry(*p);
      s->cur_ = *p;
      return 0;
    }
    s->add_point(p->x, p->y);
    return 0;
  }
  static int curveto(hpgs_device *d, const hpgs_point *p1, const hpgs_point *p2, const hpgs_point *p3) {
    auto *s = self(d);
    if (s->reach_ > 0 && !s->open_) moveto(d, p1);  // no current point: from p1
    s->add_curve(*p1, *p2, *p3);
    return 0;
  }
  static int newpath(hpgs_device *d) {
    self(d)->clear_path();
    return 0;
  }
  static int closepath(hpgs_device *d) {
    auto *s = self(d);
    if (s->reach_ > 0 && s->open_) {
      // The closing segment back to the start, and the join there with
      // the first segment instead of two caps.
      if (s->have_dir_) {
        s->segment_to(s->start_);
        s->cur_ = s->start_;
        s->segment_to(s->first_);
      }
      s->have_dir_ = false;
      s->cur_ = s->start_;  // a following lineto starts a subpath here
    }
    return 0;
  }
  static int stroke(hpgs_device *d) {
    auto *s = self(d);
    s->end_subpath();
    s->commit(s->half_, true);
    return 0;
  }
  static int fill(hpgs_device *d, hpgs_bool) {
    self(d)->commit(0.0, false);
    return 0;
  }
  static int clip(hpgs_device *d, hpgs_bool) {
    auto *s = self(d);
    if (hpgs_bbox_isnull(&s->path_)) return 0;
    if (hpgs_bbox_isnull(&s->clip_)) s->clip_ = s->path_;
    else hpgs_bbox_intersect(&s->clip_, &s->path_);
    if (hpgs_bbox_isnull(&s->clip_)) s->clip_ = hpgs_bbox{0, 0, 0, 0};  // nothing visible
    s->clear_path();
    return 0;
  }
  static int clipsave(hpgs_device *d) {
    auto *s = self(d);
    if (s->clip_stack_.size() >= 1024) return hpgs_set_error("Clip nesting deeper than 1024 levels.");
    s->clip_stack_.push_back(s->clip_);
    return 0;
  }
  static int cliprestore(hpgs_device *d) {
    auto *s = self(d);
    if (s->clip_stack_.empty()) return 0;
    s->clip_ = s->clip_stack_.back();
    s->clip_stack_.pop_back();
    return 0;
  }
  static int setrgbcolor(hpgs_device *d, const hpgs_color *c) {
    self(d)->color_ = *c;
    return 0;
  }
  static int setlinewidth(hpgs_device *d, double w) {
    auto *s = self(d);
    const double v = std::isfinite(w) && w > 0 ? w : 0.0;
    if (v != s->linewidth_) s->state_changes();
    s->linewidth_ = v;
    s->update_reach();
    return 0;
  }
  static int setlinecap(hpgs_device *d, hpgs_line_cap c) {
    auto *s = self(d);
    if (c != s->cap_) s->state_changes();
    s->cap_ = c;
    s->update_reach();
    return 0;
  }
  static int setlinejoin(hpgs_device *d, hpgs_line_join j) {
    auto *s = self(d);
    if (j != s->join_) s->state_changes();
    s->join_ = j;
    s->update_reach();
    return 0;
  }
  static int setmiterlimit(hpgs_device *d, double l) {
    auto *s = self(d);
    const double v = std::isfinite(l) && l >= 1.0 ? l : 1.0;  // as the paint device takes it
    if (v != s->miter_) s->state_changes();
    s->miter_ = v;
    s->update_reach();
    return 0;
  }
  static int setdash(hpgs_device *d, const float *segs, unsigned n, double) {
    auto *s = self(d);
    bool dashed = false;
    for (unsigned i = 0; i < n; ++i)
      if (segs[i] > 0) dashed = true;
    if (dashed != s->dashed_) s->state_changes();
    s->dashed_ = dashed;
    return 0;
  }
  static int drawimage(hpgs_device *d, const hpgs_image *, const hpgs_point *ll, const hpgs_point *lr,
                       const hpgs_point *ur) {
    auto *s = self(d);
    s->clear_path();
    s->add_point(ll->x, ll->y);
    s->add_point(lr->x, lr->y);
    s->add_point(ur->x, ur->y);
    s->add_point(ll->x + ur->x - lr->x, ll->y + ur->y - lr->y);
    hpgs_color keep = s->color_;
    s->color_ = hpgs_color{0, 0, 0};  // an image counts whatever the pen
    s->commit(0.0, false);
    s->color_ = keep;
    return 0;
  }
  static int setplotsize(hpgs_device *d, const hpgs_bbox *bb) {
    self(d)->declared_ = *bb;
    return 0;
  }
  static int getplotsize(hpgs_device *d, int i, hpgs_bbox *bb) {
    auto *s = self(d);
    if (i < 0) return hpgs_set_error("Invalid page number %d for the plot size.", i);
    hpgs_bbox r;
    hpgs_bbox_null(&r);
    if (i == 0) {
      for (const auto &p : s->pages_) hpgs_bbox_expand(&r, &p);
      if (s->pages_.empty()) r = s->page_result();
    } else if (static_cast<size_t>(i) <= s->pages_.size()) {
      r = s->pages_[static_cast<size_t>(i) - 1];
    } else if (i == 1 && s->pages_.empty()) {
      r = s->page_result();  // page still open or nothing read: what there is
    } else {
      return hpgs_set_error("Page %d does not exist; the drawing has %zu page(s).", i, s->pages_.size());
    }
    if (hpgs_bbox_isnull(&r)) r = hpgs_bbox{0.0, 0.0, 0.0, 0.0};
    *bb = r;
    return 0;
  }
  hpgs_bbox page_result() const {
    if (!ignore_ps_ && !hpgs_bbox_isnull(&declared_)) return declared_;
    return page_;
  }
  static int showpage(hpgs_device *d, int) {
    auto *s = self(d);
    if (s->pages_.size() >= 1000000) return hpgs_set_error("More than a million pages.");
    s->pages_.push_back(s->page_result());
    hpgs_bbox_null(&s->page_);
    s->update_page_inner();
    hpgs_bbox_null(&s->declared_);
    s->clear_path();
    return 0;
  }
  static int capabilities(hpgs_device *) {
    return HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_MULTISIZE | HPGS_DEVICE_CAP_CURVES |
           HPGS_DEVICE_CAP_NULLIMAGE;
  }
  static void destroy(hpgs_device *d) { delete self(d); }

  bool ignore_ps_, do_linewidth_;
  hpgs_bbox path_, page_, declared_, clip_;
  hpgs_bbox extra_;  // square-cap corners and miter tips of the path
  hpgs_bbox page_inner_;  // update_page_inner
  hpgs_point cur_{0, 0};
  hpgs_color color_{0, 0, 0};
  double linewidth_ = 0.0;
  // Stroke state as the paint device takes it (cairo's defaults).
  hpgs_line_cap cap_ = hpgs_cap_butt;
  hpgs_line_join join_ = hpgs_join_miter;
  double miter_ = 10.0;
  bool dashed_ = false;
  // update_reach: half the width, the farthest mark, 1 / half, the cosine
  // of the sharpest turn that still has a miter.
  double half_ = 0.0, reach_ = 0.0, inv_half_ = 0.0, limit_cos_ = -0.98;
  double margin_ = 0.0;  // reach_ - half_
  // The subpath being built, followed while reach_ > 0: its start, the
  // point its first segment heads for, its last segment of non-zero length
  // (ending at cur_; its length, or -1 while not worked out) and whether it
  // has such a segment yet.
  hpgs_point start_{0, 0}, first_{0, 0};
  double seg_x_ = 0, seg_y_ = 0, seg_len_ = -1;
  bool open_ = false, have_dir_ = false;
  bool state_changed_ = false;
  std::vector<hpgs_bbox> clip_stack_;
  std::vector<hpgs_bbox> pages_;
};

const hpgs_device_vtable PlotSizeDevice::kVtable = {
    "hpgs_plotsize_device",
    PlotSizeDevice::moveto,
    PlotSizeDevice::lineto,
    PlotSizeDevice::curveto,
    PlotSizeDevice::newpath,
    PlotSizeDevice::closepath,
    PlotSizeDevice::stroke,
    PlotSizeDevice::fill,
    PlotSizeDevice::clip,
    hpgs::device_guard<PlotSizeDevice::clipsave>,  // the clip stack grows
    PlotSizeDevice::cliprestore,
    PlotSizeDevice::setrgbcolor,
    PlotSizeDevice::setdash,
    PlotSizeDevice::setlinewidth,
    PlotSizeDevice::setlinecap,
    PlotSizeDevice::setlinejoin,
    PlotSizeDevice::setmiterlimit,
    nullptr,
    nullptr,
    PlotSizeDevice::drawimage,
    PlotSizeDevice::setplotsize,
    PlotSizeDevice::getplotsize,
    hpgs::device_guard<PlotSizeDevice::showpage>,  // so do the pages
    nullptr,
    PlotSizeDevice::capabilities,
    PlotSizeDevice::destroy,
    nullptr,  // measures a pattern's mean colour like any other
};

}  // namespace

hpgs::RunBox hpgs::run_box(const PointRun &run) {
  RunBoxer b;
  for (size_t i = 0; i < run.n; ++i) b.add(run[i], i);
  return b.result(run);
}

int hpgs::device_lineto_run(hpgs_device *dev, const PointRun &run) {
  if (is_recording_device(dev)) return recording_lineto_run(dev, run);
  if (is_tee_device(dev)) return tee_lineto_run(dev, run);
  if (dev->vtable == &PlotSizeDevice::kVtable) return device_lineto_run(dev, run, run_box(run));
  for (size_t i = 0; i < run.n; ++i) {
    const int rc = hpgs_lineto(dev, &run[i]);
    if (rc < 0) return rc;
  }
  return 0;
}

int hpgs::device_lineto_run(hpgs_device *dev, const PointRun &run, const RunBox &box) {
  if (dev->vtable == &PlotSizeDevice::kVtable) {
    PlotSizeDevice *s = PlotSizeDevice::self(dev);
    if (!box.any) return 0;
    if (s->reach_ > 0) {
      if (!s->open_) {
        // No current point: the first point is a move.
        size_t i = 0;
        while (!std::isfinite(run[i].x) || !std::isfinite(run[i].y)) ++i;
        PlotSizeDevice::moveto(dev, &run[i]);
      }
      // A run deep inside the path's box or the page's (a later turn of a
      // spiral, most of a dense drawing) has no join that could reach out
      // of it: only
      // the last segment, and the first one of a subpath, are taken.
      const double m = s->margin_;
      const hpgs_bbox &pb = s->path_;
      const hpgs_bbox &rb = box.box;
      const double x0 = std::min(rb.llx, s->cur_.x), x1 = std::max(rb.urx, s->cur_.x);
      const double y0 = std::min(rb.lly, s->cur_.y), y1 = std::max(rb.ury, s->cur_.y);
      if ((x0 - m >= pb.llx && x1 + m <= pb.urx && y0 - m >= pb.lly && y1 + m <= pb.ury) ||
          s->deep_in_page(x0, x1, y0, y1)) {
        merge_run_box(s->path_, box.box);
        s->run_inside(run, box.last);
        return 0;
      }
      // The whole run's box first: joins inside it are passed over.
      merge_run_box(s->path_, box.box);
      for (size_t i = 0; i < run.n; ++i) {
        const hpgs_point &q = run[i];
        if (!std::isfinite(q.x) || !std::isfinite(q.y)) continue;
        s->line_geometry(q);
        s->cur_ = q;
      }
      return 0;
    }
    merge_run_box(s->path_, box.box);
    s->cur_ = box.last;
    return 0;
  }
  return device_lineto_run(dev, run);
}

extern "C" hpgs_device *hpgs_new_plotsize_device(hpgs_bool ignore_ps, hpgs_bool do_linewidth) {
  auto *d = new (std::nothrow) PlotSizeDevice(ignore_ps != 0, do_linewidth != 0);
  if (!d) {
    hpgs_set_error("Out of memory creating a plot-size device.");
    return nullptr;
  }
  return &d->base;
}
