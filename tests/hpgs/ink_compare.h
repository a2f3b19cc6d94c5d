// Comparison of two renderings of one drawing that may differ in scale and
// margins: both are cropped to the box of their ink and resampled to one
// size, then compared as ink masks.
//   ink        darkest channel below 128
//   size       the reference crop, scaled down (never up) so that its longer
//              side is at most 1000 pixels; the test crop is resampled to
//              exactly that size, so a wrong aspect ratio shows as distortion
//   resampling darkness (255 - darkest channel) by max pooling when
//              shrinking, so thin lines never fade; linear when enlarging
//   f_tol      F-score of precision (test ink within 2 pixels, Chebyshev,
//              of reference ink) and recall (the converse)
//   iou        intersection over union of the masks
#ifndef HPGS_TEST_INK_COMPARE_H
#define HPGS_TEST_INK_COMPARE_H

#include "paint_helpers.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace hpgs_test {

struct Gray {
  int w = 0, h = 0;
  std::vector<float> v;  // darkness 0 ... 255
  float &at(int x, int y) { return v[static_cast<size_t>(y) * w + x]; }
  float at(int x, int y) const { return v[static_cast<size_t>(y) * w + x]; }
};

struct InkScore {
  double f_tol = 0, iou = 0, precision = 0, recall = 0;
  bool ok = false;  // both images had ink
  // The resampled masks (1 = ink), w × h, for a picture of the difference.
  int w = 0, h = 0;
  std::vector<char> ref_mask, test_mask;
};

inline Gray darkness(const Png &p) {
  Gray g;
  g.w = p.width;
  g.h = p.height;
  g.v.resize(static_cast<size_t>(g.w) * g.h);
  for (int y = 0; y < g.h; ++y)
    for (int x = 0; x < g.w; ++x) {
      int m = 255;
      for (int c = 0; c < std::min(p.channels, 3); ++c) m = std::min(m, p.at(x, y, c));
      g.at(x, y) = static_cast<float>(255 - m);
    }
  return g;
}

inline bool ink_box(const Gray &g, int &x0, int &y0, int &x1, int &y1) {
  x0 = g.w, y0 = g.h, x1 = -1, y1 = -1;
  for (int y = 0; y < g.h; ++y)
    for (int x = 0; x < g.w; ++x)
      if (g.at(x, y) > 127.0f) {
        x0 = std::min(x0, x), x1 = std::max(x1, x);
        y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  return x1 >= 0;
}

inline Gray crop(const Gray &g, int x0, int y0, int x1, int y1) {
  Gray c;
  c.w = x1 - x0 + 1;
  c.h = y1 - y0 + 1;
  c.v.resize(static_cast<size_t>(c.w) * c.h);
  for (int y = 0; y < c.h; ++y)
    for (int x = 0; x < c.w; ++x) c.at(x, y) = g.at(x + x0, y + y0);
  return c;
}

// Resamples one axis (0: rows, 1: columns) to n entries.
inline Gray resample_axis(const Gray &g, int n, int axis) {
  const int m = axis == 0 ? g.h : g.w;
  if (n == m) return g;
  Gray o;
  o.w = axis == 1 ? n : g.w;
  o.h = axis == 0 ? n : g.h;
  o.v.assign(static_cast<size_t>(o.w) * o.h, 0.0f);
  const int other = axis == 0 ? g.w : g.h;
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < other; ++k) {
      auto src = [&](int j) { return axis == 0 ? g.at(k, j) : g.at(j, k); };
      float val;
      if (n < m) {
        int a = static_cast<int>(std::floor(static_cast<double>(i) * m / n));
        int b = i + 1 < n ? static_cast<int>(std::floor(static_cast<double>(i + 1) * m / n)) : m;
        b = std::max(b, a + 1);
        val = 0;
        for (int j = a; j < b; ++j) val = std::max(val, src(j));
      } else {
        double pos = (i + 0.5) * m / n - 0.5;
        int lo = std::clamp(static_cast<int>(std::floor(pos)), 0, m - 1);
        int hi = std::min(lo + 1, m - 1);
        double w = std::clamp(pos - lo, 0.0, 1.0);
        val = static_cast<float>(src(lo) * (1 - w) + src(hi) * w);
      }
      if (axis == 0) o.at(k, i) = val;
      else o.at(i, k) = val;
    }
  }
  return o;
}

inline std::vector<char> mask_of(const Gray &g) {
  std::vector<char> m(g.v.size());
  for (size_t i = 0; i < m.size(); ++i) m[i] = g.v[i] > 127.0f;
  return m;
}

inline std::vector<char> dilate(const std::vector<char> &m, int w, int h, int r) {
  // Separable square dilation: rows, then columns.
  std::vector<char> t(m.size(), 0), o(m.size(), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (m[static_cast<size_t>(y) * w + x])
        for (int d = std::max(0, x - r); d <= std::min(w - 1, x + r); ++d) t[static_cast<size_t>(y) * w + d] = 1;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      if (t[static_cast<size_t>(y) * w + x])
        for (int d = std::max(0, y - r); d <= std::min(h - 1, y + r); ++d) o[static_cast<size_t>(d) * w + x] = 1;
  return o;
}

inline InkScore compare_ink(const Png &ref, const Png &test, int max_side = 1000, int tol = 2) {
  InkScore s;
  Gray a = darkness(ref), b = darkness(test);
  int ax0, ay0, ax1, ay1, bx0, by0, bx1, by1;
  if (!ink_box(a, ax0, ay0, ax1, ay1) || !ink_box(b, bx0, by0, bx1, by1)) return s;
  a = crop(a, ax0, ay0, ax1, ay1);
  b = crop(b, bx0, by0, bx1, by1);
  double k = std::min(1.0, static_cast<double>(max_side) / std::max(a.w, a.h));
  int w = std::max(1, static_cast<int>(std::lround(a.w * k))), h = std::max(1, static_cast<int>(std::lround(a.h * k)));
  a = resample_axis(resample_axis(a, h, 0), w, 1);
  b = resample_axis(resample_axis(b, h, 0), w, 1);
  auto ma = mask_of(a), mb = mask_of(b);
  auto da = dilate(ma, w, h, tol), db = dilate(mb, w, h, tol);
  size_t inter = 0, uni = 0, na = 0, nb = 0, b_near_a = 0, a_near_b = 0;
  for (size_t i = 0; i < ma.size(); ++i) {
    inter += ma[i] && mb[i];
    uni += ma[i] || mb[i];
    na += ma[i];
    nb += mb[i];
    b_near_a += mb[i] && da[i];
    a_near_b += ma[i] && db[i];
  }
  s.ok = true;
  s.w = w;
  s.h = h;
  s.ref_mask = ma;
  s.test_mask = mb;
  s.iou = uni ? static_cast<double>(inter) / uni : 0;
  s.precision = nb ? static_cast<double>(b_near_a) / nb : 0;
  s.recall = na ? static_cast<double>(a_near_b) / na : 0;
  s.f_tol = s.precision + s.recall > 0 ? 2 * s.precision * s.recall / (s.precision + s.recall) : 0;
  return s;
}

// The same F-score without cropping and resampling, for two renderings at
// one scale: the test picture is laid on the reference at the whole-pixel
// shift (searched coarse to fine, up to `reach` pixels from the shift that
// centres the ink boxes) that scores best. Text or marks that one renderer
// sets wider than the other then cost only their own ink, where the
// cropped comparison moves and scales the whole drawing for them. shift_x,
// shift_y: where test pixel (0, 0) lands on the reference.
struct RegisteredScore {
  double f_tol = 0, precision = 0, recall = 0;
  int shift_x = 0, shift_y = 0;
  bool ok = false;
};

inline RegisteredScore compare_registered(const Png &ref, const Png &test, int tol = 2, int reach = 64) {
  RegisteredScore r;
  const Gray a = darkness(ref), b = darkness(test);
  int ax0, ay0, ax1, ay1, bx0, by0, bx1, by1;
  if (!ink_box(a, ax0, ay0, ax1, ay1) || !ink_box(b, bx0, by0, bx1, by1)) return r;
  const auto ma = mask_of(a), mb = mask_of(b);
  const auto da = dilate(ma, a.w, a.h, tol), db = dilate(mb, b.w, b.h, tol);
  // Ink pixels as lists: ink is sparse, so a shift is scored by them alone.
  std::vector<std::pair<int, int>> ia, ib;
  for (int y = 0; y < a.h; ++y)
    for (int x = 0; x < a.w; ++x)
      if (ma[static_cast<size_t>(y) * a.w + x]) ia.push_back({x, y});
  for (int y = 0; y < b.h; ++y)
    for (int x = 0; x < b.w; ++x)
      if (mb[static_cast<size_t>(y) * b.w + x]) ib.push_back({x, y});
  auto score = [&](int dx, int dy, double &p, double &q) {
    size_t near_a = 0, near_b = 0;
    for (auto [x, y] : ib) {
      const int u = x + dx, v = y + dy;
      near_a += u >= 0 && v >= 0 && u < a.w && v < a.h && da[static_cast<size_t>(v) * a.w + u];
    }
    for (auto [x, y] : ia) {
      const int u = x - dx, v = y - dy;
      near_b += u >= 0 && v >= 0 && u < b.w && v < b.h && db[static_cast<size_t>(v) * b.w + u];
    }
    p = static_cast<double>(near_a) / ib.size();
    q = static_cast<double>(near_b) / ia.size();
    return p + q > 0 ? 2 * p * q / (p + q) : 0.0;
  };
  int cx = ((ax0 + ax1) - (bx0 + bx1)) / 2, cy = ((ay0 + ay1) - (by0 + by1)) / 2;
  double best = -1;
  for (int step : {8, 2, 1}) {
    const int span = step == 8 ? reach : 2 * step, ox = cx, oy = cy;
    for (int dy = oy - span; dy <= oy + span; dy += step)
      for (int dx = ox - span; dx <= ox + span; dx += step) {
        double p, q;
        const double f = score(dx, dy, p, q);
        if (f > best) best = f, cx = dx, cy = dy, r.precision = p, r.recall = q;
      }
  }
  r.f_tol = best;
  r.shift_x = cx;
  r.shift_y = cy;
  r.ok = true;
  return r;
}

// Writes the difference: black where both have ink, red where only the
// reference has, blue where only the test image has.
inline void write_diff(const InkScore &s, const std::string &file) {
  const hpgs::UniqueImage img(hpgs_new_png_image(s.w, s.h, 24, HPGS_FALSE, HPGS_FALSE));
  if (!img) return;
  unsigned char *d;
  int stride;
  hpgs_image_get_data(img.get(), &d, &stride);
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      size_t i = static_cast<size_t>(y) * s.w + x;
      unsigned char *p = d + static_cast<size_t>(y) * stride + 3 * x;
      if (s.ref_mask[i] && s.test_mask[i]) p[0] = p[1] = p[2] = 0;
      else if (s.ref_mask[i]) p[1] = p[2] = 0;
      else if (s.test_mask[i]) p[0] = p[1] = 0;
    }
  hpgs_image_write(img.get(), file.c_str());
}

}  // namespace hpgs_test

#endif
