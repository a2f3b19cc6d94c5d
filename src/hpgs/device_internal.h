// Runs of vertices handed to a device in one call: the reader sends every
// vertex of a polygon buffer this way, which spares the recording and
// plot-size devices a dispatch and a box update per vertex.
#ifndef HPGS_DEVICE_INTERNAL_H
#define HPGS_DEVICE_INTERNAL_H

#include "hpgs.h"

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

// hpgs_lineto for every point of the run in order, stopping at the first
// failing call; returns what that call returned, else 0.
int device_lineto_run(hpgs_device *dev, const PointRun &run);

// The recording device's part of it (recording_device.cpp).
bool is_recording_device(hpgs_device *dev);
int recording_lineto_run(hpgs_device *dev, const PointRun &run);

}  // namespace hpgs

#endif
