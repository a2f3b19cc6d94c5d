// Capsule rasteriser: see capsule_stroke.h.
#include "capsule_stroke.h"

#include "paint_internal.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace hpgs {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Largest sample-mask strip (masks of 2 bytes): rows of a stroke beyond it
// are painted in further strips.
constexpr size_t kMaskStripPixels = size_t{1} << 21;

// 0: not read yet; 1: capsule strokes; 2: cairo for every stroke.
std::atomic<int> g_cairo_strokes{0};
std::atomic<unsigned long> g_capsule_strokes{0};

// Keeps a pixel coordinate inside int range and well around the image.
inline double clamp_px(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// x * y / 255, rounded as pixman's 8-bit arithmetic rounds.
inline unsigned mul_un8(unsigned x, unsigned y) {
  unsigned t = x * y + 128;
  return (t + (t >> 8)) >> 8;
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

void CapsuleStroker::add(double ax, double ay, double bx, double by) {
  Seg s{};
  s.ax = ax, s.ay = ay, s.bx = bx, s.by = by;
  const double dx = bx - ax, dy = by - ay;
  const double len = std::sqrt(dx * dx + dy * dy);
  if (len > 1e-9) {
    s.len = len;
    s.ux = dx / len;
    s.uy = dy / len;
  } else {
    s.bx = ax, s.by = ay;
  }
  segs_.push_back(s);
}

void CapsuleStroker::prepare(double r) {
  for (Seg &s : segs_) {
    s.ylo = std::min(s.ay, s.by) - r;
    s.yhi = std::max(s.ay, s.by) + r;
  }
}

// The capsule is convex, so its meet with the line is the hull of the
// meets with the two end discs and with the body (the points whose
// projection falls on the segment and whose distance from it is at most r).
bool CapsuleStroker::span(const Seg &s, double y, double r, double &xl, double &xr) {
  const double r2 = r * r;
  double lo = kInf, hi = -kInf;
  const double ey = y - s.ay;
  double q = r2 - ey * ey;
  if (q >= 0) {
    const double h = std::sqrt(q);
    lo = s.ax - h;
    hi = s.ax + h;
  }
  if (s.len > 0) {
    const double fy = y - s.by;
    q = r2 - fy * fy;
    if (q >= 0) {
      const double h = std::sqrt(q);
      lo = std::min(lo, s.bx - h);
      hi = std::max(hi, s.bx + h);
    }
    // t = x - ax: 0 <= t ux + ey uy <= len and -r <= ey ux - t uy <= r.
    double tl = -kInf, tr = kInf;
    const double a0 = -ey * s.uy, a1 = s.len - ey * s.uy;
    if (s.ux != 0) {
      const double p0 = a0 / s.ux, p1 = a1 / s.ux;
      tl = std::min(p0, p1);
      tr = std::max(p0, p1);
    } else if (a0 > 0 || a1 < 0) {
      tl = kInf;
    }
    const double b0 = ey * s.ux - r, b1 = ey * s.ux + r;
    if (s.uy != 0) {
      const double p0 = b0 / s.uy, p1 = b1 / s.uy;
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

void CapsuleStroker::paint_solid(const CapsuleTarget &t, double r, uint32_t rgb) {
  g_capsule_strokes.fetch_add(1, std::memory_order_relaxed);
  const std::vector<CapsuleTarget::Rect> clip = usable_clip(t);
  if (clip.empty() || segs_.empty()) return;
  int cy0 = clip[0].y0, cy1 = clip[0].y1;
  for (const auto &c : clip) cy0 = std::min(cy0, c.y0), cy1 = std::max(cy1, c.y1);
  prepare(r);
  const uint32_t v = 0xff000000u | (rgb & 0xffffffu);
  const double wlim = t.width + 1.0;
  for (const Seg &s : segs_) {
    // Rows whose centre y + 0.5 lies in [ylo, yhi].
    const int ya = std::max(cy0, static_cast<int>(std::ceil(clamp_px(s.ylo - 0.5, -2.0, cy1 + 1.0))));
    const int yb = std::min(cy1 - 1, static_cast<int>(std::floor(clamp_px(s.yhi - 0.5, -2.0, cy1 + 1.0))));
    for (int y = ya; y <= yb; ++y) {
      double xl, xr;
      if (!span(s, y + 0.5, r, xl, xr)) continue;
      const int xa = static_cast<int>(std::ceil(clamp_px(xl - 0.5, -2.0, wlim)));
      const int xb = static_cast<int>(std::floor(clamp_px(xr - 0.5, -2.0, wlim)));
      auto *row = reinterpret_cast<uint32_t *>(t.pix + static_cast<size_t>(y - t.y0) * t.stride);
      for (const auto &c : clip) {
        if (y < c.y0 || y >= c.y1) continue;
        const int x0 = std::max(xa, c.x0), x1 = std::min(xb, c.x1 - 1);
        for (int x = x0; x <= x1; ++x) row[x] = v;
      }
    }
  }
}

// Samples sit at offsets (k + 1) / 4 of a pixel (k = 0 ... 3) in x and y,
// where cairo's fast rasteriser samples: an edge at fraction a of a pixel
// covers floor(4 a) of its sample columns or rows.
void CapsuleStroker::paint_aa(const CapsuleTarget &t, double r, uint32_t rgb) {
  g_capsule_strokes.fetch_add(1, std::memory_order_relaxed);
  const std::vector<CapsuleTarget::Rect> clip = usable_clip(t);
  if (clip.empty() || segs_.empty()) return;
  int cy0 = clip[0].y0, cy1 = clip[0].y1;
  for (const auto &c : clip) cy0 = std::min(cy0, c.y0), cy1 = std::max(cy1, c.y1);
  prepare(r);
  double slo = kInf, shi = -kInf;
  for (const Seg &s : segs_) slo = std::min(slo, s.ylo), shi = std::max(shi, s.yhi);
  const int ylo = std::max(cy0, static_cast<int>(std::floor(clamp_px(slo, -2.0, cy1 + 1.0))) - 1);
  const int yhi = std::min(cy1, static_cast<int>(std::ceil(clamp_px(shi, -2.0, cy1 + 1.0))) + 1);
  if (ylo >= yhi) return;
  const int w = t.width;
  const int strip = static_cast<int>(std::clamp<size_t>(kMaskStripPixels / static_cast<size_t>(w), 1, 65535));
  const size_t need = static_cast<size_t>(w) * static_cast<size_t>(std::min(strip, yhi - ylo));
  if (masks_.size() < need) masks_.resize(need, 0);
  const unsigned sr = (rgb >> 16) & 0xff, sg = (rgb >> 8) & 0xff, sb = rgb & 0xff;
  const double wlim = 4.0 * w + 4.0;
  for (int s0 = ylo; s0 < yhi; s0 += strip) {
    const int s1 = std::min(yhi, s0 + strip);
    for (const Seg &s : segs_) {
      // Pixel rows holding a sample row whose y lies in [ylo, yhi].
      const int ya = std::max(s0, static_cast<int>(std::floor(clamp_px(s.ylo - 1.0, -2.0, s1 + 1.0))));
      const int yb = std::min(s1 - 1, static_cast<int>(std::floor(clamp_px(s.yhi, -2.0, s1 + 1.0))));
      for (int y = ya; y <= yb; ++y) {
        uint16_t *mrow = masks_.data() + static_cast<size_t>(y - s0) * w;
        for (int j = 0; j < 4; ++j) {
          double xl, xr;
          if (!span(s, y + (j + 1) * 0.25, r, xl, xr)) continue;
          // Sample columns m (at x = (m + 1) / 4) with xl <= x <= xr.
          const int ma = static_cast<int>(std::ceil(clamp_px(4.0 * xl - 1.0, -8.0, wlim)));
          const int mb = static_cast<int>(std::floor(clamp_px(4.0 * xr - 1.0, -8.0, wlim)));
          for (const auto &c : clip) {
            if (y < c.y0 || y >= c.y1) continue;
            const int m0 = std::max(ma, 4 * c.x0), m1 = std::min(mb, 4 * c.x1 - 1);
            for (int m = m0; m <= m1;) {
              const int x = m >> 2, k0 = m & 3, k1 = std::min(3, m1 - 4 * x);
              const auto bits = static_cast<uint16_t>(((0xfu >> (3 - k1)) & (0xfu << k0)) << (4 * j));
              if (!mrow[x]) touched_.push_back(static_cast<uint32_t>((y - s0) << 16 | x));
              mrow[x] |= bits;
              m = 4 * x + 4;
            }
          }
        }
      }
    }
    for (uint32_t e : touched_) {
      const int yy = static_cast<int>(e >> 16), x = static_cast<int>(e & 0xffff);
      uint16_t &mk = masks_[static_cast<size_t>(yy) * w + x];
      const unsigned n = static_cast<unsigned>(std::popcount(static_cast<unsigned>(mk)));
      mk = 0;
      auto *px = reinterpret_cast<uint32_t *>(t.pix + static_cast<size_t>(s0 + yy - t.y0) * t.stride) + x;
      if (n >= 16) {
        *px = 0xff000000u | (rgb & 0xffffffu);
        continue;
      }
      const unsigned a = n * 16, na = 255 - a;
      const uint32_t d = *px;
      const unsigned r8 = mul_un8(sr, a) + mul_un8((d >> 16) & 0xff, na);
      const unsigned g8 = mul_un8(sg, a) + mul_un8((d >> 8) & 0xff, na);
      const unsigned b8 = mul_un8(sb, a) + mul_un8(d & 0xff, na);
      *px = 0xff000000u | (r8 << 16) | (g8 << 8) | b8;
    }
    touched_.clear();
  }
}

}  // namespace hpgs
