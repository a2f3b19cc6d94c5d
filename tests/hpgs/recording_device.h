// A device that records every call, for checking exactly what the reader
// hands to devices.
#ifndef HPGS_TEST_RECORDING_DEVICE_H
#define HPGS_TEST_RECORDING_DEVICE_H

#include "hpgs.h"

#include <string>
#include <vector>

namespace hpgs_test {

struct Call {
  std::string name;
  std::vector<double> args;
};

struct RecordingDevice {
  hpgs_device base;
  std::vector<Call> calls;
  int caps = HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_MULTIPAGE;
  std::string fail_on;  // name of a call that fails
  bool *destroyed = nullptr;

  static RecordingDevice *self(hpgs_device *d) { return reinterpret_cast<RecordingDevice *>(d); }
  static int rec(hpgs_device *d, const char *name, std::vector<double> args = {}) {
    auto *s = self(d);
    s->calls.push_back({name, std::move(args)});
    if (s->fail_on == name) return hpgs_set_error("recording device: %s failed", name);
    return 0;
  }
  static const hpgs_device_vtable vtable;

  // Calls with the given name, in order.
  std::vector<Call> named(const std::string &n) const {
    std::vector<Call> r;
    for (const auto &c : calls)
      if (c.name == n) r.push_back(c);
    return r;
  }
  // Sequence of call names, skipping attribute setters.
  std::string path_ops() const {
    std::string r;
    for (const auto &c : calls) {
      if (c.name.rfind("set", 0) == 0) continue;
      if (!r.empty()) r += ' ';
      r += c.name;
    }
    return r;
  }
};

inline const hpgs_device_vtable RecordingDevice::vtable = {
    "recording_device",
    [](hpgs_device *d, const hpgs_point *p) { return rec(d, "moveto", {p->x, p->y}); },
    [](hpgs_device *d, const hpgs_point *p) { return rec(d, "lineto", {p->x, p->y}); },
    [](hpgs_device *d, const hpgs_point *a, const hpgs_point *b, const hpgs_point *c) {
      return rec(d, "curveto", {a->x, a->y, b->x, b->y, c->x, c->y});
    },
    [](hpgs_device *d) { return rec(d, "newpath"); },
    [](hpgs_device *d) { return rec(d, "closepath"); },
    [](hpgs_device *d) { return rec(d, "stroke"); },
    [](hpgs_device *d, hpgs_bool w) { return rec(d, "fill", {double(w)}); },
    [](hpgs_device *d, hpgs_bool w) { return rec(d, "clip", {double(w)}); },
    [](hpgs_device *d) { return rec(d, "clipsave"); },
    [](hpgs_device *d) { return rec(d, "cliprestore"); },
    [](hpgs_device *d, const hpgs_color *c) { return rec(d, "setrgbcolor", {c->r, c->g, c->b}); },
    [](hpgs_device *d, const float *s, unsigned n, double off) {
      std::vector<double> a(s, s + n);
      a.push_back(off);
      return rec(d, "setdash", a);
    },
    [](hpgs_device *d, double w) { return rec(d, "setlinewidth", {w}); },
    [](hpgs_device *d, hpgs_line_cap c) { return rec(d, "setlinecap", {double(c)}); },
    [](hpgs_device *d, hpgs_line_join j) { return rec(d, "setlinejoin", {double(j)}); },
    [](hpgs_device *d, double l) { return rec(d, "setmiterlimit", {l}); },
    [](hpgs_device *d, int rop, hpgs_bool s, hpgs_bool p) { return rec(d, "setrop3", {double(rop), double(s), double(p)}); },
    [](hpgs_device *d, const hpgs_color *c) { return rec(d, "setpatcol", {c->r, c->g, c->b}); },
    [](hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr, const hpgs_point *ur) {
      std::vector<double> a{double(img->width), double(img->height), ll->x, ll->y, lr->x, lr->y, ur->x, ur->y,
                            img->data ? 1.0 : 0.0};
      if (img->data)
        for (int i = 0; i < img->width * img->height * 3; ++i) a.push_back(img->data[i]);
      return rec(d, "drawimage", a);
    },
    [](hpgs_device *d, const hpgs_bbox *b) { return rec(d, "setplotsize", {b->llx, b->lly, b->urx, b->ury}); },
    nullptr,
    [](hpgs_device *d, int i) { return rec(d, "showpage", {double(i)}); },
    [](hpgs_device *d) { return rec(d, "finish"); },
    [](hpgs_device *d) { return self(d)->caps; },
    [](hpgs_device *d) {
      if (self(d)->destroyed) *self(d)->destroyed = true;
      delete self(d);
    },
    // Size, the six entries of to_dev (dx dy mxx mxy myx myy), then the cells.
    [](hpgs_device *d, const hpgs_pattern *p) {
      const hpgs_matrix &m = p->to_dev;
      std::vector<double> a{double(p->width), double(p->height), m.dx, m.dy, m.mxx, m.mxy, m.myx, m.myy};
      for (int i = 0; i < p->width * p->height; ++i) a.push_back(double(p->argb[i]));
      return rec(d, "setpattern", a);
    },
};

inline RecordingDevice *new_recording_device() {
  auto *d = new RecordingDevice;
  d->base.vtable = &RecordingDevice::vtable;
  return d;
}

// Plotter units to points.
constexpr double kPt = 72.0 / 1016.0;

}  // namespace hpgs_test

#endif
