// Painting benchmarks: whole renders to PNG (with and without
// anti-aliasing), the paint device against a bare cairo program stroking
// the same segments, and the share of PNG encoding in a 150-dpi A1
// preview.
#include "hpgs.h"

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string slurp(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

// One million segments: 1000 polylines of 1000 points each, a decaying
// two-pendulum curve like the large test file's, on a letter page.
struct Million {
  std::string hpgl;
  std::vector<std::vector<hpgs_point>> lines;  // plotter units
};

const Million &million() {
  static Million m = [] {
    Million r;
    std::ostringstream o;
    o << "IN;SP1;PW0.25;";
    for (int l = 0; l < 1000; ++l) {
      std::vector<hpgs_point> pts;
      for (int i = 0; i < 1001; ++i) {
        double t = (l * 1000 + i) * 0.002;
        double d = std::exp(-t * 0.0005);
        pts.push_back({5000 + 4500 * d * std::sin(t * 1.01 + l * 0.001), 4000 + 3500 * d * std::sin(t * 1.5)});
      }
      o << "PU" << static_cast<int>(pts[0].x) << "," << static_cast<int>(pts[0].y) << ";PD";
      for (size_t i = 1; i < pts.size(); ++i) {
        pts[i] = {std::round(pts[i].x), std::round(pts[i].y)};
        o << (i > 1 ? "," : "") << static_cast<int>(pts[i].x) << "," << static_cast<int>(pts[i].y);
      }
      pts[0] = {std::round(pts[0].x), std::round(pts[0].y)};
      o << ";";
      r.lines.push_back(std::move(pts));
    }
    o << "PU;";
    r.hpgl = o.str();
    return r;
  }();
  return m;
}

std::string input_text(int which) {
  if (which == 0) return slurp(std::string(XAD_TEST_DATA) + "/hpgl/pu_big_harmonograph.hpgl");
  return million().hpgl;
}

// The drawing's box as the plot-size pass finds it.
hpgs_bbox measure(const std::string &text) {
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_reader *r = hpgs_new_reader(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE), ps, HPGS_FALSE, 0);
  hpgs_bbox box{};
  hpgs_read(r, HPGS_TRUE);
  hpgs_getplotsize(ps, 1, &box);
  hpgs_destroy_reader(r);
  return box;
}

// Plot size, dynamic page, paint at dpi; out empty: no PNG written.
// Image size forced when w, h > 0.
int render(const std::string &text, double dpi, bool aa, const std::string &out, int w = 0, int h = 0) {
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_reader *r = hpgs_new_reader(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE), ps, HPGS_FALSE, 0);
  hpgs_bbox box;
  int rc = -1;
  if (hpgs_read(r, HPGS_TRUE) == 0 && hpgs_getplotsize(ps, 1, &box) == 0 &&
      hpgs_reader_set_dynamic_page(r, &box, 72000, 72000, 0, 0) == 0) {
    if (w <= 0) {
      w = static_cast<int>(std::floor((box.urx - box.llx) * dpi / 72 + 0.5));
      h = static_cast<int>(std::floor((box.ury - box.lly) * dpi / 72 + 0.5));
    }
    hpgs_png_image *img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_paint_device *p = hpgs_new_paint_device(img, out.c_str(), &box, aa ? HPGS_TRUE : HPGS_FALSE);
    if (p && hpgs_reader_imbue(r, reinterpret_cast<hpgs_device *>(p)) == 0) rc = hpgs_read(r, HPGS_TRUE);
  }
  hpgs_destroy_reader(r);
  return rc;
}

void BM_RenderToPng(benchmark::State &st) {
  const std::string text = input_text(static_cast<int>(st.range(0)));
  const bool aa = st.range(1) != 0;
  const std::string out = "/tmp/hpgs_paint_bench.png";
  for (auto _ : st)
    if (render(text, 150, aa, out) != 0) st.SkipWithError(hpgs_get_error());
  std::remove(out.c_str());
}
BENCHMARK(BM_RenderToPng)->ArgsProduct({{0, 1}, {1, 0}})->ArgNames({"million", "aa"})->Unit(benchmark::kMillisecond)->UseRealTime();

// Reading, transforming and painting the million segments, without PNG
// and without the measuring pass (the page box is known beforehand), so
// that it does the work of the bare cairo program below plus the reader.
void BM_HpgsPaintMillion(benchmark::State &st) {
  const std::string &text = million().hpgl;
  const hpgs_bbox box = measure(text);
  for (auto _ : st) {
    hpgs_bbox page = box;
    hpgs_reader *r =
        hpgs_new_reader(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE), hpgs_new_plotsize_device(1, 1),
                        HPGS_FALSE, 0);
    hpgs_reader_set_dynamic_page(r, &page, 72000, 72000, 0, 0);
    int w = static_cast<int>(std::floor((page.urx - page.llx) * 150 / 72 + 0.5));
    int h = static_cast<int>(std::floor((page.ury - page.lly) * 150 / 72 + 0.5));
    hpgs_png_image *img = hpgs_new_png_image(w, h, 24, HPGS_FALSE, HPGS_TRUE);
    hpgs_paint_device *p = hpgs_new_paint_device(img, "", &page, st.range(0) ? HPGS_TRUE : HPGS_FALSE);
    if (hpgs_reader_imbue(r, reinterpret_cast<hpgs_device *>(p)) != 0 || hpgs_read(r, HPGS_TRUE) != 0)
      st.SkipWithError(hpgs_get_error());
    hpgs_destroy_reader(r);
  }
}
BENCHMARK(BM_HpgsPaintMillion)->Arg(1)->Arg(0)->ArgName("aa")->Unit(benchmark::kMillisecond)->UseRealTime();

// The same segments stroked by cairo directly on a surface of the same
// size, with the same width: the floor for the paint device. hugepages:1
// puts the surface on 2 MiB aligned memory advised for huge pages, as the
// library allocates its images; hugepages:0 lets cairo allocate it. Page
// faults are dear on virtual machines, so the overhead of reading and
// transforming is the difference to hugepages:1.
void BM_BareCairoMillion(benchmark::State &st) {
  const Million &m = million();
  // The page the plot-size pass finds, to get the same pixel mapping.
  const hpgs_bbox box = measure(m.hpgl);
  const double k = 150.0 / 72.0;
  const int w = static_cast<int>(std::floor((box.urx - box.llx) * k + 0.5));
  const int h = static_cast<int>(std::floor((box.ury - box.lly) * k + 0.5));
  const double s = 72.0 / 1016.0 * k;
  const bool huge = st.range(1) != 0;
  const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, w);
  const size_t bytes = static_cast<size_t>(stride) * h;
  for (auto _ : st) {
    std::unique_ptr<unsigned char, decltype(&std::free)> mem(nullptr, &std::free);
    cairo_surface_t *surf;
    if (huge) {
      void *p = nullptr;
      const size_t kHuge = size_t{2} << 20;
      if (posix_memalign(&p, kHuge, bytes) != 0) {
        st.SkipWithError("out of memory");
        break;
      }
      madvise(p, bytes / kHuge * kHuge, MADV_HUGEPAGE);
      mem.reset(static_cast<unsigned char *>(p));
      surf = cairo_image_surface_create_for_data(mem.get(), CAIRO_FORMAT_RGB24, w, h, stride);
    } else {
      surf = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    }
    cairo_t *cr = cairo_create(surf);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_set_antialias(cr, st.range(0) ? CAIRO_ANTIALIAS_GRAY : CAIRO_ANTIALIAS_NONE);
    cairo_set_tolerance(cr, 0.1);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_set_line_width(cr, 0.25 * 72 / 25.4 * k);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
    for (const auto &line : m.lines) {
      for (size_t i = 0; i < line.size(); ++i) {
        double x = line[i].x * s - box.llx * k, y = h - (line[i].y * s - box.lly * k);
        if (i == 0) cairo_move_to(cr, x, y);
        else cairo_line_to(cr, x, y);
      }
      cairo_stroke(cr);
    }
    cairo_surface_flush(surf);
    cairo_destroy(cr);
    cairo_surface_destroy(surf);
  }
}
BENCHMARK(BM_BareCairoMillion)
    ->ArgsProduct({{1, 0}, {1, 0}})
    ->ArgNames({"aa", "hugepages"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A1 portrait at 150 dpi (3508 x 4967 px): total render with and without
// the PNG file; the difference is the encoding share.
void BM_A1Preview(benchmark::State &st) {
  const std::string &text = million().hpgl;
  const bool png = st.range(0) != 0;
  const std::string out = png ? "/tmp/hpgs_paint_bench_a1.png" : "";
  for (auto _ : st)
    if (render(text, 150, true, out, 3508, 4967) != 0) st.SkipWithError(hpgs_get_error());
  if (png) std::remove(out.c_str());
}
BENCHMARK(BM_A1Preview)->Arg(1)->Arg(0)->ArgName("png")->Unit(benchmark::kMillisecond)->UseRealTime();

// PNG encoding alone of the same A1 preview (painted once beforehand).
void BM_A1PngWrite(benchmark::State &st) {
  const std::string &text = million().hpgl;
  hpgs_device *ps = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
  hpgs_reader *r = hpgs_new_reader(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE), ps, HPGS_FALSE, 0);
  hpgs_bbox box;
  hpgs_read(r, HPGS_TRUE);
  hpgs_getplotsize(ps, 1, &box);
  hpgs_reader_set_dynamic_page(r, &box, 72000, 72000, 0, 0);
  hpgs_png_image *img = hpgs_new_png_image(3508, 4967, 24, HPGS_FALSE, HPGS_TRUE);
  hpgs_paint_device *p = hpgs_new_paint_device(img, "", &box, HPGS_TRUE);
  hpgs_reader_imbue(r, reinterpret_cast<hpgs_device *>(p));
  hpgs_read(r, HPGS_TRUE);
  const std::string out = "/tmp/hpgs_paint_bench_a1w.png";
  for (auto _ : st)
    if (hpgs_image_write(img, out.c_str()) != 0) st.SkipWithError(hpgs_get_error());
  std::remove(out.c_str());
  hpgs_destroy_reader(r);
}
BENCHMARK(BM_A1PngWrite)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
