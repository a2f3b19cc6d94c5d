// FreeType outline fonts. Font files are looked up in the directory named
// by HPGS_FONT_PATH, then among the packaged Liberation and DejaVu fonts.
// Typefaces map to the metric-compatible families: Times-like serif
// (CG Times 4101, Times 5, 25093), Courier (3, 4099) and everything else
// sans serif (Univers 4148, Helvetica 4, Arial 16602, ...).
#include "outline_font.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_TRUETYPE_TABLES_H

#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

namespace hpgs {

namespace {

struct Face {
  FT_Face face = nullptr;
  double cap = 0.7;
};

struct Fonts {
  std::mutex mutex;
  FT_Library lib = nullptr;
  bool init_failed = false;
  std::map<std::string, std::unique_ptr<Face>> faces;  // by file name; NULL entries: not found
  // Choice per (typeface, italic, bold) and font path, so that a label
  // costs no file-system look-ups once its font is known.
  std::map<std::string, const Face *> chosen;
};

Fonts &fonts() {
  static Fonts f;
  return f;
}

std::string find_file(const std::vector<std::string> &names) {
  std::vector<std::string> dirs;
  if (const char *p = std::getenv("HPGS_FONT_PATH"); p && *p) dirs.push_back(p);
  dirs.push_back("/usr/share/fonts/truetype/liberation");
  dirs.push_back("/usr/share/fonts/truetype/liberation2");
  dirs.push_back("/usr/share/fonts/truetype/dejavu");
  for (const auto &d : dirs)
    for (const auto &n : names) {
      std::string path = d + "/" + n;
      if (access(path.c_str(), R_OK) == 0) return path;
    }
  return {};
}

std::vector<std::string> candidates(int typeface, bool italic, bool bold) {
  const char *style = bold && italic ? "BoldItalic" : bold ? "Bold" : italic ? "Italic" : "Regular";
  std::string s = style;
  std::string dv = bold && italic ? "-BoldOblique" : bold ? "-Bold" : italic ? "-Oblique" : "";
  switch (typeface) {
    case 5:
    case 4101:
    case 25093:
      return {"LiberationSerif-" + s + ".ttf", "DejaVuSerif" + std::string(bold && italic ? "-BoldItalic" : bold ? "-Bold" : italic ? "-Italic" : "") + ".ttf"};
    case 3:
    case 4099:
      return {"LiberationMono-" + s + ".ttf", "DejaVuSansMono" + dv + ".ttf"};
    default:
      return {"LiberationSans-" + s + ".ttf", "DejaVuSans" + dv + ".ttf"};
  }
}

}  // namespace

// Opens a font file once; NULL when the path is empty or unreadable.
static const Face *load_face(Fonts &f, const std::string &path) {
  if (path.empty()) return nullptr;
  auto it = f.faces.find(path);
  if (it != f.faces.end()) return it->second.get();
  auto face = std::make_unique<Face>();
  if (FT_New_Face(f.lib, path.c_str(), 0, &face->face) != 0) {
    f.faces[path] = nullptr;
    return nullptr;
  }
  const double em = face->face->units_per_EM > 0 ? face->face->units_per_EM : 2048;
  auto *os2 = static_cast<TT_OS2 *>(FT_Get_Sfnt_Table(face->face, FT_SFNT_OS2));
  if (os2 && os2->version >= 2 && os2->sCapHeight > 0) face->cap = os2->sCapHeight / em;
  Face *raw = face.get();
  f.faces[path] = std::move(face);
  return raw;
}

const void *outline_font(int typeface, int posture, int weight) {
  Fonts &f = fonts();
  std::lock_guard<std::mutex> lock(f.mutex);
  if (!f.lib && !f.init_failed && FT_Init_FreeType(&f.lib) != 0) f.init_failed = true;
  if (f.init_failed) return nullptr;
  const char *env = std::getenv("HPGS_FONT_PATH");
  std::string key = std::to_string(typeface) + (posture ? "i" : "r") + (weight > 0 ? "b" : "n") + (env ? env : "");
  if (auto c = f.chosen.find(key); c != f.chosen.end()) return c->second;
  const Face *face = load_face(f, find_file(candidates(typeface, posture != 0, weight > 0)));
  f.chosen[key] = face;
  return face;
}

double outline_cap_height(const void *font) { return static_cast<const Face *>(font)->cap; }

namespace {

struct Builder {
  double scale;
  std::vector<std::vector<hpgs_point>> *contours;
  hpgs_point cur{0, 0};
  void add(double x, double y) {
    cur = {x, y};
    contours->back().push_back({x * scale, y * scale});
  }
};

int move_to(const FT_Vector *to, void *u) {
  auto *b = static_cast<Builder *>(u);
  b->contours->emplace_back();
  b->add(to->x, to->y);
  return 0;
}
int line_to(const FT_Vector *to, void *u) {
  static_cast<Builder *>(u)->add(to->x, to->y);
  return 0;
}
// Curves are flattened into segments of equal parameter steps, as few as
// keep every chord within 1/1000 em of the curve (about 0.04 pixel for
// 18-point type at 150 dpi), at most 16 (for curves larger than glyphs
// have); the curves of a glyph are mostly short, and every point costs on
// its way through reading, recording and painting. n segments of a curve whose second difference is D stray at
// most |D| / (4 n^2) (quadratic) or 3 |D| / (4 n^2) (cubic, D the larger
// of its two second differences).
constexpr double kFlatTolerance = 1.0 / 1000.0;  // in ems

int segments_for(double dx, double dy, double factor, double scale) {
  const double d = std::hypot(dx, dy) * scale * factor / (4.0 * kFlatTolerance);
  if (!(d > 1.0)) return 1;
  if (d >= 256.0) return 16;
  return static_cast<int>(std::ceil(std::sqrt(d)));
}

int conic_to(const FT_Vector *c, const FT_Vector *to, void *u) {
  auto *b = static_cast<Builder *>(u);
  hpgs_point p0 = b->cur;
  const int n = segments_for(p0.x - 2.0 * c->x + to->x, p0.y - 2.0 * c->y + to->y, 1.0, b->scale);
  for (int i = 1; i <= n; ++i) {
    double t = static_cast<double>(i) / n, m = 1 - t;
    b->add(m * m * p0.x + 2 * m * t * c->x + t * t * to->x, m * m * p0.y + 2 * m * t * c->y + t * t * to->y);
  }
  return 0;
}
int cubic_to(const FT_Vector *c1, const FT_Vector *c2, const FT_Vector *to, void *u) {
  auto *b = static_cast<Builder *>(u);
  hpgs_point p0 = b->cur;
  const double ax = p0.x - 2.0 * c1->x + c2->x, ay = p0.y - 2.0 * c1->y + c2->y;
  const double bx = c1->x - 2.0 * c2->x + to->x, by = c1->y - 2.0 * c2->y + to->y;
  const bool a_larger = ax * ax + ay * ay > bx * bx + by * by;
  const int n = segments_for(a_larger ? ax : bx, a_larger ? ay : by, 3.0, b->scale);
  for (int i = 1; i <= n; ++i) {
    double t = static_cast<double>(i) / n, m = 1 - t;
    double a = m * m * m, bb = 3 * m * m * t, cc = 3 * m * t * t, d = t * t * t;
    b->add(a * p0.x + bb * c1->x + cc * c2->x + d * to->x, a * p0.y + bb * c1->y + cc * c2->y + d * to->y);
  }
  return 0;
}

}  // namespace

bool outline_glyph(const void *font, uint32_t code, OutlineGlyph &out) {
  const Face *face = static_cast<const Face *>(font);
  Fonts &f = fonts();
  std::lock_guard<std::mutex> lock(f.mutex);
  FT_UInt index = FT_Get_Char_Index(face->face, code);
  if (index == 0) return false;
  if (FT_Load_Glyph(face->face, index, FT_LOAD_NO_SCALE | FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP) != 0) return false;
  FT_GlyphSlot slot = face->face->glyph;
  const double em = face->face->units_per_EM > 0 ? face->face->units_per_EM : 2048;
  out.contours.clear();
  out.advance = slot->advance.x / em;
  if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return true;
  Builder b{1.0 / em, &out.contours};
  FT_Outline_Funcs funcs{move_to, line_to, conic_to, cubic_to, 0, 0};
  // Coordinates arrive in font units; Builder scales them to ems.
  FT_Outline_Decompose(&slot->outline, &funcs, &b);
  return true;
}

}  // namespace hpgs
