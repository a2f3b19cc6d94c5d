// Generic device calls and the plot-size (measuring) device.
#include "c_boundary.h"
#include "device_internal.h"
#include "hpgs.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

extern "C" {

const char *hpgs_device_rtti(hpgs_device *dev) {
  return dev && dev->vtable && dev->vtable->rtti ? dev->vtable->rtti : "";
}

int hpgs_device_capabilities(hpgs_device *dev) {
  return dev->vtable->capabilities ? dev->vtable->capabilities(dev) : 0;
}

#define HPGS_FORWARD(name, call) \
  return dev->vtable->name ? dev->vtable->name call : 0

int hpgs_moveto(hpgs_device *dev, const hpgs_point *p) { HPGS_FORWARD(moveto, (dev, p)); }
int hpgs_lineto(hpgs_device *dev, const hpgs_point *p) { HPGS_FORWARD(lineto, (dev, p)); }
int hpgs_curveto(hpgs_device *dev, const hpgs_point *p1, const hpgs_point *p2, const hpgs_point *p3) {
  HPGS_FORWARD(curveto, (dev, p1, p2, p3));
}
int hpgs_newpath(hpgs_device *dev) { HPGS_FORWARD(newpath, (dev)); }
int hpgs_closepath(hpgs_device *dev) { HPGS_FORWARD(closepath, (dev)); }
int hpgs_stroke(hpgs_device *dev) { HPGS_FORWARD(stroke, (dev)); }
int hpgs_fill(hpgs_device *dev, hpgs_bool winding) { HPGS_FORWARD(fill, (dev, winding)); }
int hpgs_clip(hpgs_device *dev, hpgs_bool winding) { HPGS_FORWARD(clip, (dev, winding)); }
int hpgs_clipsave(hpgs_device *dev) { HPGS_FORWARD(clipsave, (dev)); }
int hpgs_cliprestore(hpgs_device *dev) { HPGS_FORWARD(cliprestore, (dev)); }
int hpgs_setrgbcolor(hpgs_device *dev, const hpgs_color *rgb) { HPGS_FORWARD(setrgbcolor, (dev, rgb)); }
int hpgs_setdash(hpgs_device *dev, const float *segs, unsigned n, double offset) {
  HPGS_FORWARD(setdash, (dev, segs, n, offset));
}
int hpgs_setlinewidth(hpgs_device *dev, double w) { HPGS_FORWARD(setlinewidth, (dev, w)); }
int hpgs_setlinecap(hpgs_device *dev, hpgs_line_cap cap) { HPGS_FORWARD(setlinecap, (dev, cap)); }
int hpgs_setlinejoin(hpgs_device *dev, hpgs_line_join join) { HPGS_FORWARD(setlinejoin, (dev, join)); }
int hpgs_setmiterlimit(hpgs_device *dev, double l) { HPGS_FORWARD(setmiterlimit, (dev, l)); }
int hpgs_setrop3(hpgs_device *dev, int rop, hpgs_bool st, hpgs_bool pt) { HPGS_FORWARD(setrop3, (dev, rop, st, pt)); }
int hpgs_setpatcol(hpgs_device *dev, const hpgs_color *rgb) { HPGS_FORWARD(setpatcol, (dev, rgb)); }
int hpgs_drawimage(hpgs_device *dev, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                   const hpgs_point *ur) {
  HPGS_FORWARD(drawimage, (dev, img, ll, lr, ur));
}
int hpgs_setplotsize(hpgs_device *dev, const hpgs_bbox *bb) { HPGS_FORWARD(setplotsize, (dev, bb)); }
int hpgs_getplotsize(hpgs_device *dev, int i, hpgs_bbox *bb) {
  if (!dev || !dev->vtable->getplotsize)
    return hpgs_set_error("Device '%s' cannot report a plot size.", hpgs_device_rtti(dev));
  return dev->vtable->getplotsize(dev, i, bb);
}
int hpgs_showpage(hpgs_device *dev, int i) { HPGS_FORWARD(showpage, (dev, i)); }
int hpgs_device_finish(hpgs_device *dev) { HPGS_FORWARD(finish, (dev)); }
void hpgs_device_destroy(hpgs_device *dev) {
  if (dev && dev->vtable->destroy) dev->vtable->destroy(dev);
}

#undef HPGS_FORWARD

}  // extern "C"

namespace {

// Measures the marks of every page. The current path is kept as a box of
// its points (curves contribute their exact extremes); stroke and fill add
// that box, grown by half the line width for strokes, clipped by the
// current clip box, to the page box.
struct PlotSizeDevice {
  hpgs_device base;  // must stay the first member

  PlotSizeDevice(bool ignore_ps, bool do_linewidth)
      : base{&kVtable}, ignore_ps_(ignore_ps), do_linewidth_(do_linewidth) {
    hpgs_bbox_null(&path_);
    hpgs_bbox_null(&page_);
    hpgs_bbox_null(&declared_);
    hpgs_bbox_null(&clip_);
  }

  static const hpgs_device_vtable kVtable;

  static PlotSizeDevice *self(hpgs_device *d) { return reinterpret_cast<PlotSizeDevice *>(d); }

  void add_point(double x, double y) {
    if (!std::isfinite(x) || !std::isfinite(y)) return;
    // hpgs_bbox_add, written out: every vertex passes here.
    path_.llx = std::min(path_.llx, x);
    path_.lly = std::min(path_.lly, y);
    path_.urx = std::max(path_.urx, x);
    path_.ury = std::max(path_.ury, y);
    cur_ = {x, y};
  }

  // Adds the extremes of the cubic from cur_ through p1, p2 to p3.
  void add_curve(const hpgs_point &p1, const hpgs_point &p2, const hpgs_point &p3) {
    const hpgs_point p0 = cur_;
    auto axis = [&](double a, double b, double c, double d, auto &&emit) {
      // Derivative: 3[(b-a)(1-t)^2 + 2(c-b)t(1-t) + (d-c)t^2] = 0.
      double qa = (b - a) - 2 * (c - b) + (d - c);
      double qb = 2 * ((c - b) - (b - a));
      double qc = b - a;
      if (std::fabs(qa) < 1e-12) {
        if (std::fabs(qb) > 1e-12) emit(-qc / qb);
        return;
      }
      double disc = qb * qb - 4 * qa * qc;
      if (disc < 0) return;
      double s = std::sqrt(disc);
      emit((-qb + s) / (2 * qa));
      emit((-qb - s) / (2 * qa));
    };
    auto eval = [&](double t) {
      if (!(t > 0.0 && t < 1.0)) return;
      double u = 1 - t;
      double x = u * u * u * p0.x + 3 * u * u * t * p1.x + 3 * u * t * t * p2.x + t * t * t * p3.x;
      double y = u * u * u * p0.y + 3 * u * u * t * p1.y + 3 * u * t * t * p2.y + t * t * t * p3.y;
      hpgs_point p{x, y};
      if (std::isfinite(x) && std::isfinite(y)) hpgs_bbox_add(&path_, &p);
    };
    axis(p0.x, p1.x, p2.x, p3.x, eval);
    axis(p0.y, p1.y, p2.y, p3.y, eval);
    add_point(p3.x, p3.y);
  }

  void commit(double grow) {
    if (hpgs_bbox_isnull(&path_)) return;
    bool white = color_.r >= 1.0 && color_.g >= 1.0 && color_.b >= 1.0;
    if (!white) {
      hpgs_bbox b = path_;
      b.llx -= grow;
      b.lly -= grow;
      b.urx += grow;
      b.ury += grow;
      if (!hpgs_bbox_isnull(&clip_)) hpgs_bbox_intersect(&b, &clip_);
      hpgs_bbox_expand(&page_, &b);
    }
    hpgs_bbox_null(&path_);
  }

  static int moveto(hpgs_device *d, const hpgs_point *p) {
    self(d)->add_point(p->x, p->y);
    return 0;
  }
  static int lineto(hpgs_device *d, const hpgs_point *p) {
    self(d)->add_point(p->x, p->y);
    return 0;
  }
  static int curveto(hpgs_device *d, const hpgs_point *p1, const hpgs_point *p2, const hpgs_point *p3) {
    self(d)->add_curve(*p1, *p2, *p3);
    return 0;
  }
  static int newpath(hpgs_device *d) {
    hpgs_bbox_null(&self(d)->path_);
    return 0;
  }
  static int closepath(hpgs_device *) { return 0; }
  static int stroke(hpgs_device *d) {
    auto *s = self(d);
    s->commit(s->do_linewidth_ ? 0.5 * s->linewidth_ : 0.0);
    return 0;
  }
  static int fill(hpgs_device *d, hpgs_bool) {
    self(d)->commit(0.0);
    return 0;
  }
  static int clip(hpgs_device *d, hpgs_bool) {
    auto *s = self(d);
    if (hpgs_bbox_isnull(&s->path_)) return 0;
    if (hpgs_bbox_isnull(&s->clip_)) s->clip_ = s->path_;
    else hpgs_bbox_intersect(&s->clip_, &s->path_);
    if (hpgs_bbox_isnull(&s->clip_)) s->clip_ = hpgs_bbox{0, 0, 0, 0};  // nothing visible
    hpgs_bbox_null(&s->path_);
    return 0;
  }
  static int clipsave(hpgs_device *d) {
    auto *s = self(d);
    if (s->clip_stack_.size() >= 1024) return hpgs_set_error("Clip nesting deeper than 1024 levels.");
    s->clip_stack_.push_back(s->clip_);
    return 0;
  }
  static int cliprestore(hpgs_device *d) {
    auto *s = self(d);
    if (s->clip_stack_.empty()) return 0;
    s->clip_ = s->clip_stack_.back();
    s->clip_stack_.pop_back();
    return 0;
  }
  static int setrgbcolor(hpgs_device *d, const hpgs_color *c) {
    self(d)->color_ = *c;
    return 0;
  }
  static int setlinewidth(hpgs_device *d, double w) {
    self(d)->linewidth_ = std::isfinite(w) && w > 0 ? w : 0.0;
    return 0;
  }
  static int drawimage(hpgs_device *d, const hpgs_image *, const hpgs_point *ll, const hpgs_point *lr,
                       const hpgs_point *ur) {
    auto *s = self(d);
    hpgs_bbox_null(&s->path_);
    s->add_point(ll->x, ll->y);
    s->add_point(lr->x, lr->y);
    s->add_point(ur->x, ur->y);
    s->add_point(ll->x + ur->x - lr->x, ll->y + ur->y - lr->y);
    hpgs_color keep = s->color_;
    s->color_ = hpgs_color{0, 0, 0};  // an image counts whatever the pen
    s->commit(0.0);
    s->color_ = keep;
    return 0;
  }
  static int setplotsize(hpgs_device *d, const hpgs_bbox *bb) {
    self(d)->declared_ = *bb;
    return 0;
  }
  static int getplotsize(hpgs_device *d, int i, hpgs_bbox *bb) {
    auto *s = self(d);
    if (i < 0) return hpgs_set_error("Invalid page number %d for the plot size.", i);
    hpgs_bbox r;
    hpgs_bbox_null(&r);
    if (i == 0) {
      for (const auto &p : s->pages_) hpgs_bbox_expand(&r, &p);
      if (s->pages_.empty()) r = s->page_result();
    } else if (static_cast<size_t>(i) <= s->pages_.size()) {
      r = s->pages_[static_cast<size_t>(i) - 1];
    } else if (i == 1 && s->pages_.empty()) {
      r = s->page_result();  // page still open or nothing read: what there is
    } else {
      return hpgs_set_error("Page %d does not exist; the drawing has %zu page(s).", i, s->pages_.size());
    }
    if (hpgs_bbox_isnull(&r)) r = hpgs_bbox{0.0, 0.0, 0.0, 0.0};
    *bb = r;
    return 0;
  }
  hpgs_bbox page_result() const {
    if (!ignore_ps_ && !hpgs_bbox_isnull(&declared_)) return declared_;
    return page_;
  }
  static int showpage(hpgs_device *d, int) {
    auto *s = self(d);
    if (s->pages_.size() >= 1000000) return hpgs_set_error("More than a million pages.");
    s->pages_.push_back(s->page_result());
    hpgs_bbox_null(&s->page_);
    hpgs_bbox_null(&s->declared_);
    hpgs_bbox_null(&s->path_);
    return 0;
  }
  static int capabilities(hpgs_device *) {
    return HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_MULTISIZE | HPGS_DEVICE_CAP_CURVES |
           HPGS_DEVICE_CAP_NULLIMAGE;
  }
  static void destroy(hpgs_device *d) { delete self(d); }

  bool ignore_ps_, do_linewidth_;
  hpgs_bbox path_, page_, declared_, clip_;
  hpgs_point cur_{0, 0};
  hpgs_color color_{0, 0, 0};
  double linewidth_ = 0.0;
  std::vector<hpgs_bbox> clip_stack_;
  std::vector<hpgs_bbox> pages_;
};

const hpgs_device_vtable PlotSizeDevice::kVtable = {
    "hpgs_plotsize_device",
    PlotSizeDevice::moveto,
    PlotSizeDevice::lineto,
    PlotSizeDevice::curveto,
    PlotSizeDevice::newpath,
    PlotSizeDevice::closepath,
    PlotSizeDevice::stroke,
    PlotSizeDevice::fill,
    PlotSizeDevice::clip,
    hpgs::device_guard<PlotSizeDevice::clipsave>,  // the clip stack grows
    PlotSizeDevice::cliprestore,
    PlotSizeDevice::setrgbcolor,
    nullptr,  // setdash: dashes do not change the extent
    PlotSizeDevice::setlinewidth,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    PlotSizeDevice::drawimage,
    PlotSizeDevice::setplotsize,
    PlotSizeDevice::getplotsize,
    hpgs::device_guard<PlotSizeDevice::showpage>,  // so do the pages
    nullptr,
    PlotSizeDevice::capabilities,
    PlotSizeDevice::destroy,
};

}  // namespace

hpgs::RunBox hpgs::run_box(const PointRun &run) {
  RunBoxer b;
  for (size_t i = 0; i < run.n; ++i) b.add(run[i], i);
  return b.result(run);
}

int hpgs::device_lineto_run(hpgs_device *dev, const PointRun &run) {
  if (is_recording_device(dev)) return recording_lineto_run(dev, run);
  if (dev->vtable == &PlotSizeDevice::kVtable) return device_lineto_run(dev, run, run_box(run));
  for (size_t i = 0; i < run.n; ++i) {
    const int rc = hpgs_lineto(dev, &run[i]);
    if (rc < 0) return rc;
  }
  return 0;
}

int hpgs::device_lineto_run(hpgs_device *dev, const PointRun &run, const RunBox &box) {
  if (dev->vtable == &PlotSizeDevice::kVtable) {
    PlotSizeDevice *s = PlotSizeDevice::self(dev);
    if (box.any) {
      merge_run_box(s->path_, box.box);
      s->cur_ = box.last;
    }
    return 0;
  }
  return device_lineto_run(dev, run);
}

extern "C" hpgs_device *hpgs_new_plotsize_device(hpgs_bool ignore_ps, hpgs_bool do_linewidth) {
  auto *d = new (std::nothrow) PlotSizeDevice(ignore_ps != 0, do_linewidth != 0);
  if (!d) {
    hpgs_set_error("Out of memory creating a plot-size device.");
    return nullptr;
  }
  return &d->base;
}
