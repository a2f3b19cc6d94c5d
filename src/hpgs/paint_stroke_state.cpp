// The paint device's stroke state: what it keeps of line width, caps,
// joins, miter limit and dashes, and how it hands them to cairo.
//
// Thin lines: a stroke narrower than one pixel is drawn one pixel wide.
// With anti-aliasing its coverage is scaled by max(width in pixels, thin
// alpha), so ink per length follows the width down to the thin alpha, which
// keeps hairlines (PW 0) visible. Without anti-aliasing it is drawn one
// pixel wide in full colour (only 0 and 255 coverage exist there). Its
// vertices go to pixel centres (snap_thin_path).
#include "paint_device.h"

namespace hpgs::paint {

int dev_setdash(hpgs_device *d, const float *segs, unsigned n, double offset) {
  PaintDevice *p = pd(d);
  p->dash.clear();
  double sum = 0;
  bool ok = true;
  for (unsigned i = 0; i < n; ++i) {
    double v = segs[i];
    if (!(v >= 0) || !std::isfinite(v)) ok = false;
    else sum += v;
    p->dash.push_back(v);
  }
  // cairo refuses negative lengths and an all-zero pattern: draw solid.
  // A pattern far below a pixel would cost a dash per pixel for nothing
  // visible: drawn solid as well. So is one whose dots all merge with
  // their gaps (dash_pixels): it is a line, drawn as solid lines are.
  if (!ok || !(sum > 0) || sum * p->scale < 1e-3) {
    p->dash.clear();
  } else {
    // As dash_pixels leaves the gaps: pairs (dash, gap) of the even list,
    // every pair of an odd one (it repeats with on and off swapped).
    const size_t n = p->dash.size();
    bool gaps = false;
    for (size_t k = 0; k < n && !gaps; k += n % 2 ? 1 : 2) {
      const double on = p->dash[k] * p->scale, off = p->dash[(k + 1) % n] * p->scale;
      gaps = on < 1.0 ? off > 1.0 - on : off > 0;
    }
    if (!gaps) p->dash.clear();
  }
  p->dash_offset = std::isfinite(offset) ? offset : 0.0;
  return 0;
}
int dev_setlinewidth(hpgs_device *d, double w) {
  pd(d)->line_width = std::isfinite(w) && w > 0 ? w : 0.0;
  return 0;
}
int dev_setlinecap(hpgs_device *d, hpgs_line_cap c) {
  pd(d)->cap = c;
  return 0;
}
int dev_setlinejoin(hpgs_device *d, hpgs_line_join j) {
  pd(d)->join = j;
  return 0;
}
int dev_setmiterlimit(hpgs_device *d, double l) {
  pd(d)->miter = std::isfinite(l) && l >= 1.0 ? l : 1.0;
  return 0;
}

std::vector<double> dash_pixels(const PaintDevice *p) {
  std::vector<double> d(p->dash.size());
  for (size_t i = 0; i < d.size(); ++i) d[i] = p->dash[i] * p->scale;
  // An odd list repeats with on and off swapped: written out twice it is
  // the even list of the same marks.
  if (d.size() % 2) d.insert(d.end(), d.begin(), d.end());
  // Dots (dashes shorter than a pixel) would vanish with butt caps, and
  // fade to nothing with anti-aliasing: they become one pixel long, the
  // time taken from the following gap so that the pattern keeps its
  // length. A gap too short for that is a dot's width of ink anyway: the
  // dot takes all of it and runs on into the next dash (so a pattern far
  // below a pixel becomes a line).
  for (size_t i = 0; i + 1 < d.size(); i += 2) {
    if (!(d[i] < 1.0)) continue;
    if (d[i + 1] > 1.0 - d[i]) {
      d[i + 1] -= 1.0 - d[i];
      d[i] = 1.0;
    } else {
      d[i] += d[i + 1];
      d[i + 1] = 0.0;
    }
  }
  return d;
}

double drawn_width(const PaintDevice *p, double &alpha) {
  const double w = p->line_width * p->scale;
  alpha = 1.0;
  if (w >= 1.0) return w;
  if (p->antialias) alpha = std::clamp(std::max(w > 0 ? w : 0.0, p->thin_alpha), 0.0, 1.0);
  return 1.0;
}

void apply_stroke_state(PaintDevice *p, double &alpha) {
  cairo_t *cr = p->cr;
  const double w = drawn_width(p, alpha);
  // Wider strokes than this break cairo's fixed-point stroker; they cover
  // any preview anyway.
  cairo_set_line_width(cr, std::min(w, 1.0e5));
  cairo_set_line_cap(cr, p->cap == hpgs_cap_round    ? CAIRO_LINE_CAP_ROUND
                         : p->cap == hpgs_cap_square ? CAIRO_LINE_CAP_SQUARE
                                                     : CAIRO_LINE_CAP_BUTT);
  cairo_set_line_join(cr, p->join == hpgs_join_round   ? CAIRO_LINE_JOIN_ROUND
                          : p->join == hpgs_join_bevel ? CAIRO_LINE_JOIN_BEVEL
                                                       : CAIRO_LINE_JOIN_MITER);
  cairo_set_miter_limit(cr, p->miter);
  if (p->dash.empty()) {
    cairo_set_dash(cr, nullptr, 0, 0);
  } else {
    const std::vector<double> d = dash_pixels(p);
    cairo_set_dash(cr, d.data(), static_cast<int>(d.size()), p->dash_offset * p->scale);
  }
}

void snap_thin_points(double *xy, size_t n, bool closed, int w, int h) {
  auto on_far = [](double v, int e) { return v >= e && v <= e + 1.0 / 128; };
  bool far_x_prev = false, far_y_prev = false;  // of the point before, as it was
  const bool last_x = n > 0 && on_far(xy[2 * n - 2], w), last_y = n > 0 && on_far(xy[2 * n - 1], h);
  const bool first_x = n > 0 && on_far(xy[0], w), first_y = n > 0 && on_far(xy[1], h);
  for (size_t i = 0; i < n; ++i) {
    double &x = xy[2 * i], &y = xy[2 * i + 1];
    const bool fx = on_far(x, w), fy = on_far(y, h);
    const bool has_prev = i > 0 || closed, has_next = i + 1 < n || closed;
    const bool px = i > 0 ? far_x_prev : last_x, py = i > 0 ? far_y_prev : last_y;
    const bool nx = i + 1 < n ? on_far(xy[2 * i + 2], w) : first_x;
    const bool ny = i + 1 < n ? on_far(xy[2 * i + 3], h) : first_y;
    far_x_prev = fx, far_y_prev = fy;
    x = fx && ((has_prev && px) || (has_next && nx)) ? w - 0.5 : pixel_centre(x);
    y = fy && ((has_prev && py) || (has_next && ny)) ? h - 0.5 : pixel_centre(y);
  }
}

// Thin lines are drawn one pixel wide; between two pixel rows such a line
// would cover both by half and show as a faint double line. Its vertices
// are moved to pixel centres (by at most half a pixel), so that a hairline
// lights single pixels with its full (thin-alpha scaled) coverage.
void snap_thin_path(cairo_t *cr, int w, int h) {
  cairo_path_t *path = cairo_copy_path(cr);
  if (!path || path->status != CAIRO_STATUS_SUCCESS) {
    if (path) cairo_path_destroy(path);
    return;
  }
  // Subpath by subpath: the points gathered, snapped, written back.
  std::vector<double> xy;
  std::vector<cairo_path_data_t *> where;
  auto flush = [&](bool closed) {
    snap_thin_points(xy.data(), where.size(), closed, w, h);
    for (size_t k = 0; k < where.size(); ++k) where[k]->point.x = xy[2 * k], where[k]->point.y = xy[2 * k + 1];
    xy.clear();
    where.clear();
  };
  for (int i = 0; i < path->num_data; i += path->data[i].header.length) {
    cairo_path_data_t *d = &path->data[i];
    if (d->header.type == CAIRO_PATH_MOVE_TO) flush(false);
    if (d->header.type == CAIRO_PATH_CLOSE_PATH) {
      flush(true);
      continue;
    }
    for (int k = 1; k < d->header.length; ++k) {
      xy.push_back(d[k].point.x);
      xy.push_back(d[k].point.y);
      where.push_back(&d[k]);
    }
  }
  flush(false);
  cairo_new_path(cr);
  cairo_append_path(cr, path);
  cairo_path_destroy(path);
}


}  // namespace hpgs::paint
