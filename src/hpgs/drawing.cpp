// Vector output: device emission with lazily synchronised attributes,
// pen moves, PE, arcs, circles, rectangles, wedges, Bezier curves,
// polygon mode and labels.
#include "device_internal.h"
#include "interp_util.h"
#include "paint_internal.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <string>

namespace hpgs {

using namespace interp;

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
  if (gs_.screen_type == 1 && !filling_) {
    // SV1: vectors in a shade of the pen colour.
    double f = std::clamp(gs_.screen_level, 0.0, 100.0) / 100.0;
    col = {1 - f * (1 - col.r), 1 - f * (1 - col.g), 1 - f * (1 - col.b)};
  }
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
  // Dash pattern in points; fixed line types start where the residue of
  // the previous vectors left the pattern. Dots (LT0) and adaptive types
  // are set vector by vector in stroke_vector.
  std::vector<float> dash;
  double offset = 0.0;
  if (fixed_pattern()) {
    double len = pattern_length();
    dash = pattern_dashes(len);
    offset = line_phase_ * len;
  }
  if (!dev_attrs_valid_ || !dev_dash_valid_ || dash != dev_dash_ || offset != dev_dash_offset_) {
    dev(hpgs_setdash(dev_, dash.data(), static_cast<unsigned>(dash.size()), offset));
    dev_dash_ = dash;
    dev_dash_offset_ = offset;
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
  filling_ = true;
  sync_stroke_attrs();
  filling_ = false;
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
  path_pattern_len_ = 0;
}

void Reader::line_dev(const hpgs_point &d) {
  open_path();
  dev(hpgs_lineto(dev_, &d));
  // sqrt rather than hypot: this runs for every vertex, and device
  // coordinates are far from overflowing a square.
  const double dx = d.x - path_cur_.x, dy = d.y - path_cur_.y;
  path_pattern_len_ += std::sqrt(dx * dx + dy * dy);
  path_cur_ = d;
  if (++path_len_ >= 1000000) {
    // Bound the device's path memory: stroke and go on from here.
    flush_path();
  }
}

// Fraction of a pattern of length len that a line of length l uses.
static double advance_phase(double phase, double l, double len) {
  if (!(len > 0) || !std::isfinite(l / len)) return 0.0;
  double p = std::fmod(phase + l / len, 1.0);
  // A whole number of patterns up to rounding starts the next one afresh.
  return p >= 1e-9 && p < 1 - 1e-9 ? p : 0.0;
}

void Reader::flush_path() {
  if (!path_open_) return;
  path_open_ = false;
  stroke_device_path();
  // A fixed line type carries its residue over to the next pen-down
  // vector, across pen-up moves.
  if (fixed_pattern()) line_phase_ = advance_phase(line_phase_, path_pattern_len_, pattern_length());
}

// ----------------------------------------------------------- line types

double Reader::pattern_length() const {
  const LineType &lt = gs_.line_type;
  double len = lt.mode == 1 ? lt.length * 72.0 / 25.4 : lt.length / 100.0 * diag_plu() * kPtPerPlu;
  return len * length_scale();
}

std::vector<float> Reader::pattern_dashes(double len) const {
  std::vector<float> dash;
  const auto &pat = gs_.user_line_types[static_cast<size_t>(std::abs(gs_.line_type.type))];
  for (double p : pat) dash.push_back(static_cast<float>(p / 100.0 * len));
  // Every repetition starts pen down: after an odd count the last dash runs
  // on into the first (devices would repeat an odd list with on and off
  // swapped).
  if (dash.size() % 2) dash.push_back(0.0f);
  return dash;
}

// One vector of line type 0 or of an adaptive type, as its own stroke.
// LT0 puts a dot (one plotter unit) at both ends: the vector is sent as two
// halves, each starting at an end, with a pattern of one dot and a gap
// longer than the half, so a device that widens dots keeps them on the
// end points. Adaptive types stretch their pattern so that the vector holds
// a whole number of patterns, at least one.
void Reader::stroke_vector(const hpgs_point &a, const hpgs_point &b) {
  flush_path();
  begin_marking();
  sync_stroke_attrs();
  const double l = std::hypot(b.x - a.x, b.y - a.y);
  std::vector<float> dash;
  bool halves = false;
  if (gs_.line_type.type == 0) {
    const double dot = length_scale() * kPtPerPlu;
    if (l > 2 * dot && std::isfinite(l)) {
      dash = {static_cast<float>(dot), static_cast<float>(l)};
      halves = true;
    }
  } else {
    const double len = pattern_length();
    if (len > 0 && l > 0 && std::isfinite(l / len)) {
      double n = std::max(1.0, std::round(l / len));
      dash = pattern_dashes(l / n);
    }
  }
  dev(hpgs_setdash(dev_, dash.data(), static_cast<unsigned>(dash.size()), 0.0));
  dev_dash_ = dash;
  dev_dash_offset_ = 0.0;
  if (halves) {
    const hpgs_point m{(a.x + b.x) / 2, (a.y + b.y) / 2};
    dev(hpgs_moveto(dev_, &a));
    dev(hpgs_lineto(dev_, &m));
    dev(hpgs_moveto(dev_, &b));
    dev(hpgs_lineto(dev_, &m));
  } else {
    dev(hpgs_moveto(dev_, &a));
    dev(hpgs_lineto(dev_, &b));
  }
  stroke_device_path();
}

// Outlines drawn by one command (EP, EA, ER, EW, CI) in a non-solid line
// type. The figure starts the pattern afresh and carries it over from
// subpath to subpath; the residue of the lines drawn around it is kept.
void Reader::stroke_figure(const std::vector<std::vector<hpgs_point>> &subpaths, const std::vector<bool> &closed) {
  const double saved = line_phase_;
  line_phase_ = 0.0;
  for (size_t i = 0; i < subpaths.size(); ++i) {
    const auto &sp = subpaths[i];
    if (sp.size() < 2) continue;
    if (vector_pattern()) {
      for (size_t k = 1; k < sp.size(); ++k) stroke_vector(sp[k - 1], sp[k]);
      if (closed[i] && (sp.back().x != sp[0].x || sp.back().y != sp[0].y)) stroke_vector(sp.back(), sp[0]);
      continue;
    }
    sync_stroke_attrs();
    double l = 0;
    dev(hpgs_moveto(dev_, &sp[0]));
    for (size_t k = 1; k < sp.size(); ++k) {
      dev(hpgs_lineto(dev_, &sp[k]));
      l += std::hypot(sp[k].x - sp[k - 1].x, sp[k].y - sp[k - 1].y);
    }
    if (closed[i]) {
      dev(hpgs_closepath(dev_));
      l += std::hypot(sp[0].x - sp.back().x, sp[0].y - sp.back().y);
    }
    stroke_device_path();
    line_phase_ = advance_phase(line_phase_, l, pattern_length());
  }
  line_phase_ = saved;
}

// poly_add and line_to are inline: every vertex of a plot passes here (they
// are used in this file only).
[[gnu::always_inline]] inline void Reader::poly_add(const hpgs_point &d, PolyVertex::Kind kind) {
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

[[gnu::always_inline]] inline void Reader::line_to(const hpgs_point &u) {
  hpgs_point t{clampc(u.x), clampc(u.y)};
  if (polygon_mode_) {
    if (poly_.empty() || poly_.back().kind == PolyVertex::Close) poly_add(to_dev(pen_), PolyVertex::Move);
    poly_add(to_dev(t), PolyVertex::Line);
  } else if (drawing()) {
    if (vector_pattern()) stroke_vector(to_dev(pen_), to_dev(t));
    else line_dev(to_dev(t));
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
    for (size_t k = start + 1; k < i;) {
      if (poly_[k].kind == PolyVertex::Line) {
        if (!open) dev(hpgs_moveto(dev_, &poly_[k - 1].p));
        size_t e = k + 1;
        while (e < i && poly_[e].kind == PolyVertex::Line) ++e;
        const PointRun run{reinterpret_cast<const unsigned char *>(&poly_[k].p), e - k, sizeof(PolyVertex)};
        dev(device_lineto_run(dev_, run));
        open = true;
        k = e;
      } else {
        if (open) dev(hpgs_closepath(dev_));
        open = false;
        ++k;
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
  if (gs_.fill_type == 3 || gs_.fill_type == 4 || gs_.fill_type == 21) {
    hatch_fill(winding);
    return;
  }
  sync_fill_attrs();
  if ((gs_.fill_type == 11 || gs_.fill_type == 22) && pattern_path(false, winding)) {
    dev_attrs_valid_ = false;
    return;
  }
  // An undefined raster pattern fills solid.
  path_from_buffer(true);
  dev(hpgs_fill(dev_, winding ? HPGS_TRUE : HPGS_FALSE));
}

void Reader::edge_buffer() {
  flush_path();
  if (!drawing() || !has_lines(poly_)) return;
  begin_marking();
  if (!gs_.line_type.solid) {
    // The subpaths path_from_buffer(false) would send, as point lists.
    std::vector<std::vector<hpgs_point>> subs;
    std::vector<bool> closed;
    size_t i = 0, n = poly_.size();
    while (i < n) {
      std::vector<hpgs_point> cur{poly_[i++].p};
      bool open = true;
      for (; i < n && poly_[i].kind != PolyVertex::Move; ++i) {
        if (poly_[i].kind == PolyVertex::Line) {
          if (!open) cur = {poly_[i - 1].p};
          cur.push_back(poly_[i].p);
          open = true;
        } else if (open) {
          if (cur.size() > 1) subs.push_back(cur), closed.push_back(true);
          cur.clear();
          open = false;
        }
      }
      if (open && cur.size() > 1) subs.push_back(cur), closed.push_back(false);
    }
    stroke_figure(subs, closed);
    return;
  }
  sync_stroke_attrs();
  path_from_buffer(false);
  stroke_device_path();
}

void Reader::stroke_device_path() {
  if ((gs_.screen_type == 2 || gs_.screen_type == 21 || gs_.screen_type == 22) && pattern_path(true, false)) {
    dev_attrs_valid_ = false;  // the mean colour may have replaced the pen's
    return;
  }
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
  for (;;) {
    if (!pair_in_place(x, y)) {
      if (!next_number(x)) break;
      if (!next_number(y)) {
        warn("odd number of coordinates; the last value is ignored");
        break;
      }
    }
    any = true;
    hpgs_point t = relative_ ? hpgs_point{pen_.x + x, pen_.y + y} : hpgs_point{x, y};
    if (pen_down_) line_to(t);
    else move_to(t);
    if (gs_.symbol_mode) draw_symbol();
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
      if (gs_.symbol_mode) draw_symbol();
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
  if (!gs_.line_type.solid) {
    std::vector<hpgs_point> pts;
    for (int k = 0; k < steps; ++k) pts.push_back(at(k));
    stroke_figure({pts}, {true});
    return;
  }
  sync_stroke_attrs();
  hpgs_point p = at(0);
  dev(hpgs_moveto(dev_, &p));
  for (int k = 1; k <= steps; ++k) {
    p = at(k);
    dev(hpgs_lineto(dev_, &p));
  }
  dev(hpgs_closepath(dev_));
  stroke_device_path();
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
    if (!polygon_mode_ && drawing() && (caps_ & HPGS_DEVICE_CAP_CURVES) && !vector_pattern()) {
      open_path();
      hpgs_point d1 = to_dev(q[0]), d2 = to_dev(q[1]), d3 = to_dev(q[2]);
      dev(hpgs_curveto(dev_, &d1, &d2, &d3));
      if (fixed_pattern()) {
        // Length of the curve for the pattern residue, from a flattening.
        hpgs_point prev = path_cur_;
        for (int k = 1; k <= 16; ++k) {
          double t = k / 16.0, u = 1 - t;
          double b0 = u * u * u, b1 = 3 * u * u * t, b2 = 3 * u * t * t, b3 = t * t * t;
          hpgs_point c{b0 * path_cur_.x + b1 * d1.x + b2 * d2.x + b3 * d3.x,
                       b0 * path_cur_.y + b1 * d1.y + b2 * d2.y + b3 * d3.y};
          path_pattern_len_ += std::hypot(c.x - prev.x, c.y - prev.y);
          prev = c;
        }
      }
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

// In the 16-bit label modes a character is two bytes, the first one the
// row. Row 0 holds the 8-bit characters, the terminator and the control
// codes; the fonts here have no other rows, so such a character is
// undefined and drawn as a space. An escape still ends the label at once.
void Reader::cmd_label() {
  flush_path();
  std::string text;
  bool dropped = false;
  const bool two_bytes = gs_.label_mode == 1 || gs_.label_mode == 3;
  // The next byte of the label; -1 where the input or an escape ends it.
  auto next = [&]() {
    const int b = input_.get();
    if (b == EOF) warn("input ends inside a label");
    if (b == kEsc) input_.unget(b);
    return b == EOF || b == kEsc ? -1 : b;
  };
  for (;;) {
    int c = next();
    if (c < 0) break;
    if (two_bytes) {
      const int low = next();
      if (low < 0) break;
      if (c != 0) {
        if (text.size() < kMaxLabelBytes) text.push_back(' ');
        else dropped = true;
        continue;
      }
      c = low;
    }
    if (c == gs_.label_terminator) {
      if (gs_.terminator_printed && text.size() < kMaxLabelBytes) text.push_back(static_cast<char>(c));
      break;
    }
    if (text.size() < kMaxLabelBytes) text.push_back(static_cast<char>(c));
    else dropped = true;
  }
  if (dropped) warn("label longer than %zu bytes; the rest is not shown", kMaxLabelBytes);
  emit_label(text);
}

}  // namespace hpgs
