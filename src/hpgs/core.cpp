// Library-wide state: prefix, per-thread error slot, logger, boxes and
// affine matrices.
#include "c_boundary.h"
#include "hpgs.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <string>

namespace {

std::mutex g_prefix_mutex;
std::string g_prefix = "/usr";

thread_local std::string t_error;

void default_logger(const char *fmt, va_list ap) {
  char buf[1024];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::fprintf(stderr, "%s\n", buf);
}

std::atomic<hpgs_logger_func_t> g_logger{&default_logger};

// Formats into the error slot. Without memory for the whole text the slot
// keeps as much of it as its present capacity holds: a message cut short
// beats an exception leaving a C function.
void set_slot(const char *fmt, va_list ap) {
  if (!fmt) fmt = "(no message)";
  va_list ap2;
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, fmt, ap2);
  va_end(ap2);
  try {
    if (n < 0) {
      t_error = fmt;
      return;
    }
    std::string s(static_cast<size_t>(n), '\0');
    std::vsnprintf(s.data(), s.size() + 1, fmt, ap);
    t_error = std::move(s);
    return;
  } catch (const std::bad_alloc &) {
  }
  t_error.resize(t_error.capacity());  // within the capacity: no allocation
  if (n < 0) std::snprintf(t_error.data(), t_error.size() + 1, "%s", fmt);
  else std::vsnprintf(t_error.data(), t_error.size() + 1, fmt, ap);
  t_error.resize(std::strlen(t_error.c_str()));
}

}  // namespace

int hpgs::fail_from_exception(const char *what) noexcept {
  if (!what) what = "hpgs";
  try {
    throw;
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("%s: out of memory.", what);
  } catch (const std::exception &e) {
    return hpgs_set_error("%s: %s.", what, e.what());
  } catch (...) {
    return hpgs_set_error("%s: unexpected failure.", what);
  }
}

extern "C" {

void hpgs_init(const char *prefix) {
  std::lock_guard<std::mutex> lock(g_prefix_mutex);
  if (!prefix) prefix = "/usr";
  try {
    g_prefix = prefix;
  } catch (const std::bad_alloc &) {
    hpgs_log("hpgs_init: out of memory for the prefix '%s'; it stays '%s'.", prefix, g_prefix.c_str());
  }
}

void hpgs_cleanup(void) { g_logger.store(&default_logger); }

const char *hpgs_get_prefix(void) {
  std::lock_guard<std::mutex> lock(g_prefix_mutex);
  return g_prefix.c_str();
}

int hpgs_set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  set_slot(fmt, ap);
  va_end(ap);
  return -1;
}

const char *hpgs_get_error(void) { return t_error.c_str(); }

void hpgs_clear_error(void) { t_error.clear(); }

void hpgs_set_logger(hpgs_logger_func_t func) { g_logger.store(func ? func : &default_logger); }

void hpgs_log(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  g_logger.load()(fmt, ap);
  va_end(ap);
}

void hpgs_bbox_null(hpgs_bbox *bb) {
  bb->llx = bb->lly = std::numeric_limits<double>::max();
  bb->urx = bb->ury = -std::numeric_limits<double>::max();
}

hpgs_bool hpgs_bbox_isnull(const hpgs_bbox *bb) { return bb->llx > bb->urx || bb->lly > bb->ury; }

hpgs_bool hpgs_bbox_isempty(const hpgs_bbox *bb) { return bb->llx >= bb->urx || bb->lly >= bb->ury; }

void hpgs_bbox_add(hpgs_bbox *bb, const hpgs_point *p) {
  bb->llx = std::min(bb->llx, p->x);
  bb->lly = std::min(bb->lly, p->y);
  bb->urx = std::max(bb->urx, p->x);
  bb->ury = std::max(bb->ury, p->y);
}

void hpgs_bbox_expand(hpgs_bbox *bb, const hpgs_bbox *o) {
  if (hpgs_bbox_isnull(o)) return;
  bb->llx = std::min(bb->llx, o->llx);
  bb->lly = std::min(bb->lly, o->lly);
  bb->urx = std::max(bb->urx, o->urx);
  bb->ury = std::max(bb->ury, o->ury);
}

void hpgs_bbox_intersect(hpgs_bbox *bb, const hpgs_bbox *o) {
  bb->llx = std::max(bb->llx, o->llx);
  bb->lly = std::max(bb->lly, o->lly);
  bb->urx = std::min(bb->urx, o->urx);
  bb->ury = std::min(bb->ury, o->ury);
  if (hpgs_bbox_isnull(bb)) hpgs_bbox_null(bb);
}

void hpgs_matrix_set_identity(hpgs_matrix *m) { *m = hpgs_matrix{0.0, 0.0, 1.0, 0.0, 0.0, 1.0}; }

void hpgs_matrix_concat(hpgs_matrix *res, const hpgs_matrix *a, const hpgs_matrix *b) {
  hpgs_matrix r;
  r.mxx = a->mxx * b->mxx + a->mxy * b->myx;
  r.mxy = a->mxx * b->mxy + a->mxy * b->myy;
  r.myx = a->myx * b->mxx + a->myy * b->myx;
  r.myy = a->myx * b->mxy + a->myy * b->myy;
  r.dx = a->dx + a->mxx * b->dx + a->mxy * b->dy;
  r.dy = a->dy + a->myx * b->dx + a->myy * b->dy;
  *res = r;
}

int hpgs_matrix_invert(hpgs_matrix *res, const hpgs_matrix *m) {
  double det = m->mxx * m->myy - m->mxy * m->myx;
  double scale = std::fabs(m->mxx) + std::fabs(m->mxy) + std::fabs(m->myx) + std::fabs(m->myy);
  if (!std::isfinite(det) || std::fabs(det) <= 1e-300 || std::fabs(det) < 1e-14 * scale * scale)
    return hpgs_set_error("Matrix is singular and cannot be inverted.");
  hpgs_matrix r;
  r.mxx = m->myy / det;
  r.mxy = -m->mxy / det;
  r.myx = -m->myx / det;
  r.myy = m->mxx / det;
  r.dx = -(r.mxx * m->dx + r.mxy * m->dy);
  r.dy = -(r.myx * m->dx + r.myy * m->dy);
  *res = r;
  return 0;
}

void hpgs_matrix_xform(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p) {
  double x = m->dx + m->mxx * p->x + m->mxy * p->y;
  double y = m->dy + m->myx * p->x + m->myy * p->y;
  res->x = x;
  res->y = y;
}

void hpgs_matrix_ixform(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p) {
  double det = m->mxx * m->myy - m->mxy * m->myx;
  if (det == 0.0 || !std::isfinite(det)) {
    *res = *p;
    return;
  }
  double x = p->x - m->dx, y = p->y - m->dy;
  res->x = (m->myy * x - m->mxy * y) / det;
  res->y = (-m->myx * x + m->mxx * y) / det;
}

void hpgs_matrix_scale(hpgs_point *res, const hpgs_matrix *m, const hpgs_point *p) {
  double x = m->mxx * p->x + m->mxy * p->y;
  double y = m->myx * p->x + m->myy * p->y;
  res->x = x;
  res->y = y;
}

void hpgs_matrix_xform_bbox(hpgs_bbox *res, const hpgs_matrix *m, const hpgs_bbox *bb) {
  if (hpgs_bbox_isnull(bb)) {
    hpgs_bbox_null(res);
    return;
  }
  const hpgs_point c[4] = {{bb->llx, bb->lly}, {bb->urx, bb->lly}, {bb->urx, bb->ury}, {bb->llx, bb->ury}};
  hpgs_bbox r;
  hpgs_bbox_null(&r);
  for (const auto &p : c) {
    hpgs_point q;
    hpgs_matrix_xform(&q, m, &p);
    hpgs_bbox_add(&r, &q);
  }
  *res = r;
}

}  // extern "C"
