// hpgl2png: renders an HP-GL/2 plot file to PNG with the same calls the
// daemon makes (plot size, dynamic page, PNG image, paint device). The file
// is read once: a recording device measures the drawing and keeps its
// calls, which are then played into the paint device through the page
// matrix.
#include "hpgs.h"
#include "hpgs_ptr.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

namespace {

void usage(FILE *f) {
  std::fprintf(f,
               "usage: hpgl2png INPUT OUTPUT.png [--dpi N | --size PX] [--angle DEG] [--no-antialias]\n"
               "                [--thin-alpha A] [--stamp TEXT] [--stamp-size PT]\n"
               "  --dpi N         resolution in dots per inch (default 150)\n"
               "  --size PX       fit the drawing into PX x PX pixels instead\n"
               "  --angle DEG     turn the drawing counter-clockwise\n"
               "  --no-antialias  exact pixels (only full ink or none)\n"
               "  --thin-alpha A  coverage of lines thinner than a pixel, 0.001 ... 1 (default 0.5)\n"
               "  --stamp TEXT    write TEXT large across the page\n"
               "The PNG is indexed when the page has at most 256 colours, RGB otherwise.\n");
}

int fail(const char *what) {
  std::fprintf(stderr, "hpgl2png: %s\n", what);
  return 1;
}

bool parse_double(const char *s, double &v) {
  char *end = nullptr;
  errno = 0;
  v = std::strtod(s, &end);
  return end != s && *end == 0 && errno == 0 && std::isfinite(v);
}

// Largest image accepted: 2^28 pixels (1 GiB of paint memory).
constexpr double kMaxPixels = 268435456.0;

}  // namespace

int main(int argc, char **argv) {
  const char *in = nullptr, *out = nullptr, *stamp = nullptr;
  double dpi = 150, size = 0, angle = 0, thin = 0.5, stamp_size = 500;
  bool aa = true;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&](double &v) {
      if (i + 1 >= argc || !parse_double(argv[i + 1], v)) {
        std::fprintf(stderr, "hpgl2png: %s needs a number\n", a.c_str());
        std::exit(1);
      }
      ++i;
    };
    if (a == "--dpi") value(dpi);
    else if (a == "--size") value(size);
    else if (a == "--angle") value(angle);
    else if (a == "--thin-alpha") value(thin);
    else if (a == "--stamp-size") value(stamp_size);
    else if (a == "--no-antialias") aa = false;
    else if (a == "--stamp") {
      if (i + 1 >= argc) return fail("--stamp needs a text");
      stamp = argv[++i];
    } else if (a == "-h" || a == "--help") {
      usage(stdout);
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      usage(stderr);
      return fail(("unknown option " + a).c_str());
    } else if (!in) in = argv[i];
    else if (!out) out = argv[i];
    else {
      usage(stderr);
      return fail("too many arguments");
    }
  }
  if (!in || !out) {
    usage(stderr);
    return 1;
  }
  if (!(dpi > 0) || dpi > 100000) return fail("the resolution must lie in (0, 100000] dpi");
  if (size < 0 || size > 32767) return fail("the size must lie in 1 ... 32767 pixels");
  if (!(thin >= 0.001 && thin <= 1.0)) return fail("the thin alpha must lie in [0.001, 1]");
  // An unwritable output is reported before any rendering work; an
  // existing file is left as it is until the new picture replaces it.
  bool existed = access(out, F_OK) == 0;
  if (existed ? access(out, W_OK) != 0 : false) {
    std::fprintf(stderr, "hpgl2png: cannot write '%s': %s\n", out, std::strerror(errno));
    return 1;
  }
  if (!existed) {
    FILE *f = std::fopen(out, "wb");
    if (!f) {
      std::fprintf(stderr, "hpgl2png: cannot write '%s': %s\n", out, std::strerror(errno));
      return 1;
    }
    std::fclose(f);
    std::remove(out);
  }
  hpgs_init("/usr");
  hpgs::UniqueIstream is(hpgs_new_file_istream(in));
  if (!is) return fail(hpgs_get_error());
  hpgs::UniqueDevice recording(hpgs_new_recording_device(HPGS_TRUE, HPGS_TRUE));
  if (!recording) return fail(hpgs_get_error());
  // The reader owns the recording device from here on; rec stays a view of
  // it while the reader lives.
  hpgs_device *rec = recording.get();
  hpgs::UniqueReader reader(hpgs_new_reader(is.release(), recording.release(), HPGS_FALSE, 1));
  if (!reader) return fail(hpgs_get_error());
  hpgs_bbox box;
  if (hpgs_read(reader.get(), HPGS_TRUE) < 0 || hpgs_getplotsize(rec, 1, &box) < 0) return fail(hpgs_get_error());
  if (hpgs_bbox_isnull(&box) || hpgs_bbox_isempty(&box)) {
    std::fprintf(stderr, "hpgl2png: %s: the drawing is empty\n", in);
    return 1;
  }
  if (hpgs_reader_set_dynamic_page(reader.get(), &box, 72000.0, 72000.0, 0.0, angle) < 0)
    return fail(hpgs_get_error());
  const double w = box.urx - box.llx, h = box.ury - box.lly;
  if (size >= 1) dpi = 72.0 * std::min(size / w, size / h);
  const double fw = std::floor(w * dpi / 72.0 + 0.5), fh = std::floor(h * dpi / 72.0 + 0.5);
  if (!(fw >= 2 && fh >= 2)) {
    std::fprintf(stderr, "hpgl2png: %s: the drawing is smaller than 2 x 2 pixels at %g dpi\n", in, dpi);
    return 1;
  }
  if (fw > 32767 || fh > 32767 || fw * fh > kMaxPixels) {
    std::fprintf(stderr, "hpgl2png: an image of %.0f x %.0f pixels at %g dpi is too large (at most 32767 per side, %.0f in all)\n",
                 fw, fh, dpi, kMaxPixels);
    return 1;
  }
  hpgs_png_image *img = hpgs_new_png_image(static_cast<int>(fw), static_cast<int>(fh), 24, HPGS_TRUE, HPGS_TRUE);
  // The paint device takes the image over, also when it cannot be made.
  hpgs::UniquePaintDevice paint(img ? hpgs_new_paint_device(img, out, &box, aa ? HPGS_TRUE : HPGS_FALSE) : nullptr);
  if (!paint) return fail(hpgs_get_error());
  hpgs_paint_device_set_thin_alpha(paint.get(), thin);
  hpgs_paint_device_set_image_interpolation(paint.get(), 1);
  hpgs_device *pdev = hpgs::as_device(paint.get());
  hpgs_matrix pm;
  int rc = hpgs_reader_get_page_matrix(reader.get(), &pm);
  if (rc >= 0) rc = hpgs_recording_device_replay(rec, 1, pdev, &pm);
  // The recording (and the reader owning it) is no longer needed: freed
  // before the page is painted, which may need the most memory.
  std::string replay_error = rc < 0 ? hpgs_get_error() : "";
  reader.reset();
  if (rc < 0) hpgs_set_error("%s", replay_error.c_str());
  if (rc >= 0 && stamp && *stamp) rc = hpgs_device_stamp(pdev, &box, stamp, "utf-8", stamp_size);
  if (rc >= 0) rc = hpgs_showpage(pdev, 0);
  if (rc >= 0) rc = hpgs_device_finish(pdev);
  if (rc < 0) return fail(hpgs_get_error());
  paint.reset();
  hpgs_cleanup();
  return 0;
}
