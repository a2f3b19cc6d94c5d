// Glyph outlines are flattened with as few chords as keep them within
// 1/1000 em of the font's curves. Checked against the same font file
// decomposed here into very fine chords: every flattened point lies on the
// curve and every chord stays close to it.
#include "outline_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

namespace {

using Polyline = std::vector<hpgs_point>;

// The glyph's contours flattened into 256 chords per curve (em units).
struct Fine {
  double em;
  std::vector<Polyline> contours;
  hpgs_point cur{0, 0};
  void add(double x, double y) {
    cur = {x, y};
    contours.back().push_back({x / em, y / em});
  }
};

std::vector<Polyline> fine_outline(FT_Face face, uint32_t code) {
  Fine f{static_cast<double>(face->units_per_EM), {}, {}};
  if (FT_Load_Char(face, code, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return {};
  FT_Outline_Funcs funcs{};
  funcs.move_to = [](const FT_Vector *to, void *u) {
    auto *f = static_cast<Fine *>(u);
    f->contours.emplace_back();
    f->add(to->x, to->y);
    return 0;
  };
  funcs.line_to = [](const FT_Vector *to, void *u) {
    static_cast<Fine *>(u)->add(to->x, to->y);
    return 0;
  };
  funcs.conic_to = [](const FT_Vector *c, const FT_Vector *to, void *u) {
    auto *f = static_cast<Fine *>(u);
    const hpgs_point p = f->cur;
    for (int i = 1; i <= 256; ++i) {
      const double t = i / 256.0, m = 1 - t;
      f->add(m * m * p.x + 2 * m * t * c->x + t * t * to->x, m * m * p.y + 2 * m * t * c->y + t * t * to->y);
    }
    return 0;
  };
  funcs.cubic_to = [](const FT_Vector *c1, const FT_Vector *c2, const FT_Vector *to, void *u) {
    auto *f = static_cast<Fine *>(u);
    const hpgs_point p = f->cur;
    for (int i = 1; i <= 256; ++i) {
      const double t = i / 256.0, m = 1 - t;
      const double a = m * m * m, b = 3 * m * m * t, c = 3 * m * t * t, d = t * t * t;
      f->add(a * p.x + b * c1->x + c * c2->x + d * to->x, a * p.y + b * c1->y + c * c2->y + d * to->y);
    }
    return 0;
  };
  FT_Outline_Decompose(&face->glyph->outline, &funcs, &f);
  return f.contours;
}

double distance_to(const std::vector<Polyline> &lines, hpgs_point p) {
  double best = INFINITY;
  for (const auto &l : lines)
    for (size_t i = 0; i + 1 < l.size(); ++i) {
      const double dx = l[i + 1].x - l[i].x, dy = l[i + 1].y - l[i].y, len2 = dx * dx + dy * dy;
      double t = len2 > 0 ? ((p.x - l[i].x) * dx + (p.y - l[i].y) * dy) / len2 : 0;
      t = std::clamp(t, 0.0, 1.0);
      best = std::min(best, std::hypot(p.x - l[i].x - t * dx, p.y - l[i].y - t * dy));
    }
  return best;
}

TEST(HpgsOutlineFont, FlattenedGlyphsStayWithinAThousandthOfAnEm) {
  // CG Times is set in Liberation Serif (TrueType: quadratic curves).
  const std::string file = "/usr/share/fonts/truetype/liberation/LiberationSerif-Regular.ttf";
  const void *font = hpgs::outline_font(4101, 0, 0);
  ASSERT_NE(font, nullptr);
  FT_Library lib;
  ASSERT_EQ(FT_Init_FreeType(&lib), 0);
  FT_Face face;
  if (FT_New_Face(lib, file.c_str(), 0, &face) != 0) {
    FT_Done_FreeType(lib);
    GTEST_SKIP() << file << " is not installed";
  }
  for (uint32_t code : {U'O', U'S', U'e', U'g', U'@', U'8', U'&', U'Q'}) {
    hpgs::OutlineGlyph g;
    ASSERT_TRUE(hpgs::outline_glyph(font, code, g)) << static_cast<char>(code);
    const auto fine = fine_outline(face, code);
    ASSERT_EQ(g.contours.size(), fine.size()) << static_cast<char>(code) << ": not the same font file";
    double on = 0, chord = 0;
    size_t points = 0, fine_points = 0;
    for (size_t c = 0; c < g.contours.size(); ++c) {
      const Polyline &l = g.contours[c];
      points += l.size();
      fine_points += fine[c].size();
      for (size_t i = 0; i < l.size(); ++i) {
        on = std::max(on, distance_to(fine, l[i]));
        if (i + 1 < l.size()) {
          // The chord's points a quarter, half and three quarters along.
          for (double t : {0.25, 0.5, 0.75})
            chord = std::max(chord, distance_to(fine, {l[i].x + t * (l[i + 1].x - l[i].x),
                                                       l[i].y + t * (l[i + 1].y - l[i].y)}));
        }
      }
    }
    EXPECT_LT(on, 1e-6) << static_cast<char>(code);
    // The fine chords stray up to about 1e-6 em themselves.
    EXPECT_LT(chord, 1.0e-3 + 1e-5) << static_cast<char>(code);
    // And the glyph is not flattened as finely as the reference.
    EXPECT_LT(points * 16, fine_points) << static_cast<char>(code);
  }
  FT_Done_Face(face);
  FT_Done_FreeType(lib);
}

}  // namespace
