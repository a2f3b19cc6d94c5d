// HP RTL raster graphics: row decompression (modes 0 to 3 and 9), seed row
// handling and hand-over of finished images to the device.
#include "reader.h"

#include <algorithm>
#include <cstring>

namespace hpgs {

namespace {
constexpr size_t kMaxRowBytes = size_t(1) << 20;      // longer payloads are skipped
constexpr size_t kMaxImageBytes = size_t(64) << 20;   // pixels kept for the device

// Mode 1: pairs of (repeat count - 1, byte).
void decode_runlength(const unsigned char *in, size_t n, std::vector<unsigned char> &row) {
  size_t o = 0;
  for (size_t i = 0; i + 1 < n && o < row.size(); i += 2)
    for (int k = 0; k <= in[i] && o < row.size(); ++k) row[o++] = in[i + 1];
  std::fill(row.begin() + static_cast<long>(o), row.end(), 0);
}

// Mode 2: PackBits.
void decode_packbits(const unsigned char *in, size_t n, std::vector<unsigned char> &row) {
  size_t o = 0, i = 0;
  while (i < n && o < row.size()) {
    int c = in[i++];
    if (c < 128) {
      for (int k = 0; k <= c && i < n; ++k, ++i)
        if (o < row.size()) row[o++] = in[i];
    } else if (c > 128) {
      if (i >= n) break;
      unsigned char b = in[i++];
      for (int k = 0; k < 257 - c && o < row.size(); ++k) row[o++] = b;
    }
  }
  std::fill(row.begin() + static_cast<long>(o), row.end(), 0);
}

// Mode 3: delta row against the seed row (row holds the seed on entry).
void decode_delta(const unsigned char *in, size_t n, std::vector<unsigned char> &row) {
  size_t o = 0, i = 0;
  while (i < n) {
    int cmd = in[i++];
    int count = (cmd >> 5) + 1;
    size_t off = static_cast<size_t>(cmd & 31);
    if (off == 31) {
      while (i < n) {
        int b = in[i++];
        off += static_cast<size_t>(b);
        if (b != 255) break;
      }
    }
    o += off;
    for (int k = 0; k < count && i < n; ++k, ++i)
      if (o < row.size()) row[o++] = in[i];
      else ++o;
  }
}

// Mode 9: replacement delta row (literal and run commands with extended
// offsets and counts), against the seed row.
void decode_replacement_delta(const unsigned char *in, size_t n, std::vector<unsigned char> &row) {
  size_t o = 0, i = 0;
  auto ext = [&](size_t v, size_t max) {
    if (v != max) return v;
    while (i < n) {
      int b = in[i++];
      v += static_cast<size_t>(b);
      if (b != 255) break;
    }
    return v;
  };
  while (i < n) {
    int cmd = in[i++];
    if (!(cmd & 0x80)) {
      size_t off = ext(static_cast<size_t>((cmd >> 3) & 15), 15);
      size_t count = ext(static_cast<size_t>(cmd & 7), 7) + 1;
      o += off;
      for (size_t k = 0; k < count && i < n; ++k, ++i, ++o)
        if (o < row.size()) row[o] = in[i];
    } else {
      size_t off = ext(static_cast<size_t>((cmd >> 5) & 3), 3);
      size_t count = ext(static_cast<size_t>(cmd & 31), 31) + 2;
      o += off;
      if (i >= n) break;
      unsigned char b = in[i++];
      for (size_t k = 0; k < count; ++k, ++o)
        if (o < row.size()) row[o] = b;
    }
  }
}
}  // namespace

void Reader::raster_configure(size_t n) {
  unsigned char cfg[6] = {0, 0, 1, 1, 1, 1};
  for (size_t i = 0; i < n; ++i) {
    int c = input_.get();
    if (c == EOF) {
      warn("input ends inside a raster configuration");
      return;
    }
    if (i < 6) cfg[i] = static_cast<unsigned char>(c);
  }
  if (n < 6) {
    warn("raster configuration of %zu bytes is too short", n);
    return;
  }
  int encoding = cfg[1];
  if (encoding == 3 && cfg[3] == 8 && cfg[4] == 8 && cfg[5] == 8) {
    raster_.bytes_per_pixel = 3;
    raster_.planes = 1;
  } else if (encoding == 1 && cfg[2] == 8) {
    raster_.bytes_per_pixel = 1;  // one index byte per pixel (shown as grey)
    raster_.planes = 1;
  } else {
    raster_.bytes_per_pixel = 0;  // packed or planar data: placement only
    raster_.planes = std::max<int>(1, cfg[2]);
  }
}

void Reader::raster_start(int mode) {
  if (raster_.active) raster_end();
  raster_.active = true;
  raster_.rows = 0;
  raster_.seed.clear();
  raster_.pixels.clear();
  raster_.origin = mode == 1 || mode == 3 ? pcl_cursor_ : hpgs_point{0, pcl_cursor_.y};
  raster_.img_width = raster_.width;
  raster_.img_bytes_per_pixel = raster_.bytes_per_pixel;
  raster_.keep_pixels = (caps_ & HPGS_DEVICE_CAP_DRAWIMAGE) && raster_.img_bytes_per_pixel > 0 &&
                        raster_.img_width > 0 && 3 * static_cast<size_t>(raster_.img_width) <= kMaxRowBytes;
}

void Reader::raster_row(size_t n, bool last_plane) {
  if (!raster_.active) raster_start(0);  // rows without start: implicit start at x = 0
  check_interrupt();
  std::vector<unsigned char> data(std::min(n, kMaxRowBytes));
  for (size_t i = 0; i < n; ++i) {
    int c = input_.get();
    if (c == EOF) {
      warn("input ends inside a raster row (%zu of %zu bytes)", i, n);
      data.resize(std::min(i, data.size()));
      break;
    }
    if (i < data.size()) data[i] = static_cast<unsigned char>(c);
  }
  if (n > kMaxRowBytes) warn("raster row of %zu bytes truncated", n);

  const size_t w = static_cast<size_t>(raster_.img_width);
  const int bpp = raster_.img_bytes_per_pixel;
  size_t row_bytes = bpp > 0 ? w * static_cast<size_t>(bpp) : (w + 7) / 8;
  row_bytes = std::min(row_bytes, kMaxRowBytes);
  raster_.seed.resize(row_bytes, 0);
  auto &row = raster_.seed;
  switch (raster_.compression) {
    case 0: {
      size_t k = std::min(data.size(), row.size());
      if (k) std::memcpy(row.data(), data.data(), k);
      std::fill(row.begin() + static_cast<long>(k), row.end(), 0);
      break;
    }
    case 1: decode_runlength(data.data(), data.size(), row); break;
    case 2: decode_packbits(data.data(), data.size(), row); break;
    case 3: decode_delta(data.data(), data.size(), row); break;
    case 9: decode_replacement_delta(data.data(), data.size(), row); break;
    default:
      if (raster_.rows == 0) warn("raster compression mode %d not supported; rows left blank", raster_.compression);
      std::fill(row.begin(), row.end(), 0);
      break;
  }
  if (!last_plane) return;  // planes of one row: only the last completes it
  ++raster_.rows;
  ++stats_.raster_rows;
  if (raster_.keep_pixels && row.size() >= w * static_cast<size_t>(bpp)) {
    if (raster_.pixels.size() + 3 * w > kMaxImageBytes) {
      warn("raster image larger than %zu bytes: drawn as its outline only", kMaxImageBytes);
      raster_.keep_pixels = false;
      raster_.pixels.clear();
      raster_.pixels.shrink_to_fit();
      return;
    }
    size_t old = raster_.pixels.size();
    raster_.pixels.resize(old + 3 * w);
    unsigned char *out = raster_.pixels.data() + old;
    for (size_t x = 0; x < w; ++x) {
      if (bpp == 3) {
        std::memcpy(out + 3 * x, row.data() + 3 * x, 3);
      } else {
        unsigned char g = static_cast<unsigned char>(255 - row[x]);
        out[3 * x] = out[3 * x + 1] = out[3 * x + 2] = g;
      }
    }
  }
}

void Reader::raster_skip_rows(int n) {
  if (!raster_.active) return;
  std::fill(raster_.seed.begin(), raster_.seed.end(), 0);
  for (int i = 0; i < n; ++i) {
    ++raster_.rows;
    if (raster_.keep_pixels) {
      size_t w = static_cast<size_t>(raster_.img_width);
      if (raster_.pixels.size() + 3 * w > kMaxImageBytes) {
        raster_.keep_pixels = false;
        raster_.pixels.clear();
      } else {
        raster_.pixels.resize(raster_.pixels.size() + 3 * w, 255);
      }
    }
  }
}

void Reader::raster_end() {
  RasterState &r = raster_;
  r.active = false;
  int rows = r.height > 0 ? std::min(r.rows, r.height) : r.rows;
  const int width = r.img_width;
  if (rows <= 0 || width <= 0 || !drawing()) return;
  bool want_pixels = (caps_ & HPGS_DEVICE_CAP_DRAWIMAGE) && r.keep_pixels &&
                     r.pixels.size() >= static_cast<size_t>(rows) * 3 * static_cast<size_t>(width);
  bool want_null = (caps_ & HPGS_DEVICE_CAP_NULLIMAGE) != 0;
  if (!want_pixels && !want_null) {
    ++skipped_images_;
    return;
  }
  flush_path();
  begin_marking();
  double px = kPluPerInch / r.resolution;
  hpgs_point o = r.origin;
  hpgs_point ll_p{o.x, o.y - rows * px}, lr_p{o.x + width * px, o.y - rows * px}, ur_p{o.x + width * px, o.y};
  hpgs_point ll, lr, ur;
  hpgs_matrix_xform(&ll, &phys_to_dev_, &ll_p);
  hpgs_matrix_xform(&lr, &phys_to_dev_, &lr_p);
  hpgs_matrix_xform(&ur, &phys_to_dev_, &ur_p);
  // The pixels hold whole rows; with a declared height below the rows
  // received only the first rows are shown.
  hpgs_image img{width, rows, 24, 3 * width, want_pixels ? r.pixels.data() : nullptr};
  dev(hpgs_setrop3(dev_, gs_.rop, gs_.src_transparent, gs_.pat_transparent));
  dev_attrs_valid_ = false;
  dev(hpgs_drawimage(dev_, &img, &ll, &lr, &ur));
  r.pixels.clear();
}

}  // namespace hpgs
