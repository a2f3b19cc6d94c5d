// The paint device's C entry points: creation (in place or banded, by the
// image's layout), its settings, and the setup every painter shares.
#include "c_boundary.h"
#include "hpgs_ptr.h"
#include "paint_device.h"

#include <memory>

namespace hpgs {

bool is_paint_device(hpgs_device *d) {
  return d && (d->vtable == &paint::kPaintVtable || d->vtable == &paint::kBandedVtable || is_recording_device(d));
}

namespace paint {

int cairo_check(PaintDevice *p, const char *what) {
  cairo_status_t st = cairo_status(p->cr);
  if (st == CAIRO_STATUS_SUCCESS) return 0;
  return hpgs_set_error("paint device: %s: %s", what, cairo_status_to_string(st));
}

// Anti-aliasing is cairo's GRAY (its 256 x 15 sampling scan converter).
// FAST would pick cairo 1.16's 4 x 4 converter, which writes one span past
// the span array it allocates for an operation when a pixel row changes
// coverage at almost every pixel (dense hatching, fine cross-hatch): heap
// corruption, seen as crashes of the daemon under load.
void start_painter(PaintDevice *p) {
  p->keep_own_path = !cairo_strokes();
  cairo_set_antialias(p->cr, p->antialias ? CAIRO_ANTIALIAS_GRAY : CAIRO_ANTIALIAS_NONE);
  cairo_set_tolerance(p->cr, 0.1);
}

}  // namespace paint

}  // namespace hpgs

using namespace hpgs;
using hpgs::paint::PaintDevice;

extern "C" {

hpgs_paint_device *hpgs_new_paint_device(hpgs_png_image *image, const char *filename, const hpgs_bbox *bb,
                                         hpgs_bool antialias) {
  // The device takes the image over, also when it cannot be made.
  UniqueImage owned_image(image);
  if (!image) {
    hpgs_set_error("hpgs_new_paint_device: no image.");
    return nullptr;
  }
  if (!bb || !std::isfinite(bb->llx) || !std::isfinite(bb->lly) || !std::isfinite(bb->urx) ||
      !std::isfinite(bb->ury) || !(bb->urx > bb->llx) || !(bb->ury > bb->lly)) {
    hpgs_set_error("hpgs_new_paint_device: the page box is empty.");
    return nullptr;
  }
  return guard_ptr("hpgs_new_paint_device", [&]() -> hpgs_paint_device * {
    auto made = std::make_unique<hpgs_paint_device_st>();
    PaintDevice *p = &made->impl;
    p->base.vtable = image->banded ? &paint::kBandedVtable : &paint::kPaintVtable;
    // From here the device owns the image and releases it with itself.
    UniquePaintDevice dev(made.release());
    p->img = owned_image.release();
    p->filename = filename ? filename : "";
    p->page = *bb;
    p->antialias = antialias != 0;
    p->sx = image->width / (bb->urx - bb->llx);
    p->sy = -image->height / (bb->ury - bb->lly);
    p->tx = -bb->llx * p->sx;
    p->ty = image->height - bb->lly * p->sy;
    p->scale = std::sqrt(std::fabs(p->sx * p->sy));
    image->xres = p->sx * 72.0;
    image->yres = -p->sy * 72.0;
    if (image->banded) {
      p->list = std::make_unique<DisplayList>();
      // A picture already in the image is painted over, as in place.
      p->clear_pending = false;
      return dev.release();
    }
    p->pix = image->data;
    p->pstride = image->stride;
    p->band_rows = image->height;
    // The surface is created on the packed block; the first mark converts
    // the layout (begin_paint), which keeps a loaded picture intact.
    p->surface = cairo_image_surface_create_for_data(image->data, CAIRO_FORMAT_RGB24, image->width, image->height,
                                                     image->stride);
    p->cr = cairo_create(p->surface);
    if (cairo_status(p->cr) != CAIRO_STATUS_SUCCESS) {
      hpgs_set_error("hpgs_new_paint_device: %s", cairo_status_to_string(cairo_status(p->cr)));
      return nullptr;
    }
    start_painter(p);
    return dev.release();
  });
}

int hpgs_paint_device_set_thin_alpha(hpgs_paint_device *dev, double a) {
  if (!dev) return hpgs_set_error("hpgs_paint_device_set_thin_alpha: no device.");
  if (!(a >= 0.001 && a <= 1.0)) return hpgs_set_error("Thin alpha %g does not lie in [0.001,1].", a);
  dev->impl.thin_alpha = a;
  return 0;
}

int hpgs_paint_device_set_image_interpolation(hpgs_paint_device *dev, int i) {
  if (!dev) return hpgs_set_error("hpgs_paint_device_set_image_interpolation: no device.");
  if (i < 0 || i > 1) return hpgs_set_error("Image interpolation %d must be 0 or 1.", i);
  dev->impl.interpolation = i;
  return 0;
}

hpgs_png_image *hpgs_paint_device_get_image(hpgs_paint_device *dev) { return dev ? dev->impl.img : nullptr; }

}  // extern "C"
