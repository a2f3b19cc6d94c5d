// Recording device: measures like the plot-size device and keeps the
// drawing calls of every page in a display list, in drawing coordinates,
// so that a plot file read once can be painted after its size is known.
#include "c_boundary.h"
#include "device_internal.h"
#include "display_list.h"
#include "hpgs_ptr.h"
#include "paint_internal.h"

#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace hpgs {
namespace {

struct RecordingDevice {
  hpgs_device base;  // must stay the first member
  hpgs_device *measure = nullptr;  // plot-size device, owned
  DisplayList list;
  std::vector<DisplayList::Mark> page_ends;  // one per finished page
  std::optional<PaintPattern> pending;       // setpattern for the next mark
};

RecordingDevice *rd(hpgs_device *d) { return reinterpret_cast<RecordingDevice *>(d); }

// Records a call and hands it to the measuring device; out of memory
// becomes a device failure.
template <class Rec, class Fwd>
int both(hpgs_device *d, Rec &&rec, Fwd &&fwd) {
  RecordingDevice *r = rd(d);
  try {
    rec(r->list);
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("Recording device: out of memory after %zu bytes of drawing.", r->list.bytes());
  }
  return fwd(r->measure);
}

int rec_moveto(hpgs_device *d, const hpgs_point *p) {
  return both(d, [&](DisplayList &l) { l.moveto(*p); }, [&](hpgs_device *m) { return hpgs_moveto(m, p); });
}
int rec_lineto(hpgs_device *d, const hpgs_point *p) {
  return both(d, [&](DisplayList &l) { l.lineto(*p); }, [&](hpgs_device *m) { return hpgs_lineto(m, p); });
}
int rec_curveto(hpgs_device *d, const hpgs_point *a, const hpgs_point *b, const hpgs_point *c) {
  return both(d, [&](DisplayList &l) { l.curveto(*a, *b, *c); },
              [&](hpgs_device *m) { return hpgs_curveto(m, a, b, c); });
}
int rec_newpath(hpgs_device *d) {
  return both(d, [&](DisplayList &l) { l.newpath(); }, [&](hpgs_device *m) { return hpgs_newpath(m); });
}
int rec_closepath(hpgs_device *d) {
  return both(d, [&](DisplayList &l) { l.closepath(); }, [&](hpgs_device *m) { return hpgs_closepath(m); });
}
// A pending pattern turns the next stroke or fill into a pattern mark.
int pending_pattern_mark(hpgs_device *d, bool stroke, bool winding) {
  RecordingDevice *r = rd(d);
  PaintPattern pat = std::move(*r->pending);
  r->pending.reset();
  return recording_device_pattern(d, pat, stroke, winding);
}
int rec_stroke(hpgs_device *d) {
  if (rd(d)->pending) return pending_pattern_mark(d, true, false);
  return both(d, [&](DisplayList &l) { l.stroke(); }, [&](hpgs_device *m) { return hpgs_stroke(m); });
}
int rec_fill(hpgs_device *d, hpgs_bool w) {
  if (rd(d)->pending) return pending_pattern_mark(d, false, w != 0);
  return both(d, [&](DisplayList &l) { l.fill(w != 0); }, [&](hpgs_device *m) { return hpgs_fill(m, w); });
}
int rec_clip(hpgs_device *d, hpgs_bool w) {
  return both(d, [&](DisplayList &l) { l.clip(w != 0); }, [&](hpgs_device *m) { return hpgs_clip(m, w); });
}
int rec_clipsave(hpgs_device *d) {
  return both(d, [&](DisplayList &l) { l.clipsave(); }, [&](hpgs_device *m) { return hpgs_clipsave(m); });
}
int rec_cliprestore(hpgs_device *d) {
  return both(d, [&](DisplayList &l) { l.cliprestore(); }, [&](hpgs_device *m) { return hpgs_cliprestore(m); });
}
int rec_setrgbcolor(hpgs_device *d, const hpgs_color *c) {
  return both(d, [&](DisplayList &l) { l.setrgbcolor(*c); }, [&](hpgs_device *m) { return hpgs_setrgbcolor(m, c); });
}
int rec_setdash(hpgs_device *d, const float *s, unsigned n, double o) {
  return both(d, [&](DisplayList &l) { l.setdash(s, n, o); }, [&](hpgs_device *m) { return hpgs_setdash(m, s, n, o); });
}
int rec_setlinewidth(hpgs_device *d, double w) {
  return both(d, [&](DisplayList &l) { l.setlinewidth(w); }, [&](hpgs_device *m) { return hpgs_setlinewidth(m, w); });
}
int rec_setlinecap(hpgs_device *d, hpgs_line_cap c) {
  return both(d, [&](DisplayList &l) { l.setlinecap(c); }, [&](hpgs_device *m) { return hpgs_setlinecap(m, c); });
}
int rec_setlinejoin(hpgs_device *d, hpgs_line_join j) {
  return both(d, [&](DisplayList &l) { l.setlinejoin(j); }, [&](hpgs_device *m) { return hpgs_setlinejoin(m, j); });
}
int rec_setmiterlimit(hpgs_device *d, double v) {
  return both(d, [&](DisplayList &l) { l.setmiterlimit(v); },
              [&](hpgs_device *m) { return hpgs_setmiterlimit(m, v); });
}
int rec_setrop3(hpgs_device *d, int rop, hpgs_bool st, hpgs_bool pt) {
  return both(d, [&](DisplayList &l) { l.setrop3(rop, st != 0, pt != 0); },
              [&](hpgs_device *m) { return hpgs_setrop3(m, rop, st, pt); });
}
int rec_setpatcol(hpgs_device *d, const hpgs_color *c) {
  return both(d, [&](DisplayList &l) { l.setpatcol(*c); }, [&](hpgs_device *m) { return hpgs_setpatcol(m, c); });
}
int rec_drawimage(hpgs_device *d, const hpgs_image *img, const hpgs_point *ll, const hpgs_point *lr,
                  const hpgs_point *ur) {
  return both(d, [&](DisplayList &l) { l.drawimage(*img, *ll, *lr, *ur); },
              [&](hpgs_device *m) { return hpgs_drawimage(m, img, ll, lr, ur); });
}
int rec_setplotsize(hpgs_device *d, const hpgs_bbox *bb) {
  return both(d, [&](DisplayList &l) { l.setplotsize(*bb); }, [&](hpgs_device *m) { return hpgs_setplotsize(m, bb); });
}
int rec_getplotsize(hpgs_device *d, int i, hpgs_bbox *bb) { return hpgs_getplotsize(rd(d)->measure, i, bb); }
int rec_showpage(hpgs_device *d, int i) {
  RecordingDevice *r = rd(d);
  try {
    r->page_ends.push_back(r->list.mark());
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("Recording device: out of memory.");
  }
  return hpgs_showpage(r->measure, i);
}
int rec_setpattern(hpgs_device *d, const hpgs_pattern *p) {
  RecordingDevice *r = rd(d);
  try {
    PaintPattern pat;
    pat.width = p->width;
    pat.height = p->height;
    pat.argb.assign(p->argb, p->argb + static_cast<size_t>(p->width) * static_cast<size_t>(p->height));
    pat.to_dev = p->to_dev;
    r->pending = std::move(pat);
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("Recording device: out of memory for a pattern of %d x %d.", p->width, p->height);
  }
  return 0;
}
int rec_capabilities(hpgs_device *) {
  // Images are decoded (they are painted later); curves are kept as such;
  // raster patterns are kept for the device the recording is played into.
  return HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_MULTISIZE | HPGS_DEVICE_CAP_CURVES |
         HPGS_DEVICE_CAP_DRAWIMAGE | HPGS_DEVICE_CAP_PATTERN;
}
void rec_destroy(hpgs_device *d) {
  RecordingDevice *r = rd(d);
  hpgs_device_destroy(r->measure);
  delete r;
}

const hpgs_device_vtable kRecordingVtable = {
    "hpgs_recording_device", rec_moveto,        rec_lineto,      rec_curveto,      rec_newpath,
    rec_closepath,           rec_stroke,        rec_fill,        rec_clip,         rec_clipsave,
    rec_cliprestore,         rec_setrgbcolor,   rec_setdash,     rec_setlinewidth, rec_setlinecap,
    rec_setlinejoin,         rec_setmiterlimit, rec_setrop3,     rec_setpatcol,    rec_drawimage,
    rec_setplotsize,         rec_getplotsize,   rec_showpage,    nullptr,          rec_capabilities,
    rec_destroy,             rec_setpattern,
};

}  // namespace

bool is_recording_device(hpgs_device *d) { return d && d->vtable == &kRecordingVtable; }

int recording_lineto_run(hpgs_device *d, const PointRun &run) {
  RunBox box{};
  return both(d, [&](DisplayList &l) { box = l.lineto_run(run); },
              [&](hpgs_device *m) { return device_lineto_run(m, run, box); });
}

// Kept for the paint device; measured as the plain stroke or fill.
int recording_device_pattern(hpgs_device *d, const PaintPattern &pat, bool stroke, bool winding) {
  return both(d, [&](DisplayList &l) { l.pattern(pat, stroke, winding); },
              [&](hpgs_device *m) { return stroke ? hpgs_stroke(m) : hpgs_fill(m, winding); });
}

}  // namespace hpgs

using namespace hpgs;

extern "C" {

hpgs_device *hpgs_new_recording_device(hpgs_bool ignore_ps, hpgs_bool do_linewidth) {
  UniqueDevice measure(hpgs_new_plotsize_device(ignore_ps, do_linewidth));
  if (!measure) return nullptr;
  std::unique_ptr<RecordingDevice> r;
  try {
    r = std::make_unique<RecordingDevice>();
  } catch (const std::bad_alloc &) {
    hpgs_set_error("Out of memory creating a recording device.");
    return nullptr;
  }
  r->base.vtable = &kRecordingVtable;
  r->measure = measure.release();
  return &r.release()->base;
}

int hpgs_recording_device_replay(hpgs_device *rec, int page, hpgs_device *dev, const hpgs_matrix *m) {
  if (!rec || rec->vtable != &kRecordingVtable)
    return hpgs_set_error("hpgs_recording_device_replay: '%s' is not a recording device.", hpgs_device_rtti(rec));
  if (!dev) return hpgs_set_error("hpgs_recording_device_replay: no target device.");
  RecordingDevice *r = rd(rec);
  if (page == 0) page = 1;
  const size_t n = r->page_ends.size();
  // Recorded pages, and the page still open after them if it holds calls.
  const bool open_page = n == 0 || r->list.mark().op > r->page_ends.back().op;
  if (page < 1 || static_cast<size_t>(page) > n + (open_page ? 1 : 0))
    return hpgs_set_error("hpgs_recording_device_replay: page %d was not recorded (%zu page(s)).", page, n);
  const size_t idx = static_cast<size_t>(page) - 1;
  DisplayList::Mark from = idx == 0 ? DisplayList::Mark{} : r->page_ends[idx - 1];
  DisplayList::Mark to = idx < n ? r->page_ends[idx] : r->list.mark();
  return guard("hpgs_recording_device_replay", [&] { return r->list.replay(dev, m, from, to, nullptr, 0.0); });
}

}  // extern "C"
