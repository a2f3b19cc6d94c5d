// Single-stroke font (Hershey simplex Roman, as shipped by Debian's
// hershey-fonts-data) for the HP-GL/2 stick font and for stamps.
#ifndef HPGS_STROKE_FONT_H
#define HPGS_STROKE_FONT_H

#include <cstdint>
#include <string>
#include <vector>

namespace hpgs {

// Glyph coordinates in font units: x to the right, y downwards, the
// baseline at y = kBaseline and capitals kCapHeight units high.
struct StrokeGlyph {
  int left = 0, right = 0;  // advance = right - left
  // Each stroke is a polyline of (x, y) pairs.
  std::vector<std::vector<std::pair<int8_t, int8_t>>> strokes;
};

struct StrokeFont {
  static constexpr int kBaseline = 9;
  static constexpr int kCapHeight = 21;
  std::vector<StrokeGlyph> glyphs;  // index = character code - 32 (32 ... 126)
  const StrokeGlyph *glyph(uint32_t code) const;
};

// The font, loaded once per process; NULL with the error slot set when no
// font file is found (looked up below the prefix given to hpgs_init, then
// /usr/share/hershey-fonts).
const StrokeFont *stroke_font();

// Parses .jhf text; false for malformed data.
bool parse_jhf(const std::string &text, StrokeFont &font);

// Decodes text in encoding ("utf-8", "iso-8859-1", "latin1"; NULL means
// utf-8) into code points; malformed UTF-8 bytes become U+FFFD.
bool decode_text(const char *text, const char *encoding, std::vector<uint32_t> &out);

}  // namespace hpgs

#endif
