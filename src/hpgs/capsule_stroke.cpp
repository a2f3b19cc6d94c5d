// Capsule rasteriser: see capsule_stroke.h.
#include "capsule_stroke.h"

#include "paint_internal.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace hpgs {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// 0: not read yet; 1: capsule strokes; 2: cairo for every stroke.
std::atomic<int> g_cairo_strokes{0};
std::atomic<unsigned long> g_capsule_strokes{0};

// Keeps a pixel coordinate inside int range and well around the image.
inline double clamp_px(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// floor and ceil of values already clamped to int range (without SSE4.1
// std::floor and std::ceil are library calls).
inline int ifloor(double v) {
  const int i = static_cast<int>(v);
  return i - (v < i);
}
inline int iceil(double v) {
  const int i = static_cast<int>(v);
  return i + (v > i);
}

}  // namespace

unsigned long capsule_stroke_count() { return g_capsule_strokes.load(std::memory_order_relaxed); }

void set_cairo_strokes(bool on) { g_cairo_strokes.store(on ? 2 : 1); }

bool cairo_strokes() {
  int v = g_cairo_strokes.load(std::memory_order_relaxed);
  if (v == 0) {
    const char *e = std::getenv("HPGS_CAIRO_STROKES");
    v = e && *e && std::strcmp(e, "0") != 0 ? 2 : 1;
    g_cairo_strokes.store(v);
  }
  return v == 2;
}

void CapsuleStroker::add_body(double ax, double ay, double bx, double by, double ext_a, double ext_b, bool disc_a,
                              bool disc_b, bool cap_a, bool cap_b) {
  // Built in place: strokes of long polylines add hundreds of thousands.
  Seg &s = segs_.emplace_back();
  s.ax = ax, s.ay = ay, s.bx = bx, s.by = by;
  const double dx = bx - ax, dy = by - ay;
  const double len = std::sqrt(dx * dx + dy * dy);
  if (len > 1e-9) {
    s.len = len;
    s.ux = dx / len;
    s.uy = dy / len;
    s.iux = s.ux != 0 ? 1.0 / s.ux : 0.0;
    s.iuy = s.uy != 0 ? 1.0 / s.uy : 0.0;
  } else {
    s.bx = ax, s.by = ay;
    s.len = s.ux = s.uy = s.iux = s.iuy = 0.0;
    disc_a = disc_a || disc_b;
    disc_b = false;
  }
  s.t0 = -ext_a;
  s.t1 = s.len + ext_b;
  s.disc_a = disc_a;
  s.disc_b = disc_b;
  s.cap_a = cap_a;
  s.cap_b = cap_b;
  s.ylo = s.yhi = 0.0;
}

void CapsuleStroker::add_poly(const double *x, const double *y, int n) {
  Poly &p = polys_.emplace_back();
  p.n = n;
  p.ylo = kInf, p.yhi = -kInf;
  for (int i = 0; i < n; ++i) {
    p.x[i] = x[i], p.y[i] = y[i];
    p.ylo = std::min(p.ylo, y[i]);
    p.yhi = std::max(p.yhi, y[i]);
  }
}

bool CapsuleStroker::add_polyline(const double *xy, size_t n, bool closed, double r, StrokeCap cap,
                                  StrokeJoin join, double miter_limit) {
  if (n == 0) return true;
  if (cap == StrokeCap::round && join == StrokeJoin::round) {
    // The union of capsules; a single point is a dot.
    for (size_t i = 0; i + 1 < n; ++i) add(xy[2 * i], xy[2 * i + 1], xy[2 * i + 2], xy[2 * i + 3]);
    if (n == 1 || closed) add(xy[2 * n - 2], xy[2 * n - 1], xy[0], xy[1]);
    return true;
  }
  // Points with zero-length segments dropped: they have no direction.
  std::vector<double> &v = scratch_;
  v.clear();
  for (size_t i = 0; i < n; ++i) {
    const double x = xy[2 * i], y = xy[2 * i + 1];
    if (!v.empty() && std::fabs(x - v[v.size() - 2]) < 1e-9 && std::fabs(y - v.back()) < 1e-9) continue;
    v.push_back(x);
    v.push_back(y);
  }
  if (closed && v.size() > 2 && std::fabs(v[0] - v[v.size() - 2]) < 1e-9 && std::fabs(v[1] - v.back()) < 1e-9) {
    v.pop_back();
    v.pop_back();
  }
  const size_t m = v.size() / 2;
  if (m == 1) {
    // A single point: a dot with round caps, nothing with butt caps.
    if (cap == StrokeCap::round) add(v[0], v[1], v[0], v[1]);
    return cap != StrokeCap::square;
  }
  const size_t nseg = closed ? m : m - 1;
  const double ext = cap == StrokeCap::square ? r : 0.0;
  const size_t base = segs_.size();  // segment i is segs_[base + i]
  segs_.reserve(base + nseg);
  for (size_t i = 0; i < nseg; ++i) {
    const size_t j = (i + 1) % m;
    const bool first = !closed && i == 0, last = !closed && i + 1 == nseg;
    add_body(v[2 * i], v[2 * i + 1], v[2 * j], v[2 * j + 1], first ? ext : 0.0, last ? ext : 0.0,
             first && cap == StrokeCap::round, last && cap == StrokeCap::round, first, last);
  }
  // Joins at the inner points (all points of a closed polyline).
  const double lim2 = miter_limit * miter_limit;
  for (size_t k = closed ? 0 : 1; k < (closed ? m : m - 1); ++k) {
    const double vx = v[2 * k], vy = v[2 * k + 1];
    if (join == StrokeJoin::round) {
      add(vx, vy, vx, vy);
      continue;
    }
    // The directions of the segments into and out of the point.
    const Seg &in = segs_[base + (k + m - 1) % m], &out = segs_[base + k];
    const double ax = in.ux, ay = in.uy, bx = out.ux, by = out.uy;
    const double cross = ax * by - ay * bx, dot = ax * bx + ay * by;
    if (cross == 0 && dot > 0) continue;  // straight on
    // Outer normals: on the side away from the turn.
    const double sgn = cross > 0 ? 1.0 : -1.0;
    const double o1x = sgn * ay, o1y = -sgn * ax, o2x = sgn * by, o2y = -sgn * bx;
    const double px[4] = {vx, vx + r * o1x, 0, 0}, py[4] = {vy, vy + r * o1y, 0, 0};
    double qx[4], qy[4];
    std::copy(px, px + 4, qx);
    std::copy(py, py + 4, qy);
    // Miter length over width is 1 / sin(angle / 2), i.e. 2 / (1 + dot)
    // in squares.
    if (join == StrokeJoin::miter && (1.0 + dot) * lim2 >= 2.0 && 1.0 + dot > 1e-12) {
      const double k2 = r / (1.0 + dot);
      qx[2] = vx + k2 * (o1x + o2x);
      qy[2] = vy + k2 * (o1y + o2y);
      qx[3] = vx + r * o2x;
      qy[3] = vy + r * o2y;
      add_poly(qx, qy, 4);
    } else {
      qx[2] = vx + r * o2x;
      qy[2] = vy + r * o2y;
      add_poly(qx, qy, 3);
    }
  }
  return true;
}

void CapsuleStroker::prepare(double r, bool outline_rows) {
  for (Seg &s : segs_) {
    // Square-cap extensions reach along the segment.
    const double e = std::max({0.0, -s.t0, s.t1 - s.len}) * std::fabs(s.uy);
    // The rows the piece reaches. Without anti-aliasing they are its
    // outline's, and exactly so where a side or an end lies level: the
    // row rule (a sample row on a piece's lowest point belongs to the piece
    // below) sees a level lower side only at its true height. A body's
    // sides reach r |ux| above and below its ends, a vertical body's level
    // ends none; a slanted body's lowest point is a corner, which lights
    // nothing, so a hair more keeps rounding from dropping a row there.
    // Discs reach r. Anti-aliased coverage reaches further; r bounds it.
    const double ux = std::fabs(s.ux);
    double side = r;
    if (outline_rows && !s.disc_a && !s.disc_b && s.len > 0) side = ux == 0.0 ? 0.0 : ux == 1.0 ? r : r * ux + 1e-9;
    s.ylo = std::min(s.ay, s.by) - side - e;
    s.yhi = std::max(s.ay, s.by) + side + e;
  }
}

// A segment's pieces are convex, so their meet with the line is the hull
// of the meets with the end discs and with the body (the points whose
// projection falls in [t0, t1] and whose distance from the line is at
// most r).
inline bool CapsuleStroker::span(const Seg &s, double y, double r, double &xl, double &xr) {
  const double r2 = r * r;
  double lo = kInf, hi = -kInf;
  const double ey = y - s.ay;
  double q = r2 - ey * ey;
  if (s.disc_a && q >= 0) {
    const double h = std::sqrt(q);
    lo = s.ax - h;
    hi = s.ax + h;
  }
  if (s.len > 0) {
    const double fy = y - s.by;
    q = r2 - fy * fy;
    if (s.disc_b && q >= 0) {
      const double h = std::sqrt(q);
      lo = std::min(lo, s.bx - h);
      hi = std::max(hi, s.bx + h);
    }
    // t = x - ax: t0 <= t ux + ey uy <= t1 and -r <= ey ux - t uy <= r.
    double tl = -kInf, tr = kInf;
    const double a0 = s.t0 - ey * s.uy, a1 = s.t1 - ey * s.uy;
    if (s.ux != 0) {
      const double p0 = a0 * s.iux, p1 = a1 * s.iux;
      tl = std::min(p0, p1);
      tr = std::max(p0, p1);
    } else if (a0 > 0 || a1 < 0) {
      tl = kInf;
    }
    const double b0 = ey * s.ux - r, b1 = ey * s.ux + r;
    if (s.uy != 0) {
      const double p0 = b0 * s.iuy, p1 = b1 * s.iuy;
      tl = std::max(tl, std::min(p0, p1));
      tr = std::min(tr, std::max(p0, p1));
    } else if (b0 > 0 || b1 < 0) {
      tl = kInf;
    }
    if (tl <= tr) {
      lo = std::min(lo, s.ax + tl);
      hi = std::max(hi, s.ax + tr);
    }
  }
  if (!(lo <= hi)) return false;
  xl = lo;
  xr = hi;
  return true;
}

// A convex polygon meets the line between the leftmost and the rightmost
// crossing of its edges.
inline bool CapsuleStroker::span(const Poly &p, double y, double, double &xl, double &xr) {
  if (y < p.ylo || y > p.yhi) return false;
  double lo = kInf, hi = -kInf;
  for (int i = 0; i < p.n; ++i) {
    const int j = i + 1 < p.n ? i + 1 : 0;
    const double y0 = p.y[i], y1 = p.y[j];
    if ((y < y0 && y < y1) || (y > y0 && y > y1)) continue;
    if (y0 == y1) {
      lo = std::min({lo, p.x[i], p.x[j]});
      hi = std::max({hi, p.x[i], p.x[j]});
      continue;
    }
    const double x = p.x[i] + (y - y0) * p.k[i];
    lo = std::min(lo, x);
    hi = std::max(hi, x);
  }
  if (!(lo <= hi)) return false;
  xl = lo;
  xr = hi;
  return true;
}

// Calls emit(y, span_at) for each piece and each pixel row y0 <= y < y1
// holding a sample row y + off (sub0 <= off <= sub1) the piece may reach
// (a sample row on the piece's lowest point is left to the piece below);
// span_at(yy, xl, xr) gives the piece's meet with the line at height yy.
template <class Emit>
void CapsuleStroker::rows(int y0, int y1, double r, double sub0, double sub1, Emit &&emit) {
  auto one = [&](const auto &piece) {
    const int ya = std::max(y0, iceil(clamp_px(piece.ylo - sub1, y0 - 2.0, y1 + 1.0)));
    const int yb = std::min(y1 - 1, iceil(clamp_px(piece.yhi - sub0, y0 - 2.0, y1 + 1.0)) - 1);
    for (int y = ya; y <= yb; ++y) emit(y, [&](double yy, double &xl, double &xr) { return span(piece, yy, r, xl, xr); });
  };
  for (const Seg &s : segs_) one(s);
  for (const Poly &p : polys_) one(p);
}

namespace {

// The clip rectangles cut to the target's rows and width; empty ones go.
std::vector<CapsuleTarget::Rect> usable_clip(const CapsuleTarget &t) {
  std::vector<CapsuleTarget::Rect> out;
  for (size_t i = 0; i < t.nclip; ++i) {
    CapsuleTarget::Rect c = t.clip[i];
    c.x0 = std::max(c.x0, 0);
    c.x1 = std::min(c.x1, t.width);
    c.y0 = std::max(c.y0, t.y0);
    c.y1 = std::min(c.y1, t.y0 + t.rows);
    if (c.x0 < c.x1 && c.y0 < c.y1) out.push_back(c);
  }
  return out;
}

}  // namespace

bool CapsuleStroker::start(const CapsuleTarget &t, double r, bool outline_rows, std::vector<CapsuleTarget::Rect> &clip,
                           int &cy0, int &cy1) {
  g_capsule_strokes.fetch_add(1, std::memory_order_relaxed);
  clip = usable_clip(t);
  if (clip.empty() || empty()) return false;
  cy0 = clip[0].y0, cy1 = clip[0].y1;
  for (const auto &c : clip) cy0 = std::min(cy0, c.y0), cy1 = std::max(cy1, c.y1);
  prepare(r, outline_rows);
  return true;
}

void CapsuleStroker::paint_solid(const CapsuleTarget &t, double r, uint32_t rgb) {
  std::vector<CapsuleTarget::Rect> clip;
  int cy0, cy1;
  if (!start(t, r, true, clip, cy0, cy1)) return;
  for (Poly &p : polys_)
    for (int i = 0; i < p.n; ++i) {
      const int j = i + 1 < p.n ? i + 1 : 0;
      p.k[i] = p.y[j] != p.y[i] ? (p.x[j] - p.x[i]) / (p.y[j] - p.y[i]) : 0.0;
    }
  const uint32_t v = 0xff000000u | (rgb & 0xffffffu);
  const double wlim = t.width + 1.0;
  // Pixels whose centre (x + 0.5, y + 0.5) lies in a piece; a centre on
  // a piece's right or lower edge belongs to the next one (cairo's rule
  // too, so that a line of odd width on whole pixels is as wide as
  // cairo's and pieces that meet share their edge without overlap).
  rows(cy0, cy1, r, 0.5, 0.5, [&](int y, auto &&span_at) {
    double xl, xr;
    if (!span_at(y + 0.5, xl, xr)) return;
    const int xa = iceil(clamp_px(xl - 0.5, -2.0, wlim));
    const int xb = iceil(clamp_px(xr - 0.5, -2.0, wlim)) - 1;
    auto *row = reinterpret_cast<uint32_t *>(t.pix + static_cast<size_t>(y - t.y0) * t.stride);
    for (const auto &c : clip) {
      if (y < c.y0 || y >= c.y1) continue;
      const int x0 = std::max(xa, c.x0), x1 = std::min(xb, c.x1 - 1);
      for (int x = x0; x <= x1; ++x) row[x] = v;
    }
  });
}

// A segment's body covers by its distance inside the two long sides and,
// at a cap, inside the end; at a join it ends sharply (the join's wedge
// or the next body covers beyond), so that consecutive bodies meet
// without a seam: a centre on the cut belongs to the later piece.
[[gnu::always_inline]] inline double CapsuleStroker::coverage(const Seg &s, double x, double y, double r) {
  const double ex = x - s.ax, ey = y - s.ay;
  double c = 0.0;
  if (s.disc_a) c = r + 0.5 - std::sqrt(ex * ex + ey * ey);
  if (s.len > 0) {
    if (s.disc_b) {
      const double fx = x - s.bx, fy = y - s.by;
      c = std::max(c, r + 0.5 - std::sqrt(fx * fx + fy * fy));
    }
    const double t = ex * s.ux + ey * s.uy;
    double cb = r + 0.5 - std::fabs(ex * s.uy - ey * s.ux);
    if (cb > c) {
      cb = std::min(cb, s.cap_a ? t - s.t0 + 0.5 : (t >= s.t0 ? 1.0 : 0.0));
      cb = std::min(cb, s.cap_b ? s.t1 - t + 0.5 : (t < s.t1 ? 1.0 : 0.0));
      c = std::max(c, cb);
    }
  }
  return c;
}

// Outward edge normals of a wedge, from the turning sense of its corners
// (only anti-aliasing needs them). False if it has no area.
inline bool edge_normals(const double *x, const double *y, int n, double *nx, double *ny, double *nc) {
  double area2 = 0;
  for (int i = 0; i < n; ++i) {
    const int j = i + 1 < n ? i + 1 : 0;
    area2 += x[i] * y[j] - x[j] * y[i];
  }
  if (std::fabs(area2) < 1e-12) return false;
  const double sense = area2 > 0 ? 1.0 : -1.0;
  for (int i = 0; i < n; ++i) {
    const int j = i + 1 < n ? i + 1 : 0;
    const double ex = x[j] - x[i], ey = y[j] - y[i], l = std::sqrt(ex * ex + ey * ey);
    if (l < 1e-12) {
      nx[i] = ny[i] = 0, nc[i] = -kInf;
      continue;
    }
    nx[i] = sense * ey / l;
    ny[i] = -sense * ex / l;
    nc[i] = -(nx[i] * x[i] + ny[i] * y[i]);
  }
  return true;
}

// A join wedge covers by the distance inside its nearest outer edge. Its
// first and last edges run from the vertex along the two bodies' ends,
// which meet them there: they cut sharply, as the bodies do, so that no
// seam shows between a body and its wedge.
[[gnu::always_inline]] inline double CapsuleStroker::coverage(const Poly &p, double x, double y, double) {
  if (p.nx[0] * x + p.ny[0] * y + p.nc[0] > 0 || p.nx[p.n - 1] * x + p.ny[p.n - 1] * y + p.nc[p.n - 1] > 0)
    return 0.0;
  double d = -kInf;
  for (int i = 1; i + 1 < p.n; ++i) d = std::max(d, p.nx[i] * x + p.ny[i] * y + p.nc[i]);
  return 0.5 - d;
}

void CapsuleStroker::paint_aa(const CapsuleTarget &t, double r, uint32_t rgb, double alpha) {
  std::vector<CapsuleTarget::Rect> clip;
  int cy0, cy1;
  if (!start(t, r, false, clip, cy0, cy1)) return;
  const size_t w = static_cast<size_t>(t.width);
  const size_t need = w * static_cast<size_t>(t.rows);
  if (cov_size_ < need) {
    cov_.reset(static_cast<uint8_t *>(big_alloc(need)));
    if (!cov_) throw std::bad_alloc();
    std::memset(cov_.get(), 0, need);
    cov_size_ = need;
  }
  uint8_t *cov = cov_.get();
  touched_.clear();
  // Keeps the largest coverage of each pixel of the stroke.
  auto put = [&](int x, int y, double c) {
    c *= alpha;
    if (!(c > 0.002)) return;
    const unsigned c8 = c >= 1.0 ? 255u : static_cast<unsigned>(c * 255.0 + 0.5);
    const size_t i = static_cast<size_t>(y - t.y0) * w + static_cast<size_t>(x);
    if (c8 > cov[i]) {
      if (cov[i] == 0) touched_.push_back(static_cast<uint32_t>(i));
      cov[i] = static_cast<uint8_t>(c8);
    }
  };
  const double wlim = t.width + 1.0;
  // Pixel centres up to half a pixel outside a piece take coverage.
  for (const Seg &s : segs_) {
    Seg e = s;
    if (s.cap_a) e.t0 -= 0.5;
    if (s.cap_b) e.t1 += 0.5;
    const int ya = std::max(cy0, iceil(clamp_px(s.ylo - 1.0, cy0 - 2.0, cy1 + 1.0)));
    const int yb = std::min(cy1 - 1, ifloor(clamp_px(s.yhi, cy0 - 2.0, cy1 + 1.0)));
    for (int y = ya; y <= yb; ++y) {
      const double yy = y + 0.5;
      double xl, xr;
      if (!span(e, yy, r + 0.5, xl, xr)) continue;
      const int xa = std::max(0, iceil(clamp_px(xl - 0.5, -2.0, wlim)));
      const int xb = std::min(t.width - 1, ifloor(clamp_px(xr - 0.5, -2.0, wlim)));
      for (int x = xa; x <= xb; ++x) put(x, y, coverage(s, x + 0.5, yy, r));
    }
  }
  for (Poly &p : polys_) {
    if (!edge_normals(p.x, p.y, p.n, p.nx, p.ny, p.nc)) continue;
    double xlo = p.x[0], xhi = p.x[0];
    for (int i = 1; i < p.n; ++i) xlo = std::min(xlo, p.x[i]), xhi = std::max(xhi, p.x[i]);
    const int ya = std::max(cy0, iceil(clamp_px(p.ylo - 1.0, cy0 - 2.0, cy1 + 1.0)));
    const int yb = std::min(cy1 - 1, ifloor(clamp_px(p.yhi, cy0 - 2.0, cy1 + 1.0)));
    const int xa = std::max(0, iceil(clamp_px(xlo - 1.0, -2.0, wlim)));
    const int xb = std::min(t.width - 1, ifloor(clamp_px(xhi, -2.0, wlim)));
    for (int y = ya; y <= yb; ++y)
      for (int x = xa; x <= xb; ++x) put(x, y, coverage(p, x + 0.5, y + 0.5, r));
  }
  // Each touched pixel inside the clip takes the colour by its coverage.
  const unsigned sr = (rgb >> 16) & 0xff, sg = (rgb >> 8) & 0xff, sb = rgb & 0xff;
  for (uint32_t i : touched_) {
    const unsigned c = cov[i];
    cov[i] = 0;
    const int x = static_cast<int>(i % w), y = static_cast<int>(i / w) + t.y0;
    bool inside = false;
    for (const auto &cr : clip) inside = inside || (x >= cr.x0 && x < cr.x1 && y >= cr.y0 && y < cr.y1);
    if (!inside) continue;
    auto *px = reinterpret_cast<uint32_t *>(t.pix + static_cast<size_t>(y - t.y0) * t.stride) + x;
    const uint32_t d = *px;
    auto mix = [c](unsigned src, unsigned dst) { return (src * c + dst * (255 - c) + 127) / 255; };
    *px = 0xff000000u | mix(sr, (d >> 16) & 0xff) << 16 | mix(sg, (d >> 8) & 0xff) << 8 | mix(sb, d & 0xff);
  }
  touched_.clear();
}

}  // namespace hpgs
