// Display list: a compact record of device calls that can be played back
// into any device, through an affine map and restricted to a region.
//
// Used twice: the recording device keeps a page in drawing points so that
// a file read once can be painted after its size is known, and the paint
// device keeps a large page in device points to paint it band by band.
//
// Layout: one byte per call in ops_, its numbers in nums_ (doubles, so a
// replay through the identity gives the caller's coordinates bit for bit),
// images copied into images_. Every painted path (moveto ... stroke/fill)
// starts with a Path op that indexes paths_: the box of the path's points
// and where the path ends, so that a replay restricted to a region jumps
// over paths that cannot touch it. State calls, clips and clip nesting are
// always replayed, so the state at every mark is the same in every region.
#ifndef HPGS_DISPLAY_LIST_H
#define HPGS_DISPLAY_LIST_H

#include "big_alloc.h"
#include "device_internal.h"
#include "hpgs.h"
#include "paint_internal.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace hpgs {

// Append-only sequence in blocks: growing never moves what is stored (no
// copies of a growing list). The first block is small and comes from the
// heap: a small drawing's list then costs a few small pages instead of a
// huge page to fault in and clear (about 0.15 ms each, and a list has two
// sequences). The blocks after it are whole huge pages (big_alloc) that
// double in size, starting at one huge page, which is cheaper for a large
// list than faulting in hundreds of small pages one by one.
template <class T>
class BlockSeq {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "blocks are raw memory, freed without destructors");

 public:
  void push_back(T v) {
    if (size_ == end_) grow();
    std::construct_at(cur_ + (size_ - begin_), v);
    ++size_;
  }
  // Appends n copies of v.
  void append(size_t n, T v) {
    while (n) {
      if (size_ == end_) grow();
      const size_t k = std::min(n, end_ - size_);
      std::fill_n(cur_ + (size_ - begin_), k, v);
      size_ += k;
      n -= k;
    }
  }
  // Appends the x and y of every point of the run, handing each point and
  // its index to visit on the way.
  template <class F>
  void append_xy(const PointRun &run, F &&visit) {
    size_t i = 0;
    while (i < run.n) {
      if (end_ - size_ < 2) {  // a point across the end of a block
        push_back(run[i].x);
        push_back(run[i].y);
        visit(run[i], i);
        ++i;
        continue;
      }
      T *out = cur_ + (size_ - begin_);
      const size_t k = std::min(run.n - i, (end_ - size_) / 2);
      for (size_t j = 0; j < k; ++j) {
        const hpgs_point &p = run[i + j];
        out[2 * j] = p.x;
        out[2 * j + 1] = p.y;
        visit(p, i + j);
      }
      size_ += 2 * k;
      i += k;
    }
  }
  // Block 0 holds the first kSmall elements; block b + 1 the elements from
  // kSmall + kFirst * (2^b - 1) on.
  const T &operator[](size_t i) const {
    if (i < kSmall) return blocks_[0][i];
    i -= kSmall;
    const size_t q = i / kFirst + 1;
    const int b = std::bit_width(q) - 1;
    return blocks_[static_cast<size_t>(b) + 1][i - kFirst * ((size_t{1} << b) - 1)];
  }
  T &operator[](size_t i) { return const_cast<T &>(std::as_const(*this)[i]); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    blocks_.clear();
    blocks_.shrink_to_fit();
    size_ = begin_ = end_ = 0;
    cur_ = nullptr;
  }
  size_t bytes() const { return end_ * sizeof(T); }

 private:
  static constexpr size_t kSmall = (size_t{16} << 10) / sizeof(T);
  static constexpr size_t kFirst = kHugePage / sizeof(T);
  [[gnu::noinline]] void grow() {
    const size_t n = blocks_.empty() ? kSmall : kFirst << (blocks_.size() - 1);
    // Owned before the table of blocks grows, which may throw as well.
    std::unique_ptr<T[], FreeDeleter> b(static_cast<T *>(big_alloc(n * sizeof(T))));
    if (!b) throw std::bad_alloc();
    blocks_.push_back(std::move(b));
    cur_ = blocks_.back().get();
    begin_ = end_;
    end_ += n;
  }
  std::vector<std::unique_ptr<T[], FreeDeleter>> blocks_;
  T *cur_ = nullptr;
  size_t size_ = 0, begin_ = 0, end_ = 0;
};

class DisplayList {
 public:
  // Recording. The calls mirror the device table; they throw std::bad_alloc
  // when memory runs out.
  void moveto(const hpgs_point &p);
  void lineto(const hpgs_point &p);
  // lineto for every point of the run; returns its run_box.
  RunBox lineto_run(const PointRun &run);
  void curveto(const hpgs_point &a, const hpgs_point &b, const hpgs_point &c);
  void newpath();
  void closepath();
  void stroke();
  void fill(bool winding);
  void clip(bool winding);
  void clipsave();
  void cliprestore();
  void setrgbcolor(const hpgs_color &c);
  void setdash(const float *segs, unsigned n, double offset);
  void setlinewidth(double w);
  void setlinecap(hpgs_line_cap c);
  void setlinejoin(hpgs_line_join j);
  void setmiterlimit(double l);
  void setrop3(int rop, bool st, bool pt);
  void setpatcol(const hpgs_color &c);
  void drawimage(const hpgs_image &img, const hpgs_point &ll, const hpgs_point &lr, const hpgs_point &ur);
  void setplotsize(const hpgs_bbox &bb);
  // Stroke (or fill) of the current path with a raster pattern
  // (paint_device_pattern); pat.to_dev in recorded coordinates.
  void pattern(const PaintPattern &pat, bool stroke, bool winding);

  // A position in the list (for replaying part of it, e.g. one page).
  struct Mark {
    size_t op = 0, num = 0;
  };
  Mark mark() const { return {ops_.size(), nums_.size()}; }

  // Plays [from, to) back into dev. m maps the recorded coordinates (NULL:
  // identity); line widths and dash lengths are scaled by sqrt|det m|.
  // With region (in the target's coordinates, after m), painted paths and
  // images whose box, grown by margin plus what the stroke state adds,
  // misses the region are skipped. Returns the first device failure.
  int replay(hpgs_device *dev, const hpgs_matrix *m, Mark from, Mark to, const hpgs_bbox *region,
             double margin) const;

  void clear();
  bool empty() const { return ops_.empty(); }
  // Bytes held (for limits and diagnostics).
  size_t bytes() const;

 private:
  enum Op : uint8_t {
    kPath, kMove, kLine, kCurve, kNewPath, kClose, kStroke, kFill, kClip, kClipSave, kClipRestore,
    kColor, kDash, kWidth, kCap, kJoin, kMiter, kRop, kPatCol, kImage, kPlotSize, kPattern
  };
  struct PathInfo {
    hpgs_bbox box;       // the points of the path
    size_t op_end = 0;   // index after the op that paints or drops the path
    size_t num_end = 0;
    bool skippable = false;  // ends in stroke or fill
    bool has_state = false;  // state calls inside: never skipped
  };
  struct Image {
    int width, height;
    std::vector<unsigned char> pixels;  // rows of 3 x width bytes
  };

  void op(Op o) { ops_.push_back(static_cast<uint8_t>(o)); }
  void num(double v) { nums_.push_back(v); }
  void path_point(const hpgs_point &p);
  void end_path(bool skippable);
  // A call that changes state: the open path (if any) must be replayed.
  void state_op() {
    if (in_path_) paths_[open_path_].has_state = true;
  }
  // Records a state call's op; its numbers follow.
  void state(Op o) {
    state_op();
    op(o);
  }
  void colour(const hpgs_color &c) {
    num(c.r);
    num(c.g);
    num(c.b);
  }

  BlockSeq<uint8_t> ops_;
  BlockSeq<double> nums_;
  BlockSeq<PathInfo> paths_;
  std::vector<Image> images_;
  std::vector<PaintPattern> patterns_;
  bool in_path_ = false;
  size_t open_path_ = 0;
};

}  // namespace hpgs

#endif
