// Raster images on the paint device (drawimage): the image as a cairo
// surface placed by the affine map of its corners, painted as a plain copy
// or resampled onto the covered pixels and combined by the raster
// operation (S = the image pixel, T = the pattern colour).
#include "paint_device.h"
#include "paint_rop.h"

namespace hpgs::paint {

int dev_drawimage(hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                  const hpgs_point *ur) {
  PaintDevice *p = pd(d);
  if (!img || !img->data || img->width <= 0 || img->height <= 0) return 0;
  if (img->depth != 24 || img->stride < 3 * img->width)
    return hpgs_set_error("paint device: image of depth %d is not supported.", img->depth);
  p->begin_paint();
  const bool rop = p->use_rop();
  const bool keep_white = rop && p->src_tr;
  const unsigned t[3] = {to_byte(p->patcol.r), to_byte(p->patcol.g), to_byte(p->patcol.b)};
  const bool t_white = t[0] == 255 && t[1] == 255 && t[2] == 255;
  if (rop && p->pat_tr && t_white) return 0;  // everything is kept
  const bool plain = !rop || ((p->rop == 252 || p->rop == 204) && !keep_white && t[0] == 0 && t[1] == 0 &&
                              t[2] == 0) ||
                     (p->rop == 204 && !keep_white);
  // Source surface: ARGB with white transparent when white is kept, so the
  // sampler can never mix white into neighbouring pixels.
  cairo_format_t fmt = keep_white || !plain ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24;
  cairo_surface_t *src = cairo_image_surface_create(fmt, img->width, img->height);
  if (cairo_surface_status(src) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(src);
    return hpgs_set_error("paint device: out of memory for an image of %d x %d.", img->width, img->height);
  }
  unsigned char *sd = cairo_image_surface_get_data(src);
  const int ss = cairo_image_surface_get_stride(src);
  for (int y = 0; y < img->height; ++y) {
    const unsigned char *in = img->data + static_cast<size_t>(y) * img->stride;
    uint32_t *out = reinterpret_cast<uint32_t *>(sd + static_cast<size_t>(y) * ss);
    for (int x = 0; x < img->width; ++x) {
      unsigned r = in[3 * x], g = in[3 * x + 1], b = in[3 * x + 2];
      bool white = r == 255 && g == 255 && b == 255;
      out[x] = (keep_white && white) ? 0u : (0xff000000u | (r << 16) | (g << 8) | b);
    }
  }
  cairo_surface_mark_dirty(src);
  // Image space: u along the columns, v down the rows from the top edge.
  double llx = p->px(ll->x), lly = p->py(ll->y), lrx = p->px(lr->x), lry = p->py(lr->y);
  double urx = p->px(ur->x), ury = p->py(ur->y);
  double ulx = llx + (urx - lrx), uly = lly + (ury - lry);
  cairo_matrix_t m;
  cairo_matrix_init(&m, (lrx - llx) / img->width, (lry - lly) / img->width, (lrx - urx) / img->height,
                    (lry - ury) / img->height, ulx, uly);
  cairo_matrix_t inv = m;
  if (cairo_matrix_invert(&inv) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(src);
    return 0;  // degenerate placement: nothing visible
  }
  cairo_t *cr = p->cr;
  drop_own_path(p);
  cairo_new_path(cr);
  int rc = 0;
  if (plain) {
    cairo_save(cr);
    cairo_transform(cr, &m);
    cairo_set_source_surface(cr, src, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr),
                             keep_white || !p->interpolation ? CAIRO_FILTER_NEAREST : CAIRO_FILTER_GOOD);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    cairo_rectangle(cr, 0, 0, img->width, img->height);
    cairo_fill(cr);
    cairo_restore(cr);
  } else {
    // Resample the image onto the covered pixels, then apply the operation.
    double x1, y1, x2, y2;
    cairo_save(cr);
    cairo_transform(cr, &m);
    cairo_rectangle(cr, 0, 0, img->width, img->height);
    cairo_restore(cr);
    cairo_fill_extents(cr, &x1, &y1, &x2, &y2);
    double cx1, cy1, cx2, cy2;
    cairo_clip_extents(cr, &cx1, &cy1, &cx2, &cy2);
    int ix1 = std::max(0, static_cast<int>(std::floor(std::max(x1, cx1))));
    int iy1 = std::max(p->band_y0, static_cast<int>(std::floor(std::max(y1, cy1))));
    int ix2 = std::min(p->img->width, static_cast<int>(std::ceil(std::min(x2, cx2))));
    int iy2 = std::min(p->band_y0 + p->band_rows, static_cast<int>(std::ceil(std::min(y2, cy2))));
    cairo_path_t *path = cairo_copy_path(cr);
    cairo_new_path(cr);
    if (ix1 < ix2 && iy1 < iy2) {
      cairo_save(cr);
      cairo_rectangle(cr, ix1, iy1, ix2 - ix1, iy2 - iy1);
      cairo_clip(cr);
      cairo_push_group_with_content(cr, CAIRO_CONTENT_COLOR_ALPHA);
      cairo_append_path(cr, path);
      cairo_pattern_t *sp = cairo_pattern_create_for_surface(src);
      cairo_pattern_set_matrix(sp, &inv);
      cairo_pattern_set_filter(sp, CAIRO_FILTER_NEAREST);
      cairo_set_source(cr, sp);
      cairo_pattern_destroy(sp);
      cairo_fill(cr);
      cairo_pattern_t *grp = cairo_pop_group(cr);
      cairo_restore(cr);
      cairo_surface_t *gs = nullptr;
      if (cairo_pattern_get_surface(grp, &gs) == CAIRO_STATUS_SUCCESS) {
        cairo_surface_flush(gs);
        cairo_surface_flush(p->surface);
        double ox, oy;
        cairo_surface_get_device_offset(gs, &ox, &oy);
        const int gw = cairo_image_surface_get_width(gs), gh = cairo_image_surface_get_height(gs);
        const int gstr = cairo_image_surface_get_stride(gs);
        const unsigned char *gd = cairo_image_surface_get_data(gs);
        const int offx = static_cast<int>(std::lround(ox)), offy = static_cast<int>(std::lround(oy));
        for (int gy = 0; gy < gh; ++gy) {
          int y = gy - offy;
          if (!p->row_inside(y)) continue;
          unsigned char *row = p->row(y);
          const uint32_t *grow = reinterpret_cast<const uint32_t *>(gd + static_cast<size_t>(gy) * gstr);
          for (int gx = 0; gx < gw; ++gx) {
            uint32_t sv = grow[gx];
            unsigned a = sv >> 24;
            if (!a) continue;
            int x = gx - offx;
            if (x < 0 || x >= p->img->width) continue;
            // Premultiplied: undo it to get the source colour.
            unsigned s[3] = {((sv >> 16) & 0xff) * 255 / a, ((sv >> 8) & 0xff) * 255 / a, (sv & 0xff) * 255 / a};
            rop_pixel(row + 4 * x, p->rop, s, t, a);
          }
        }
        cairo_surface_mark_dirty(p->surface);
      } else {
        rc = hpgs_set_error("paint device: cannot resample an image for a raster operation.");
      }
      cairo_pattern_destroy(grp);
    }
    cairo_path_destroy(path);
  }
  cairo_surface_destroy(src);
  p->path_empty = true;
  return rc ? rc : cairo_check(p, "drawimage");
}

}  // namespace hpgs::paint
