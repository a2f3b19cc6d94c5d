// HP-GL/2 interpreter: coordinate system, pens and attributes, vector
// commands, polygon mode, pages and the dynamic page.
#include "reader.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace hpgs {

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kDefaultPlotW = 11176;  // letter landscape, when no PS is given
constexpr double kDefaultPlotH = 8636;
constexpr size_t kMaxPolygonVertices = size_t(1) << 21;  // about 50 MB
constexpr int kEsc = 27;

constexpr int key(char a, char b) { return (a - 'A') * 26 + (b - 'A'); }

const hpgs_color kDefaultPens[8] = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0},
                                    {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}};

hpgs_color default_pen_color(size_t i) {
  if (i < 8) return kDefaultPens[i];
  return kDefaultPens[1 + (i - 1) % 7];  // higher pens repeat the coloured ones
}

// Fixed line types 1..8 as percentages, first entry pen down.
const std::vector<double> kFixedLineTypes[9] = {
    {},
    {0, 100},
    {50, 50},
    {70, 30},
    {80, 10, 0, 10},
    {70, 10, 10, 10},
    {50, 10, 10, 10, 10, 10},
    {70, 10, 0, 10, 0, 10},
    {50, 10, 0, 10, 10, 10, 0, 10},
};

double clampc(double v) { return std::clamp(v, -kMaxCoord, kMaxCoord); }

hpgs_point dir_deg(double deg) {
  double r = deg * kPi / 180.0;
  return {std::cos(r), std::sin(r)};
}

}  // namespace

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
  const hpgs_matrix to_points{0, 0, kPtPerPlu, 0, 0, kPtPerPlu};
  hpgs_matrix_concat(&phys_to_dev_, &page_matrix_, &to_points);
  hpgs_matrix user_to_phys;
  hpgs_matrix_concat(&user_to_phys, &plu_to_phys_, &user_to_plu_);
  hpgs_matrix_concat(&user_to_dev_, &phys_to_dev_, &user_to_phys);
  if (keep_pen) {
    hpgs_matrix_ixform(&pen_, &user_to_phys, &phys_pen);
    hpgs_matrix_ixform(&label_start_, &user_to_phys, &phys_label);
  }
}

hpgs_point Reader::to_dev(const hpgs_point &u) const {
  hpgs_point d;
  hpgs_matrix_xform(&d, &user_to_dev_, &u);
  return d;
}

hpgs_point Reader::plu_to_user(const hpgs_point &phys) const {
  hpgs_matrix user_to_phys;
  hpgs_matrix_concat(&user_to_phys, &plu_to_phys_, &user_to_plu_);
  hpgs_point u;
  hpgs_matrix_ixform(&u, &user_to_phys, &phys);
  return u;
}

double Reader::diag_plu() const { return std::hypot(p2_.x - p1_.x, p2_.y - p1_.y); }

static double page_scale(const hpgs_matrix &m) { return std::sqrt(std::fabs(m.mxx * m.myy - m.mxy * m.myx)); }

double Reader::width_points(int pen) const {
  double w = pen >= 0 && static_cast<size_t>(pen) < gs_.pen_width.size() ? gs_.pen_width[static_cast<size_t>(pen)]
                                                                         : 0.35;
  double pt = gs_.width_relative ? w / 100.0 * diag_plu() * kPtPerPlu : w * 72.0 / 25.4;
  return pt * page_scale(page_matrix_);
}

void Reader::set_pen_position(const hpgs_point &u) { pen_ = {clampc(u.x), clampc(u.y)}; }

// ----------------------------------------------------- device emission

void Reader::sync_clip() {
  if (!clip_dirty_) return;
  if (clip_active_) {
    dev(hpgs_cliprestore(dev_));
    clip_active_ = false;
  }
  if (window_set_) {
    dev(hpgs_clipsave(dev_));
    const hpgs_point c[4] = {{window_.llx, window_.lly},
                             {window_.urx, window_.lly},
                             {window_.urx, window_.ury},
                             {window_.llx, window_.ury}};
    for (int i = 0; i < 4; ++i) {
      hpgs_point phys, d;
      hpgs_matrix_xform(&phys, &plu_to_phys_, &c[i]);
      hpgs_matrix_xform(&d, &phys_to_dev_, &phys);
      dev(i == 0 ? hpgs_moveto(dev_, &d) : hpgs_lineto(dev_, &d));
    }
    dev(hpgs_closepath(dev_));
    dev(hpgs_clip(dev_, HPGS_FALSE));
    clip_active_ = true;
  }
  clip_dirty_ = false;
}

void Reader::begin_marking() {
  marked_ = true;
  sync_clip();
}

static hpgs_line_cap map_cap(int c) {
  switch (c) {
    case 2: return hpgs_cap_square;
    case 3:
    case 4: return hpgs_cap_round;
    default: return hpgs_cap_butt;
  }
}

static hpgs_line_join map_join(int j) {
  switch (j) {
    case 3:
    case 4: return hpgs_join_round;
    case 5:
    case 6: return hpgs_join_bevel;
    default: return hpgs_join_miter;
  }
}

void Reader::sync_stroke_attrs() {
  size_t pen = static_cast<size_t>(gs_.pen);
  hpgs_color col = pen < gs_.palette.size() ? gs_.palette[pen] : hpgs_color{0, 0, 0};
  if (!dev_attrs_valid_ || col.r != dev_color_.r || col.g != dev_color_.g || col.b != dev_color_.b) {
    dev(hpgs_setrgbcolor(dev_, &col));
    dev_color_ = col;
  }
  double w = width_points(gs_.pen);
  if (!dev_attrs_valid_ || w != dev_width_) {
    dev(hpgs_setlinewidth(dev_, w));
    dev_width_ = w;
  }
  int cap = map_cap(gs_.cap), join = map_join(gs_.join);
  if (!dev_attrs_valid_ || cap != dev_cap_) {
    dev(hpgs_setlinecap(dev_, static_cast<hpgs_line_cap>(cap)));
    dev_cap_ = cap;
  }
  if (!dev_attrs_valid_ || join != dev_join_) {
    dev(hpgs_setlinejoin(dev_, static_cast<hpgs_line_join>(join)));
    dev_join_ = join;
  }
  if (!dev_attrs_valid_ || gs_.miter_limit != dev_miter_) {
    dev(hpgs_setmiterlimit(dev_, gs_.miter_limit));
    dev_miter_ = gs_.miter_limit;
  }
  // Dash pattern in points.
  std::vector<float> dash;
  const LineType &lt = gs_.line_type;
  if (!lt.solid) {
    double len = lt.mode == 1 ? lt.length * 72.0 / 25.4 : lt.length / 100.0 * diag_plu() * kPtPerPlu;
    len *= page_scale(page_matrix_);
    if (lt.type == 0) {
      dash = {0.0f, static_cast<float>(len)};
    } else {
      const auto &pat = gs_.user_line_types[static_cast<size_t>(std::abs(lt.type))];
      for (double p : pat) dash.push_back(static_cast<float>(p / 100.0 * len));
    }
  }
  if (!dev_attrs_valid_ || !dev_dash_valid_ || dash != dev_dash_) {
    dev(hpgs_setdash(dev_, dash.data(), static_cast<unsigned>(dash.size()), 0.0));
    dev_dash_ = dash;
    dev_dash_valid_ = true;
  }
  int rop = gs_.rop;
  int st = gs_.transparent ? 1 : 0, pt = gs_.pat_transparent ? 1 : 0;
  if (!dev_attrs_valid_ || rop != dev_rop_ || st != dev_src_tr_ || pt != dev_pat_tr_) {
    dev(hpgs_setrop3(dev_, rop, st, pt));
    dev_rop_ = rop;
    dev_src_tr_ = st;
    dev_pat_tr_ = pt;
  }
  dev_attrs_valid_ = true;
}

void Reader::sync_fill_attrs() {
  sync_stroke_attrs();
  if (gs_.fill_type == 10) {
    // Shading: the pen colour mixed with white by the level.
    double f = std::clamp(gs_.fill_level, 0.0, 100.0) / 100.0;
    hpgs_color c = dev_color_;
    c = {1 - f * (1 - c.r), 1 - f * (1 - c.g), 1 - f * (1 - c.b)};
    dev(hpgs_setrgbcolor(dev_, &c));
    dev_color_ = c;
  }
}

void Reader::open_path() {
  if (path_open_) return;
  begin_marking();
  sync_stroke_attrs();
  path_cur_ = to_dev(pen_);
  dev(hpgs_moveto(dev_, &path_cur_));
  path_open_ = true;
  path_len_ = 0;
}

void Reader::line_dev(const hpgs_point &d) {
  open_path();
  dev(hpgs_lineto(dev_, &d));
  path_cur_ = d;
  if (++path_len_ >= 1000000) {
    // Bound the device's path memory: stroke and go on from here.
    flush_path();
  }
}

void Reader::flush_path() {
  if (!path_open_) return;
  path_open_ = false;
  dev(hpgs_stroke(dev_));
}

void Reader::poly_add(const hpgs_point &d, PolyVertex::Kind kind) {
  if (kind == PolyVertex::Move && !poly_.empty() && poly_.back().kind == PolyVertex::Move) {
    poly_.back().p = d;
    return;
  }
  if (poly_.size() >= kMaxPolygonVertices) {
    if (!poly_overflow_warned_) warn("polygon buffer full (%zu vertices); further vertices dropped", poly_.size());
    poly_overflow_warned_ = true;
    return;
  }
  poly_.push_back({d, kind});
}

void Reader::move_to(const hpgs_point &u) {
  hpgs_point t{clampc(u.x), clampc(u.y)};
  flush_path();
  if (polygon_mode_) poly_add(to_dev(t), PolyVertex::Move);
  pen_ = t;
}

void Reader::line_to(const hpgs_point &u) {
  hpgs_point t{clampc(u.x), clampc(u.y)};
  if (polygon_mode_) {
    if (poly_.empty() || poly_.back().kind == PolyVertex::Close) poly_add(to_dev(pen_), PolyVertex::Move);
    poly_add(to_dev(t), PolyVertex::Line);
  } else if (drawing()) {
    line_dev(to_dev(t));
  }
  pen_ = t;
}

void Reader::path_from_buffer(bool close_all) {
  size_t i = 0, n = poly_.size();
  while (i < n) {
    size_t start = i++;
    size_t lines = 0;
    bool closed = false;
    while (i < n && poly_[i].kind != PolyVertex::Move) {
      if (poly_[i].kind == PolyVertex::Line) ++lines;
      if (poly_[i].kind == PolyVertex::Close) closed = true;
      ++i;
    }
    if (lines == 0) continue;
    dev(hpgs_moveto(dev_, &poly_[start].p));
    bool open = true;
    for (size_t k = start + 1; k < i; ++k) {
      if (poly_[k].kind == PolyVertex::Line) {
        if (!open) dev(hpgs_moveto(dev_, &poly_[k - 1].p));
        dev(hpgs_lineto(dev_, &poly_[k].p));
        open = true;
      } else if (open) {
        dev(hpgs_closepath(dev_));
        open = false;
      }
    }
    if (open && close_all && !closed) dev(hpgs_closepath(dev_));
  }
}

static bool has_lines(const std::vector<PolyVertex> &poly) {
  for (const auto &v : poly)
    if (v.kind == PolyVertex::Line) return true;
  return false;
}

void Reader::fill_buffer(bool winding) {
  flush_path();
  if (!drawing() || !has_lines(poly_)) return;
  begin_marking();
  sync_fill_attrs();
  path_from_buffer(true);
  dev(hpgs_fill(dev_, winding ? HPGS_TRUE : HPGS_FALSE));
}

void Reader::edge_buffer() {
  flush_path();
  if (!drawing() || !has_lines(poly_)) return;
  begin_marking();
  sync_stroke_attrs();
  path_from_buffer(false);
  dev(hpgs_stroke(dev_));
}

// ------------------------------------------------------------- commands

void Reader::cmd_coords(bool pen_change, bool down, int abs_change) {
  if (pen_change) {
    pen_down_ = down;
    if (!down) flush_path();
  }
  if (abs_change >= 0) relative_ = abs_change == 1;
  double x, y;
  bool any = false;
  while (next_number(x)) {
    if (!next_number(y)) {
      warn("odd number of coordinates; the last value is ignored");
      break;
    }
    any = true;
    hpgs_point t = relative_ ? hpgs_point{pen_.x + x, pen_.y + y} : hpgs_point{x, y};
    if (pen_down_) line_to(t);
    else move_to(t);
  }
  if (!any && pen_change && down) line_to(pen_);  // PD alone: a dot
}

void Reader::cmd_pe() {
  flush_path();
  int fbits = 0;
  bool seven = false, next_up = false, next_abs = false;
  enum { kCoord, kPen, kFbits } want = kCoord;
  uint64_t acc = 0;
  int shift = 0;
  bool overflow = false, have_x = false;
  int64_t xval = 0;
  for (;;) {
    int c = input_.get();
    if (c == EOF) {
      warn("input ends inside PE");
      break;
    }
    if (c == ';') break;
    if (c == kEsc) {
      input_.unget(c);
      break;
    }
    int d = -1;
    bool fin = false;
    if (!seven) {
      if (c >= 63 && c <= 126) d = c - 63;
      else if (c >= 191 && c <= 254) d = c - 191, fin = true;
    } else {
      int cc = c & 0x7f;
      if (cc >= 63 && cc <= 94) d = cc - 63;
      else if (cc >= 95 && cc <= 126) d = cc - 95, fin = true;
    }
    if (d < 0) {
      switch (c & 0x7f) {
        case ':': want = kPen; break;
        case '<': next_up = true; break;
        case '>': want = kFbits; break;
        case '=': next_abs = true; break;
        case '7': seven = true; break;
        default: break;  // controls, blanks and line feeds inside the data
      }
      continue;
    }
    if (shift <= 63 - (seven ? 5 : 6)) acc |= static_cast<uint64_t>(d) << shift;
    else if (d) overflow = true;
    shift += seven ? 5 : 6;
    if (!fin) continue;
    if (overflow || acc > (uint64_t(1) << 62)) {
      if (overflow) warn("PE number too large; clamped");
      acc = std::min<uint64_t>(acc, uint64_t(1) << 62);
    }
    int64_t n = (acc & 1) ? -static_cast<int64_t>(acc >> 1) : static_cast<int64_t>(acc >> 1);
    acc = 0;
    shift = 0;
    overflow = false;
    if (want == kPen) {
      want = kCoord;
      if (!polygon_mode_) cmd_sp(static_cast<double>(n), true);
    } else if (want == kFbits) {
      want = kCoord;
      if (n < -26 || n > 26) warn("PE fraction bits %lld out of range -26..26 ignored", static_cast<long long>(n));
      else fbits = static_cast<int>(n);
    } else if (!have_x) {
      xval = n;
      have_x = true;
    } else {
      have_x = false;
      double scale = std::ldexp(1.0, -fbits);
      hpgs_point v{static_cast<double>(xval) * scale, static_cast<double>(n) * scale};
      hpgs_point t = next_abs ? v : hpgs_point{pen_.x + v.x, pen_.y + v.y};
      ++stats_.pe_pairs;
      if (next_up) {
        pen_down_ = false;
        move_to(t);
      } else {
        pen_down_ = true;
        line_to(t);
      }
      next_up = next_abs = false;
    }
  }
  if (have_x) warn("PE ends with an unpaired coordinate");
}

// Arc around centre c (current units) from start, sweep degrees; chords of
// at most chord degrees. Draws with the current pen state.
void Reader::emit_arc(const hpgs_point &c, const hpgs_point &start, double sweep, double chord) {
  double r = std::hypot(start.x - c.x, start.y - c.y);
  if (!std::isfinite(sweep) || !std::isfinite(r)) return;
  sweep = std::clamp(sweep, -360.0, 360.0);
  if (!(chord > 0)) chord = 5;
  chord = std::clamp(chord, 0.5, 180.0);
  double a0 = std::atan2(start.y - c.y, start.x - c.x) * 180.0 / kPi;
  int n = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / chord - 1e-9)));
  for (int k = 1; k <= n; ++k) {
    hpgs_point d = dir_deg(a0 + sweep * k / n);
    hpgs_point p{c.x + r * d.x, c.y + r * d.y};
    if (pen_down_) line_to(p);
    else move_to(p);
  }
}

void Reader::cmd_arc(bool relative) {
  double a[4];
  int n = read_args(a, 4);
  if (n < 3) {
    if (n) warn("arc needs centre and sweep angle");
    return;
  }
  hpgs_point c = relative ? hpgs_point{pen_.x + a[0], pen_.y + a[1]} : hpgs_point{a[0], a[1]};
  emit_arc(c, pen_, a[2], n > 3 ? a[3] : 5.0);
}

void Reader::cmd_arc3(bool relative) {
  double a[5];
  int n = read_args(a, 5);
  if (n < 4) {
    if (n) warn("three-point arc needs two points");
    return;
  }
  hpgs_point p = pen_;
  hpgs_point i = relative ? hpgs_point{p.x + a[0], p.y + a[1]} : hpgs_point{a[0], a[1]};
  hpgs_point e = relative ? hpgs_point{p.x + a[2], p.y + a[3]} : hpgs_point{a[2], a[3]};
  double chord = n > 4 ? a[4] : 5.0;
  auto same = [](const hpgs_point &u, const hpgs_point &v) { return u.x == v.x && u.y == v.y; };
  if (same(p, i) && same(p, e)) {
    if (pen_down_) line_to(p);
    return;
  }
  if (same(p, e)) {  // circle on the diameter start - intermediate
    hpgs_point c{(p.x + i.x) / 2, (p.y + i.y) / 2};
    emit_arc(c, p, 360, chord);
    return;
  }
  double bx = i.x - p.x, by = i.y - p.y, cx = e.x - p.x, cy = e.y - p.y;
  double det = 2 * (bx * cy - by * cx);
  double scale = std::max({std::fabs(bx), std::fabs(by), std::fabs(cx), std::fabs(cy)});
  if (std::fabs(det) <= 1e-12 * scale * scale) {  // colinear: a line
    if (pen_down_) line_to(e);
    else move_to(e);
    return;
  }
  double b2 = bx * bx + by * by, c2 = cx * cx + cy * cy;
  hpgs_point c{p.x + (cy * b2 - by * c2) / det, p.y + (bx * c2 - cx * b2) / det};
  auto ang = [&](const hpgs_point &q) { return std::atan2(q.y - c.y, q.x - c.x) * 180.0 / kPi; };
  auto norm = [](double v) {
    v = std::fmod(v, 360.0);
    return v < 0 ? v + 360.0 : v;
  };
  double a0 = ang(p);
  double de = norm(ang(e) - a0), di = norm(ang(i) - a0);
  double sweep = di < de ? de : de - 360.0;
  emit_arc(c, p, sweep, chord);
  if (pen_down_) {
    // The last chord ends on the end point up to rounding; land exactly.
    if (polygon_mode_ && !poly_.empty()) poly_.back().p = to_dev(e);
    pen_ = e;
  } else {
    move_to(e);
  }
}

void Reader::cmd_circle() {
  double a[2];
  int n = read_args(a, 2);
  if (n < 1) {
    warn("CI needs a radius");
    return;
  }
  double r = a[0], chord = n > 1 ? a[1] : 5.0;
  if (!(chord > 0)) chord = 5;
  chord = std::clamp(chord, 0.5, 180.0);
  int steps = std::max(1, static_cast<int>(std::ceil(360.0 / chord - 1e-9)));
  hpgs_point c = pen_;
  auto at = [&](int k) {
    hpgs_point d = dir_deg(360.0 * k / steps);
    return to_dev(hpgs_point{c.x + r * d.x, c.y + r * d.y});
  };
  if (polygon_mode_) {
    poly_add(at(0), PolyVertex::Move);
    for (int k = 1; k <= steps; ++k) poly_add(at(k), PolyVertex::Line);
    poly_add(at(steps), PolyVertex::Close);
    poly_add(to_dev(c), PolyVertex::Move);
    return;
  }
  flush_path();
  if (!drawing()) return;
  begin_marking();
  sync_stroke_attrs();
  hpgs_point p = at(0);
  dev(hpgs_moveto(dev_, &p));
  for (int k = 1; k <= steps; ++k) {
    p = at(k);
    dev(hpgs_lineto(dev_, &p));
  }
  dev(hpgs_closepath(dev_));
  dev(hpgs_stroke(dev_));
}

void Reader::cmd_rect(bool relative, bool fill) {
  double a[2];
  int n = read_args(a, 2);
  if (n < 2) {
    warn("rectangle needs a corner");
    return;
  }
  if (polygon_mode_) {
    warn("rectangle inside polygon mode ignored");
    return;
  }
  hpgs_point p0 = pen_;
  hpgs_point p1 = relative ? hpgs_point{p0.x + a[0], p0.y + a[1]} : hpgs_point{clampc(a[0]), clampc(a[1])};
  flush_path();
  poly_.clear();
  poly_add(to_dev(p0), PolyVertex::Move);
  poly_add(to_dev({p1.x, p0.y}), PolyVertex::Line);
  poly_add(to_dev(p1), PolyVertex::Line);
  poly_add(to_dev({p0.x, p1.y}), PolyVertex::Line);
  poly_add(to_dev(p0), PolyVertex::Line);
  poly_add(to_dev(p0), PolyVertex::Close);
  if (fill) fill_buffer(false);
  else edge_buffer();
}

void Reader::cmd_wedge(bool fill) {
  double a[4];
  int n = read_args(a, 4);
  if (n < 3) {
    warn("wedge needs radius, start and sweep");
    return;
  }
  if (polygon_mode_) {
    warn("wedge inside polygon mode ignored");
    return;
  }
  double r = a[0], start = a[1], sweep = std::clamp(a[2], -360.0, 360.0);
  double chord = n > 3 ? a[3] : 5.0;
  if (!(chord > 0)) chord = 5;
  chord = std::clamp(chord, 0.5, 180.0);
  hpgs_point c = pen_;
  flush_path();
  poly_.clear();
  int steps = std::max(1, static_cast<int>(std::ceil(std::fabs(sweep) / chord - 1e-9)));
  bool full = std::fabs(sweep) >= 360.0;
  auto at = [&](double deg) {
    hpgs_point d = dir_deg(deg);
    return to_dev(hpgs_point{c.x + r * d.x, c.y + r * d.y});
  };
  if (full) {
    poly_add(at(start), PolyVertex::Move);
  } else {
    poly_add(to_dev(c), PolyVertex::Move);
    poly_add(at(start), PolyVertex::Line);
  }
  for (int k = 1; k <= steps; ++k) poly_add(at(start + sweep * k / steps), PolyVertex::Line);
  if (!full) poly_add(to_dev(c), PolyVertex::Line);
  poly_add(to_dev(c), PolyVertex::Close);
  if (fill) fill_buffer(false);
  else edge_buffer();
}

void Reader::cmd_bezier(bool relative) {
  double v[6];
  for (;;) {
    int n = 0;
    while (n < 6 && next_number(v[n])) ++n;
    if (n == 0) return;
    if (n < 6) {
      warn("incomplete Bezier curve ignored");
      return;
    }
    hpgs_point p0 = pen_;
    hpgs_point q[3];
    for (int k = 0; k < 3; ++k)
      q[k] = relative ? hpgs_point{p0.x + v[2 * k], p0.y + v[2 * k + 1]} : hpgs_point{v[2 * k], v[2 * k + 1]};
    if (!pen_down_) {
      move_to(q[2]);
      continue;
    }
    if (!polygon_mode_ && drawing() && (caps_ & HPGS_DEVICE_CAP_CURVES)) {
      open_path();
      hpgs_point d1 = to_dev(q[0]), d2 = to_dev(q[1]), d3 = to_dev(q[2]);
      dev(hpgs_curveto(dev_, &d1, &d2, &d3));
      path_cur_ = d3;
      pen_ = {clampc(q[2].x), clampc(q[2].y)};
      continue;
    }
    const int steps = 32;
    for (int k = 1; k <= steps; ++k) {
      double t = static_cast<double>(k) / steps, u = 1 - t;
      double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
      hpgs_point p = k == steps ? q[2]
                                : hpgs_point{b0 * p0.x + b1 * q[0].x + b2 * q[1].x + b3 * q[2].x,
                                             b0 * p0.y + b1 * q[0].y + b2 * q[1].y + b3 * q[2].y};
      line_to(p);
    }
  }
}

void Reader::cmd_polygon_mode() {
  double a[1] = {0};
  read_args(a, 1);
  int m = static_cast<int>(a[0]);
  flush_path();
  if (m == 0) {
    poly_.clear();
    poly_overflow_warned_ = false;
    polygon_mode_ = true;
    poly_add(to_dev(pen_), PolyVertex::Move);
  } else if (m == 1 || m == 2) {
    if (!polygon_mode_) {
      warn("PM%d outside polygon mode ignored", m);
      return;
    }
    // Only a subpolygon drawn up to here with the pen down is closed; an
    // outline ended with the pen up stays open for EP (FP closes all).
    if (pen_down_ && !poly_.empty() && poly_.back().kind == PolyVertex::Line)
      poly_add(poly_.back().p, PolyVertex::Close);
    if (m == 1) poly_add(to_dev(pen_), PolyVertex::Move);
    else polygon_mode_ = false;
  } else {
    warn("PM%d: unknown polygon mode", m);
  }
}

void Reader::cmd_fill_polygon() {
  double a[2] = {0, 0};
  int n = read_args(a, 2);
  bool winding = n > 0 && static_cast<int>(a[0]) == 1;
  fill_buffer(winding);
}

void Reader::cmd_edge_polygon() { edge_buffer(); }

// Moves the pen as a fixed-pitch label of the given size would.
void Reader::advance_label(int chars, int lines) {
  double w_plu, h_plu;
  if (gs_.size_set && gs_.size_relative) {
    w_plu = gs_.char_width / 100.0 * std::fabs(p2_.x - p1_.x);
    h_plu = gs_.char_height / 100.0 * std::fabs(p2_.y - p1_.y);
  } else if (gs_.size_set) {
    w_plu = gs_.char_width * 400.0;  // centimetres
    h_plu = gs_.char_height * 400.0;
  } else {
    const auto &font = gs_.alternate ? gs_.alt_font : gs_.std_font;
    double pitch = font[3] > 0 ? font[3] : 9.0;
    w_plu = kPluPerInch / pitch / 1.5;
    h_plu = (font[4] > 0 ? font[4] : 11.5) / 72.0 * kPluPerInch * 0.7;
  }
  double adv = 1.5 * w_plu * (1 + gs_.extra_space[0]) * chars;
  double down = 2.0 * h_plu * (1 + gs_.extra_space[1]) * lines;
  double dx = gs_.direction.x, dy = gs_.direction.y;
  double len = std::hypot(dx, dy);
  if (len == 0) dx = 1, dy = 0, len = 1;
  dx /= len;
  dy /= len;
  hpgs_point plu;
  hpgs_matrix_xform(&plu, &user_to_plu_, &pen_);
  plu.x += adv * dx + down * dy;
  plu.y += adv * dy - down * dx;
  hpgs_point u;
  hpgs_matrix_ixform(&u, &user_to_plu_, &plu);
  pen_ = {clampc(u.x), clampc(u.y)};
}

void Reader::cmd_label() {
  flush_path();
  label_start_ = pen_;
  int chars = 0;
  size_t total = 0;
  for (;;) {
    int c = input_.get();
    if (c == EOF) {
      warn("input ends inside a label");
      break;
    }
    if (c == kEsc) {
      input_.unget(c);
      break;
    }
    if (c == gs_.label_terminator) break;
    if ((++total & 4095) == 0) check_interrupt();
    if (c == '\r') {
      advance_label(chars == 0 ? 0 : -chars, 0);
      chars = 0;
    } else if (c == '\n') {
      advance_label(0, 1);
    } else if (c == '\b') {
      advance_label(-1, 0);
    } else if (c >= 0x20) {
      advance_label(1, 0);
      ++chars;
    }
  }
  if (verbosity_ >= 2) hpgs_log("hpgs: label of %zu bytes", total);
}

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

void Reader::cmd_sp(double v, bool given) {
  if (polygon_mode_) return;
  flush_path();
  if (!given) {
    gs_.pen = 0;
    return;
  }
  if (v < 0 || !std::isfinite(v)) {
    warn("SP %g: negative pen ignored", v);
    return;
  }
  long long n = static_cast<long long>(v);
  long long np = static_cast<long long>(gs_.palette.size());
  if (n >= np) n = np > 1 ? (n - 1) % (np - 1) + 1 : 0;
  gs_.pen = static_cast<int>(n);
}

void Reader::cmd_pw() {
  double a[2];
  int n = read_args(a, 2);
  flush_path();
  double def = gs_.width_relative ? 0.1 : 0.35;
  if (n == 0) {
    std::fill(gs_.pen_width.begin(), gs_.pen_width.end(), def);
    return;
  }
  if (!(a[0] >= 0)) {
    warn("PW %g: negative width ignored", a[0]);
    return;
  }
  if (n == 1) {
    std::fill(gs_.pen_width.begin(), gs_.pen_width.end(), a[0]);
  } else {
    long long p = static_cast<long long>(a[1]);
    if (p < 0 || p >= static_cast<long long>(gs_.pen_width.size())) {
      warn("PW for pen %lld outside the palette ignored", p);
      return;
    }
    gs_.pen_width[static_cast<size_t>(p)] = a[0];
  }
}

void Reader::cmd_lt() {
  double a[3];
  int n = read_args(a, 3);
  flush_path();
  if (n == 0) {
    gs_.saved_line_type = gs_.line_type;
    gs_.line_type = LineType{};
    return;
  }
  int t = static_cast<int>(a[0]);
  if (t == 99) {
    if (gs_.line_type.solid) gs_.line_type = gs_.saved_line_type;
    return;
  }
  if (t < -8 || t > 8) {
    warn("LT %d outside -8..8 ignored", t);
    return;
  }
  LineType lt;
  lt.type = t;
  lt.solid = false;
  lt.length = 4;
  lt.mode = n > 2 && static_cast<int>(a[2]) == 1 ? 1 : 0;
  if (n > 1) {
    if (a[1] > 0) lt.length = a[1];
    else warn("LT pattern length %g must be positive; 4 used", a[1]);
  }
  gs_.line_type = lt;
}

void Reader::cmd_ul() {
  double a[21];
  int n = read_args(a, 21);
  flush_path();
  if (n == 0) {
    for (int i = 1; i <= 8; ++i) gs_.user_line_types[static_cast<size_t>(i)] = kFixedLineTypes[i];
    return;
  }
  int idx = std::abs(static_cast<int>(a[0]));
  if (idx < 1 || idx > 8) {
    warn("UL index %d outside 1..8 ignored", idx);
    return;
  }
  if (n == 1) {
    gs_.user_line_types[static_cast<size_t>(idx)] = kFixedLineTypes[idx];
    return;
  }
  double sum = 0;
  for (int i = 1; i < n; ++i) {
    if (a[i] < 0) {
      warn("UL with a negative gap ignored");
      return;
    }
    sum += a[i];
  }
  if (sum <= 0) {
    warn("UL pattern of zero length ignored");
    return;
  }
  std::vector<double> pat;
  for (int i = 1; i < n; ++i) pat.push_back(a[i] * 100.0 / sum);
  gs_.user_line_types[static_cast<size_t>(idx)] = pat;
}

void Reader::cmd_la() {
  double a[16];
  int n = read_args(a, 16);
  flush_path();
  if (n == 0) {
    gs_.cap = 1;
    gs_.join = 1;
    gs_.miter_limit = 5;
    return;
  }
  for (int i = 0; i + 1 < n; i += 2) {
    int k = static_cast<int>(a[i]);
    double v = a[i + 1];
    if (k == 1 && v >= 1 && v <= 4) gs_.cap = static_cast<int>(v);
    else if (k == 2 && v >= 1 && v <= 6) gs_.join = static_cast<int>(v);
    else if (k == 3) gs_.miter_limit = std::max(1.0, std::min(v, 32767.0));
    else warn("LA %d,%g ignored", k, v);
  }
}

void Reader::cmd_pc() {
  double a[4];
  int n = read_args(a, 4);
  flush_path();
  if (n == 0) {
    for (size_t i = 0; i < gs_.palette.size(); ++i) gs_.palette[i] = default_pen_color(i);
    return;
  }
  long long p = static_cast<long long>(a[0]);
  if (p < 0 || p >= static_cast<long long>(gs_.palette.size())) {
    warn("PC for pen %lld outside the palette ignored", p);
    return;
  }
  if (n < 4) {
    gs_.palette[static_cast<size_t>(p)] = default_pen_color(static_cast<size_t>(p));
    return;
  }
  double c[3];
  for (int i = 0; i < 3; ++i) {
    double b = gs_.color_range[2 * i], w = gs_.color_range[2 * i + 1];
    c[i] = w != b ? std::clamp((a[i + 1] - b) / (w - b), 0.0, 1.0) : 0.0;
  }
  gs_.palette[static_cast<size_t>(p)] = {c[0], c[1], c[2]};
}

void Reader::cmd_np() {
  double a[1];
  int n = read_args(a, 1);
  flush_path();
  size_t np = 8;
  if (n) {
    if (!(a[0] >= 2)) {
      warn("NP %g: fewer than two pens ignored", a[0]);
      return;
    }
    np = static_cast<size_t>(std::min(a[0], 32768.0));
  }
  size_t old = gs_.palette.size();
  gs_.palette.resize(np);
  gs_.pen_width.resize(np, gs_.width_relative ? 0.1 : 0.35);
  for (size_t i = old; i < np; ++i) gs_.palette[i] = default_pen_color(i);
  if (static_cast<size_t>(gs_.pen) >= np) cmd_sp(gs_.pen, true);
}

void Reader::cmd_ft() {
  double a[3];
  int n = read_args(a, 3);
  flush_path();
  int t = n ? static_cast<int>(a[0]) : 1;
  switch (t) {
    case 1:
    case 2: gs_.fill_type = t; break;
    case 3:
    case 4:
      gs_.fill_type = t;
      if (n > 1) gs_.fill_spacing = std::fabs(a[1]);
      if (n > 2) gs_.fill_angle = a[2];
      break;
    case 10:
      gs_.fill_type = t;
      if (n > 1) gs_.fill_level = std::clamp(a[1], 0.0, 100.0);
      break;
    case 11:
    case 21:
    case 22:
      gs_.fill_type = t;
      if (n > 1) gs_.fill_pattern = static_cast<int>(a[1]);
      break;
    default: warn("FT %d unknown; fill type unchanged", t); break;
  }
}

void Reader::cmd_dt() {
  int c = input_.get();
  if (c == ';' || c == EOF) {
    gs_.label_terminator = 3;
    gs_.terminator_printed = false;
    return;
  }
  if (c == kEsc || c == 0 || c == 5) {
    if (c == kEsc) input_.unget(c);
    warn("DT with an invalid terminator ignored");
    return;
  }
  gs_.label_terminator = c;
  gs_.terminator_printed = false;
  int d = input_.get();
  if (d == ',') {
    double m;
    if (next_number(m)) gs_.terminator_printed = static_cast<int>(m) == 0;
  } else {
    input_.unget(d);
  }
  if (input_.peek() == ';') input_.get();
}

// ---------------------------------------------------------- dispatch

void Reader::command(int c1, int c2) {
  c1 = std::toupper(c1);
  c2 = std::toupper(c2);
  for (int retry = 0;; ++retry) {
    int k = key(static_cast<char>(c1), static_cast<char>(c2));
    ++stats_.commands[static_cast<size_t>(k)];
    double a[8];
    switch (k) {
      case key('P', 'U'): cmd_coords(true, false, -1); return;
      case key('P', 'D'): cmd_coords(true, true, -1); return;
      case key('P', 'A'): cmd_coords(false, false, 0); return;
      case key('P', 'R'): cmd_coords(false, false, 1); return;
      case key('P', 'E'): cmd_pe(); return;
      case key('A', 'A'): cmd_arc(false); return;
      case key('A', 'R'): cmd_arc(true); return;
      case key('A', 'T'): cmd_arc3(false); return;
      case key('R', 'T'): cmd_arc3(true); return;
      case key('C', 'I'): cmd_circle(); return;
      case key('E', 'A'): cmd_rect(false, false); return;
      case key('E', 'R'): cmd_rect(true, false); return;
      case key('R', 'A'): cmd_rect(false, true); return;
      case key('R', 'R'): cmd_rect(true, true); return;
      case key('E', 'W'): cmd_wedge(false); return;
      case key('W', 'G'): cmd_wedge(true); return;
      case key('B', 'Z'): cmd_bezier(false); return;
      case key('B', 'R'): cmd_bezier(true); return;
      case key('P', 'M'): cmd_polygon_mode(); return;
      case key('F', 'P'): cmd_fill_polygon(); return;
      case key('E', 'P'): skip_args(); cmd_edge_polygon(); return;
      case key('I', 'N'):
        skip_args();
        flush_path();
        defaults_in();
        return;
      case key('D', 'F'): skip_args(); defaults_df(); return;
      case key('B', 'P'):
        skip_args();
        flush_path();
        if (marked_) page_end();
        defaults_in();
        return;
      case key('P', 'S'): cmd_ps(); return;
      case key('R', 'O'): cmd_ro(); return;
      case key('I', 'P'): cmd_ip(false); return;
      case key('I', 'R'): cmd_ip(true); return;
      case key('S', 'C'): cmd_sc(); return;
      case key('I', 'W'): cmd_iw(); return;
      case key('S', 'P'): {
        int n = read_args(a, 1);
        cmd_sp(n ? a[0] : 0, n > 0);
        return;
      }
      case key('N', 'P'): cmd_np(); return;
      case key('P', 'C'): cmd_pc(); return;
      case key('C', 'R'): {
        int n = read_args(a, 6);
        flush_path();
        if (n == 0) {
          for (int i = 0; i < 6; ++i) gs_.color_range[i] = (i % 2) ? 255 : 0;
        } else if (n == 6) {
          for (int i = 0; i < 6; ++i) gs_.color_range[i] = a[i];
        } else {
          warn("CR needs six values");
        }
        return;
      }
      case key('P', 'W'): cmd_pw(); return;
      case key('W', 'U'): {
        int n = read_args(a, 1);
        flush_path();
        gs_.width_relative = n && static_cast<int>(a[0]) == 1;
        std::fill(gs_.pen_width.begin(), gs_.pen_width.end(), gs_.width_relative ? 0.1 : 0.35);
        return;
      }
      case key('L', 'A'): cmd_la(); return;
      case key('L', 'T'): cmd_lt(); return;
      case key('U', 'L'): cmd_ul(); return;
      case key('F', 'T'): cmd_ft(); return;
      case key('A', 'C'): {
        int n = read_args(a, 2);
        gs_.anchor = n >= 2 ? hpgs_point{a[0], a[1]} : hpgs_point{0, 0};
        return;
      }
      case key('T', 'R'): {
        int n = read_args(a, 1);
        flush_path();
        gs_.transparent = n == 0 || static_cast<int>(a[0]) != 0;
        return;
      }
      case key('M', 'C'): {
        int n = read_args(a, 2);
        flush_path();
        int m = n ? static_cast<int>(a[0]) : 0;
        int rop = n > 1 ? static_cast<int>(a[1]) : 168;
        gs_.rop = (m == 1 && rop >= 0 && rop <= 255) ? rop : 252;
        return;
      }
      case key('S', 'V'): {
        int n = read_args(a, 3);
        gs_.screen_type = n ? static_cast<int>(a[0]) : 0;
        return;
      }
      case key('P', 'G'):
      case key('F', 'R'):
        skip_args();
        flush_path();
        if (marked_) page_end();
        return;
      case key('L', 'B'): cmd_label(); return;
      case key('D', 'T'): cmd_dt(); return;
      case key('S', 'I'):
      case key('S', 'R'): {
        int n = read_args(a, 2);
        if (n >= 2) {
          gs_.size_set = true;
          gs_.size_relative = k == key('S', 'R');
          gs_.char_width = a[0];
          gs_.char_height = a[1];
        } else if (k == key('S', 'R')) {
          gs_.size_set = true;
          gs_.size_relative = true;
          gs_.char_width = 0.75;
          gs_.char_height = 1.5;
        } else {
          gs_.size_set = false;
        }
        return;
      }
      case key('D', 'I'):
      case key('D', 'R'): {
        int n = read_args(a, 2);
        if (n >= 2 && (a[0] != 0 || a[1] != 0)) gs_.direction = {a[0], a[1]};
        else if (n >= 2) warn("direction 0,0 ignored");
        else gs_.direction = {1, 0};
        gs_.direction_relative = k == key('D', 'R');
        return;
      }
      case key('L', 'O'): {
        int n = read_args(a, 1);
        gs_.label_origin = n ? static_cast<int>(a[0]) : 1;
        return;
      }
      case key('S', 'D'):
      case key('A', 'D'): {
        double f[16];
        int n = read_args(f, 16);
        auto &font = k == key('S', 'D') ? gs_.std_font : gs_.alt_font;
        for (int i = 0; i + 1 < n; i += 2) {
          int kind = static_cast<int>(f[i]);
          if (kind >= 1 && kind <= 7) font[static_cast<size_t>(kind - 1)] = f[i + 1];
        }
        return;
      }
      case key('S', 'S'): skip_args(); gs_.alternate = false; return;
      case key('S', 'A'): skip_args(); gs_.alternate = true; return;
      case key('S', 'L'): {
        int n = read_args(a, 1);
        gs_.slant = n ? a[0] : 0;
        return;
      }
      case key('E', 'S'): {
        int n = read_args(a, 2);
        gs_.extra_space[0] = n > 0 ? a[0] : 0;
        gs_.extra_space[1] = n > 1 ? a[1] : 0;
        return;
      }
      case key('C', 'P'): {
        int n = read_args(a, 2);
        if (n == 0) {
          pen_ = label_start_;
          advance_label(0, 1);
        } else {
          advance_label(static_cast<int>(std::clamp(a[0], -1e6, 1e6)),
                        n > 1 ? -static_cast<int>(std::clamp(a[1], -1e6, 1e6)) : 0);
        }
        return;
      }
      case key('S', 'M'): {
        int c = input_.get();
        if (c == ';' || c == EOF) {
          gs_.symbol_mode = 0;
        } else if (c == kEsc) {
          input_.unget(c);
        } else {
          gs_.symbol_mode = c;
          if (input_.peek() == ';') input_.get();
        }
        return;
      }
      case key('C', 'O'): {
        // Comment: quoted text (or text up to ';').
        for (int n = 0;; ++n) {
          int c = input_.get();
          if (c == EOF || c == ';') break;
          if (c == kEsc) {
            input_.unget(c);
            break;
          }
          if (c == '"') {
            for (;;) {
              int d = input_.get();
              if (d == EOF || d == '"') break;
              if (d == kEsc) {
                input_.unget(d);
                break;
              }
            }
          }
          if ((n & 4095) == 4095) check_interrupt();
        }
        return;
      }
      // Known commands without effect on the drawing as read here.
      case key('D', 'V'): case key('T', 'D'): case key('C', 'F'): case key('L', 'M'):
      case key('R', 'F'): case key('P', 'P'): case key('E', 'C'): case key('Q', 'L'):
      case key('N', 'R'): case key('R', 'P'): case key('V', 'S'): case key('C', 'T'):
      case key('M', 'T'): case key('O', 'E'): case key('O', 'I'): case key('O', 'P'):
      case key('O', 'S'): case key('O', 'H'): case key('O', 'W'): case key('O', 'F'):
      case key('O', 'A'): case key('O', 'C'): case key('O', 'D'): case key('O', 'G'):
      case key('O', 'L'): case key('O', 'O'): case key('D', 'C'): case key('D', 'P'):
      case key('I', 'M'): case key('I', 'V'): case key('M', 'G'): case key('W', 'D'):
      case key('P', 'T'): case key('F', 'S'): case key('A', 'F'): case key('A', 'H'):
      case key('K', 'Y'): case key('G', 'M'): case key('D', 'L'): case key('C', 'A'):
      case key('C', 'S'): case key('C', 'M'): case key('B', 'L'): case key('S', 'T'):
      case key('S', 'B'): case key('C', 'V'): case key('N', 'S'): case key('P', 'B'):
      case key('R', 'S'): case key('S', 'G'):  case key('Q', 'P'):
      case key('A', 'P'): 
        skip_args();
        return;
      default: break;
    }
    --stats_.commands[static_cast<size_t>(k)];
    // Unknown pair: the first letter may be garbage in front of a real
    // mnemonic, so try the second letter with the next one.
    int c3 = input_.get();
    if (retry < 4 && ((c3 >= 'A' && c3 <= 'Z') || (c3 >= 'a' && c3 <= 'z'))) {
      warn("unknown command '%c%c'; retrying from '%c'", c1, c2, c2);
      c1 = c2;
      c2 = std::toupper(c3);
      continue;
    }
    input_.unget(c3);
    warn("unknown command '%c%c' skipped", c1, c2);
    skip_args();
    return;
  }
}

// ------------------------------------------------------------ pages

hpgs_bbox Reader::page_box_drawing() const {
  if (dynamic_page_) return dynamic_box_;
  return hpgs_bbox{0, 0, plot_w_ * kPtPerPlu, plot_h_ * kPtPerPlu};
}

void Reader::call_asset(hpgs_reader_asset_func_t f, void *ctxt, int index) {
  if (!f) return;
  hpgs_matrix pm = page_matrix_, xf = user_to_dev_;
  hpgs_bbox pb = page_box_drawing();
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
