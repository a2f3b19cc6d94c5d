// Hatched and patterned fills: FT3 (parallel lines), FT4 (cross-hatch),
// FT21 (the six PCL cross-hatch patterns) drawn as stroked lines clipped by
// the polygon; user-defined raster patterns (FT11, FT22) as a 50 % shade of
// the pen colour.
//
// Lines run at the fill angle as it looks on the plot (in plotter units,
// whatever SC does), one of them through the AC anchor, spaced by the FT
// spacing in current units measured along X (plotter units without SC);
// spacing 0 means 1 % of the P1-P2 diagonal. They are drawn with the pen's
// width and colour, solid.
#include "interp_util.h"

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

  sync_stroke_attrs();
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
