// Fills and strokes with a raster pattern (FT11, FT22, screened vectors)
// on the paint device.
#include "paint_device.h"
#include "paint_rop.h"

namespace hpgs {

// The pattern is a cairo surface pattern repeated over the page, its
// matrix mapping device pixels back to pattern pixels. Pattern pixels
// smaller than a device pixel are averaged with anti-aliasing (their tone
// stays) and sampled without.
int paint_device_pattern(hpgs_device *d, const PaintPattern &pat, bool stroke, bool winding) {
  using namespace paint;
  if (is_recording_device(d)) return recording_device_pattern(d, pat, stroke, winding);
  if (d->vtable == &kBandedVtable) return banded_pattern(d, pat, stroke, winding);
  PaintDevice *p = pd(d);
  cairo_t *cr = p->cr;
  cairo_path_ready(p);
  if (p->path_empty || pat.width <= 0 || pat.height <= 0 ||
      pat.argb.size() < static_cast<size_t>(pat.width) * static_cast<size_t>(pat.height)) {
    cairo_new_path(cr);
    p->path_empty = true;
    return 0;
  }
  const hpgs_matrix &t = pat.to_dev;
  cairo_matrix_t m;
  cairo_matrix_init(&m, p->sx * t.mxx, p->sy * t.myx, p->sx * t.mxy, p->sy * t.myy, p->sx * t.dx + p->tx,
                    p->sy * t.dy + p->ty);
  cairo_matrix_t inv = m;
  if (cairo_matrix_invert(&inv) != CAIRO_STATUS_SUCCESS) {
    cairo_new_path(cr);
    p->path_empty = true;
    return 0;
  }
  p->begin_paint();
  cairo_surface_t *surf = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, pat.width, pat.height);
  if (cairo_surface_status(surf) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(surf);
    return hpgs_set_error("paint device: out of memory for a pattern of %d x %d.", pat.width, pat.height);
  }
  unsigned char *data = cairo_image_surface_get_data(surf);
  const int stride = cairo_image_surface_get_stride(surf);
  for (int y = 0; y < pat.height; ++y) {
    auto *row = reinterpret_cast<uint32_t *>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < pat.width; ++x) {
      uint32_t v = pat.argb[static_cast<size_t>(y) * pat.width + x];
      row[x] = (v >> 24) ? (0xff000000u | (v & 0xffffffu)) : 0u;
    }
  }
  cairo_surface_mark_dirty(surf);
  const double cell = std::sqrt(std::fabs(m.xx * m.yy - m.xy * m.yx));
  if (p->antialias && cell < 0.999) {
    // Averaging cells smaller than a pixel with cairo's convolution filter
    // over a whole fill took about a microsecond a pixel. The tile is
    // averaged once instead, at about the device's scale: k x k repeats,
    // k chosen so that they span nearly whole pixels, then drawn with the
    // bilinear filter at a scale near one.
    int best_k = 1;
    double best_err = 1e9;
    for (int k = 1; k <= 16; ++k) {
      const double w = k * pat.width * cell, h = k * pat.height * cell;
      const double err = std::fabs(w - std::round(w)) + std::fabs(h - std::round(h));
      if (w >= 1 && h >= 1 && err < best_err - 1e-9) best_err = err, best_k = k;
    }
    const int tw = std::max(1, static_cast<int>(std::lround(best_k * pat.width * cell)));
    const int th = std::max(1, static_cast<int>(std::lround(best_k * pat.height * cell)));
    cairo_surface_t *tile = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, tw, th);
    cairo_t *tc = cairo_create(tile);
    const double fx = static_cast<double>(tw) / (best_k * pat.width), fy = static_cast<double>(th) / (best_k * pat.height);
    cairo_scale(tc, fx, fy);
    cairo_set_source_surface(tc, surf, 0, 0);
    cairo_pattern_set_extend(cairo_get_source(tc), CAIRO_EXTEND_REPEAT);
    cairo_pattern_set_filter(cairo_get_source(tc), CAIRO_FILTER_GOOD);
    cairo_set_operator(tc, CAIRO_OPERATOR_SOURCE);
    cairo_paint(tc);
    cairo_destroy(tc);
    cairo_surface_destroy(surf);
    if (cairo_surface_status(tile) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(tile);
      return hpgs_set_error("paint device: out of memory for a pattern of %d x %d.", tw, th);
    }
    surf = tile;
    // Device pixels to the averaged tile's pixels.
    cairo_matrix_t to_tile;
    cairo_matrix_init_scale(&to_tile, fx, fy);
    cairo_matrix_multiply(&inv, &inv, &to_tile);
  }
  // Owned: applying the stroke state below may throw.
  const UniqueCairoPattern owned_src(cairo_pattern_create_for_surface(surf));
  cairo_pattern_t *src = owned_src.get();
  cairo_surface_destroy(surf);
  cairo_pattern_set_extend(src, CAIRO_EXTEND_REPEAT);
  cairo_pattern_set_matrix(src, &inv);
  cairo_pattern_set_filter(src, p->antialias && cell < 0.999 ? CAIRO_FILTER_BILINEAR : CAIRO_FILTER_NEAREST);
  double alpha = 1.0;
  if (stroke) {
    apply_stroke_state(p, alpha);
    if (p->line_width * p->scale < 1.0) snap_thin_path(cr, p->img->width, p->img->height);
  } else {
    cairo_set_fill_rule(cr, winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
  }
  int rc = 0;
  if (p->vector_plain()) {
    cairo_set_source(cr, src);
    if (alpha >= 1.0) {
      if (stroke) cairo_stroke(cr);
      else cairo_fill(cr);
    } else {
      // A thin line keeps the coverage of the thin-line rule: drawn into a
      // group over its own extent, then painted with that alpha.
      double x1, y1, x2, y2;
      cairo_stroke_extents(cr, &x1, &y1, &x2, &y2);
      cairo_path_t *path = cairo_copy_path(cr);
      cairo_new_path(cr);
      cairo_save(cr);
      cairo_rectangle(cr, std::floor(x1) - 1, std::floor(y1) - 1, std::ceil(x2 - x1) + 3, std::ceil(y2 - y1) + 3);
      cairo_clip(cr);
      cairo_push_group(cr);
      cairo_append_path(cr, path);
      cairo_set_source(cr, src);
      cairo_stroke(cr);
      cairo_pop_group_to_source(cr);
      cairo_paint_with_alpha(cr, alpha);
      cairo_restore(cr);
      cairo_path_destroy(path);
    }
  } else {
    rc = rop_mark(p, stroke, src);
  }
  p->path_empty = true;
  return rc ? rc : cairo_check(p, stroke ? "pattern stroke" : "pattern fill");
}

}  // namespace hpgs
