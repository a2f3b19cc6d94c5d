// Runs of vertices handed to a device in one call: the reader sends every
// vertex of a polygon buffer this way, which spares the recording and
// plot-size devices a dispatch and a box update per vertex.
#ifndef HPGS_DEVICE_INTERNAL_H
#define HPGS_DEVICE_INTERNAL_H

#include "hpgs.h"

#include <cmath>
#include <cstddef>

namespace hpgs {

// The n points first, first + stride bytes, first + 2 stride bytes, ...
struct PointRun {
  const unsigned char *first;
  size_t n;
  size_t stride;

  const hpgs_point &operator[](size_t i) const {
    return *reinterpret_cast<const hpgs_point *>(first + i * stride);
  }
};

// The box of the finite points of a run and the last of them. Taking
// minima and maxima point by point keeps the first of equal values (0 or
// -0), so merging this box into another gives the box that adding the
// points one by one would.
struct RunBox {
  hpgs_bbox box;  // null without finite points
  hpgs_point last;
  bool any;
};
RunBox run_box(const PointRun &run);
// Builds a RunBox point by point.
struct RunBoxer {
  double llx, lly, urx, ury;
  size_t last = 0;
  bool any = false;
  RunBoxer() {
    hpgs_bbox b;
    hpgs_bbox_null(&b);
    llx = b.llx, lly = b.lly, urx = b.urx, ury = b.ury;
  }
  void add(const hpgs_point &p, size_t i) {
    if (!std::isfinite(p.x) || !std::isfinite(p.y)) return;
    // As std::min and std::max take them.
    llx = p.x < llx ? p.x : llx;
    lly = p.y < lly ? p.y : lly;
    urx = urx < p.x ? p.x : urx;
    ury = ury < p.y ? p.y : ury;
    last = i;
    any = true;
  }
  RunBox result(const PointRun &run) const {
    return {{llx, lly, urx, ury}, any ? run[last] : hpgs_point{0, 0}, any};
  }
};
// Widens b by a run's box (unchanged by a null one).
inline void merge_run_box(hpgs_bbox &b, const hpgs_bbox &r) {
  b.llx = r.llx < b.llx ? r.llx : b.llx;
  b.lly = r.lly < b.lly ? r.lly : b.lly;
  b.urx = b.urx < r.urx ? r.urx : b.urx;
  b.ury = b.ury < r.ury ? r.ury : b.ury;
}

// hpgs_lineto for every point of the run in order, stopping at the first
// failing call; returns what that call returned, else 0.
int device_lineto_run(hpgs_device *dev, const PointRun &run);
// The same for a run whose box is known.
int device_lineto_run(hpgs_device *dev, const PointRun &run, const RunBox &box);

// The recording device's part of it (recording_device.cpp).
bool is_recording_device(hpgs_device *dev);
int recording_lineto_run(hpgs_device *dev, const PointRun &run);
// The tee device's part (tee_device.cpp): the run goes to both devices.
bool is_tee_device(hpgs_device *dev);
int tee_lineto_run(hpgs_device *dev, const PointRun &run);

}  // namespace hpgs

#endif
