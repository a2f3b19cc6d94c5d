// Display list recording and replay (see display_list.h).
#include "display_list.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace hpgs {

void DisplayList::path_point(const hpgs_point &p) {
  if (!in_path_) {
    op(kPath);
    num(static_cast<double>(paths_.size()));
    PathInfo info;
    hpgs_bbox_null(&info.box);
    paths_.push_back(info);
    open_path_ = paths_.size() - 1;
    in_path_ = true;
  }
  if (std::isfinite(p.x) && std::isfinite(p.y)) hpgs_bbox_add(&paths_[open_path_].box, &p);
}

void DisplayList::end_path(bool skippable) {
  if (!in_path_) return;
  PathInfo &info = paths_[open_path_];
  info.op_end = ops_.size();
  info.num_end = nums_.size();
  info.skippable = skippable && !info.has_state;
  in_path_ = false;
}

void DisplayList::moveto(const hpgs_point &p) {
  path_point(p);
  op(kMove);
  num(p.x);
  num(p.y);
}
void DisplayList::lineto(const hpgs_point &p) {
  path_point(p);
  op(kLine);
  num(p.x);
  num(p.y);
}
RunBox DisplayList::lineto_run(const PointRun &run) {
  RunBoxer b;
  if (run.n == 0) return b.result(run);
  path_point(run[0]);
  ops_.append(run.n, static_cast<uint8_t>(kLine));
  nums_.append_xy(run, [&b](const hpgs_point &p, size_t i) { b.add(p, i); });
  const RunBox box = b.result(run);
  merge_run_box(paths_[open_path_].box, box.box);
  return box;
}
void DisplayList::curveto(const hpgs_point &a, const hpgs_point &b, const hpgs_point &c) {
  // The control points bound the curve.
  path_point(a);
  path_point(b);
  path_point(c);
  op(kCurve);
  for (const hpgs_point *p : {&a, &b, &c}) {
    num(p->x);
    num(p->y);
  }
}
void DisplayList::newpath() {
  op(kNewPath);
  end_path(true);
}
void DisplayList::closepath() { op(kClose); }
void DisplayList::stroke() {
  op(kStroke);
  end_path(true);
}
void DisplayList::fill(bool winding) {
  op(kFill);
  num(winding ? 1 : 0);
  end_path(true);
}
void DisplayList::clip(bool winding) {
  op(kClip);
  num(winding ? 1 : 0);
  end_path(false);
}
void DisplayList::clipsave() {
  state(kClipSave);
}
void DisplayList::cliprestore() {
  state(kClipRestore);
}
void DisplayList::setrgbcolor(const hpgs_color &c) {
  state(kColor);
  colour(c);
}
void DisplayList::setdash(const float *segs, unsigned n, double offset) {
  state(kDash);
  num(n);
  num(offset);
  for (unsigned i = 0; i < n; ++i) num(segs[i]);
}
void DisplayList::setlinewidth(double w) {
  state(kWidth);
  num(w);
}
void DisplayList::setlinecap(hpgs_line_cap c) {
  state(kCap);
  num(c);
}
void DisplayList::setlinejoin(hpgs_line_join j) {
  state(kJoin);
  num(j);
}
void DisplayList::setmiterlimit(double l) {
  state(kMiter);
  num(l);
}
void DisplayList::setrop3(int rop, bool st, bool pt) {
  state(kRop);
  num(rop);
  num(st ? 1 : 0);
  num(pt ? 1 : 0);
}
void DisplayList::setpatcol(const hpgs_color &c) {
  state(kPatCol);
  colour(c);
}
void DisplayList::drawimage(const hpgs_image &img, const hpgs_point &ll, const hpgs_point &lr,
                            const hpgs_point &ur) {
  Image copy{img.width, img.height, {}};
  const size_t row = static_cast<size_t>(img.width) * 3;
  if (img.data && img.width > 0 && img.height > 0) {
    copy.pixels.resize(row * static_cast<size_t>(img.height));
    for (int y = 0; y < img.height; ++y)
      std::memcpy(copy.pixels.data() + row * y, img.data + static_cast<size_t>(img.stride) * y, row);
  }
  images_.push_back(std::move(copy));
  // An image is a painted path of its own for the region test.
  end_path(true);
  path_point(ll);
  path_point(lr);
  path_point(ur);
  path_point({ll.x + ur.x - lr.x, ll.y + ur.y - lr.y});
  op(kImage);
  num(static_cast<double>(images_.size() - 1));
  for (const hpgs_point *p : {&ll, &lr, &ur}) {
    num(p->x);
    num(p->y);
  }
  end_path(true);
}
void DisplayList::setplotsize(const hpgs_bbox &bb) {
  state(kPlotSize);
  num(bb.llx);
  num(bb.lly);
  num(bb.urx);
  num(bb.ury);
}

void DisplayList::pattern(const PaintPattern &pat, bool stroke, bool winding) {
  patterns_.push_back(pat);
  op(kPattern);
  num(static_cast<double>(patterns_.size() - 1));
  num(stroke ? 1 : 0);
  num(winding ? 1 : 0);
  end_path(true);
}

void DisplayList::clear() {
  ops_.clear();
  nums_.clear();
  paths_.clear();
  images_.clear();
  patterns_.clear();
  images_.shrink_to_fit();
  in_path_ = false;
}

size_t DisplayList::bytes() const {
  size_t b = ops_.bytes() + nums_.bytes() + paths_.bytes();
  for (const Image &i : images_) b += i.pixels.capacity();
  for (const PaintPattern &p : patterns_) b += p.argb.capacity() * sizeof(uint32_t);
  return b;
}

int DisplayList::replay(hpgs_device *dev, const hpgs_matrix *m, Mark from, Mark to, const hpgs_bbox *region,
                        double margin) const {
  hpgs_matrix id;
  hpgs_matrix_set_identity(&id);
  const hpgs_matrix &mm = m ? *m : id;
  const bool identity = !m;
  const double scale = std::sqrt(std::fabs(mm.mxx * mm.myy - mm.mxy * mm.myx));
  auto pt = [&](size_t k) {
    hpgs_point p{nums_[k], nums_[k + 1]};
    if (!identity) hpgs_matrix_xform(&p, &mm, &p);
    return p;
  };
  // Stroke state that widens a path's marks beyond its points.
  double width = 0, miter = 10;
  hpgs_line_cap cap = hpgs_cap_butt;
  std::vector<float> dash;
  hpgs_color color{0, 0, 0};  // the device's colour, for the mean-colour fallback
  int caps = -1;              // the device's capabilities, asked once when needed
  size_t k = from.num;
  int rc = 0;
  for (size_t i = from.op; i < to.op && rc == 0; ++i) {
    switch (static_cast<Op>(ops_[i])) {
      case kPath: {
        const PathInfo &info = paths_[static_cast<size_t>(nums_[k])];
        ++k;
        if (region && info.skippable && info.op_end > i && info.op_end <= to.op) {
          hpgs_bbox b;
          hpgs_matrix_xform_bbox(&b, &mm, &info.box);
          // Half the width, times the miter limit for joins and sqrt 2 for
          // square caps, bounds how far a stroke reaches out.
          double grow = 0.5 * width * scale * std::max({miter, 1.5, cap == hpgs_cap_square ? 1.5 : 1.0}) + margin;
          if (hpgs_bbox_isnull(&b) || b.urx + grow < region->llx || b.llx - grow > region->urx ||
              b.ury + grow < region->lly || b.lly - grow > region->ury) {
            // Skipped whole, as if drawn outside: the device's path is
            // empty afterwards either way.
            i = info.op_end - 1;
            k = info.num_end;
          }
        }
        break;
      }
      case kMove:
      case kLine: {
        hpgs_point p = pt(k);
        k += 2;
        rc = ops_[i] == kMove ? hpgs_moveto(dev, &p) : hpgs_lineto(dev, &p);
        break;
      }
      case kCurve: {
        hpgs_point a = pt(k), b = pt(k + 2), c = pt(k + 4);
        rc = hpgs_curveto(dev, &a, &b, &c);
        k += 6;
        break;
      }
      case kNewPath: rc = hpgs_newpath(dev); break;
      case kClose: rc = hpgs_closepath(dev); break;
      case kStroke: rc = hpgs_stroke(dev); break;
      case kFill: rc = hpgs_fill(dev, nums_[k++] != 0); break;
      case kClip: rc = hpgs_clip(dev, nums_[k++] != 0); break;
      case kClipSave: rc = hpgs_clipsave(dev); break;
      case kClipRestore: rc = hpgs_cliprestore(dev); break;
      case kColor:
      case kPatCol: {
        hpgs_color c{nums_[k], nums_[k + 1], nums_[k + 2]};
        k += 3;
        if (ops_[i] == kColor) color = c;
        rc = ops_[i] == kColor ? hpgs_setrgbcolor(dev, &c) : hpgs_setpatcol(dev, &c);
        break;
      }
      case kDash: {
        const unsigned n = static_cast<unsigned>(nums_[k]);
        const double offset = nums_[k + 1];
        dash.resize(n);
        for (unsigned j = 0; j < n; ++j)
          dash[j] = identity ? static_cast<float>(nums_[k + 2 + j]) : static_cast<float>(nums_[k + 2 + j] * scale);
        k += 2 + n;
        rc = hpgs_setdash(dev, dash.data(), n, identity ? offset : offset * scale);
        break;
      }
      case kWidth:
        width = nums_[k++];
        rc = hpgs_setlinewidth(dev, identity ? width : width * scale);
        break;
      case kCap:
        cap = static_cast<hpgs_line_cap>(static_cast<int>(nums_[k++]));
        rc = hpgs_setlinecap(dev, cap);
        break;
      case kJoin: rc = hpgs_setlinejoin(dev, static_cast<hpgs_line_join>(static_cast<int>(nums_[k++]))); break;
      case kMiter:
        miter = nums_[k++];
        rc = hpgs_setmiterlimit(dev, miter);
        break;
      case kRop:
        rc = hpgs_setrop3(dev, static_cast<int>(nums_[k]), nums_[k + 1] != 0, nums_[k + 2] != 0);
        k += 3;
        break;
      case kImage: {
        const Image &src = images_[static_cast<size_t>(nums_[k])];
        hpgs_point ll = pt(k + 1), lr = pt(k + 3), ur = pt(k + 5);
        k += 7;
        hpgs_image img{src.width, src.height, 24, 3 * src.width,
                       src.pixels.empty() ? nullptr : const_cast<unsigned char *>(src.pixels.data())};
        rc = hpgs_drawimage(dev, &img, &ll, &lr, &ur);
        break;
      }
      case kPattern: {
        PaintPattern pat = patterns_[static_cast<size_t>(nums_[k])];
        const bool stroke = nums_[k + 1] != 0, winding = nums_[k + 2] != 0;
        k += 3;
        if (!identity) hpgs_matrix_concat(&pat.to_dev, &mm, &pat.to_dev);
        if (is_paint_device(dev)) {
          rc = paint_device_pattern(dev, pat, stroke, winding);
          break;
        }
        if (caps < 0) caps = hpgs_device_capabilities(dev);
        if ((caps & HPGS_DEVICE_CAP_PATTERN) && dev->vtable->setpattern) {
          const hpgs_pattern p = public_pattern(pat);
          rc = hpgs_setpattern(dev, &p);
          if (rc == 0) rc = stroke ? hpgs_stroke(dev) : hpgs_fill(dev, winding);
          break;
        }
        // Other devices paint the mark in the pattern's mean colour, as
        // the reader hands it to them, and then go on in the colour set
        // before (black until the list set one).
        const hpgs_color mean = pattern_mean_color(pat.argb.data(), pat.argb.size());
        rc = hpgs_setrgbcolor(dev, &mean);
        if (rc == 0) rc = stroke ? hpgs_stroke(dev) : hpgs_fill(dev, winding);
        if (rc == 0) rc = hpgs_setrgbcolor(dev, &color);
        break;
      }
      case kPlotSize: {
        hpgs_bbox b{nums_[k], nums_[k + 1], nums_[k + 2], nums_[k + 3]};
        k += 4;
        if (!identity) hpgs_matrix_xform_bbox(&b, &mm, &b);
        rc = hpgs_setplotsize(dev, &b);
        break;
      }
    }
  }
  return rc;
}

}  // namespace hpgs
