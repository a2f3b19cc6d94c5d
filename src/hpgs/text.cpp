// Labels: glyphs of the single-stroke font drawn as device paths in the
// character cell the pen advance uses (drawing.cpp), so that text lines up
// with what the producer placed after it.
//
// Cell geometry, in plotter units of the rotated frame: character width w
// and capital height h from SI/SR or from the font's pitch and height (as
// the pen advance computes them); advance 1.5 w (1 + ES spacing), line
// feed 2 h (1 + ES lines). The glyph body spans w (the font's capitals are
// 16 units wide) and h (21 units), starting at the cell's left edge on the
// baseline; SL slants it, DI/DR turn the whole label; LO places the label
// relative to the pen (1...9, 11...19 with half a cell more).
#include "interp_util.h"
#include "outline_font.h"
#include "stroke_font.h"

#include <cmath>

namespace hpgs {

namespace {
constexpr double kBodyUnits = 16.0;
// Mean advance of the stroke font's characters in a text, in font units.
constexpr double kAverageUnits = 19.0;
// Width of proportional text relative to the font's own proportions.
constexpr double kProportionalWidth = 0.85;
}

void Reader::draw_label_glyphs(const std::string &text) {
  if (!drawing() || polygon_mode_ || text.empty()) return;
  const StrokeFont *font = stroke_font();
  if (!font) {
    warn("labels are not drawn: %s", hpgs_get_error());
    return;
  }
  const auto &font_def = gs_.alternate ? gs_.alt_font : gs_.std_font;  // SD/AD kinds 1 ... 7
  const bool proportional = font_def[1] == 1;
  double w, h;
  if (gs_.size_set && gs_.size_relative) {
    w = gs_.char_width / 100.0 * std::fabs(p2_.x - p1_.x);
    h = gs_.char_height / 100.0 * std::fabs(p2_.y - p1_.y);
  } else if (gs_.size_set) {
    w = gs_.char_width * 400.0;
    h = gs_.char_height * 400.0;
  } else {
    double pitch = font_def[2] > 0 ? font_def[2] : 9.0;
    w = kPluPerInch / pitch / 1.5;
    h = (font_def[3] > 0 ? font_def[3] : 11.5) / 72.0 * kPluPerInch * 0.7;
  }
  if (!(std::fabs(w) > 0) || !(std::fabs(h) > 0) || !std::isfinite(w) || !std::isfinite(h)) return;
  const double adv = 1.5 * w * (1 + gs_.extra_space[0]);
  const double feed = 2.0 * h * (1 + gs_.extra_space[1]);
  double dx = gs_.direction.x, dy = gs_.direction.y;
  double len = std::hypot(dx, dy);
  if (!(len > 0) || !std::isfinite(len)) dx = 1, dy = 0, len = 1;
  dx /= len;
  dy /= len;
  const double ux = -dy, uy = dx;  // up, perpendicular to the run
  const double gy = h / StrokeFont::kCapHeight;
  // Fixed pitch: the body of w spans kBodyUnits. Proportional fonts take
  // the stroke font's own advances, scaled so that an average character
  // (kAverageUnits) advances by w when SI/SR gave the size, or keeps the
  // font's proportions to the capital height otherwise.
  const double gx = proportional ? (gs_.size_set ? w / kAverageUnits : gy * kProportionalWidth) : w / kBodyUnits;
  const double extra_adv = proportional ? w * 1.5 * gs_.extra_space[0] : 0.0;
  const bool roman8 = font_def[0] == 277;
  // Typefaces other than the stick font (48) and its arc variants are set
  // in outline fonts when one is installed; capitals are h high.
  const int typeface = static_cast<int>(font_def[6]);
  const void *outline = typeface == 48 || typeface == 49 || typeface == 50
                            ? nullptr
                            : outline_font(typeface, static_cast<int>(font_def[4]), static_cast<int>(font_def[5]));
  const double em = outline ? h / outline_cap_height(outline) : 0.0;

  // Characters to draw, their advances, and the width of each line.
  struct Item {
    unsigned char c;
    const StrokeGlyph *g;
    double advance;
    int outline = -1;  // index into outlines
  };
  std::vector<OutlineGlyph> outlines;
  std::vector<Item> items;
  items.reserve(text.size());
  std::vector<double> line_width(1, 0.0);
  for (unsigned char c : text) {
    if (c == '\n') {
      line_width.push_back(0.0);
      items.push_back({c, nullptr, 0});
      continue;
    }
    if (c == '\r' || c == '\b') {
      items.push_back({c, nullptr, 0});
      continue;
    }
    if (c < 0x20 || c == 0x7f) continue;
    uint32_t code = c;
    if (roman8 && c == 0xf6) code = '-';  // Roman-8 minus-like dash
    if (outline) {
      OutlineGlyph og;
      if (!outline_glyph(outline, code, og) && !outline_glyph(outline, '?', og)) og = {};
      double a = proportional ? og.advance * em + extra_adv : adv;
      outlines.push_back(std::move(og));
      items.push_back({c, nullptr, a, static_cast<int>(outlines.size()) - 1});
      line_width.back() += a;
      continue;
    }
    const StrokeGlyph *g = font->glyph(code);
    double a = proportional ? (g ? (g->right - g->left) * gx : w) + extra_adv : adv;
    items.push_back({c, g, a});
    line_width.back() += a;
  }
  int lo = gs_.label_origin;
  bool extra = lo >= 11 && lo <= 19;
  int base = extra ? lo - 10 : lo;
  if (base < 1 || base > 9) base = 1;
  const int hor = (base - 1) / 3, ver = (base - 1) % 3;
  double voff = ver == 0 ? 0.0 : ver == 1 ? -0.5 * h : -h;
  if (extra) voff += ver == 0 ? 0.5 * h : ver == 2 ? -0.5 * h : 0.0;

  hpgs_point start;
  hpgs_matrix_xform(&start, &user_to_plu_, &pen_);
  const double slant = std::isfinite(gs_.slant) ? gs_.slant : 0.0;

  flush_path();
  begin_marking();
  sync_stroke_attrs();
  dev(hpgs_setdash(dev_, nullptr, 0, 0.0));
  dev(hpgs_setlinecap(dev_, hpgs_cap_round));
  dev(hpgs_setlinejoin(dev_, hpgs_join_round));
  dev_attrs_valid_ = false;  // the reader's own attributes are sent again

  auto to_device = [&](double x, double y) {
    hpgs_point plu{start.x + x * dx + y * ux, start.y + x * dy + y * uy}, phys, d;
    hpgs_matrix_xform(&phys, &plu_to_phys_, &plu);
    hpgs_matrix_xform(&d, &phys_to_dev_, &phys);
    return d;
  };
  int line = 0;
  auto line_offset = [&](int l) {
    double body = line_width[static_cast<size_t>(l)];
    if (!proportional && body > 0) body -= adv - w;  // no gap after the last cell
    double off = hor == 0 ? 0.0 : hor == 1 ? -0.5 * body : -body;
    if (extra) off += hor == 0 ? 0.5 * w : hor == 2 ? -0.5 * w : 0.0;
    return off;
  };
  double hoff = line_offset(0), x = 0.0, last_adv = adv;
  size_t segments = 0;
  for (const Item &it : items) {
    if (it.c == '\r') {
      x = 0;
      continue;
    }
    if (it.c == '\n') {
      ++line;
      hoff = line_offset(line);
      continue;
    }
    if (it.c == '\b') {
      x -= last_adv;
      continue;
    }
    if (it.outline >= 0) {
      // Outline glyph: filled with the pen colour, its origin at the pen
      // (proportional) or centred in the cell (fixed pitch).
      const OutlineGlyph &og = outlines[static_cast<size_t>(it.outline)];
      const double ox = hoff + x + (proportional ? 0.0 : 0.5 * w - 0.5 * og.advance * em), by = voff - line * feed;
      bool any = false;
      for (const auto &contour : og.contours) {
        if (contour.size() < 2) continue;
        for (size_t i = 0; i < contour.size(); ++i) {
          double yy = contour[i].y * em;
          hpgs_point d = to_device(ox + contour[i].x * em + yy * slant, by + yy);
          dev(i == 0 ? hpgs_moveto(dev_, &d) : hpgs_lineto(dev_, &d));
        }
        dev(hpgs_closepath(dev_));
        any = true;
      }
      // A label is either all outline glyphs or all strokes, so the path
      // holds this glyph only.
      if (any) dev(hpgs_fill(dev_, HPGS_TRUE));
      x += it.advance;
      last_adv = it.advance;
      continue;
    }
    const StrokeGlyph *g = it.g;
    if (g && it.c != ' ') {
      // Fixed pitch: glyph centred on the body; proportional: its left
      // bearing at the pen.
      const double cx = hoff + x + (proportional ? -g->left * gx : 0.5 * w), by = voff - line * feed;
      for (const auto &s : g->strokes) {
        for (size_t i = 0; i < s.size(); ++i) {
          double yy = (StrokeFont::kBaseline - s[i].second) * gy;
          hpgs_point d = to_device(cx + s[i].first * gx + yy * slant, by + yy);
          dev(i == 0 ? hpgs_moveto(dev_, &d) : hpgs_lineto(dev_, &d));
        }
        if (s.size() == 1) {
          double yy = (StrokeFont::kBaseline - s[0].second) * gy;
          hpgs_point d = to_device(cx + s[0].first * gx + yy * slant, by + yy);
          dev(hpgs_lineto(dev_, &d));
        }
        segments += s.size();
      }
      if (segments > 4096) {
        dev(hpgs_stroke(dev_));
        segments = 0;
      }
    }
    x += it.advance;
    last_adv = it.advance;
  }
  if (segments) dev(hpgs_stroke(dev_));
  else dev(hpgs_newpath(dev_));
}

}  // namespace hpgs
