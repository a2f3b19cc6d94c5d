// Banded pages: the paint device for an image too large to paint in place.
//
// A banded device (packed image) records the page's calls in a display
// list in device points; the device's own state fields follow the calls so
// that a new page can start from the state the last one ended with. At
// showpage the list is played into a painter per band: a PaintDevice on a
// band surface whose device offset makes it see image pixel coordinates,
// so every rule (thin lines, dashes, raster operations, clips, images)
// runs on the same coordinates as painting in place. Paths and images whose
// box misses the band are skipped; state calls and clips always run.
#include "c_boundary.h"
#include "paint_device.h"

#include <new>

namespace hpgs::paint {

namespace {

// The state the next page starts from: the calls that rebuild it.
void record_state(PaintDevice *p) {
  DisplayList &l = *p->list;
  l.setrgbcolor(p->color);
  l.setlinewidth(p->line_width);
  l.setlinecap(p->cap);
  l.setlinejoin(p->join);
  l.setmiterlimit(p->miter);
  std::vector<float> d(p->dash.begin(), p->dash.end());
  l.setdash(d.data(), static_cast<unsigned>(d.size()), p->dash_offset);
  l.setrop3(p->rop, p->src_tr, p->pat_tr);
  l.setpatcol(p->patcol);
}

int render_bands(PaintDevice *p) {
  hpgs_png_image *img = p->img;
  const int w = img->width, h = img->height;
  const size_t row_bytes = 4 * static_cast<size_t>(w);
  const size_t budget = std::min(kBandSurfaceBytes, band_limit());
  const int rows = static_cast<int>(std::clamp<size_t>(budget / row_bytes, 1, static_cast<size_t>(h)));
  // Each band is painted with kOverlap rows more on either side, which are
  // thrown away: the rasteriser's treatment of a surface's edge (marks cut
  // there) never reaches the kept rows.
  constexpr int kOverlap = 8;
  const int surf_rows = std::min(h, rows + 2 * kOverlap);
  // Owned here: the replay may throw.
  const UniqueCairoSurface owned_surf(cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, surf_rows));
  cairo_surface_t *surf = owned_surf.get();
  if (cairo_surface_status(surf) != CAIRO_STATUS_SUCCESS)
    return hpgs_set_error("paint device: out of memory for a band of %d x %d pixels.", w, surf_rows);
  unsigned char *data = cairo_image_surface_get_data(surf);
  const int stride = cairo_image_surface_get_stride(surf);
  // Marks reach at most a few pixels beyond their points and the stroke
  // state's reach (thin lines: one pixel, moved by half a pixel; dots one
  // pixel long; raster-operation masks one pixel wider).
  const double margin = 4.0 / p->scale;
  int rc = 0;
  for (int y0 = 0; y0 < h && rc == 0; y0 += rows) {
    const int n = std::min(rows, h - y0);
    const int s0 = std::max(0, y0 - kOverlap), s1 = std::min(h, y0 + n + kOverlap);
    cairo_surface_flush(surf);
    if (p->clear_pending) {
      for (int y = 0; y < s1 - s0; ++y) std::memset(data + static_cast<size_t>(y) * stride, 0xff, row_bytes);
    } else {
      packed_rows_to_native(img, s0, s1 - s0, data, stride);
    }
    cairo_surface_mark_dirty(surf);
    cairo_surface_set_device_offset(surf, 0, -s0);
    PaintDevice band;
    band.base.vtable = &kPaintVtable;
    band.img = img;
    band.antialias = p->antialias;
    band.thin_alpha = p->thin_alpha;
    band.interpolation = p->interpolation;
    band.sx = p->sx, band.sy = p->sy, band.tx = p->tx, band.ty = p->ty, band.scale = p->scale;
    band.surface = surf;
    band.pix = data;
    band.pstride = stride;
    band.band_y0 = s0;
    band.band_rows = s1 - s0;
    band.band_painter = true;
    UniqueCairo owned_cr(cairo_create(surf));
    band.cr = owned_cr.get();
    start_painter(&band);
    // The band in device points (y grows upwards there).
    const double ya = (s0 - p->ty) / p->sy, yb = (s1 - p->ty) / p->sy;
    const hpgs_bbox region{p->page.llx, std::min(ya, yb), p->page.urx, std::max(ya, yb)};
    const hpgs_bbox *r = &region;
    rc = p->list->replay(&band.base, nullptr, {}, p->list->mark(), r, margin);
    if (rc == 0) rc = cairo_check(&band, "band");
    owned_cr.reset();
    band.cr = nullptr;
    band.surface = nullptr;
    cairo_surface_flush(surf);
    if (rc == 0) native_rows_to_packed(img, y0, n, data + static_cast<size_t>(y0 - s0) * stride, stride);
  }
  return rc;
}

template <class F>
int rec(hpgs_device *d, F &&f) {
  PaintDevice *p = pd(d);
  try {
    f(*p->list);
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("paint device: out of memory recording a page (%zu bytes so far).", p->list->bytes());
  }
  return 0;
}

int band_moveto(hpgs_device *d, const hpgs_point *pt) { return rec(d, [&](DisplayList &l) { l.moveto(*pt); }); }
int band_lineto(hpgs_device *d, const hpgs_point *pt) { return rec(d, [&](DisplayList &l) { l.lineto(*pt); }); }
int band_curveto(hpgs_device *d, const hpgs_point *a, const hpgs_point *b, const hpgs_point *c) {
  return rec(d, [&](DisplayList &l) { l.curveto(*a, *b, *c); });
}
int band_newpath(hpgs_device *d) { return rec(d, [&](DisplayList &l) { l.newpath(); }); }
int band_closepath(hpgs_device *d) { return rec(d, [&](DisplayList &l) { l.closepath(); }); }
int band_stroke(hpgs_device *d) { return rec(d, [&](DisplayList &l) { l.stroke(); }); }
int band_fill(hpgs_device *d, hpgs_bool w) { return rec(d, [&](DisplayList &l) { l.fill(w != 0); }); }
int band_clip(hpgs_device *d, hpgs_bool w) { return rec(d, [&](DisplayList &l) { l.clip(w != 0); }); }
int band_clipsave(hpgs_device *d) {
  PaintDevice *p = pd(d);
  ++p->clip_depth;
  return rec(d, [&](DisplayList &l) { l.clipsave(); });
}
int band_cliprestore(hpgs_device *d) {
  PaintDevice *p = pd(d);
  if (p->clip_depth <= 0) return hpgs_set_error("paint device: cliprestore without clipsave.");
  --p->clip_depth;
  return rec(d, [&](DisplayList &l) { l.cliprestore(); });
}
// State calls update the device's fields as well (record_state).
int band_setrgbcolor(hpgs_device *d, const hpgs_color *c) {
  dev_setrgbcolor(d, c);
  return rec(d, [&](DisplayList &l) { l.setrgbcolor(*c); });
}
int band_setdash(hpgs_device *d, const float *segs, unsigned n, double offset) {
  dev_setdash(d, segs, n, offset);
  return rec(d, [&](DisplayList &l) { l.setdash(segs, n, offset); });
}
int band_setlinewidth(hpgs_device *d, double w) {
  dev_setlinewidth(d, w);
  return rec(d, [&](DisplayList &l) { l.setlinewidth(w); });
}
int band_setlinecap(hpgs_device *d, hpgs_line_cap c) {
  dev_setlinecap(d, c);
  return rec(d, [&](DisplayList &l) { l.setlinecap(c); });
}
int band_setlinejoin(hpgs_device *d, hpgs_line_join j) {
  dev_setlinejoin(d, j);
  return rec(d, [&](DisplayList &l) { l.setlinejoin(j); });
}
int band_setmiterlimit(hpgs_device *d, double v) {
  dev_setmiterlimit(d, v);
  return rec(d, [&](DisplayList &l) { l.setmiterlimit(v); });
}
int band_setrop3(hpgs_device *d, int rop, hpgs_bool st, hpgs_bool pt) {
  dev_setrop3(d, rop, st, pt);
  return rec(d, [&](DisplayList &l) { l.setrop3(rop, st != 0, pt != 0); });
}
int band_setpatcol(hpgs_device *d, const hpgs_color *c) {
  dev_setpatcol(d, c);
  return rec(d, [&](DisplayList &l) { l.setpatcol(*c); });
}
int band_drawimage(hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                   const hpgs_point *ur) {
  if (!img || !img->data || img->width <= 0 || img->height <= 0) return 0;
  if (img->depth != 24 || img->stride < 3 * img->width)
    return hpgs_set_error("paint device: image of depth %d is not supported.", img->depth);
  return rec(d, [&](DisplayList &l) { l.drawimage(*img, *ll, *lr, *ur); });
}

int band_showpage(hpgs_device *d, int i) {
  PaintDevice *p = pd(d);
  // A page that fails to paint is dropped like one that was written.
  int rc = guard("paint device: banded page", [&] {
    const int painted = render_bands(p);
    if (painted == 0 && !p->filename.empty()) return image_write_png(p->img, page_file_name(p->filename, i).c_str());
    return painted;
  });
  // The next page starts white, from the state this one ended with.
  p->list->clear();
  p->clip_depth = 0;
  try {
    record_state(p);
  } catch (const std::bad_alloc &) {
    if (rc == 0) rc = hpgs_set_error("paint device: out of memory.");
  }
  p->clear_pending = true;
  return rc;
}

}  // namespace

int banded_pattern(hpgs_device *d, const PaintPattern &pat, bool stroke, bool winding) {
  return rec(d, [&](DisplayList &l) { l.pattern(pat, stroke, winding); });
}

// Behind device_guard like the direct device's table; recording failures
// have their own message (rec).
const hpgs_device_vtable kBandedVtable = {
    "hpgs_paint_device",
    device_guard<band_moveto>,
    device_guard<band_lineto>,
    device_guard<band_curveto>,
    device_guard<band_newpath>,
    device_guard<band_closepath>,
    device_guard<band_stroke>,
    device_guard<band_fill>,
    device_guard<band_clip>,
    device_guard<band_clipsave>,
    device_guard<band_cliprestore>,
    device_guard<band_setrgbcolor>,
    device_guard<band_setdash>,
    device_guard<band_setlinewidth>,
    device_guard<band_setlinecap>,
    device_guard<band_setlinejoin>,
    device_guard<band_setmiterlimit>,
    device_guard<band_setrop3>,
    device_guard<band_setpatcol>,
    device_guard<band_drawimage>,
    nullptr,  // setplotsize
    nullptr,  // getplotsize
    device_guard<band_showpage>,
    device_guard<dev_finish>,
    dev_capabilities,
    dev_destroy,
    nullptr,  // setpattern: the reader hands patterns over through paint_device_pattern
};

}  // namespace hpgs::paint
