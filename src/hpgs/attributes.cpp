// Attribute commands (pens, palette, line and fill types) and the
// mnemonic dispatch.
#include "interp_util.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

namespace hpgs {

using namespace interp;

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
    // LT; keeps the line type and its residue for LT99 at this pen
    // position.
    if (!gs_.line_type.solid) {
      gs_.saved_line_type = gs_.line_type;
      gs_.saved_line_phase = line_phase_;
      lt99_pen_ = pen_;
    }
    gs_.line_type = LineType{};
    return;
  }
  int t = static_cast<int>(a[0]);
  if (t == 99) {
    if (gs_.line_type.solid && !gs_.saved_line_type.solid && pen_.x == lt99_pen_.x && pen_.y == lt99_pen_.y) {
      gs_.line_type = gs_.saved_line_type;
      line_phase_ = gs_.saved_line_phase;
    }
    return;
  }
  if (t < -8 || t > 8) {
    warn("LT %d outside -8..8 ignored", t);
    return;
  }
  // Length and mode left out: the last ones given stay.
  if (n > 1) {
    if (a[1] > 0 && std::isfinite(a[1])) gs_.lt_length = a[1];
    else warn("LT pattern length %g must be positive; %g used", a[1], gs_.lt_length);
  }
  if (n > 2) gs_.lt_mode = static_cast<int>(a[2]) == 1 ? 1 : 0;
  LineType lt;
  lt.type = t;
  lt.solid = false;
  lt.length = gs_.lt_length;
  lt.mode = gs_.lt_mode;
  gs_.line_type = lt;
  line_phase_ = 0.0;
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

// Commands after which a fixed line type starts its pattern afresh; while
// the line type is solid they also forget the one LT99 would bring back.
// (LT itself is handled in cmd_lt: LT; keeps the residue for LT99.)
void Reader::clear_line_residue(int k) {
  switch (k) {
    case key('A', 'C'): case key('L', 'A'): case key('P', 'W'):
    case key('R', 'F'): case key('S', 'P'): case key('T', 'R'): case key('U', 'L'):
    case key('W', 'U'): case key('D', 'F'): case key('I', 'N'): case key('I', 'P'):
    case key('I', 'R'): case key('I', 'W'): case key('R', 'O'): case key('S', 'C'):
      break;
    default: return;
  }
  flush_path();
  line_phase_ = 0.0;
  if (gs_.line_type.solid) gs_.saved_line_type = LineType{};
}

void Reader::command(int c1, int c2) {
  c1 = std::toupper(c1);
  c2 = std::toupper(c2);
  for (int retry = 0;; ++retry) {
    int k = key(static_cast<char>(c1), static_cast<char>(c2));
    ++stats_.commands[static_cast<size_t>(k)];
    double a[8];
    clear_line_residue(k);
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
        flush_path();
        int t = n ? static_cast<int>(a[0]) : 0;
        if (t != 0 && t != 1 && t != 2 && t != 21 && t != 22) {
          warn("SV %d unknown; screen unchanged", t);
          return;
        }
        gs_.screen_type = t;
        if (t == 1) gs_.screen_level = n > 1 ? std::clamp(a[1], 0.0, 100.0) : 50.0;
        else if (t != 0) gs_.screen_pattern = n > 1 ? static_cast<int>(std::clamp(a[1], -32768.0, 32767.0)) : 1;
        return;
      }
      case key('R', 'F'): cmd_rf(); return;
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
          // Only printing characters make symbols; others end the mode.
          gs_.symbol_mode = (c >= 33 && c <= 126) || c >= 161 ? c : 0;
          if (input_.peek() == ';') input_.get();
        }
        return;
      }
      case key('C', 'O'): {
        // Comment: quoted text (or text up to ';').
        for (;;) {
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
        }
        return;
      }
      // Known commands without effect on the drawing as read here.
      case key('D', 'V'): {
        int n = read_args(a, 2);
        int p = n ? static_cast<int>(a[0]) : 0;
        gs_.text_path = p >= 0 && p <= 3 ? p : 0;
        gs_.line_feed_reversed = n > 1 && static_cast<int>(a[1]) == 1;
        return;
      }
      case key('T', 'D'): {
        int n = read_args(a, 1);
        gs_.transparent_data = n && static_cast<int>(a[0]) == 1;
        return;
      }
      case key('C', 'F'): {
        int n = read_args(a, 2);
        gs_.char_fill_mode = n ? static_cast<int>(a[0]) : 0;
        gs_.char_fill_edge_pen = n > 1 ? static_cast<int>(a[1]) : 0;
        return;
      }
      case key('L', 'M'): {
        // Modes 0 and 2 read a byte per character, 1 and 3 two bytes (2
        // and 3 differ only by vertical substitutes, which no font here
        // has). The row number only matters for 16-bit character sets,
        // and there are none here. Switching modes ends symbol mode.
        int n = read_args(a, 2);
        const int mode = n ? static_cast<int>(std::clamp(a[0], 0.0, 3.0)) : 0;
        if (mode != gs_.label_mode) gs_.symbol_mode = 0;
        gs_.label_mode = mode;
        return;
      }
      case key('P', 'P'): case key('E', 'C'): case key('Q', 'L'):
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

}  // namespace hpgs
