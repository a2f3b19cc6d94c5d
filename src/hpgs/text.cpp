// Labels: size of the character cell, layout along the text path, glyphs
// as device paths, and where the pen goes afterwards.
//
// Sizes, in plotter units of the rotated frame:
// - SI (cm) and SR (% of P2-P1) give the nominal character width w and the
//   capital height h; negative values (or P2 left of or below P1 under SR)
//   mirror the label.
// - Otherwise SD/AD decide. A proportional font's height is its point size
//   (the em), its proportions are the font's own. A fixed-pitch font takes
//   its size from the pitch alone: cell advance 1 / pitch inch, w = 2/3 of
//   it, and the point size in the proportion of the default font (11.5
//   points at 9 characters per inch).
// - The stick font's capitals are 2/3 of its point size; outline fonts have
//   their own capital height (outline_font.cpp).
// Fixed-pitch cells advance 1.5 w, lines are 2 h apart (ES adds spaces and
// lines); proportional fonts advance by the glyphs' own widths.
//
// Text path (DV) and label origin (LO): characters follow the path (right,
// down, left, up) in the frame turned by DI/DR; lines follow each other at
// -90 degrees from the path (+90 with the reversed line feed). Along the
// path each line is aligned on the pen by its own extent (left, centre or
// right for horizontal paths, bottom, middle or top for vertical ones);
// across the path the first line is aligned. LO 11 ... 19 move the label a
// third of the point size (stick font) or a quarter (other fonts) further
// away from the pen.
//
// The pen ends after the last character when the path and the origin let
// labels follow each other (DV0 with LO 1-3, 11-13, 21; DV1 with LO 3, 6, 9
// and their offsets; DV2 with LO 7-9, 17-19; DV3 with LO 1, 4, 7, 11, 14,
// 17, 21) and returns to where the label started otherwise.
//
// SO and SI inside a label switch to the alternate and standard font for
// the characters after them (and for later labels, as SA and SS do).
//
// CF governs outline glyphs: 0 filled (and edged when an edge pen is
// given), 1 edged only, 2 filled with the current fill type, 3 filled with
// the fill type and edged. Edges use the edge pen, or the current pen when
// none is given. Stick glyphs are strokes whatever CF says.
#include "interp_util.h"
#include "outline_font.h"
#include "stroke_font.h"

#include <cmath>
#include <map>

namespace hpgs {

using namespace interp;

namespace {
// Width of the stick font's capitals in font units (the fixed-pitch body).
constexpr double kBodyUnits = 16.0;
// Mean advance of the stroke font's characters in a text, in font units.
constexpr double kAverageUnits = 19.0;
// Width of proportional stick text relative to the font's own proportions.
constexpr double kProportionalWidth = 0.85;
constexpr double kStickCapPerPoint = 2.0 / 3.0;
constexpr double kDefaultPitch = 9.0;    // characters per inch
constexpr double kDefaultPoints = 11.5;  // point size of the default font
constexpr double kPluPerPoint = kPluPerInch / 72.0;
constexpr size_t kMaxLabelVertices = 200000;
// Nominal character of the default font: width (2/3 of its cell) over its
// capital height. Proportional fonts sized by SD get their nominal width
// (for cells, CP moves and vertical paths) in this proportion.
constexpr double kNominalAspect =
    (kPluPerInch / kDefaultPitch / 1.5) / (kDefaultPoints * kStickCapPerPoint * kPluPerPoint);

// HP Roman-8 (symbol set 277) bytes 0xA0 ... 0xFF as Unicode; 0 = none.
constexpr uint16_t kRoman8[96] = {
    0x00a0, 0x00c0, 0x00c2, 0x00c8, 0x00ca, 0x00cb, 0x00ce, 0x00cf, 0x00b4, 0x02cb, 0x02c6, 0x00a8,
    0x02dc, 0x00d9, 0x00db, 0x20a4, 0x00af, 0x00dd, 0x00fd, 0x00b0, 0x00c7, 0x00e7, 0x00d1, 0x00f1,
    0x00a1, 0x00bf, 0x00a4, 0x00a3, 0x00a5, 0x00a7, 0x0192, 0x00a2, 0x00e2, 0x00ea, 0x00f4, 0x00fb,
    0x00e1, 0x00e9, 0x00f3, 0x00fa, 0x00e0, 0x00e8, 0x00f2, 0x00f9, 0x00e4, 0x00eb, 0x00f6, 0x00fc,
    0x00c5, 0x00ee, 0x00d8, 0x00c6, 0x00e5, 0x00ed, 0x00f8, 0x00e6, 0x00c4, 0x00ec, 0x00d6, 0x00dc,
    0x00c9, 0x00ef, 0x00df, 0x00d4, 0x00c1, 0x00c3, 0x00e3, 0x00d0, 0x00f0, 0x00cd, 0x00cc, 0x00d3,
    0x00d2, 0x00d5, 0x00f5, 0x0160, 0x0161, 0x00da, 0x0178, 0x00ff, 0x00de, 0x00fe, 0x00b7, 0x00b5,
    0x00b6, 0x00be, 0x2014, 0x00bc, 0x00bd, 0x00aa, 0x00ba, 0x00ab, 0x25a0, 0x00bb, 0x00b1, 0x0000,
};

// Code point of a label byte in the font's symbol set: Roman-8 for 277,
// Latin-1 for everything else. Roman-8 has no minus sign; plotting
// programs write its long dash (0xF6) for it, so it is drawn as U+2212.
uint32_t decode_byte(unsigned char c, int symbol_set) {
  if (c < 0xa0 || symbol_set != 277) return c;
  if (c == 0xf6) return 0x2212;
  uint32_t u = kRoman8[c - 0xa0];
  return u ? u : '?';
}

bool is_finite_nonzero(double v) { return std::isfinite(v) && v != 0; }

// Unit vector of the text path (DV) in the label frame, and the line feed
// direction (-90 degrees from it, +90 when reversed).
struct PathAxes {
  double ax, ay, fx, fy;
  bool vertical;
};

PathAxes path_axes(int path, bool reversed) {
  static const double kDir[4][2] = {{1, 0}, {0, -1}, {-1, 0}, {0, 1}};
  const int p = path >= 0 && path <= 3 ? path : 0;
  PathAxes a{kDir[p][0], kDir[p][1], kDir[p][1], -kDir[p][0], p == 1 || p == 3};
  if (reversed) a.fx = -a.fx, a.fy = -a.fy;
  return a;
}

}  // namespace

struct Reader::LabelMetrics {
  double w = 0, h = 0;         // nominal character width, capital height (> 0)
  double mirror_x = 1, mirror_y = 1;
  double point = 0;            // point size (em)
  bool proportional = false;
  bool stick = true;
  const void *outline = nullptr;
  double sx = 1;               // horizontal stretch of outline glyphs
  double fixed_em_advance = 0; // advance of the outline font's characters (fixed pitch), em
  hpgs_point run{1, 0}, up{0, 1};  // label frame in rotated plotter units
  int symbol_set = 277;
  double weight = 0;           // SD/AD kind 6
  // Glyph scales: stick glyphs in font units (y down from the baseline),
  // outline glyphs in ems (emx across, em up).
  double gx = 0, gy = 0, em = 0, emx = 0;
  // Advance along a horizontal path of one fixed-pitch cell, and the
  // spacing of lines, without ES.
  double cell() const { return 1.5 * w; }
  double line() const { return 2.0 * h; }
};

Reader::LabelMetrics Reader::label_metrics(bool alternate) const {
  LabelMetrics m;
  const auto &font = alternate ? gs_.alt_font : gs_.std_font;  // SD/AD kinds 1 ... 7
  m.weight = font[5];
  m.symbol_set = static_cast<int>(font[0]);
  m.proportional = font[1] == 1;
  const int typeface = static_cast<int>(font[6]);
  m.stick = typeface == 48 || typeface == 49 || typeface == 50;
  // Weight 9999 (the pen's width) only means something to the stick font.
  if (!m.stick)
    m.outline = outline_font(typeface, static_cast<int>(font[4]), font[5] == 9999 ? 0 : static_cast<int>(font[5]));
  const double cap_ratio = m.outline ? outline_cap_height(m.outline) : kStickCapPerPoint;
  if (m.outline && !m.proportional) {
    OutlineGlyph g;
    if (outline_glyph(m.outline, '0', g) && g.advance > 0) m.fixed_em_advance = g.advance;
  }
  double w, h;
  if (gs_.size_set) {
    if (gs_.size_relative) {
      w = gs_.char_width / 100.0 * (p2_.x - p1_.x);
      h = gs_.char_height / 100.0 * (p2_.y - p1_.y);
    } else {
      w = gs_.char_width * kPluPerInch / 2.54;
      h = gs_.char_height * kPluPerInch / 2.54;
    }
    m.mirror_x = w < 0 ? -1 : 1;
    m.mirror_y = h < 0 ? -1 : 1;
    w = std::fabs(w);
    h = std::fabs(h);
    m.point = h / cap_ratio;
    // Fixed-pitch outline glyphs are stretched to fill their cells;
    // proportional ones keep the font's proportions.
    if (m.outline && m.fixed_em_advance > 0) m.sx = 1.5 * w / (m.fixed_em_advance * m.point);
  } else if (!m.proportional) {
    const double pitch = font[2] > 0 ? font[2] : kDefaultPitch;
    const double advance = kPluPerInch / pitch;
    w = advance / 1.5;
    if (m.fixed_em_advance > 0) m.point = advance / m.fixed_em_advance;
    else m.point = advance * kDefaultPitch * kDefaultPoints / 72.0;
    h = m.point * cap_ratio;
  } else {
    m.point = (font[3] > 0 ? font[3] : kDefaultPoints) * kPluPerPoint;
    h = m.point * cap_ratio;
    w = h * kNominalAspect;
  }
  if (!is_finite_nonzero(w) || !is_finite_nonzero(h) || !is_finite_nonzero(m.sx)) w = h = 0;
  m.w = w;
  m.h = h;
  double dx = gs_.direction.x, dy = gs_.direction.y;
  if (gs_.direction_relative) {
    dx *= (p2_.x - p1_.x) / 100.0;
    dy *= (p2_.y - p1_.y) / 100.0;
  }
  double len = std::hypot(dx, dy);
  if (!(len > 0) || !std::isfinite(len)) dx = 1, dy = 0, len = 1;
  m.run = {dx / len, dy / len};
  m.up = {-m.run.y, m.run.x};
  m.gy = m.h / StrokeFont::kCapHeight;
  m.gx = m.proportional ? (gs_.size_set ? m.w / kAverageUnits : m.gy * kProportionalWidth) : m.w / kBodyUnits;
  m.em = m.outline ? m.point : 0.0;
  m.emx = m.em * m.sx;
  return m;
}

// Moves the pen by whole cells along the text path and by line feeds
// across it (CP).
void Reader::advance_label(int chars, int lines) {
  LabelMetrics m = label_metrics(gs_.alternate);
  if (m.w == 0) return;
  PathAxes ax = path_axes(gs_.text_path, gs_.line_feed_reversed);
  const double along = (ax.vertical ? m.line() : m.cell()) * (1 + gs_.extra_space[0]) * chars;
  const double across = (ax.vertical ? m.cell() : m.line()) * (1 + gs_.extra_space[1]) * lines;
  move_pen_in_label((ax.ax * along + ax.fx * across) * m.mirror_x, (ax.ay * along + ax.fy * across) * m.mirror_y, m);
}

// Moves the pen by (x, y) in the label's own axes (along its run and up).
void Reader::move_pen_in_label(double x, double y, const LabelMetrics &m) {
  hpgs_point plu;
  hpgs_matrix_xform(&plu, &user_to_plu_, &pen_);
  plu.x += x * m.run.x + y * m.up.x;
  plu.y += x * m.run.y + y * m.up.y;
  hpgs_point u;
  hpgs_matrix_ixform(&u, &user_to_plu_, &plu);
  pen_ = {clampc(u.x), clampc(u.y)};
}

static bool label_concatenates(int path, int origin) {
  int base = origin >= 11 && origin <= 19 ? origin - 10 : origin;
  switch (path) {
    case 1: return base == 3 || base == 6 || base == 9;
    case 2: return base == 7 || base == 8 || base == 9;
    case 3: return base == 1 || base == 4 || base == 7 || origin == 21;
    default: return base == 1 || base == 2 || base == 3 || origin == 21;
  }
}

// Places a label: its glyphs are drawn and the pen either follows the
// text or stays where the label started (see the top of the file).
void Reader::draw_symbol() {
  flush_path();
  const hpgs_point pen = pen_, start = label_start_;
  const double phase = line_phase_;
  const int origin = gs_.label_origin;
  gs_.label_origin = 5;  // centred on the point
  emit_label(std::string(1, static_cast<char>(gs_.symbol_mode)));
  gs_.label_origin = origin;
  pen_ = pen;
  label_start_ = start;
  line_phase_ = phase;
}

void Reader::emit_label(const std::string &text) {
  label_start_ = pen_;
  // The font at the label's start governs lines and alignment; SO and SI
  // switch characters to the alternate or standard font.
  LabelMetrics fonts[2];
  bool known[2] = {false, false};
  auto font_metrics = [&](bool alt) -> const LabelMetrics & {
    if (!known[alt]) fonts[alt] = label_metrics(alt), known[alt] = true;
    return fonts[alt];
  };
  const LabelMetrics &m = font_metrics(gs_.alternate);
  if (m.w == 0) return;
  const PathAxes ax = path_axes(gs_.text_path, gs_.line_feed_reversed);
  const bool horizontal = !ax.vertical;
  const bool show = drawing() && !polygon_mode_;
  // The stick font is read on first use: labels set wholly in outline
  // fonts never need it.
  const StrokeFont *font = nullptr;
  bool font_read = false;
  auto stick_font = [&] {
    if (!font_read) font = stroke_font(), font_read = true;
    return font;
  };
  if (show && !m.outline && !stick_font()) warn("labels are not drawn: %s", hpgs_get_error());

  // Spacing across the path, and the width of a character's body across a
  // vertical path.
  const double feed = (horizontal ? m.line() : m.cell()) * (1 + gs_.extra_space[1]);
  const double body_across = m.w;

  struct Item {
    uint32_t code;
    int line;
    const LabelMetrics *f;
    double t0, t1;  // body along the path, from the line's start
    const StrokeGlyph *g = nullptr;
    int outline = -1;
    double advance = 0;  // glyph advance (horizontal, proportional)
  };
  std::vector<Item> items;
  std::vector<OutlineGlyph> outlines;  // each glyph once per font
  std::map<std::pair<const void *, uint32_t>, int> outline_index;
  struct Line {
    double tmin = 0, tmax = 0;
  };
  std::vector<Line> lines(1);
  int line = 0;
  bool alt = gs_.alternate;
  double t = 0, last_adv = 0;
  for (unsigned char c : text) {
    if (!gs_.transparent_data && (c < 0x20 || c == 0x7f)) {
      if (c == '\r') t = 0;
      else if (c == '\n') lines.emplace_back(), ++line;
      else if (c == '\b') t -= last_adv;
      else if (c == 0x0e) alt = true;
      else if (c == 0x0f) alt = false;
      continue;  // other control codes: nothing shown
    }
    const LabelMetrics &f = font_metrics(alt).w > 0 ? font_metrics(alt) : m;
    const uint32_t code = decode_byte(c, f.symbol_set);
    Item it{code, line, &f, t, t};
    const double cell_along = horizontal ? f.cell() : f.line();
    const double extra_along = gs_.extra_space[0] * cell_along;
    double body = 0, adv = cell_along;
    if (f.outline) {
      auto [slot, fresh] = outline_index.try_emplace({f.outline, code}, static_cast<int>(outlines.size()));
      if (fresh) {
        OutlineGlyph og;
        if (!outline_glyph(f.outline, code, og) && !outline_glyph(f.outline, '?', og)) og = {};
        outlines.push_back(std::move(og));
      }
      it.outline = slot->second;
      it.advance = outlines[static_cast<size_t>(it.outline)].advance * f.emx;
    } else if (stick_font()) {
      it.g = font->glyph(code);
      it.advance = it.g ? (it.g->right - it.g->left) * f.gx : f.w;
    } else {
      it.advance = f.w;
    }
    if (horizontal && f.proportional) {
      body = it.advance;
      adv = it.advance + extra_along;
    } else {
      body = horizontal ? f.w : f.h;
      adv = cell_along + extra_along;
    }
    it.t1 = t + body;
    lines[static_cast<size_t>(line)].tmin = std::min(lines[static_cast<size_t>(line)].tmin, it.t0);
    lines[static_cast<size_t>(line)].tmax = std::max(lines[static_cast<size_t>(line)].tmax, it.t1);
    items.push_back(it);
    t += adv;
    last_adv = adv;
  }

  // Alignment on the pen.
  int lo = gs_.label_origin;
  const bool offset = lo >= 11 && lo <= 19;
  int base = offset ? lo - 10 : lo;
  if (base < 1 || base > 9) base = 1;
  const int hor = (base - 1) / 3, ver = (base - 1) % 3;  // 0 left/bottom, 1 centre/middle, 2 right/top
  const double o = offset ? (m.stick ? 1.0 / 3.0 : 0.25) * m.point : 0.0;
  const double off_x = hor == 0 ? o : hor == 2 ? -o : 0.0;
  const double off_y = ver == 0 ? o : ver == 2 ? -o : 0.0;
  auto pick = [](int k, double lo_v, double hi_v) { return k == 0 ? lo_v : k == 1 ? 0.5 * (lo_v + hi_v) : hi_v; };
  // Across the path: the first line's body.
  const double across_shift = horizontal ? -pick(ver, 0.0, m.h) : -pick(hor, 0.0, body_across);
  // Along the path, per line: frame range of the line's bodies.
  auto along_shift = [&](int l) {
    const Line &ln = lines[static_cast<size_t>(l)];
    double a = ax.ax + ax.ay;  // +1 or -1 along x (horizontal) or y (vertical)
    double lo_v = a > 0 ? ln.tmin : -ln.tmax, hi_v = a > 0 ? ln.tmax : -ln.tmin;
    return -pick(horizontal ? hor : ver, lo_v, hi_v);
  };
  // Frame position (lower left of the body) of an item.
  auto place = [&](const Item &it, double &fx, double &fy) {
    const double a = ax.ax + ax.ay;
    const double along = a > 0 ? it.t0 : -it.t1;
    const double cross = it.line * feed;
    if (horizontal) {
      fx = along + along_shift(it.line) + off_x;
      fy = ax.fy * cross + across_shift + off_y;
    } else {
      fx = ax.fx * cross + across_shift + off_x;
      fy = along + along_shift(it.line) + off_y;
    }
  };

  // SO and SI select the font as SA and SS do.
  gs_.alternate = alt;

  if (show && !items.empty()) {
    hpgs_point start;
    hpgs_matrix_xform(&start, &user_to_plu_, &pen_);
    const double slant = std::isfinite(gs_.slant) ? gs_.slant : 0.0;
    // Frame point (x along the run, y up, y = 0 on the baseline) to device.
    auto to_device = [&](double x, double y) {
      x = (x + y * slant) * m.mirror_x;
      y *= m.mirror_y;
      hpgs_point plu{start.x + x * m.run.x + y * m.up.x, start.y + x * m.run.y + y * m.up.y}, phys, d;
      hpgs_matrix_xform(&phys, &plu_to_phys_, &plu);
      hpgs_matrix_xform(&d, &phys_to_dev_, &phys);
      return d;
    };
    flush_path();
    begin_marking();
    // Outline glyphs: all contours of the label, closed, in device space.
    std::vector<PolyVertex> contours;
    for (const Item &it : items) {
      if (it.outline < 0) continue;
      const OutlineGlyph &og = outlines[static_cast<size_t>(it.outline)];
      const LabelMetrics &f = *it.f;
      double fx, fy;
      place(it, fx, fy);
      // Proportional glyphs start at their origin; fixed-pitch ones are
      // centred on the body.
      if (!horizontal || !f.proportional) fx += 0.5 * ((horizontal ? f.w : body_across) - it.advance);
      for (const auto &contour : og.contours) {
        if (contour.size() < 2) continue;
        for (size_t i = 0; i < contour.size(); ++i)
          contours.push_back({to_device(fx + contour[i].x * f.emx, fy + contour[i].y * f.em),
                              i == 0 ? PolyVertex::Move : PolyVertex::Line});
        contours.push_back({contours.back().p, PolyVertex::Close});
      }
      // Very long labels go to the device in parts.
      if (contours.size() > kMaxLabelVertices) {
        draw_outline_label(contours);
        contours.clear();
      }
    }
    draw_outline_label(contours);

    // Stick glyphs: strokes, as wide as the font's stroke weight says.
    size_t segments = 0;
    double width = -1;
    for (const Item &it : items) {
      const StrokeGlyph *g = it.g;
      if (!g || it.code == ' ') continue;
      const LabelMetrics &f = *it.f;
      // Medium weight (0) is 6 % of the point size, each step adds 1 %;
      // 9999 keeps the pen's width.
      const double w = f.weight == 9999 ? width_points(gs_.pen)
                                        : std::max(0.0, 0.06 + 0.01 * std::clamp(f.weight, -7.0, 7.0)) * f.point *
                                              kPtPerPlu * length_scale();
      if (width < 0) {
        sync_stroke_attrs();
        dev(hpgs_setdash(dev_, nullptr, 0, 0.0));
        dev(hpgs_setlinecap(dev_, hpgs_cap_round));
        dev(hpgs_setlinejoin(dev_, hpgs_join_round));
        dev_attrs_valid_ = false;  // the reader's own attributes are sent again
      }
      if (w != width) {
        if (segments) stroke_device_path();
        segments = 0;
        dev(hpgs_setlinewidth(dev_, w));
        width = w;
      }
      double fx, fy;
      place(it, fx, fy);
      // Proportional glyphs: left bearing at the body's start; fixed
      // pitch: centred on the body.
      const double cx = horizontal && f.proportional ? fx - g->left * f.gx
                        : fx + 0.5 * (horizontal ? f.w : body_across);
      for (const auto &s : g->strokes) {
        for (size_t i = 0; i < s.size(); ++i) {
          const double yy = (StrokeFont::kBaseline - s[i].second) * f.gy;
          hpgs_point d = to_device(cx + s[i].first * f.gx, fy + yy);
          dev(i == 0 ? hpgs_moveto(dev_, &d) : hpgs_lineto(dev_, &d));
        }
        if (s.size() == 1) {  // a dot
          const double yy = (StrokeFont::kBaseline - s[0].second) * f.gy;
          hpgs_point d = to_device(cx + s[0].first * f.gx, fy + yy);
          dev(hpgs_lineto(dev_, &d));
        }
        segments += s.size();
      }
      if (segments > 4096) {
        stroke_device_path();
        segments = 0;
      }
    }
    if (segments) stroke_device_path();
  }

  if (!label_concatenates(gs_.text_path, lo)) return;
  // The next label starts where a further character would.
  const double a = ax.ax + ax.ay;
  const double cross = line * feed;
  double ex, ey;
  if (horizontal) ex = a * t, ey = ax.fy * cross;
  else ex = ax.fx * cross, ey = a * t;
  move_pen_in_label(ex * m.mirror_x, ey * m.mirror_y, m);
}

// Fills and edges outline glyphs as CF says.
void Reader::draw_outline_label(std::vector<PolyVertex> &contours) {
  if (contours.empty()) return;
  const int mode = gs_.char_fill_mode >= 0 && gs_.char_fill_mode <= 3 ? gs_.char_fill_mode : 0;
  if (mode == 0) {
    sync_stroke_attrs();
    path_of(contours);
    dev(hpgs_fill(dev_, HPGS_TRUE));
  } else if (mode >= 2) {
    // The current fill type (solid, hatch, shading) on the glyphs, through
    // the polygon buffer that fills use.
    poly_.swap(contours);
    fill_buffer(true);
    poly_.swap(contours);
  }
  const int edge_pen = gs_.char_fill_edge_pen;
  if (mode == 2 || (mode == 0 && edge_pen <= 0)) return;
  const int saved = gs_.pen;
  const int pens = static_cast<int>(gs_.palette.size());
  if (edge_pen > 0) gs_.pen = edge_pen < pens || pens < 2 ? edge_pen : 1 + (edge_pen - 1) % (pens - 1);
  sync_stroke_attrs();
  path_of(contours);
  dev(hpgs_stroke(dev_));
  gs_.pen = saved;
}

// Hands closed contours to the device as one path.
void Reader::path_of(const std::vector<PolyVertex> &contours) {
  for (const PolyVertex &v : contours) {
    if (v.kind == PolyVertex::Move) dev(hpgs_moveto(dev_, &v.p));
    else if (v.kind == PolyVertex::Line) dev(hpgs_lineto(dev_, &v.p));
    else dev(hpgs_closepath(dev_));
  }
}

}  // namespace hpgs
