// PNG images: pixel memory for the paint device, layout conversions, PNG
// output with libpng (pHYs carries the resolution).
#include "big_alloc.h"
#include "paint_internal.h"

#include <png.h>
#include <zlib.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

namespace hpgs {

namespace {
// cairo's image surfaces hold at most 32767 pixels per side.
constexpr int kMaxSide = 32767;

inline uint32_t pack_native(unsigned r, unsigned g, unsigned b) { return 0xff000000u | (r << 16) | (g << 8) | b; }
}  // namespace

void image_to_native(hpgs_png_image *img) {
  if (img->native) return;
  const int w = img->width;
  for (int y = 0; y < img->height; ++y) {
    unsigned char *row = img->data + static_cast<size_t>(y) * img->stride;
    // Backwards: the word of pixel x starts at 4x, never before its packed
    // bytes at 3x (or x), so nothing unread is overwritten.
    if (img->depth == 24) {
      for (int x = w - 1; x >= 0; --x) {
        const unsigned char *p = row + 3 * x;
        uint32_t v = pack_native(p[0], p[1], p[2]);
        std::memcpy(row + 4 * x, &v, 4);
      }
    } else {
      for (int x = w - 1; x >= 0; --x) {
        unsigned g = row[x];
        uint32_t v = pack_native(g, g, g);
        std::memcpy(row + 4 * x, &v, 4);
      }
    }
  }
  img->native = true;
}

static inline unsigned char gray_of(uint32_t v) {
  unsigned r = (v >> 16) & 0xff, g = (v >> 8) & 0xff, b = v & 0xff;
  return static_cast<unsigned char>((r * 299 + g * 587 + b * 114 + 500) / 1000);
}

void packed_rows_to_native(const hpgs_png_image *img, int y0, int n, unsigned char *dst, int dstride) {
  const int w = img->width;
  for (int y = 0; y < n; ++y) {
    const unsigned char *src = img->data + static_cast<size_t>(y0 + y) * img->stride;
    uint32_t *out = reinterpret_cast<uint32_t *>(dst + static_cast<size_t>(y) * dstride);
    if (img->depth == 24) {
      for (int x = 0; x < w; ++x) out[x] = pack_native(src[3 * x], src[3 * x + 1], src[3 * x + 2]);
    } else {
      for (int x = 0; x < w; ++x) out[x] = pack_native(src[x], src[x], src[x]);
    }
  }
}

void native_rows_to_packed(hpgs_png_image *img, int y0, int n, const unsigned char *src, int sstride) {
  const int w = img->width;
  for (int y = 0; y < n; ++y) {
    const uint32_t *in = reinterpret_cast<const uint32_t *>(src + static_cast<size_t>(y) * sstride);
    unsigned char *out = img->data + static_cast<size_t>(y0 + y) * img->stride;
    if (img->depth == 24) {
      for (int x = 0; x < w; ++x) {
        const uint32_t v = in[x];
        out[3 * x] = static_cast<unsigned char>(v >> 16);
        out[3 * x + 1] = static_cast<unsigned char>(v >> 8);
        out[3 * x + 2] = static_cast<unsigned char>(v);
      }
    } else {
      for (int x = 0; x < w; ++x) out[x] = gray_of(in[x]);
    }
  }
}

size_t band_limit() {
  if (const char *e = std::getenv("HPGS_BAND_LIMIT")) {
    char *end = nullptr;
    unsigned long long v = std::strtoull(e, &end, 10);
    if (end != e && *end == 0 && v >= 1) return static_cast<size_t>(v);
  }
  return kDefaultBandLimit;
}

void image_to_packed(hpgs_png_image *img) {
  if (!img->native) return;
  const int w = img->width;
  for (int y = 0; y < img->height; ++y) {
    unsigned char *row = img->data + static_cast<size_t>(y) * img->stride;
    for (int x = 0; x < w; ++x) {
      uint32_t v;
      std::memcpy(&v, row + 4 * x, 4);
      if (img->depth == 24) {
        row[3 * x] = static_cast<unsigned char>(v >> 16);
        row[3 * x + 1] = static_cast<unsigned char>(v >> 8);
        row[3 * x + 2] = static_cast<unsigned char>(v);
      } else {
        row[x] = gray_of(v);
      }
    }
  }
  img->native = false;
}

std::string page_file_name(const std::string &base, int page) {
  if (page <= 1) return base;
  size_t slash = base.find_last_of('/');
  size_t dot = base.find_last_of('.');
  char num[32];
  std::snprintf(num, sizeof num, "_%d", page);
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
    return base + num;
  return base.substr(0, dot) + num + base.substr(dot);
}

namespace {
struct PngError {
  jmp_buf jmp;
  char msg[256] = "";
};

void png_error_fn(png_structp png, png_const_charp msg) {
  auto *e = static_cast<PngError *>(png_get_error_ptr(png));
  std::snprintf(e->msg, sizeof e->msg, "%s", msg);
  longjmp(e->jmp, 1);
}
void png_warning_fn(png_structp, png_const_charp) {}

// Working memory of one PNG write: libpng's buffers and zlib's state (about
// 260 KiB at level 1) from one block that the kernel can back with a huge
// page. From the heap they are faulted in page by page as deflate first
// touches them, about 65 faults; on virtual machines that was the larger
// part of writing a small preview. Requests that do not fit go to malloc.
class PngArena {
 public:
  static png_voidp alloc(png_structp png, png_alloc_size_t n) {
    auto *a = static_cast<PngArena *>(png_get_mem_ptr(png));
    if (a) {
      if (void *p = a->take(n)) return p;
    }
    return std::malloc(n ? n : 1);
  }
  static void release(png_structp png, png_voidp p) {
    auto *a = static_cast<PngArena *>(png_get_mem_ptr(png));
    if (!a || !a->owns(p)) std::free(p);
  }

 private:
  static constexpr size_t kSize = kHugePage;
  void *take(size_t n) {
    if (!block_ && !failed_) {
      block_.reset(static_cast<unsigned char *>(big_alloc(kSize)));
      failed_ = !block_;
    }
    n = (n + 15) & ~size_t{15};
    if (!block_ || n > kSize - used_) return nullptr;
    void *p = block_.get() + used_;
    used_ += n;
    return p;
  }
  bool owns(const void *p) const {
    const auto *b = static_cast<const unsigned char *>(p);
    return block_ && b >= block_.get() && b < block_.get() + kSize;
  }
  std::unique_ptr<unsigned char[], FreeDeleter> block_;
  size_t used_ = 0;
  bool failed_ = false;
};
}  // namespace

// Colours of an image for indexed output: at most 256 of them, each
// 0xRRGGBB, numbered in the order they first appear.
class ColourIndex {
 public:
  // Room for every colour at once: numbering never allocates.
  ColourIndex() {
    std::fill(std::begin(keys_), std::end(keys_), kEmpty);
    colours_.reserve(256);
  }
  // The index of c, numbering it if new; -1 when c would be the 257th.
  // The last two colours are remembered: ink and paper alternate.
  [[gnu::always_inline]] int index(uint32_t c) {
    if (c == last_) return last_index_;
    if (c == prev_) {
      std::swap(last_, prev_);
      std::swap(last_index_, prev_index_);
      return last_index_;
    }
    return lookup(c);
  }
  const std::vector<uint32_t> &colours() const { return colours_; }

 private:
  [[gnu::noinline]] int lookup(uint32_t c) {
    unsigned h = (c * 2654435761u) >> (32 - kBits);
    while (keys_[h] != c) {
      if (keys_[h] == kEmpty) {
        if (colours_.size() == 256) return -1;
        keys_[h] = c;
        vals_[h] = static_cast<uint8_t>(colours_.size());
        colours_.push_back(c);
        break;
      }
      h = (h + 1) & (kSlots - 1);
    }
    prev_ = last_;
    prev_index_ = last_index_;
    last_ = c;
    last_index_ = vals_[h];
    return last_index_;
  }

  static constexpr int kBits = 10;
  static constexpr unsigned kSlots = 1u << kBits;
  static constexpr uint32_t kEmpty = 0xffffffffu;  // no colour has high bits
  uint32_t keys_[kSlots];
  uint8_t vals_[kSlots];
  std::vector<uint32_t> colours_;
  uint32_t last_ = kEmpty, prev_ = kEmpty;
  int last_index_ = 0, prev_index_ = 0;
};

// Calls f(x, 0xRRGGBB) for each pixel of row y, in either layout.
template <class F>
inline void for_each_pixel(const hpgs_png_image *img, int y, F &&f) {
  const unsigned char *src = img->data + static_cast<size_t>(y) * img->stride;
  const int w = img->width;
  if (img->native) {
    for (int x = 0; x < w; ++x) {
      uint32_t v;
      std::memcpy(&v, src + 4 * x, 4);
      f(x, img->depth == 24 ? v & 0xffffffu : gray_of(v) * 0x010101u);
    }
  } else if (img->depth == 24) {
    for (int x = 0; x < w; ++x)
      f(x, (uint32_t{src[3 * x]} << 16) | (uint32_t{src[3 * x + 1]} << 8) | src[3 * x + 2]);
  } else {
    for (int x = 0; x < w; ++x) f(x, src[x] * 0x010101u);
  }
}

// The number of pixels from px on (at most n) whose colour, the low 24
// bits, is c. Four at a time: previews are mostly long runs of white.
inline int run_of(const uint32_t *px, int n, uint32_t c) {
  int i = 0;
#if defined(__SSE2__)
  const __m128i mask = _mm_set1_epi32(0xffffff), want = _mm_set1_epi32(static_cast<int>(c));
  while (i + 4 <= n) {
    const __m128i v = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i *>(px + i)), mask);
    const int eq = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, want)));
    if (eq != 0xf) return i + std::countr_one(static_cast<unsigned>(eq));
    i += 4;
  }
#endif
  while (i < n && (px[i] & 0xffffffu) == c) ++i;
  return i;
}

// Fills idx with the image's colours when it has at most 256. For a native
// RGB image, same[y] tells whether row y equals row y - 1.
bool image_palette(const hpgs_png_image *img, ColourIndex &idx, std::vector<char> &same) {
  if (img->native && img->depth == 24) {
    const size_t bytes = static_cast<size_t>(img->width) * 4;
    same.assign(static_cast<size_t>(img->height), 0);
    for (int y = 0; y < img->height; ++y) {
      const auto *px = reinterpret_cast<const uint32_t *>(img->data + static_cast<size_t>(y) * img->stride);
      if (y > 0 && std::memcmp(px, img->data + static_cast<size_t>(y - 1) * img->stride, bytes) == 0) {
        same[static_cast<size_t>(y)] = 1;
        continue;
      }
      for (int x = 0; x < img->width;) {
        const uint32_t c = px[x] & 0xffffffu;
        if (idx.index(c) < 0) return false;
        x += run_of(px + x, img->width - x, c);
      }
    }
    return true;
  }
  bool ok = true;
  for (int y = 0; y < img->height && ok; ++y)
    for_each_pixel(img, y, [&](int, uint32_t c) {
      if (ok && idx.index(c) < 0) ok = false;
    });
  return ok;
}

// The palette indices of row y of a native RGB image, one byte per pixel,
// run by run.
void index_native_row(const hpgs_png_image *img, int y, ColourIndex &idx, unsigned char *out) {
  const auto *px = reinterpret_cast<const uint32_t *>(img->data + static_cast<size_t>(y) * img->stride);
  for (int x = 0; x < img->width;) {
    const uint32_t c = px[x] & 0xffffffu;
    const int n = run_of(px + x, img->width - x, c);
    const auto v = static_cast<unsigned char>(idx.index(c));
    if (n < 16) {
      for (int k = 0; k < n; ++k) out[x + k] = v;
    } else {
      std::memset(out + x, v, static_cast<size_t>(n));
    }
    x += n;
  }
}

// Packs w indices of `bits` bits (1, 2 or 4) each into bytes, the first
// index in the high bits, the last byte padded with zeros. Eight indices
// at a time on little-endian machines: multiplying their bytes by a
// constant moves every index to its place in the top byte (the partial
// products land on distinct bits, so no carry disturbs it).
void pack_indices(const unsigned char *in, int w, int bits, unsigned char *out) {
  const int per = 8 / bits;
  int x = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; x + 8 <= w; x += 8) {
      uint64_t v;
      std::memcpy(&v, in + x, 8);
      if (bits == 1) {
        out[x / 8] = static_cast<unsigned char>((v * 0x8040201008040201ull) >> 56);
      } else if (bits == 2) {
        const uint64_t m = (1ull << 30) | (1ull << 20) | (1ull << 10) | 1ull;
        out[x / 4] = static_cast<unsigned char>(((v & 0xffffffffu) * m) >> 24);
        out[x / 4 + 1] = static_cast<unsigned char>(((v >> 32) * m) >> 24);
      } else {
        for (int k = 0; k < 4; ++k)
          out[x / 2 + k] = static_cast<unsigned char>(((v >> (16 * k)) & 0xff) << 4 | ((v >> (16 * k + 8)) & 0xff));
      }
    }
  }
  for (; x < w; x += per) {
    unsigned b = 0;
    for (int k = 0; k < per; ++k) b = (b << bits) | (x + k < w ? in[x + k] : 0u);
    out[x / per] = static_cast<unsigned char>(b);
  }
}

// Bits per index for n colours: 1, 2, 4 or 8.
int index_bits(size_t n) { return n <= 2 ? 1 : n <= 4 ? 2 : n <= 16 ? 4 : 8; }

// Compression: zlib level 1 without row filters. Previews are mostly
// white with thin ink, which deflate already packs as long runs; measured
// on a million-vector drawing at A1 size (3508 x 4967): no filter 5.8 MB,
// the Sub filter 6.7 MB in the same time, level 6 with adaptive filters
// 4.4 MB for about a third more time of the whole render.
int image_write_png(hpgs_png_image *img, const char *filename) {
  // Everything libpng may jump over lives outside the jump's reach, and
  // all the memory the write needs is taken here, before the file is
  // opened: nothing after this block throws.
  const bool gray = img->depth == 8;
  const int w = img->width;
  std::vector<unsigned char> row;
  std::vector<unsigned char> indices;  // one byte per index, packed into row below 8 bits
  std::vector<png_color> plte;
  // Indexed when asked for and the image has few enough colours.
  std::unique_ptr<ColourIndex> idx;
  std::vector<char> same;  // rows equal to the row before (indexed output)
  try {
    if (img->palette) {
      idx = std::make_unique<ColourIndex>();
      if (!image_palette(img, *idx, same)) idx.reset();
    }
    if (idx) {
      const int bits = index_bits(idx->colours().size());
      for (uint32_t c : idx->colours())
        plte.push_back({static_cast<png_byte>(c >> 16), static_cast<png_byte>(c >> 8), static_cast<png_byte>(c)});
      row.resize((static_cast<size_t>(w) * bits + 7) / 8);
      if (bits < 8) indices.resize(static_cast<size_t>(w));
    } else {
      row.resize(static_cast<size_t>(w) * (gray ? 1 : 3));
    }
  } catch (const std::bad_alloc &) {
    return hpgs_set_error("cannot write PNG file '%s': out of memory", filename);
  }
  const int bits = idx ? index_bits(idx->colours().size()) : 8;
  FILE *f = std::fopen(filename, "wb");
  if (!f) return hpgs_set_error("cannot open '%s' for writing: %s", filename, std::strerror(errno));
  PngError err;
  PngArena arena;
  png_structp png = png_create_write_struct_2(PNG_LIBPNG_VER_STRING, &err, png_error_fn, png_warning_fn, &arena,
                                              PngArena::alloc, PngArena::release);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    if (png) png_destroy_write_struct(&png, nullptr);
    std::fclose(f);
    return hpgs_set_error("cannot write '%s': out of memory", filename);
  }
  if (setjmp(err.jmp)) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    std::remove(filename);
    return hpgs_set_error("cannot write PNG file '%s': %s", filename, err.msg);
  }
  png_init_io(png, f);
  png_set_compression_level(png, 1);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
  png_set_IHDR(png, info, static_cast<png_uint_32>(img->width), static_cast<png_uint_32>(img->height), bits,
               idx ? PNG_COLOR_TYPE_PALETTE : gray ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  if (idx) png_set_PLTE(png, info, plte.data(), static_cast<int>(plte.size()));
  auto ppm = [](double dpi) { return static_cast<png_uint_32>(std::lround(std::clamp(dpi, 1.0, 1e6) / 0.0254)); };
  png_set_pHYs(png, info, ppm(img->xres), ppm(img->yres), PNG_RESOLUTION_METER);
  png_write_info(png, info);
  // A row equal to the one before it is written again as it was: most
  // rows of a preview are blank or cross the same few lines.
  const size_t native_bytes = static_cast<size_t>(w) * 4;
  auto same_as_before = [&](int y) {
    return img->native && y > 0 &&
           std::memcmp(img->data + static_cast<size_t>(y) * img->stride,
                       img->data + static_cast<size_t>(y - 1) * img->stride, native_bytes) == 0;
  };
  if (idx) {
    const bool runs = img->native && img->depth == 24;
    unsigned char *out = bits < 8 ? indices.data() : row.data();
    for (int y = 0; y < img->height; ++y) {
      if (!(runs ? same[static_cast<size_t>(y)] != 0 : same_as_before(y))) {
        if (runs) {
          index_native_row(img, y, *idx, out);
        } else {
          for_each_pixel(img, y, [&](int x, uint32_t c) { out[x] = static_cast<unsigned char>(idx->index(c)); });
        }
        if (bits < 8) pack_indices(indices.data(), w, bits, row.data());
      }
      png_write_row(png, row.data());
    }
  }
  for (int y = 0; !idx && y < img->height; ++y) {
    const unsigned char *src = img->data + static_cast<size_t>(y) * img->stride;
    if (!img->native) {
      png_write_row(png, const_cast<unsigned char *>(src));
      continue;
    }
    if (same_as_before(y)) {
      png_write_row(png, row.data());
      continue;
    }
    unsigned char *o = row.data();
    if (gray) {
      for (int x = 0; x < w; ++x) {
        uint32_t v;
        std::memcpy(&v, src + 4 * x, 4);
        o[x] = gray_of(v);
      }
    } else {
      for (int x = 0; x < w; ++x) {
        uint32_t v;
        std::memcpy(&v, src + 4 * x, 4);
        o[3 * x] = static_cast<unsigned char>(v >> 16);
        o[3 * x + 1] = static_cast<unsigned char>(v >> 8);
        o[3 * x + 2] = static_cast<unsigned char>(v);
      }
    }
    png_write_row(png, o);
  }
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  if (std::fclose(f) != 0) {
    std::remove(filename);
    return hpgs_set_error("cannot write PNG file '%s': %s", filename, std::strerror(errno));
  }
  return 0;
}

}  // namespace hpgs

using namespace hpgs;

extern "C" {

hpgs_png_image *hpgs_new_png_image(int width, int height, int depth, hpgs_bool palette, hpgs_bool do_rop3) {
  if (depth != 8 && depth != 24) {
    hpgs_set_error("Image depth %d is not supported (8 for gray, 24 for RGB).", depth);
    return nullptr;
  }
  if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide) {
    hpgs_set_error("Image size %d x %d is outside 1 ... %d pixels per side.", width, height, kMaxSide);
    return nullptr;
  }
  auto *img = new (std::nothrow) hpgs_png_image;
  if (!img) {
    hpgs_set_error("Out of memory creating an image.");
    return nullptr;
  }
  img->width = width;
  img->height = height;
  img->depth = depth;
  img->palette = palette != 0;
  img->do_rop3 = do_rop3 != 0;
  // Small images keep room for cairo's layout and are painted in place;
  // larger ones stay packed and are painted band by band.
  const size_t native_bytes = 4 * static_cast<size_t>(width) * static_cast<size_t>(height);
  img->banded = native_bytes > band_limit();
  img->stride = img->banded ? width * (depth / 8) : 4 * width;
  size_t bytes = static_cast<size_t>(img->stride) * static_cast<size_t>(height);
  img->data = static_cast<unsigned char *>(big_alloc(bytes));
  if (!img->data) {
    delete img;
    hpgs_set_error("Out of memory: an image of %d x %d pixels needs %zu bytes.", width, height, bytes);
    return nullptr;
  }
  std::memset(img->data, 0xff, bytes);
  return img;
}

int hpgs_image_get_data(hpgs_png_image *img, unsigned char **data, int *stride) {
  if (!img) return hpgs_set_error("hpgs_image_get_data: no image.");
  image_to_packed(img);
  img->exposed = true;
  if (data) *data = img->data;
  if (stride) *stride = img->stride;
  return 0;
}

int hpgs_image_get_size(const hpgs_png_image *img, int *width, int *height) {
  if (!img) return hpgs_set_error("hpgs_image_get_size: no image.");
  if (width) *width = img->width;
  if (height) *height = img->height;
  return 0;
}

int hpgs_image_get_pixel(hpgs_png_image *img, int x, int y, unsigned char rgb[3], double *alpha) {
  if (!img) return hpgs_set_error("hpgs_image_get_pixel: no image.");
  if (x < 0 || y < 0 || x >= img->width || y >= img->height)
    return hpgs_set_error("hpgs_image_get_pixel: pixel (%d,%d) outside the %d x %d image.", x, y, img->width,
                          img->height);
  const unsigned char *row = img->data + static_cast<size_t>(y) * img->stride;
  if (img->native) {
    uint32_t v;
    std::memcpy(&v, row + 4 * x, 4);
    if (img->depth == 8) {
      rgb[0] = rgb[1] = rgb[2] = gray_of(v);
    } else {
      rgb[0] = static_cast<unsigned char>(v >> 16);
      rgb[1] = static_cast<unsigned char>(v >> 8);
      rgb[2] = static_cast<unsigned char>(v);
    }
  } else if (img->depth == 24) {
    std::memcpy(rgb, row + 3 * x, 3);
  } else {
    rgb[0] = rgb[1] = rgb[2] = row[x];
  }
  if (alpha) *alpha = 1.0;
  return 0;
}

int hpgs_image_set_resolution(hpgs_png_image *img, double xres, double yres) {
  if (!img) return hpgs_set_error("hpgs_image_set_resolution: no image.");
  if (!(xres > 0) || !(yres > 0) || !std::isfinite(xres) || !std::isfinite(yres))
    return hpgs_set_error("Image resolution %g x %g dpi is not positive.", xres, yres);
  img->xres = xres;
  img->yres = yres;
  return 0;
}

int hpgs_image_write(hpgs_png_image *img, const char *filename) {
  if (!img) return hpgs_set_error("hpgs_image_write: no image.");
  if (!filename || !*filename) return hpgs_set_error("hpgs_image_write: no file name.");
  return image_write_png(img, filename);
}

void hpgs_image_destroy(hpgs_png_image *img) {
  if (!img) return;
  std::free(img->data);
  delete img;
}

}  // extern "C"
