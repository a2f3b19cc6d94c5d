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

#include "hpgs.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace hpgs {

class DisplayList {
 public:
  // Recording. The calls mirror the device table; they throw std::bad_alloc
  // when memory runs out.
  void moveto(const hpgs_point &p);
  void lineto(const hpgs_point &p);
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
    kColor, kDash, kWidth, kCap, kJoin, kMiter, kRop, kPatCol, kImage, kPlotSize
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

  std::vector<uint8_t> ops_;
  std::vector<double> nums_;
  std::vector<PathInfo> paths_;
  std::vector<Image> images_;
  bool in_path_ = false;
  size_t open_path_ = 0;
};

}  // namespace hpgs

#endif
