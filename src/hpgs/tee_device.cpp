// Tee device: every call goes to a device and then to a listener, so that
// one read both draws and measures (the listener typically a plot-size
// device).
#include "device_internal.h"
#include "hpgs.h"

#include <new>

namespace hpgs {
namespace {

struct TeeDevice {
  hpgs_device base;  // must stay the first member
  hpgs_device *dev;       // owned
  hpgs_device *listener;  // owned
  bool paths_to_listener_only = false;
};

TeeDevice *td(hpgs_device *d) { return reinterpret_cast<TeeDevice *>(d); }

// Runs call on the device, then, unless it failed, on the listener.
template <class Call>
int both(hpgs_device *d, Call &&call) {
  const int rc = call(td(d)->dev);
  if (rc < 0) return rc;
  return call(td(d)->listener);
}

// A path call: to the listener alone once paths_to_listener_only is set.
template <class Call>
int path(hpgs_device *d, Call &&call) {
  return td(d)->paths_to_listener_only ? call(td(d)->listener) : both(d, call);
}

int tee_moveto(hpgs_device *d, const hpgs_point *p) {
  return path(d, [&](hpgs_device *x) { return hpgs_moveto(x, p); });
}
int tee_lineto(hpgs_device *d, const hpgs_point *p) {
  return path(d, [&](hpgs_device *x) { return hpgs_lineto(x, p); });
}
int tee_curveto(hpgs_device *d, const hpgs_point *a, const hpgs_point *b, const hpgs_point *c) {
  return path(d, [&](hpgs_device *x) { return hpgs_curveto(x, a, b, c); });
}
int tee_newpath(hpgs_device *d) {
  return path(d, [](hpgs_device *x) { return hpgs_newpath(x); });
}
int tee_closepath(hpgs_device *d) {
  return path(d, [](hpgs_device *x) { return hpgs_closepath(x); });
}
int tee_stroke(hpgs_device *d) {
  return path(d, [](hpgs_device *x) { return hpgs_stroke(x); });
}
int tee_fill(hpgs_device *d, hpgs_bool winding) {
  return path(d, [&](hpgs_device *x) { return hpgs_fill(x, winding); });
}
int tee_clip(hpgs_device *d, hpgs_bool winding) {
  return path(d, [&](hpgs_device *x) { return hpgs_clip(x, winding); });
}
int tee_clipsave(hpgs_device *d) {
  return both(d, [](hpgs_device *x) { return hpgs_clipsave(x); });
}
int tee_cliprestore(hpgs_device *d) {
  return both(d, [](hpgs_device *x) { return hpgs_cliprestore(x); });
}
int tee_setrgbcolor(hpgs_device *d, const hpgs_color *c) {
  return both(d, [&](hpgs_device *x) { return hpgs_setrgbcolor(x, c); });
}
int tee_setdash(hpgs_device *d, const float *segs, unsigned n, double offset) {
  return both(d, [&](hpgs_device *x) { return hpgs_setdash(x, segs, n, offset); });
}
int tee_setlinewidth(hpgs_device *d, double w) {
  return both(d, [&](hpgs_device *x) { return hpgs_setlinewidth(x, w); });
}
int tee_setlinecap(hpgs_device *d, hpgs_line_cap cap) {
  return both(d, [&](hpgs_device *x) { return hpgs_setlinecap(x, cap); });
}
int tee_setlinejoin(hpgs_device *d, hpgs_line_join join) {
  return both(d, [&](hpgs_device *x) { return hpgs_setlinejoin(x, join); });
}
int tee_setmiterlimit(hpgs_device *d, double l) {
  return both(d, [&](hpgs_device *x) { return hpgs_setmiterlimit(x, l); });
}
int tee_setrop3(hpgs_device *d, int rop, hpgs_bool st, hpgs_bool pt) {
  return both(d, [&](hpgs_device *x) { return hpgs_setrop3(x, rop, st, pt); });
}
int tee_setpatcol(hpgs_device *d, const hpgs_color *c) {
  return both(d, [&](hpgs_device *x) { return hpgs_setpatcol(x, c); });
}
int tee_drawimage(hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                  const hpgs_point *ur) {
  return both(d, [&](hpgs_device *x) { return hpgs_drawimage(x, img, ll, lr, ur); });
}
int tee_setplotsize(hpgs_device *d, const hpgs_bbox *bb) {
  return both(d, [&](hpgs_device *x) { return hpgs_setplotsize(x, bb); });
}
int tee_getplotsize(hpgs_device *d, int i, hpgs_bbox *bb) { return hpgs_getplotsize(td(d)->dev, i, bb); }
int tee_showpage(hpgs_device *d, int i) {
  return both(d, [&](hpgs_device *x) { return hpgs_showpage(x, i); });
}
int tee_finish(hpgs_device *d) {
  return both(d, [](hpgs_device *x) { return hpgs_device_finish(x); });
}
int tee_capabilities(hpgs_device *d) { return hpgs_device_capabilities(td(d)->dev); }
void tee_destroy(hpgs_device *d) {
  hpgs_device_destroy(td(d)->dev);
  hpgs_device_destroy(td(d)->listener);
  delete td(d);
}
// Only the device's capabilities count: a listener without patterns does
// not get this one.
int tee_setpattern(hpgs_device *d, const hpgs_pattern *pat) {
  const int rc = hpgs_setpattern(td(d)->dev, pat);
  if (rc < 0) return rc;
  hpgs_device *l = td(d)->listener;
  return hpgs_device_capabilities(l) & HPGS_DEVICE_CAP_PATTERN ? hpgs_setpattern(l, pat) : 0;
}

const hpgs_device_vtable kTeeVtable = {
    "hpgs_tee_device", tee_moveto,       tee_lineto,     tee_curveto,     tee_newpath,       tee_closepath,
    tee_stroke,        tee_fill,         tee_clip,       tee_clipsave,    tee_cliprestore,   tee_setrgbcolor,
    tee_setdash,       tee_setlinewidth, tee_setlinecap, tee_setlinejoin, tee_setmiterlimit, tee_setrop3,
    tee_setpatcol,     tee_drawimage,    tee_setplotsize, tee_getplotsize, tee_showpage,     tee_finish,
    tee_capabilities,  tee_destroy,      tee_setpattern,
};

}  // namespace

bool is_tee_device(hpgs_device *d) { return d && d->vtable == &kTeeVtable; }

int tee_lineto_run(hpgs_device *d, const PointRun &run) {
  return path(d, [&](hpgs_device *x) { return device_lineto_run(x, run); });
}

}  // namespace hpgs

extern "C" int hpgs_tee_device_paths_to_listener_only(hpgs_device *tee) {
  if (!hpgs::is_tee_device(tee)) return hpgs_set_error("hpgs_tee_device_paths_to_listener_only: not a tee device.");
  hpgs::td(tee)->paths_to_listener_only = true;
  return 0;
}

extern "C" hpgs_device *hpgs_new_tee_device(hpgs_device *dev, hpgs_device *listener) {
  if (!dev || !listener) {
    hpgs_device_destroy(dev);
    hpgs_device_destroy(listener);
    hpgs_set_error("hpgs_new_tee_device: no device given.");
    return nullptr;
  }
  auto *t = new (std::nothrow) hpgs::TeeDevice{{&hpgs::kTeeVtable}, dev, listener};
  if (!t) {
    hpgs_device_destroy(dev);
    hpgs_device_destroy(listener);
    hpgs_set_error("Out of memory creating a tee device.");
    return nullptr;
  }
  return &t->base;
}
