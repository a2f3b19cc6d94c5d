// Solid strokes at least a pixel wide are painted without anti-aliasing by
// the piece rasteriser (capsule_stroke.h) instead of cairo's stroker. Its
// pixels are compared with cairo's on random polylines of each cap and
// join style: widths from 1 to 12 pixels, colours whose bytes cairo rounds
// its own way, sharp turns, closed paths, zero-length segments (dots),
// points beyond the image, a rectangular clip; round ones also with the
// exact union of capsules; and painting band by band must still give the
// pixels of painting in place.
#include "paint_helpers.h"
#include "paint_internal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

using namespace hpgs_test;

namespace {

constexpr int W = 240, H = 180;

struct Polyline {
  std::vector<hpgs_point> pts;  // device points = pixels, y upwards
  bool closed = false;
  double width = 1;
  hpgs_color color{0, 0, 0};
  bool clipped = false;  // drawn inside the clip rectangle
  hpgs_line_cap cap = hpgs_cap_round;
  hpgs_line_join join = hpgs_join_round;
};

// Clip rectangle in pixels (x0, y0 from the top, x1, y1 exclusive).
constexpr int kClipX0 = 37, kClipY0 = 41, kClipX1 = 181, kClipY1 = 122;

std::vector<Polyline> random_scene(unsigned seed, hpgs_line_cap cap = hpgs_cap_round,
                                   hpgs_line_join join = hpgs_join_round) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(-25, W + 25), uy(-25, H + 25), unit(0, 1);
  const double widths[] = {1.0, 1.4, 2.0, 2.7, 4.0, 6.5, 9.0, 12.0};
  std::vector<Polyline> out;
  for (int i = 0; i < 40; ++i) {
    Polyline l;
    l.cap = cap;
    l.join = join;
    l.width = widths[i % 8];
    l.color = {std::floor(unit(rng) * 10) / 10, 0.3, std::floor(unit(rng) * 7) / 7};
    l.closed = i % 5 == 0;
    l.clipped = i % 3 == 0;
    const int n = i % 7 == 0 ? 1 : 2 + static_cast<int>(unit(rng) * 30);
    hpgs_point p{ux(rng), uy(rng)};
    l.pts.push_back(p);
    for (int k = 1; k < n; ++k) {
      // Now and then a zero-length segment or a long jump.
      if (unit(rng) > 0.9) {
      } else if (unit(rng) > 0.9) {
        p = {ux(rng), uy(rng)};
      } else {
        // cairo's stroker leaves stray pixels at the inner side of sharp
        // turns between segments shorter than the width (its stroke is then
        // not the union of capsules), so steps are at least as long.
        const double a = unit(rng) * 6.283185307179586, len = l.width + 1 + unit(rng) * 8;
        p.x += len * std::cos(a), p.y += len * std::sin(a);
      }
      l.pts.push_back(p);
    }
    if (n == 1) l.pts.push_back(p);  // a dot
    out.push_back(l);
  }
  return out;
}

void draw(hpgs_device *d, const std::vector<Polyline> &scene) {
  // Miters up to 3 widths long: turns sharper than about 39 degrees bevel.
  hpgs_setmiterlimit(d, 3);
  for (const Polyline &l : scene) {
    hpgs_setlinecap(d, l.cap);
    hpgs_setlinejoin(d, l.join);
    if (l.clipped) {
      hpgs_clipsave(d);
      hpgs_point r[4] = {{kClipX0, H - kClipY0}, {kClipX1, H - kClipY0}, {kClipX1, H - kClipY1}, {kClipX0, H - kClipY1}};
      hpgs_moveto(d, &r[0]);
      for (int k = 1; k < 4; ++k) hpgs_lineto(d, &r[k]);
      hpgs_closepath(d);
      hpgs_clip(d, HPGS_TRUE);
      hpgs_newpath(d);
    }
    hpgs_setlinewidth(d, l.width);
    hpgs_setrgbcolor(d, &l.color);
    hpgs_moveto(d, &l.pts[0]);
    for (size_t k = 1; k < l.pts.size(); ++k) hpgs_lineto(d, &l.pts[k]);
    if (l.closed) hpgs_closepath(d);
    hpgs_stroke(d);
    if (l.clipped) hpgs_cliprestore(d);
  }
}

struct Pixels {
  std::vector<unsigned char> rgb;
  int at(int x, int y, int c) const { return rgb[3 * (static_cast<size_t>(y) * W + x) + c]; }
};

// Paints by calling draw_fn (anti-aliased or not) with the capsule
// rasteriser or with cairo, in place or in bands of 16 rows.
template <class Draw>
Pixels render_with(Draw &&draw_fn, bool aa, bool cairo, bool banded = false) {
  std::string saved;
  const char *e = std::getenv("HPGS_BAND_LIMIT");
  if (e) saved = e;
  if (banded) setenv("HPGS_BAND_LIMIT", std::to_string(4 * W * 16).c_str(), 1);
  hpgs::set_cairo_strokes(cairo);
  Pixels out;
  {
    Canvas c(W, H, aa, false);
    if (e) setenv("HPGS_BAND_LIMIT", saved.c_str(), 1);
    else unsetenv("HPGS_BAND_LIMIT");
    draw_fn(c.dev());
    hpgs_showpage(c.dev(), 1);
    out.rgb.resize(3 * W * H);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) c.rgb(x, y, &out.rgb[3 * (static_cast<size_t>(y) * W + x)]);
  }
  hpgs::set_cairo_strokes(false);
  return out;
}

Pixels render(const std::vector<Polyline> &scene, bool aa, bool cairo, bool banded = false) {
  return render_with([&](hpgs_device *d) { draw(d, scene); }, aa, cairo, banded);
}

double seg_dist(double px, double py, hpgs_point a, hpgs_point b) {
  const double dx = b.x - a.x, dy = b.y - a.y, l2 = dx * dx + dy * dy;
  double t = l2 > 0 ? ((px - a.x) * dx + (py - a.y) * dy) / l2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(px - a.x - t * dx, py - a.y - t * dy);
}

// Distance of the centre of pixel (x, y) from the edge of the nearest
// stroke's outline (in pixels).
double edge_distance(const std::vector<Polyline> &scene, int x, int y) {
  const double px = x + 0.5, py = H - (y + 0.5);
  double best = 1e9;
  for (const Polyline &l : scene) {
    double d = 1e9;
    for (size_t k = 0; k < l.pts.size(); ++k) {
      const size_t k1 = k + 1 < l.pts.size() ? k + 1 : (l.closed ? 0 : k);
      d = std::min(d, seg_dist(px, py, l.pts[k], l.pts[k1]));
    }
    best = std::min(best, std::fabs(d - l.width / 2));
  }
  return best;
}

struct Style {
  hpgs_line_cap cap;
  hpgs_line_join join;
};
const Style kStyles[] = {{hpgs_cap_round, hpgs_join_round},
                         {hpgs_cap_butt, hpgs_join_miter},
                         {hpgs_cap_square, hpgs_join_bevel},
                         {hpgs_cap_butt, hpgs_join_round},
                         {hpgs_cap_round, hpgs_join_miter}};

TEST(HpgsCapsuleStrokes, SolidMatchesCairoButOnTheOutline) {
  for (const Style &st : kStyles)
    for (unsigned seed : {1u, 2u, 3u}) {
      const std::vector<Polyline> scene = random_scene(seed, st.cap, st.join);
      const bool round = st.cap == hpgs_cap_round && st.join == hpgs_join_round;
      const unsigned long before = hpgs::capsule_stroke_count();
      const Pixels fast = render(scene, false, false);
      // The strokes took the fast path (all but some of the dots: butt caps
      // leave no ink, square-capped ones go to cairo), and cairo's painting
      // did not.
      EXPECT_GE(hpgs::capsule_stroke_count() - before, scene.size() - 8);
      const unsigned long after = hpgs::capsule_stroke_count();
      const Pixels ref = render(scene, false, true);
      EXPECT_EQ(hpgs::capsule_stroke_count(), after);
      long inked = 0, differ = 0;
      double worst = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          if (ref.at(x, y, 0) != 255 || ref.at(x, y, 1) != 255 || ref.at(x, y, 2) != 255) ++inked;
          bool same = true;
          for (int c = 0; c < 3; ++c) same = same && fast.at(x, y, c) == ref.at(x, y, c);
          if (same) continue;
          ++differ;
          if (round) worst = std::max(worst, edge_distance(scene, x, y));
        }
      const std::string what = "style " + std::to_string(&st - kStyles) + " seed " + std::to_string(seed);
      ASSERT_GT(inked, W * H / 10) << what;
      // cairo's round parts are polygons within 0.1 pixel of the circle, and
      // where a path passes close to itself its stroker inks slivers up to
      // about 0.8 pixel beyond the union of the pieces (the exact union of
      // capsules is checked below): few pixels, none far from an outline.
      EXPECT_LE(differ, inked / 100) << what;
      EXPECT_LE(worst, 1.0) << what;
    }
}

// Without anti-aliasing a pixel takes the colour of the last stroke that
// holds its centre within half the width of one of its segments (inside
// the clip for clipped strokes): checked against that definition directly,
// but for centres within 0.01 pixel of an outline (points pass through
// cairo's path, which keeps them in 1/256 pixel).
TEST(HpgsCapsuleStrokes, SolidIsTheUnionOfCapsules) {
  for (unsigned seed : {1u, 8u}) {
    const std::vector<Polyline> scene = random_scene(seed);
    const Pixels fast = render(scene, false, false);
    long checked = 0, wrong = 0;
    std::string where;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const double px = x + 0.5, py = H - (y + 0.5);
        int want[3] = {255, 255, 255};
        bool knife = false;
        for (const Polyline &l : scene) {
          if (l.clipped && (x < kClipX0 || x >= kClipX1 || y < kClipY0 || y >= kClipY1)) continue;
          double d = 1e9;
          for (size_t k = 0; k < l.pts.size(); ++k) {
            const size_t k1 = k + 1 < l.pts.size() ? k + 1 : (l.closed ? 0 : k);
            d = std::min(d, seg_dist(px, py, l.pts[k], l.pts[k1]));
          }
          if (std::fabs(d - l.width / 2) < 0.01) knife = true;
          if (d <= l.width / 2) {
            // cairo's conversion of a colour component to a byte.
            const double c[3] = {l.color.r, l.color.g, l.color.b};
            for (int i = 0; i < 3; ++i) want[i] = static_cast<int>(c[i] * 65535 + 0.5) >> 8;
          }
        }
        if (knife) continue;
        ++checked;
        if (fast.at(x, y, 0) != want[0] || fast.at(x, y, 1) != want[1] || fast.at(x, y, 2) != want[2]) {
          if (++wrong <= 5) where += std::to_string(x) + "," + std::to_string(y) + " ";
        }
      }
    EXPECT_EQ(wrong, 0) << "seed " << seed << ": " << where;
    EXPECT_GT(checked, W * H * 99 / 100);
  }
}

TEST(HpgsCapsuleStrokes, BandsMatchPaintingInPlace) {
  const std::vector<Polyline> scene = random_scene(7);
  for (bool aa : {false, true}) {
    const Pixels direct = render(scene, aa, false);
    const Pixels banded = render(scene, aa, false, true);
    long differ = 0;
    for (size_t i = 0; i < direct.rgb.size(); ++i) differ += direct.rgb[i] != banded.rgb[i];
    EXPECT_EQ(differ, 0) << "aa " << aa;
  }
}

// The path of a capsule stroke is kept by the paint device itself, in
// cairo's coordinates and with cairo's rules: several subpaths in one
// stroke, a line after a close starting at the subpath's start, a bare
// move and close (a dot with round caps), a line without a current point
// (it starts one), zero-length and straight-on segments, a line that runs
// back over itself, a curve in the middle (the whole path goes to cairo).
TEST(HpgsCapsuleStrokes, PathsFollowCairosRules) {
  auto pt = [](double x, double y) { return hpgs_point{x, y}; };
  auto draw_paths = [&](hpgs_device *d) {
    auto m = [&](double x, double y) { hpgs_point q = pt(x, y); hpgs_moveto(d, &q); };
    auto l = [&](double x, double y) { hpgs_point q = pt(x, y); hpgs_lineto(d, &q); };
    hpgs_setlinewidth(d, 5);
    m(10, 10), l(60, 20), l(30, 50), m(80, 10), l(120, 40);  // two subpaths
    hpgs_stroke(d);
    m(10, 100), l(50, 100), l(50, 140), hpgs_closepath(d), l(100, 170), l(120, 120);  // on from the start
    hpgs_stroke(d);
    m(150, 30), hpgs_closepath(d);  // a dot with round caps, nothing with butt caps
    hpgs_stroke(d);
    l(140, 60), l(200, 60);  // no current point: the first line starts one
    hpgs_stroke(d);
    m(140, 80), l(140, 80), l(170, 80), l(170, 80), l(200, 80), l(185, 80), l(185, 110), l(185, 110);
    hpgs_stroke(d);
    m(140, 130), l(170, 130);
    hpgs_point c1 = pt(190, 170), c2 = pt(220, 120), c3 = pt(230, 160);
    hpgs_curveto(d, &c1, &c2, &c3);
    l(200, 175);
    hpgs_stroke(d);
  };
  for (const Style &st : kStyles) {
    const std::string what = "style " + std::to_string(&st - kStyles);
    auto styled = [&](hpgs_device *d) {
      hpgs_setlinecap(d, st.cap);
      hpgs_setlinejoin(d, st.join);
      hpgs_setmiterlimit(d, 3);
      draw_paths(d);
    };
    const unsigned long before = hpgs::capsule_stroke_count();
    const Pixels fast = render_with(styled, false, false);
    EXPECT_GE(hpgs::capsule_stroke_count() - before, 4u) << what;
    const Pixels ref = render_with(styled, false, true);
    long inked = 0, differ = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        inked += ref.at(x, y, 0) != 255;
        differ += fast.at(x, y, 0) != ref.at(x, y, 0);

      }
    ASSERT_GT(inked, 1500) << what;
    EXPECT_LE(differ, inked / 100) << what;
    // The dot (pixel row from the top) is there exactly with round caps.
    const bool dot = ref.at(150, H - 30, 0) != 255;
    EXPECT_EQ(dot, st.cap == hpgs_cap_round) << what;
    EXPECT_EQ(fast.at(150, H - 30, 0), ref.at(150, H - 30, 0)) << what;
  }
}

// With anti-aliasing the pieces cover by distance: against cairo's 4 x 4
// samples the levels differ little, and where a pixel is more than half
// covered (ink for the comparisons with references) the picture is the one
// without anti-aliasing but for pixels on an outline.
TEST(HpgsCapsuleStrokes, AntialiasedAgreesWithCairoAndTheSolidShape) {
  for (const Style &st : kStyles)
    for (unsigned seed : {4u, 5u}) {
      const std::vector<Polyline> scene = random_scene(seed, st.cap, st.join);
      const std::string what = "style " + std::to_string(&st - kStyles) + " seed " + std::to_string(seed);
      const unsigned long before = hpgs::capsule_stroke_count();
      const Pixels own = render(scene, true, false);
      EXPECT_GE(hpgs::capsule_stroke_count() - before, scene.size() - 8) << what;
      const Pixels ref = render(scene, true, true);
      const Pixels solid = render(scene, false, false);
      long inked = 0, far = 0, mask_differs = 0;
      // Every pen has green 0.3: more than half covered is green below
      // the middle of ink (77) and paper (255).
      double sum = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          const bool ink = ref.at(x, y, 0) != 255 || ref.at(x, y, 1) != 255 || ref.at(x, y, 2) != 255;
          if (!ink) continue;
          ++inked;
          for (int c = 0; c < 3; ++c) {
            const int d = std::abs(own.at(x, y, c) - ref.at(x, y, c));
            sum += d;
            far += d > 128;
          }
          mask_differs += (own.at(x, y, 1) < 166) != (solid.at(x, y, 1) != 255);
        }
      ASSERT_GT(inked, W * H / 10) << what;
      EXPECT_LT(sum / (3.0 * inked), 12.0) << what;
      EXPECT_LE(far, inked / 200) << what;
      EXPECT_LE(mask_differs, inked / 50) << what;
    }
}

// Bodies end sharply at joins and the wedges cover beyond: a thick line
// bent by a degree at many vertices is solid inside, with no seam.
TEST(HpgsCapsuleStrokes, AntialiasedJoinsLeaveNoSeam) {
  for (hpgs_line_join join : {hpgs_join_miter, hpgs_join_bevel, hpgs_join_round}) {
    Polyline l;
    l.width = 9;
    l.cap = hpgs_cap_butt;
    l.join = join;
    hpgs_point p{12, 60};
    double a = 0.3;
    l.pts.push_back(p);
    for (int k = 0; k < 40; ++k) {
      p.x += 5.1 * std::cos(a), p.y += 5.1 * std::sin(a);
      a -= 0.017;
      l.pts.push_back(p);
    }
    const Pixels own = render({l}, true, false);
    long inside = 0, light = 0;
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        double d = 1e9;
        for (size_t k = 0; k + 1 < l.pts.size(); ++k) d = std::min(d, seg_dist(x + 0.5, H - (y + 0.5), l.pts[k], l.pts[k + 1]));
        // Away from the butt ends.
        const hpgs_point &e0 = l.pts[0], &e1 = l.pts.back(), &b1 = l.pts[l.pts.size() - 2];
        const double px = x + 0.5, py = H - (y + 0.5);
        const double from_start = (px - e0.x) * std::cos(0.3) + (py - e0.y) * std::sin(0.3);
        const double ex = e1.x - b1.x, ey = e1.y - b1.y, el = std::hypot(ex, ey);
        const double to_end = ((e1.x - px) * ex + (e1.y - py) * ey) / el;
        if (d > l.width / 2 - 1.0 || from_start < 1.0 || to_end < 1.0) continue;
        ++inside;
        light += own.at(x, y, 0) != 0;
      }
    EXPECT_GT(inside, 1000);
    EXPECT_EQ(light, 0) << "join " << join;
  }
}

// A join whose point is a pixel centre: that pixel lies on the edges of
// every piece meeting there (the bodies' ends, the wedge's corner), which
// must not all leave it to another; it is inside the stroke and lit.
TEST(HpgsCapsuleStrokes, JoinPointsOnPixelCentresAreLit) {
  for (hpgs_line_join join : {hpgs_join_miter, hpgs_join_bevel}) {
    // Rectangles both ways round, corners on pixel centres (y upwards).
    for (bool ccw : {false, true}) {
      Polyline l;
      l.width = 3;
      l.cap = hpgs_cap_butt;
      l.join = join;
      l.closed = true;
      const hpgs_point c[4] = {{40.5, 40.5}, {140.5, 40.5}, {140.5, 120.5}, {40.5, 120.5}};
      for (int k = 0; k < 4; ++k) l.pts.push_back(c[ccw ? 3 - k : k]);
      const Pixels own = render({l}, false, false);
      for (const hpgs_point &q : c) {
        const int x = static_cast<int>(q.x), y = static_cast<int>(H - q.y);
        EXPECT_EQ(own.at(x, y, 0), 0) << "join " << join << " ccw " << ccw << " corner " << q.x << "," << q.y;
      }
    }
  }
}

// A vertical line with butt or square ends on pixel centres: the centres
// on its lower end lie on the outline, which belongs to the piece below,
// so the line is exactly as long as cairo draws it (it was one row longer
// once). Level lines, and lines of odd and even width, for comparison.
TEST(HpgsCapsuleStrokes, LevelEndsOnPixelCentresAreCairos) {
  for (hpgs_line_cap cap : {hpgs_cap_butt, hpgs_cap_square})
    for (double width : {1.0, 2.0, 3.0}) {
      std::vector<Polyline> scene(2);
      scene[0].pts = {{30.5, 40.5}, {30.5, 90.5}};    // vertical
      scene[1].pts = {{60.5, 120.5}, {110.5, 120.5}};  // level
      for (Polyline &l : scene) l.width = width, l.cap = cap, l.join = hpgs_join_miter;
      const Pixels own = render(scene, false, false), ref = render(scene, false, true);
      long differ = 0, inked = 0;
      for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
          inked += ref.at(x, y, 0) == 0;
          differ += own.at(x, y, 0) != ref.at(x, y, 0);
        }
      EXPECT_GT(inked, 50 * width) << "cap " << cap << " width " << width;
      EXPECT_EQ(differ, 0) << "cap " << cap << " width " << width;
    }
}

// Lines thinner than a pixel are drawn a pixel wide through the centres
// of their points' pixels (points taken, as everywhere, to 1/256 pixel
// first): without anti-aliasing exactly the pixels whose centre lies
// within half a pixel of such a segment; with it, at the thin alpha's
// share, close to cairo's levels. (cairo itself strays from the first
// where a thin polyline turns sharply: it fills the loops its outline
// makes there.)
TEST(HpgsCapsuleStrokes, ThinLinesAreAPixelWideThroughPixelCentres) {
  std::vector<Polyline> scene = random_scene(6);
  for (Polyline &l : scene) l.width = 0.4;
  auto snap = [](double v) { return std::floor(std::nearbyint(v * 256.0) / 256.0) + 0.5; };
  std::vector<std::vector<hpgs_point>> snapped;  // y upwards, like the scene
  for (const Polyline &l : scene) {
    snapped.emplace_back();
    for (const hpgs_point &q : l.pts) snapped.back().push_back({snap(q.x), H - snap(H - q.y)});
  }
  const unsigned long before = hpgs::capsule_stroke_count();
  const Pixels own = render(scene, false, false);
  EXPECT_GE(hpgs::capsule_stroke_count() - before, scene.size() - 8);
  long checked = 0, wrong = 0;
  std::string where;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      const double px = x + 0.5, py = H - (y + 0.5);
      bool ink = false, knife = false;
      for (size_t i = 0; i < scene.size(); ++i) {
        const Polyline &l = scene[i];
        if (l.clipped && (x < kClipX0 || x >= kClipX1 || y < kClipY0 || y >= kClipY1)) continue;
        const auto &s = snapped[i];
        double d = 1e9;
        for (size_t k = 0; k < s.size(); ++k) {
          const size_t k1 = k + 1 < s.size() ? k + 1 : (l.closed ? 0 : k);
          d = std::min(d, seg_dist(px, py, s[k], s[k1]));
        }
        knife = knife || std::fabs(d - 0.5) < 1e-9;
        ink = ink || d < 0.5;
      }
      if (knife) continue;
      ++checked;
      if ((own.at(x, y, 1) != 255) != ink && ++wrong <= 5) where += std::to_string(x) + "," + std::to_string(y) + " ";
    }
  EXPECT_EQ(wrong, 0) << where;
  EXPECT_GT(checked, W * H * 99 / 100);
  const Pixels aa = render(scene, true, false), ref = render(scene, true, true);
  long inked = 0;
  double sum = 0;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      if (ref.at(x, y, 1) == 255 && aa.at(x, y, 1) == 255) continue;
      ++inked;
      sum += std::abs(aa.at(x, y, 1) - ref.at(x, y, 1));
    }
  ASSERT_GT(inked, 1000);
  EXPECT_LT(sum / inked, 16.0);
}

}  // namespace
