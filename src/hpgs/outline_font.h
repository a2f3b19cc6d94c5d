// Outline fonts through FreeType for labels set in typefaces other than
// the stick font: glyph outlines as flattened polygons in em units.
#ifndef HPGS_OUTLINE_FONT_H
#define HPGS_OUTLINE_FONT_H

#include "hpgs.h"

#include <cstdint>
#include <vector>

namespace hpgs {

struct OutlineGlyph {
  double advance = 0;                          // em units
  std::vector<std::vector<hpgs_point>> contours;  // closed, em units, y up
};

// Font for a PCL/HP-GL/2 typeface number, posture (0 upright, else
// italic) and stroke weight (> 0 bold). Returns an opaque handle, or NULL
// when no outline font file is found (the caller falls back to the stroke
// font). Thread-safe.
const void *outline_font(int typeface, int posture, int weight);
// Capital height of the font in em units.
double outline_cap_height(const void *font);
// Outline of a code point; false when the font has no glyph for it.
bool outline_glyph(const void *font, uint32_t code, OutlineGlyph &out);

}  // namespace hpgs

#endif
