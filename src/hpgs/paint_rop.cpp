// The raster-operation mask: a mark painted as coverage, then combined
// with the pixels under it by the device's raster operation (paint_rop.h).
#include "paint_rop.h"

#include <cmath>

namespace hpgs::paint {

int rop_mark(PaintDevice *p, bool stroke, cairo_pattern_t *source) {
  cairo_t *cr = p->cr;
  double x1, y1, x2, y2;
  if (stroke) cairo_stroke_extents(cr, &x1, &y1, &x2, &y2);
  else cairo_fill_extents(cr, &x1, &y1, &x2, &y2);
  double cx1, cy1, cx2, cy2;
  cairo_clip_extents(cr, &cx1, &cy1, &cx2, &cy2);
  int ix1 = static_cast<int>(std::floor(std::max(x1, cx1))) - 1;
  int iy1 = static_cast<int>(std::floor(std::max(y1, cy1))) - 1;
  int ix2 = static_cast<int>(std::ceil(std::min(x2, cx2))) + 1;
  int iy2 = static_cast<int>(std::ceil(std::min(y2, cy2))) + 1;
  ix1 = std::max(ix1, 0);
  iy1 = std::max(iy1, 0);
  ix2 = std::min(ix2, p->img->width);
  iy1 = std::max(iy1, p->band_y0);
  iy2 = std::min(iy2, p->band_y0 + p->band_rows);
  if (ix1 >= ix2 || iy1 >= iy2) {
    cairo_new_path(cr);
    return 0;
  }
  cairo_path_t *path = cairo_copy_path(cr);
  cairo_new_path(cr);
  cairo_save(cr);
  cairo_rectangle(cr, ix1, iy1, ix2 - ix1, iy2 - iy1);
  cairo_clip(cr);
  cairo_push_group_with_content(cr, source ? CAIRO_CONTENT_COLOR_ALPHA : CAIRO_CONTENT_ALPHA);
  cairo_append_path(cr, path);
  if (source) cairo_set_source(cr, source);
  else cairo_set_source_rgba(cr, 0, 0, 0, 1);
  if (stroke) cairo_stroke(cr);
  else cairo_fill(cr);
  cairo_pattern_t *mask = cairo_pop_group(cr);
  cairo_restore(cr);
  cairo_path_destroy(path);
  int rc = 0;
  cairo_surface_t *ms = nullptr;
  const cairo_format_t want = source ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_A8;
  if (cairo_pattern_get_surface(mask, &ms) == CAIRO_STATUS_SUCCESS && cairo_image_surface_get_format(ms) == want) {
    cairo_surface_flush(ms);
    cairo_surface_flush(p->surface);
    double ox = 0, oy = 0;
    cairo_surface_get_device_offset(ms, &ox, &oy);
    const int mw = cairo_image_surface_get_width(ms), mh = cairo_image_surface_get_height(ms);
    const int mstride = cairo_image_surface_get_stride(ms);
    const unsigned char *mdata = cairo_image_surface_get_data(ms);
    const int offx = static_cast<int>(std::lround(ox)), offy = static_cast<int>(std::lround(oy));
    unsigned char s[3] = {to_byte(p->color.r), to_byte(p->color.g), to_byte(p->color.b)};
    for (int my = 0; my < mh; ++my) {
      int y = my - offy;
      if (!p->row_inside(y)) continue;
      unsigned char *row = p->row(y);
      const unsigned char *mrow = mdata + static_cast<size_t>(my) * mstride;
      for (int mx = 0; mx < mw; ++mx) {
        unsigned a;
        if (source) {
          // Premultiplied ARGB: S is the colour with the coverage undone.
          uint32_t sv;
          std::memcpy(&sv, mrow + 4 * mx, 4);
          a = sv >> 24;
          if (a) {
            s[0] = static_cast<unsigned char>(std::min(255u, ((sv >> 16) & 0xff) * 255 / a));
            s[1] = static_cast<unsigned char>(std::min(255u, ((sv >> 8) & 0xff) * 255 / a));
            s[2] = static_cast<unsigned char>(std::min(255u, (sv & 0xff) * 255 / a));
          }
        } else {
          a = mrow[mx];
        }
        if (!a) continue;
        int x = mx - offx;
        if (x < 0 || x >= p->img->width) continue;
        const unsigned st[3] = {s[0], s[1], s[2]};
        rop_pixel(row + 4 * x, p->rop, st, st, a);
      }
    }
    cairo_surface_mark_dirty(p->surface);
  } else {
    rc = hpgs_set_error("paint device: cannot build the mask of a raster operation.");
  }
  cairo_pattern_destroy(mask);
  return rc;
}

}  // namespace hpgs::paint
