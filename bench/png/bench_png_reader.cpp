// Reading an A1 page rendered at 150 dpi (4967 x 3508 RGB, written once per
// run under /tmp with a drawing-like content: white paper, a grid, diagonal
// strokes and a shaded title block) row by row:
//
//   BM_BareLibpng/interlace:0|1  libpng alone: header, png_read_row loop
//                                into one row (interlaced: png_read_image
//                                into an image buffer allocated per file,
//                                as reading any one file needs it), end
//   BM_PngReader/interlace:0|1   PngReader open, readRow per row, close
//
// The reader's overhead is the difference of the two medians.
#include "imaging/PngReader.h"
#include "xadracommon/LogService.h"

#include <benchmark/benchmark.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 4967;
constexpr uint32_t kHeight = 3508;

void onError(png_structp png, png_const_charp msg) {
    std::fprintf(stderr, "libpng: %s\n", msg);
    png_longjmp(png, 1);
}

unsigned char pixel(uint32_t x, uint32_t y, int c) {
    if (x % 120 == 0 || y % 120 == 0) return c == 2 ? 200 : 40;            // grid
    if ((x + 2 * y) % 997 < 3 || (3 * x + y) % 1409 < 2) return 0;          // strokes
    if (x > kWidth - 1200 && y > kHeight - 500) return static_cast<unsigned char>(180 + (x * 3 + y + c * 20) % 60);
    return 255;
}

// Writes the page; no objects with destructors live between setjmp and the libpng calls.
bool writePage(FILE* f, int interlace, png_bytepp rows) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, kWidth, kHeight, 8, PNG_COLOR_TYPE_RGB, interlace, 0, 0);
    png_set_pHYs(png, info, 5906, 5906, PNG_RESOLUTION_METER);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

const std::string& pagePath(int interlace) {
    static std::string paths[2];
    std::string& path = paths[interlace];
    if (path.empty()) {
        path = "/tmp/xad_png_bench_a1_" + std::to_string(interlace) + ".png";
        std::vector<unsigned char> image(size_t(kWidth) * 3 * kHeight);
        std::vector<png_bytep> rows(kHeight);
        for (uint32_t y = 0; y < kHeight; ++y) {
            rows[y] = image.data() + size_t(y) * kWidth * 3;
            for (uint32_t x = 0; x < kWidth; ++x)
                for (int c = 0; c < 3; ++c) rows[y][x * 3 + c] = pixel(x, y, c);
        }
        FILE* f = std::fopen(path.c_str(), "wb");
        if (!f || !writePage(f, interlace, rows.data())) std::abort();
        std::fclose(f);
        std::atexit([] {
            for (auto& p : paths)
                if (!p.empty()) std::filesystem::remove(p);
        });
    }
    return path;
}

// The bare loop: the same transformations as the reader, rows into one buffer.
bool readBare(FILE* f, png_bytep row, png_bytepp imageRows, uint64_t* sum) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_strip_alpha(png);
    png_set_packing(png);
    int passes = png_set_interlace_handling(png);
    png_read_update_info(png, info);
    if (passes > 1) {
        png_read_image(png, imageRows);
        for (uint32_t y = 0; y < kHeight; ++y) *sum += imageRows[y][y % (kWidth * 3)];
    } else {
        for (uint32_t y = 0; y < kHeight; ++y) {
            png_read_row(png, row, nullptr);
            *sum += row[y % (kWidth * 3)];
        }
    }
    png_read_end(png, info);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

void BM_BareLibpng(benchmark::State& state) {
    const int interlace = static_cast<int>(state.range(0));
    const std::string& path = pagePath(interlace);
    std::vector<unsigned char> row(size_t(kWidth) * 3);
    std::vector<png_bytep> rows(kHeight);
    uint64_t sum = 0;
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> image;
        if (interlace) {
            image = std::make_unique_for_overwrite<unsigned char[]>(size_t(kWidth) * 3 * kHeight);
            for (uint32_t y = 0; y < kHeight; ++y) rows[y] = image.get() + size_t(y) * kWidth * 3;
        }
        FILE* f = std::fopen(path.c_str(), "rb");
        if (!f || !readBare(f, row.data(), rows.data(), &sum)) state.SkipWithError("bare libpng read failed");
        if (f) std::fclose(f);
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kHeight);
}

void BM_PngReader(benchmark::State& state) {
    const std::string& path = pagePath(static_cast<int>(state.range(0)));
    uint64_t sum = 0;
    Xadra::PngReader reader;
    for (auto _ : state) {
        reader.open(path, true);
        for (uint32_t y = 0; y < kHeight; ++y) {
            reader.readRow();
            sum += reader.getRowBuffer()[y % (kWidth * 3)];
        }
        reader.close();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations() * kHeight);
}

BENCHMARK(BM_BareLibpng)->ArgName("interlace")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(7)
    ->ReportAggregatesOnly(true)->MinTime(0.5);
BENCHMARK(BM_PngReader)->ArgName("interlace")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(7)
    ->ReportAggregatesOnly(true)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
