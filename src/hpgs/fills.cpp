// Hatched and patterned fills: FT3 (parallel lines), FT4 (cross-hatch),
// FT21 (the six PCL cross-hatch patterns) drawn as stroked lines clipped by
// the polygon; raster patterns (RF with FT11 and SV2, PCL user patterns
// with FT22 and SV22) repeated from the AC anchor.
//
// Lines run at the fill angle as it looks on the plot (in plotter units,
// whatever SC does), one of them through the AC anchor, spaced by the FT
// spacing in current units measured along X (plotter units without SC);
// spacing 0 means 1 % of the P1-P2 diagonal. They are drawn with the pen's
// width and colour, solid.
#include "interp_util.h"
#include "paint_internal.h"

#include <algorithm>
#include <cmath>

namespace hpgs {

using namespace interp;

namespace {
// More lines than this per family are not drawn: memory and time stay
// bounded for absurd spacings.
constexpr double kMaxHatchLines = 200000;
// PCL cross-hatch patterns repeat every 1/20 inch at the printer.
constexpr double kPclHatchPlu = 1016.0 / 20.0;
}  // namespace

void Reader::hatch_fill(bool winding) {
  const int ft = gs_.fill_type;
  // Families of lines: angle (degrees) and spacing (plotter units).
  double spacing;
  std::vector<double> angles;
  if (ft == 21) {
    spacing = kPclHatchPlu;
    switch (gs_.fill_pattern) {
      case 1: angles = {0}; break;
      case 2: angles = {90}; break;
      case 3: angles = {45}; break;
      case 4: angles = {135}; break;
      case 5: angles = {0, 90}; break;
      default: angles = {45, 135}; break;
    }
  } else {
    double s = gs_.fill_spacing;
    if (s > 0) {
      double sx = sc_type_ >= 0 ? std::hypot(user_to_plu_.mxx, user_to_plu_.myx) : 1.0;
      spacing = s * sx;
    } else {
      spacing = 0.01 * diag_plu();
    }
    angles = {gs_.fill_angle};
    if (ft == 4) angles.push_back(gs_.fill_angle + 90.0);
  }
  if (!(spacing > 0) || !std::isfinite(spacing)) return;

  // Device -> plotter units, for the extent of the polygon.
  hpgs_matrix plu_to_dev, dev_to_plu;
  hpgs_matrix_concat(&plu_to_dev, &phys_to_dev_, &plu_to_phys_);
  if (hpgs_matrix_invert(&dev_to_plu, &plu_to_dev) != 0) return;
  hpgs_bbox box;
  hpgs_bbox_null(&box);
  for (const auto &v : poly_) {
    hpgs_point p;
    hpgs_matrix_xform(&p, &dev_to_plu, &v.p);
    hpgs_bbox_add(&box, &p);
  }
  if (hpgs_bbox_isnull(&box)) return;
  hpgs_point anchor;
  hpgs_matrix_xform(&anchor, &user_to_plu_, &gs_.anchor);

  filling_ = true;  // hatch lines belong to the fill: no vector screen
  sync_stroke_attrs();
  filling_ = false;
  dev(hpgs_setdash(dev_, nullptr, 0, 0.0));
  dev(hpgs_setlinecap(dev_, hpgs_cap_butt));
  dev_attrs_valid_ = false;
  dev(hpgs_clipsave(dev_));
  path_from_buffer(true);
  dev(hpgs_clip(dev_, winding ? HPGS_TRUE : HPGS_FALSE));
  const hpgs_point corners[4] = {{box.llx, box.lly}, {box.urx, box.lly}, {box.urx, box.ury}, {box.llx, box.ury}};
  for (double a : angles) {
    const double r = a * kPi / 180.0;
    const double ux = std::cos(r), uy = std::sin(r);  // along the lines
    const double nx = -uy, ny = ux;                   // across them
    double tmin = 1e300, tmax = -1e300, lmin = 1e300, lmax = -1e300;
    for (const auto &c : corners) {
      double t = (c.x - anchor.x) * nx + (c.y - anchor.y) * ny;
      double l = (c.x - anchor.x) * ux + (c.y - anchor.y) * uy;
      tmin = std::min(tmin, t), tmax = std::max(tmax, t);
      lmin = std::min(lmin, l), lmax = std::max(lmax, l);
    }
    double k0 = std::ceil(tmin / spacing), k1 = std::floor(tmax / spacing);
    if (!(k1 >= k0)) continue;
    if (k1 - k0 > kMaxHatchLines) {
      warn("hatch spacing %g plotter units is too fine for the polygon; lines are thinned", spacing);
      double step = std::ceil((k1 - k0) / kMaxHatchLines);
      spacing *= step;
      k0 = std::ceil(tmin / spacing);
      k1 = std::floor(tmax / spacing);
    }
    int pending = 0;
    for (double k = k0; k <= k1; ++k) {
      const double ox = anchor.x + k * spacing * nx, oy = anchor.y + k * spacing * ny;
      hpgs_point a0{ox + lmin * ux, oy + lmin * uy}, a1{ox + lmax * ux, oy + lmax * uy}, d0, d1;
      hpgs_matrix_xform(&d0, &plu_to_dev, &a0);
      hpgs_matrix_xform(&d1, &plu_to_dev, &a1);
      dev(hpgs_moveto(dev_, &d0));
      dev(hpgs_lineto(dev_, &d1));
      if (++pending >= 10000) {
        dev(hpgs_stroke(dev_));
        pending = 0;
      }
    }
    if (pending) dev(hpgs_stroke(dev_));
  }
  dev(hpgs_cliprestore(dev_));
}

}  // namespace hpgs

namespace hpgs {

// ------------------------------------------------------ raster patterns

// One pattern pixel is one dot of a 300 dpi printer.
constexpr double kPatternDotPlu = 1016.0 / 300.0;

void Reader::cmd_rf() {
  std::vector<double> a(3 + 255 * 255);
  int n = read_args(a.data(), static_cast<int>(a.size()));
  flush_path();
  if (n == 0) {
    for (auto &f : gs_.raster_fills) f = RasterFill{};
    return;
  }
  int idx = static_cast<int>(a[0]);
  if (idx < 1 || idx > 8) {
    warn("RF index %d outside 1..8 ignored", idx);
    return;
  }
  RasterFill f;  // RF with the index alone: solid again
  if (n >= 3) {
    int w = static_cast<int>(a[1]), h = static_cast<int>(a[2]);
    if (w < 1 || w > 255 || h < 1 || h > 255) {
      warn("RF %d: size %d x %d outside 1..255 ignored", idx, w, h);
      return;
    }
    f.width = w;
    f.height = h;
    // Missing cells are white.
    f.cells.assign(static_cast<size_t>(w) * h, 0);
    for (int i = 0; i < w * h && 3 + i < n; ++i)
      f.cells[static_cast<size_t>(i)] = a[3 + i] > 0 ? static_cast<int>(std::min(a[3 + i], 32767.0)) : 0;
  }
  gs_.raster_fills[static_cast<size_t>(idx)] = f;
}

// ESC*c#W: header (format, continuation, pixel encoding, reserved, height
// and width as 16-bit big-endian values, for format 20 two resolutions),
// then rows of one bit per pixel, each padded to whole bytes.
void Reader::pcl_pattern_download(size_t n) {
  constexpr size_t kMaxBytes = 12 + 4096 * 512;
  std::vector<unsigned char> b;
  for (size_t i = 0; i < n; ++i) {
    int c = input_.get();
    if (c == EOF) {
      warn("input ends inside a pattern (%zu of %zu bytes)", i, n);
      break;
    }
    if (b.size() < kMaxBytes) b.push_back(static_cast<unsigned char>(c));
  }
  if (b.size() < 8) {
    warn("PCL pattern %d without a header ignored", pcl_pattern_id_);
    return;
  }
  const int h = b[4] << 8 | b[5], w = b[6] << 8 | b[7];
  const size_t off = b[0] == 20 ? 12 : 8;
  if (b[2] != 1 || w < 1 || h < 1 || w > 4096 || h > 4096) {
    warn("PCL pattern %d: only one-bit patterns up to 4096 pixels are kept", pcl_pattern_id_);
    return;
  }
  RasterFill f;
  f.width = w;
  f.height = h;
  f.cells.assign(static_cast<size_t>(w) * h, 0);
  const size_t row_bytes = (static_cast<size_t>(w) + 7) / 8;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      size_t i = off + y * row_bytes + static_cast<size_t>(x) / 8;
      if (i < b.size() && ((b[i] >> (7 - x % 8)) & 1)) f.cells[static_cast<size_t>(y) * w + x] = 1;
    }
  for (auto &p : pcl_patterns_)
    if (p.first == pcl_pattern_id_) {
      p.second = std::move(f);
      return;
    }
  pcl_patterns_.emplace_back(pcl_pattern_id_, std::move(f));
}

bool Reader::raster_pattern(bool screen, PaintPattern &out) const {
  const int kind = screen ? gs_.screen_type : gs_.fill_type;
  const int id = screen ? gs_.screen_pattern : gs_.fill_pattern;
  const RasterFill *f = nullptr;
  bool pcl = false;
  RasterFill hatch;
  if (screen && kind == 21) {
    // The PCL cross-hatch screens as cells: lines two dots wide, 1/20 inch
    // (15 dots) apart, as the FT21 hatches are spaced.
    constexpr int kP = 15;
    hatch.width = hatch.height = kP;
    hatch.cells.assign(kP * kP, 0);
    for (int y = 0; y < kP; ++y)
      for (int x = 0; x < kP; ++x) {
        const bool h = y < 2, v = x < 2, up = (x + y) % kP < 2, down = (x - y + kP) % kP < 2;
        bool on;
        switch (id) {
          case 1: on = h; break;
          case 2: on = v; break;
          case 3: on = up; break;
          case 4: on = down; break;
          case 5: on = h || v; break;
          default: on = up || down; break;
        }
        hatch.cells[static_cast<size_t>(y) * kP + x] = on ? 1 : 0;
      }
    f = &hatch;
    pcl = true;
  } else if (kind == (screen ? 2 : 11)) {
    f = &gs_.raster_fills[static_cast<size_t>(id >= 1 && id <= 8 ? id : 1)];
  } else if (kind == 22) {
    for (const auto &p : pcl_patterns_)
      if (p.first == id) f = &p.second;
    pcl = true;
  }
  if (!f || f->width <= 0) return false;
  const size_t np = gs_.palette.size();
  auto color_of = [&](int cell) -> hpgs_color {
    if (cell <= 0) return {1, 1, 1};
    // RF cells are pens (numbered like SP); PCL cells print in the pen.
    size_t pen = pcl ? static_cast<size_t>(gs_.pen) : static_cast<size_t>(cell);
    if (pen >= np) pen = np > 1 ? (pen - 1) % (np - 1) + 1 : 0;
    return pen < np ? gs_.palette[pen] : hpgs_color{0, 0, 0};
  };
  auto byte = [](double v) { return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255.0)); };
  out.width = f->width;
  out.height = f->height;
  out.argb.resize(f->cells.size());
  for (size_t i = 0; i < f->cells.size(); ++i) {
    hpgs_color c = color_of(f->cells[i]);
    bool white = c.r >= 1 && c.g >= 1 && c.b >= 1;
    // White cells leave the page unchanged under TR1.
    out.argb[i] = white && gs_.transparent ? 0u : (0xff000000u | byte(c.r) << 16 | byte(c.g) << 8 | byte(c.b));
  }
  // The pattern's top-left corner sits on the AC anchor, rows along the
  // plotter X axis, one cell a 300 dpi dot.
  hpgs_point anchor;
  hpgs_matrix_xform(&anchor, &user_to_plu_, &gs_.anchor);
  hpgs_matrix cell{anchor.x, anchor.y, kPatternDotPlu, 0, 0, -kPatternDotPlu}, plu_to_dev, m;
  hpgs_matrix_concat(&plu_to_dev, &phys_to_dev_, &plu_to_phys_);
  hpgs_matrix_concat(&m, &plu_to_dev, &cell);
  out.to_dev = m;
  return true;
}

hpgs_color pattern_mean_color(const uint32_t *argb, size_t n) {
  double sum[3] = {0, 0, 0};
  for (size_t i = 0; i < n; ++i) {
    const uint32_t v = argb[i];
    bool clear = !(v >> 24);
    sum[0] += clear ? 255 : (v >> 16) & 0xff;
    sum[1] += clear ? 255 : (v >> 8) & 0xff;
    sum[2] += clear ? 255 : v & 0xff;
  }
  const double d = 255.0 * static_cast<double>(std::max<size_t>(n, 1));
  return hpgs_color{sum[0] / d, sum[1] / d, sum[2] / d};
}

// Fills the polygon buffer (stroke false) or strokes the device path
// (stroke true) with the raster pattern of FT11/FT22 or SV2/SV21/SV22: the
// paint and recording devices take it as it is, devices with
// HPGS_DEVICE_CAP_PATTERN through setpattern, all others as the pattern's
// mean colour. Returns false when no pattern applies.
bool Reader::pattern_path(bool stroke, bool winding) {
  PaintPattern pat;
  if (!raster_pattern(stroke, pat)) return false;
  if (is_paint_device(dev_)) {
    if (!stroke) path_from_buffer(true);
    dev(paint_device_pattern(dev_, pat, stroke, winding));
    return true;
  }
  if ((caps_ & HPGS_DEVICE_CAP_PATTERN) && dev_->vtable->setpattern) {
    // The device's colour stays what it was: the pattern paints this one
    // mark only.
    const hpgs_pattern p = public_pattern(pat);
    dev(hpgs_setpattern(dev_, &p));
  } else {
    hpgs_color c = pattern_mean_color(pat.argb.data(), pat.argb.size());
    dev(hpgs_setrgbcolor(dev_, &c));
    dev_color_ = c;
  }
  if (stroke) {
    dev(hpgs_stroke(dev_));
  } else {
    path_from_buffer(true);
    dev(hpgs_fill(dev_, winding ? HPGS_TRUE : HPGS_FALSE));
  }
  return true;
}

}  // namespace hpgs
