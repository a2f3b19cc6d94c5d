// Helpers shared by the interpreter's source files.
#ifndef HPGS_INTERP_UTIL_H
#define HPGS_INTERP_UTIL_H

#include "reader.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace hpgs {
namespace interp {


inline constexpr double kPi = 3.14159265358979323846;
inline constexpr double kDefaultPlotW = 11176;  // letter landscape, when no PS is given
inline constexpr double kDefaultPlotH = 8636;
inline constexpr size_t kMaxPolygonVertices = size_t(1) << 21;  // about 50 MB
inline constexpr int kEsc = 27;
inline constexpr size_t kMaxLabelBytes = 65536;  // longer labels are consumed, not kept

constexpr int key(char a, char b) { return (a - 'A') * 26 + (b - 'A'); }

inline const hpgs_color kDefaultPens[8] = {{1, 1, 1}, {0, 0, 0}, {1, 0, 0}, {0, 1, 0},
                                    {1, 1, 0}, {0, 0, 1}, {1, 0, 1}, {0, 1, 1}};

inline hpgs_color default_pen_color(size_t i) {
  if (i < 8) return kDefaultPens[i];
  return kDefaultPens[1 + (i - 1) % 7];  // higher pens repeat the coloured ones
}

// Fixed line types 1..8 as percentages, first entry pen down.
inline const std::vector<double> kFixedLineTypes[9] = {
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

inline double clampc(double v) { return std::clamp(v, -kMaxCoord, kMaxCoord); }

inline hpgs_point dir_deg(double deg) {
  double r = deg * kPi / 180.0;
  return {std::cos(r), std::sin(r)};
}

// Linear scale factor of a matrix (square root of its determinant).
inline double page_scale(const hpgs_matrix &m) { return std::sqrt(std::fabs(m.mxx * m.myy - m.mxy * m.myx)); }

}  // namespace interp
}  // namespace hpgs

#endif
