// A stream and a device written outside the library, used the way a
// job that copies a plot and draws assets into the copy uses them.
#include "helpers.h"

#include <gtest/gtest.h>

#include <string>

using namespace hpgs_test;

namespace {

// Input stream that copies every byte it hands out to an output stream.
struct Copying {
  hpgs_istream *under;
  hpgs_ostream *out;
};
const hpgs_istream_vtable kCopying = {
    [](void *s) {
      auto *c = static_cast<Copying *>(s);
      int ch = hpgs_getc(c->under);
      if (ch != EOF) hpgs_putc(ch, c->out);
      return ch;
    },
    [](int, void *) { return EOF; },
    [](void *, size_t, size_t, void *) -> size_t { return 0; },
    [](void *s, size_t p) { return hpgs_istream_seek(static_cast<Copying *>(s)->under, p); },
    [](void *s, size_t *p) { return hpgs_istream_tell(static_cast<Copying *>(s)->under, p); },
    [](void *s) { return hpgs_istream_iseof(static_cast<Copying *>(s)->under); },
    [](void *s) { return hpgs_istream_iserror(static_cast<Copying *>(s)->under); },
    [](void *s) {
      auto *c = static_cast<Copying *>(s);
      int rc = hpgs_istream_close(c->under);
      delete c;
      return rc;
    },
};

// Device that writes HP-GL/2 for what it is given while an asset runs and
// ignores the drawing itself; several table entries are absent.
struct AssetWriter {
  hpgs_device base;
  hpgs_ostream *out;
  bool active = false;
};
AssetWriter *aw(hpgs_device *d) { return reinterpret_cast<AssetWriter *>(d); }
int write_point(hpgs_device *d, const char *cmd, const hpgs_point *p) {
  if (!aw(d)->active) return 0;
  return hpgs_ostream_printf(aw(d)->out, "%s%.0f,%.0f;", cmd, p->x, p->y) < 0 ? -1 : 0;
}
int ok(hpgs_device *) { return 0; }
const hpgs_device_vtable kAssetWriter = {
    "asset_writer",
    [](hpgs_device *d, const hpgs_point *p) { return write_point(d, "PU", p); },
    [](hpgs_device *d, const hpgs_point *p) { return write_point(d, "PD", p); },
    nullptr,
    ok,
    ok,
    ok,
    [](hpgs_device *, hpgs_bool) { return 0; },
    [](hpgs_device *, hpgs_bool) { return 0; },
    ok,
    ok,
    [](hpgs_device *, const hpgs_color *) { return 0; },
    [](hpgs_device *, const float *, unsigned, double) { return 0; },
    [](hpgs_device *, double) { return 0; },
    [](hpgs_device *, hpgs_line_cap) { return 0; },
    [](hpgs_device *, hpgs_line_join) { return 0; },
    [](hpgs_device *, double) { return 0; },
    [](hpgs_device *, int, hpgs_bool, hpgs_bool) { return 0; },
    [](hpgs_device *, const hpgs_color *) { return 0; },
    nullptr,  // drawimage
    nullptr,  // setplotsize
    nullptr,  // getplotsize
    nullptr,  // showpage
    nullptr,  // finish
    [](hpgs_device *) { return HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_CURVES; },
    [](hpgs_device *d) { delete aw(d); },
    nullptr,  // setpattern
};

int draw_asset(void *, hpgs_device *dev, const hpgs_matrix *, const hpgs_matrix *xform, const hpgs_bbox *, int i) {
  if (std::string(hpgs_device_rtti(dev)) != "asset_writer") return 0;
  aw(dev)->active = true;
  // A mark at user (1,1) of the plot, in device points.
  hpgs_point u{1, 1}, p;
  hpgs_matrix_xform(&p, xform, &u);
  hpgs_point q{p.x + 10 * i, p.y};
  int rc = hpgs_moveto(dev, &p) | hpgs_lineto(dev, &q);
  aw(dev)->active = false;
  return rc;
}

TEST(HpgsExternalObjects, CopyingStreamAndAssetDeviceDrawIntoTheCopy) {
  const std::string plot = "IN;IP0,0,1016,1016;SC0,1,0,1;SP1;PU0,0;PD1,0;PG;";
  hpgs_ostream *out = hpgs_new_mem_ostream(256);
  auto *dev = new AssetWriter{{&kAssetWriter}, out};
  auto *copy = new Copying{mem(plot), out};
  ReaderPtr r(hpgs_new_reader(hpgs_new_istream(&kCopying, copy), &dev->base, false, 0));
  hpgs_reader_set_frame_asset_func(r.get(), nullptr, draw_asset);
  ASSERT_EQ(hpgs_read(r.get(), HPGS_TRUE), 0) << hpgs_get_error();
  size_t n = 0;
  const unsigned char *d = hpgs_mem_ostream_data(out, &n);
  // The whole plot is copied and the asset follows the frame command.
  EXPECT_EQ(std::string(reinterpret_cast<const char *>(d), n), plot + "PU72,72;PD72,72;");
  r.reset();
  hpgs_ostream_close(out);
}

TEST(HpgsScaling, PenKeepsItsPhysicalPlaceWhenScalingChanges) {
  auto r = record("IP0,0,1016,1016;SC0,10,0,10;SP1;PU10,10;IP0,0,2032,2032;PR;PD0,0;PA;PD10,10;");
  auto l = r.dev->named("lineto");
  ASSERT_EQ(l.size(), 2u);
  EXPECT_NEAR(l[0].args[0], 72, 1e-9);   // the dot where the pen was
  EXPECT_NEAR(l[1].args[0], 144, 1e-9);  // user 10 is now 2032 plotter units
}

}  // namespace
