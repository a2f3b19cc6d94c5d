// Owned hpgs handles for C++ callers: std::unique_ptr types whose deleters
// call the library's release function, so that ownership moves in the code
// (std::move, release() when a call takes the handle over) instead of in
// comments.
//
// Calls that take a handle over, also when they fail, and so need
// release() at the call: hpgs_new_reader (the stream and the device),
// hpgs_reader_imbue (the device), hpgs_reader_attach (the stream),
// hpgs_new_paint_device (the image).
#pragma once

#include "hpgs.h"

#include <memory>

namespace hpgs {

struct ReaderDeleter {
  void operator()(hpgs_reader *r) const noexcept { hpgs_destroy_reader(r); }
};
struct DeviceDeleter {
  void operator()(hpgs_device *d) const noexcept { hpgs_device_destroy(d); }
};
struct PaintDeviceDeleter {
  void operator()(hpgs_paint_device *d) const noexcept {
    hpgs_device_destroy(reinterpret_cast<hpgs_device *>(d));
  }
};
struct IstreamDeleter {
  void operator()(hpgs_istream *s) const noexcept { hpgs_istream_close(s); }
};
struct OstreamDeleter {
  void operator()(hpgs_ostream *s) const noexcept { hpgs_ostream_close(s); }
};
struct ImageDeleter {
  void operator()(hpgs_png_image *i) const noexcept { hpgs_image_destroy(i); }
};

using UniqueReader = std::unique_ptr<hpgs_reader, ReaderDeleter>;
using UniqueDevice = std::unique_ptr<hpgs_device, DeviceDeleter>;
using UniquePaintDevice = std::unique_ptr<hpgs_paint_device, PaintDeviceDeleter>;
using UniqueIstream = std::unique_ptr<hpgs_istream, IstreamDeleter>;
// Closing an output stream flushes it; callers that must know whether the
// data reached its file call hpgs_ostream_close on release() themselves.
using UniqueOstream = std::unique_ptr<hpgs_ostream, OstreamDeleter>;
using UniqueImage = std::unique_ptr<hpgs_png_image, ImageDeleter>;

// The paint device as the device the reader takes.
inline hpgs_device *as_device(hpgs_paint_device *d) { return reinterpret_cast<hpgs_device *>(d); }

}  // namespace hpgs
