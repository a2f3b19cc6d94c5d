// libFuzzer target: the whole reader on arbitrary bytes, once with the
// plot-size device (single page) and once with a device that takes decoded
// raster images and curves (multipage), plus a dynamic page for the second
// pass so that page transformation and asset callbacks run too.
#include "hpgs.h"
#include "hpgs_ptr.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

struct Sink {
  hpgs_device base;
  unsigned long calls = 0;
};

Sink *self(hpgs_device *d) { return reinterpret_cast<Sink *>(d); }
int count(hpgs_device *d) {
  ++self(d)->calls;
  return 0;
}

const hpgs_device_vtable kSink = {
    "fuzz_sink",
    [](hpgs_device *d, const hpgs_point *) { return count(d); },
    [](hpgs_device *d, const hpgs_point *) { return count(d); },
    [](hpgs_device *d, const hpgs_point *, const hpgs_point *, const hpgs_point *) { return count(d); },
    count,
    count,
    count,
    [](hpgs_device *d, hpgs_bool) { return count(d); },
    [](hpgs_device *d, hpgs_bool) { return count(d); },
    count,
    count,
    [](hpgs_device *d, const hpgs_color *) { return count(d); },
    [](hpgs_device *d, const float *s, unsigned n, double) {
      for (unsigned i = 0; i < n; ++i) self(d)->calls += s[i] > 0;
      return 0;
    },
    [](hpgs_device *d, double) { return count(d); },
    [](hpgs_device *d, hpgs_line_cap) { return count(d); },
    [](hpgs_device *d, hpgs_line_join) { return count(d); },
    [](hpgs_device *d, double) { return count(d); },
    [](hpgs_device *d, int, hpgs_bool, hpgs_bool) { return count(d); },
    [](hpgs_device *d, const hpgs_color *) { return count(d); },
    [](hpgs_device *d, const hpgs_image *img, const hpgs_point *, const hpgs_point *, const hpgs_point *) {
      // Touch every pixel so that the sanitizers check the buffer.
      unsigned sum = 0;
      if (img->data)
        for (int y = 0; y < img->height; ++y)
          for (int x = 0; x < img->width * 3; ++x) sum += img->data[y * img->stride + x];
      self(d)->calls += sum & 1;
      return 0;
    },
    [](hpgs_device *d, const hpgs_bbox *) { return count(d); },
    nullptr,
    [](hpgs_device *d, int) { return count(d); },
    count,
    [](hpgs_device *) { return HPGS_DEVICE_CAP_DRAWIMAGE | HPGS_DEVICE_CAP_CURVES | HPGS_DEVICE_CAP_MULTIPAGE; },
    [](hpgs_device *d) { delete self(d); },
    nullptr,  // setpattern: patterns arrive as their mean colour
};

int asset(void *, hpgs_device *dev, const hpgs_matrix *m, const hpgs_matrix *, const hpgs_bbox *b, int) {
  hpgs_bbox r;
  hpgs_matrix_xform_bbox(&r, m, b);
  hpgs_point p{r.llx, r.lly};
  return hpgs_moveto(dev, &p);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  hpgs_set_logger([](const char *, va_list) {});
  // The reader owns the plot-size device until the sink replaces it.
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs::UniqueReader owned(hpgs_new_reader(hpgs_new_mem_istream(data, size, HPGS_FALSE), ps, HPGS_FALSE, 1));
  hpgs_reader *r = owned.get();
  hpgs_bbox bb{0, 0, 0, 0};
  if (hpgs_read(r, HPGS_TRUE) == 0) hpgs_getplotsize(ps, 1, &bb);
  auto sink = std::make_unique<Sink>();
  sink->base.vtable = &kSink;
  hpgs_reader_imbue(r, &sink.release()->base);
  if (hpgs_bbox_isempty(&bb)) bb = hpgs_bbox{0, 0, 100, 100};
  hpgs_reader_set_dynamic_page(r, &bb, 14400, 14400, 10, size % 360);
  hpgs_reader_set_page_asset_func(r, nullptr, asset);
  hpgs_reader_set_frame_asset_func(r, nullptr, asset);
  hpgs_read(r, HPGS_TRUE);
  return 0;
}
