// Coordinate system: defaults, P1/P2, scaling, rotation, plot size, soft
// window, and page placement (pages, asset callbacks, dynamic page).
#include "interp_util.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace hpgs {

using namespace interp;

// ------------------------------------------------------------- defaults

void Reader::defaults_df() {
  flush_path();
  polygon_mode_ = false;
  poly_.clear();
  sc_type_ = -1;
  window_set_ = false;
  clip_dirty_ = true;
  gs_.line_type = LineType{};
  gs_.saved_line_type = LineType{};
  gs_.lt_length = 4.0;
  gs_.lt_mode = 0;
  line_phase_ = 0.0;
  for (int i = 1; i <= 8; ++i) gs_.user_line_types[static_cast<size_t>(i)] = kFixedLineTypes[i];
  gs_.cap = 1;
  gs_.join = 1;
  gs_.miter_limit = 5.0;
  gs_.fill_type = 1;
  gs_.fill_spacing = 0;
  gs_.fill_angle = 0;
  gs_.fill_level = 100;
  gs_.fill_pattern = 0;
  gs_.anchor = {0, 0};
  gs_.transparent = true;
  gs_.rop = 252;
  gs_.screen_type = 0;
  for (auto &f : gs_.raster_fills) f = RasterFill{};
  gs_.label_terminator = 3;
  gs_.terminator_printed = false;
  gs_.direction = {1, 0};
  gs_.direction_relative = false;
  gs_.label_origin = 1;
  gs_.size_set = false;
  gs_.size_relative = false;
  gs_.char_width = gs_.char_height = 0;
  gs_.slant = 0;
  gs_.extra_space[0] = gs_.extra_space[1] = 0;
  gs_.alternate = false;
  gs_.symbol_mode = 0;
  gs_.text_path = 0;
  gs_.line_feed_reversed = false;
  gs_.transparent_data = false;
  gs_.char_fill_mode = 0;
  gs_.char_fill_edge_pen = 0;
  gs_.label_mode = 0;
  update_transform(true);
}

void Reader::defaults_in() {
  if (plot_w_ <= 0) {
    plot_w_ = kDefaultPlotW;
    plot_h_ = kDefaultPlotH;
  }
  gs_.palette.assign(8, {0, 0, 0});
  for (size_t i = 0; i < 8; ++i) gs_.palette[i] = default_pen_color(i);
  gs_.width_relative = false;
  gs_.pen_width.assign(8, 0.35);
  for (double &v : gs_.color_range) v = 0;
  gs_.color_range[1] = gs_.color_range[3] = gs_.color_range[5] = 255;
  gs_.pen = 1;
  gs_.src_transparent = gs_.pat_transparent = true;
  rotation_ = 0;
  pen_ = {0, 0};
  pen_down_ = false;
  relative_ = false;
  sc_type_ = -1;
  default_p1p2();
  defaults_df();
  pen_ = {0, 0};
  label_start_ = pen_;
}

void Reader::default_p1p2() {
  bool turned = rotation_ == 90 || rotation_ == 270;
  p1_ = {0, 0};
  p2_ = {turned ? plot_h_ : plot_w_, turned ? plot_w_ : plot_h_};
}

// ------------------------------------------------------------ transform

void Reader::update_transform(bool keep_pen) {
  hpgs_matrix old_user_to_phys;
  hpgs_matrix_concat(&old_user_to_phys, &plu_to_phys_, &user_to_plu_);
  hpgs_point phys_pen, phys_label;
  hpgs_matrix_xform(&phys_pen, &old_user_to_phys, &pen_);
  hpgs_matrix_xform(&phys_label, &old_user_to_phys, &label_start_);

  hpgs_matrix_set_identity(&user_to_plu_);
  if (sc_type_ == 2) {
    user_to_plu_.mxx = sc_[1];
    user_to_plu_.myy = sc_[3];
    user_to_plu_.dx = p1_.x - sc_[0] * sc_[1];
    user_to_plu_.dy = p1_.y - sc_[2] * sc_[3];
  } else if (sc_type_ >= 0) {
    double sx = (p2_.x - p1_.x) / (sc_[1] - sc_[0]);
    double sy = (p2_.y - p1_.y) / (sc_[3] - sc_[2]);
    double offx = 0, offy = 0;
    if (sc_type_ == 1) {
      double s = std::min(std::fabs(sx), std::fabs(sy));
      sx = std::copysign(s, sx);
      sy = std::copysign(s, sy);
      offx = ((p2_.x - p1_.x) - sx * (sc_[1] - sc_[0])) * sc_[4] / 100.0;
      offy = ((p2_.y - p1_.y) - sy * (sc_[3] - sc_[2])) * sc_[5] / 100.0;
    }
    user_to_plu_.mxx = sx;
    user_to_plu_.myy = sy;
    user_to_plu_.dx = p1_.x + offx - sc_[0] * sx;
    user_to_plu_.dy = p1_.y + offy - sc_[2] * sy;
  }
  if (!std::isfinite(user_to_plu_.mxx) || !std::isfinite(user_to_plu_.myy) || user_to_plu_.mxx == 0 ||
      user_to_plu_.myy == 0 || !std::isfinite(user_to_plu_.dx) || !std::isfinite(user_to_plu_.dy)) {
    warn("scaling gives a degenerate coordinate system; scaling switched off");
    sc_type_ = -1;
    hpgs_matrix_set_identity(&user_to_plu_);
  }

  switch (rotation_) {
    case 90: plu_to_phys_ = {plot_w_, 0, 0, -1, 1, 0}; break;
    case 180: plu_to_phys_ = {plot_w_, plot_h_, -1, 0, 0, -1}; break;
    case 270: plu_to_phys_ = {0, plot_h_, 0, 1, -1, 0}; break;
    default: hpgs_matrix_set_identity(&plu_to_phys_); break;
  }
  // A GL/2 plot size given in PCL is scaled onto the picture frame.
  double fx = frame_w_ > 0 && frame_plot_w_ > 0 ? frame_w_ / frame_plot_w_ : 1.0;
  double fy = frame_h_ > 0 && frame_plot_h_ > 0 ? frame_h_ / frame_plot_h_ : 1.0;
  const hpgs_matrix to_points{0, 0, kPtPerPlu * fx, 0, 0, kPtPerPlu * fy};
  hpgs_matrix_concat(&phys_to_dev_, &page_matrix_, &to_points);
  hpgs_matrix user_to_phys;
  hpgs_matrix_concat(&user_to_phys, &plu_to_phys_, &user_to_plu_);
  hpgs_matrix_concat(&user_to_dev_, &phys_to_dev_, &user_to_phys);
  if (keep_pen) {
    hpgs_matrix_ixform(&pen_, &user_to_phys, &phys_pen);
    hpgs_matrix_ixform(&label_start_, &user_to_phys, &phys_label);
  }
}


hpgs_point Reader::plu_to_user(const hpgs_point &phys) const {
  hpgs_matrix user_to_phys;
  hpgs_matrix_concat(&user_to_phys, &plu_to_phys_, &user_to_plu_);
  hpgs_point u;
  hpgs_matrix_ixform(&u, &user_to_phys, &phys);
  return u;
}

double Reader::diag_plu() const { return std::hypot(p2_.x - p1_.x, p2_.y - p1_.y); }


double Reader::length_scale() const { return page_scale(phys_to_dev_) / kPtPerPlu; }

// The picture frame defines the GL/2 hard-clip area, as PS does: P1/P2,
// the soft window and the polygon buffer start afresh.
void Reader::picture_frame_changed() {
  flush_path();
  if (frame_w_ > 0 || frame_plot_w_ > 0) plot_w_ = frame_plot_w_ > 0 ? frame_plot_w_ : frame_w_;
  if (frame_h_ > 0 || frame_plot_h_ > 0) plot_h_ = frame_plot_h_ > 0 ? frame_plot_h_ : frame_h_;
  if (plot_w_ <= 0 || plot_h_ <= 0) {
    plot_w_ = kDefaultPlotW;
    plot_h_ = kDefaultPlotH;
  }
  ps_given_ = false;
  default_p1p2();
  window_set_ = false;
  clip_dirty_ = true;
  polygon_mode_ = false;
  poly_.clear();
  update_transform(true);
}

double Reader::width_points(int pen) const {
  double w = pen >= 0 && static_cast<size_t>(pen) < gs_.pen_width.size() ? gs_.pen_width[static_cast<size_t>(pen)]
                                                                         : 0.35;
  double pt = gs_.width_relative ? w / 100.0 * diag_plu() * kPtPerPlu : w * 72.0 / 25.4;
  return pt * length_scale();
}

void Reader::set_pen_position(const hpgs_point &u) { pen_ = {clampc(u.x), clampc(u.y)}; }

void Reader::cmd_ip(bool relative) {
  double a[4];
  int n = read_args(a, 4);
  flush_path();
  bool turned = rotation_ == 90 || rotation_ == 270;
  double fw = turned ? plot_h_ : plot_w_, fh = turned ? plot_w_ : plot_h_;
  if (relative)
    for (int i = 0; i < n; ++i) a[i] = a[i] / 100.0 * ((i % 2) ? fh : fw);
  if (n == 0) {
    default_p1p2();
  } else if (n >= 2) {
    hpgs_point d{p2_.x - p1_.x, p2_.y - p1_.y};
    p1_ = {clampc(a[0]), clampc(a[1])};
    p2_ = n >= 4 ? hpgs_point{clampc(a[2]), clampc(a[3])} : hpgs_point{p1_.x + d.x, p1_.y + d.y};
    if (p2_.x == p1_.x) p2_.x += 1;
    if (p2_.y == p1_.y) p2_.y += 1;
  } else {
    warn("IP/IR needs two or four values");
    return;
  }
  update_transform(true);
}

void Reader::cmd_sc() {
  double a[7];
  int n = read_args(a, 7);
  flush_path();
  if (n == 0) {
    sc_type_ = -1;
    update_transform(true);
    return;
  }
  if (n < 4) {
    warn("SC needs four values");
    return;
  }
  int type = n >= 5 ? static_cast<int>(a[4]) : 0;
  if (type < 0 || type > 2) {
    warn("SC type %d unknown", type);
    return;
  }
  if (type == 2 ? (a[1] == 0 || a[3] == 0) : (a[1] == a[0] || a[3] == a[2])) {
    warn("SC with an empty range ignored");
    return;
  }
  for (int i = 0; i < 4; ++i) sc_[i] = a[i];
  sc_[4] = 50;
  sc_[5] = 50;
  if (type == 1 && n >= 7) {
    sc_[4] = std::clamp(a[5], 0.0, 100.0);
    sc_[5] = std::clamp(a[6], 0.0, 100.0);
  }
  sc_type_ = type;
  update_transform(true);
}

void Reader::cmd_ps() {
  double a[2];
  int n = read_args(a, 2);
  flush_path();
  if (marked_) warn("PS after drawing started; the page size changes anyway");
  if (n == 0) {
    plot_w_ = kDefaultPlotW;
    plot_h_ = kDefaultPlotH;
    ps_given_ = false;
  } else {
    double l = a[0], w = n > 1 ? a[1] : a[0];
    if (!(l >= 1 && w >= 1)) {
      warn("PS with a non-positive size ignored");
      return;
    }
    plot_w_ = std::min(l, kMaxCoord);
    plot_h_ = std::min(w, kMaxCoord);
    ps_given_ = true;
  }
  default_p1p2();
  window_set_ = false;
  clip_dirty_ = true;
  update_transform(true);
  if (drawing() && ps_given_) {
    hpgs_bbox pb{0, 0, plot_w_ * kPtPerPlu, plot_h_ * kPtPerPlu}, db;
    hpgs_matrix_xform_bbox(&db, &page_matrix_, &pb);
    dev(hpgs_setplotsize(dev_, &db));
  }
}

void Reader::cmd_ro() {
  double a[1] = {0};
  read_args(a, 1);
  int r = static_cast<int>(a[0]);
  if (r != 0 && r != 90 && r != 180 && r != 270) {
    warn("RO %g ignored: only 0, 90, 180 and 270 are allowed", a[0]);
    return;
  }
  flush_path();
  rotation_ = r;
  clip_dirty_ = true;
  update_transform(true);
}

void Reader::cmd_iw() {
  double a[4];
  int n = read_args(a, 4);
  flush_path();
  clip_dirty_ = true;
  if (n < 4) {
    if (n) warn("IW needs four values; window reset");
    window_set_ = false;
    return;
  }
  hpgs_point c1, c2;
  hpgs_point u1{a[0], a[1]}, u2{a[2], a[3]};
  hpgs_matrix_xform(&c1, &user_to_plu_, &u1);
  hpgs_matrix_xform(&c2, &user_to_plu_, &u2);
  window_ = {std::min(c1.x, c2.x), std::min(c1.y, c2.y), std::max(c1.x, c2.x), std::max(c1.y, c2.y)};
  window_set_ = true;
}

// ------------------------------------------------------------ pages

hpgs_bbox Reader::page_box_drawing() const {
  if (dynamic_page_) return dynamic_box_;
  if (frame_w_ > 0 && frame_h_ > 0 && !ps_given_) return hpgs_bbox{0, 0, frame_w_ * kPtPerPlu, frame_h_ * kPtPerPlu};
  return hpgs_bbox{0, 0, plot_w_ * kPtPerPlu, plot_h_ * kPtPerPlu};
}

void Reader::asset_frame(hpgs_matrix *pm, hpgs_matrix *xf, hpgs_bbox *pb) const {
  if (pm) *pm = page_matrix_;
  if (xf) *xf = user_to_dev_;
  if (pb) *pb = page_box_drawing();
}

void Reader::call_asset(hpgs_reader_asset_func_t f, void *ctxt, int index) {
  if (!f) return;
  hpgs_matrix pm, xf;
  hpgs_bbox pb;
  asset_frame(&pm, &xf, &pb);
  hpgs_clear_error();
  int rc = f(ctxt, dev_, &pm, &xf, &pb, index);
  dev_attrs_valid_ = false;
  if (rc != 0) {
    if (!*hpgs_get_error()) hpgs_set_error("Asset callback failed for page %d.", index);
    throw ReadAbort{};
  }
}

void Reader::page_end() {
  flush_path();
  if (drawing_off_) return;
  if (clip_active_) {
    dev(hpgs_cliprestore(dev_));
    clip_active_ = false;
  }
  clip_dirty_ = true;
  draw_stamp();
  call_asset(frame_asset_, frame_asset_ctxt_, frames_done_);
  ++frames_done_;
  call_asset(page_asset_, page_asset_ctxt_, pages_done_);
  dev(hpgs_showpage(dev_, multipage_ ? pages_done_ + 1 : 0));
  ++pages_done_;
  ++stats_.pages;
  marked_ = false;
  dev_attrs_valid_ = false;
  if (!multipage_) drawing_off_ = true;
}

int Reader::set_dynamic_page(hpgs_bbox *bb, double max_w, double max_h, double border, double angle) {
  if (hpgs_bbox_isnull(bb) || !std::isfinite(bb->llx) || !std::isfinite(bb->lly) || !std::isfinite(bb->urx) ||
      !std::isfinite(bb->ury))
    return hpgs_set_error("Dynamic page: the box (%g,%g,%g,%g) is not a valid box.", bb->llx, bb->lly, bb->urx,
                          bb->ury);
  if (!(max_w > 0) || !(max_h > 0) || !std::isfinite(max_w) || !std::isfinite(max_h))
    return hpgs_set_error("Dynamic page: maximal size %gx%g must be positive.", max_w, max_h);
  if (!(border >= 0) || !std::isfinite(border))
    return hpgs_set_error("Dynamic page: border %g must not be negative.", border);
  if (!std::isfinite(angle)) return hpgs_set_error("Dynamic page: angle %g is not a number.", angle);
  if (2 * border >= max_w || 2 * border >= max_h)
    return hpgs_set_error("Dynamic page: border %g leaves no room within %gx%g.", border, max_w, max_h);

  double a = std::fmod(angle, 360.0);
  if (a < 0) a += 360.0;
  double c, s;
  if (a == 0) c = 1, s = 0;
  else if (a == 90) c = 0, s = 1;
  else if (a == 180) c = -1, s = 0;
  else if (a == 270) c = 0, s = -1;
  else c = std::cos(a * kPi / 180.0), s = std::sin(a * kPi / 180.0);

  const hpgs_matrix rot{0, 0, c, -s, s, c};
  hpgs_bbox rb;
  hpgs_matrix_xform_bbox(&rb, &rot, bb);
  double w0 = rb.urx - rb.llx, h0 = rb.ury - rb.lly;
  double scale = 1.0;
  if (w0 + 2 * border > max_w && w0 > 0) scale = std::min(scale, (max_w - 2 * border) / w0);
  if (h0 + 2 * border > max_h && h0 > 0) scale = std::min(scale, (max_h - 2 * border) / h0);

  hpgs_matrix m{border - scale * rb.llx, border - scale * rb.lly, scale * c, -scale * s, scale * s, scale * c};
  // Growing the drawing box by e on every side grows its turned box by
  // e (|cos| + |sin|): choose e so that the page box maps onto the page.
  double e = border / (scale * (std::fabs(c) + std::fabs(s)));
  dynamic_box_ = {bb->llx - e, bb->lly - e, bb->urx + e, bb->ury + e};
  page_matrix_ = m;
  dynamic_page_ = true;
  *bb = hpgs_bbox{0, 0, scale * w0 + 2 * border, scale * h0 + 2 * border};
  update_transform(false);
  dev_attrs_valid_ = false;
  return 0;
}

}  // namespace hpgs
