// Stamps: a text written large along the page diagonal through path calls.
#include "c_boundary.h"
#include "reader.h"
#include "stroke_font.h"

#include <algorithm>
#include <cmath>

namespace hpgs {

namespace {
// Stroke weight relative to the capital height: a bold, legible line.
constexpr double kStampWeight = 0.1;
// Share of the diagonal the text may take.
constexpr double kStampFill = 0.85;
}  // namespace

}  // namespace hpgs

using namespace hpgs;

namespace {

int device_stamp(hpgs_device *dev, const hpgs_bbox *bb, const char *text, const char *encoding, double size) {
  if (!dev) return hpgs_set_error("hpgs_device_stamp: no device.");
  if (!bb || hpgs_bbox_isempty(bb)) return hpgs_set_error("hpgs_device_stamp: the page box is empty.");
  if (!text || !*text) return 0;
  if (!(size > 0) || !std::isfinite(size)) return hpgs_set_error("Stamp size %g must be positive.", size);
  std::vector<uint32_t> cps;
  if (!decode_text(text, encoding, cps)) return -1;
  const StrokeFont *font = stroke_font();
  if (!font) return -1;
  std::vector<const StrokeGlyph *> glyphs;
  double units = 0;
  for (uint32_t c : cps) {
    if (c < 32) continue;
    const StrokeGlyph *g = font->glyph(c);
    if (!g) continue;
    glyphs.push_back(g);
    units += g->right - g->left;
  }
  if (glyphs.empty() || units <= 0) return 0;
  const double w = bb->urx - bb->llx, h = bb->ury - bb->lly;
  const double diag = std::hypot(w, h);
  const double cap = StrokeFont::kCapHeight;
  // Points per font unit: the requested capital height, reduced until the
  // text (with its stroke weight) spans at most kStampFill of the diagonal
  // and its height a third of the shorter side.
  double k = size / cap;
  k = std::min(k, kStampFill * diag / (units + kStampWeight * cap));
  k = std::min(k, std::min(w, h) / 3.0 / cap);
  const double ang = std::atan2(h, w);
  const double ca = std::cos(ang), sa = std::sin(ang);
  const double cx = 0.5 * (bb->llx + bb->urx), cy = 0.5 * (bb->lly + bb->ury);
  // Local text coordinates (font units, y up, origin at the start of the
  // baseline) centred on the page centre.
  const double ox = -0.5 * units, oy = -0.5 * cap;
  auto map = [&](double x, double y) {
    double lx = (x + ox) * k, ly = (y + oy) * k;
    return hpgs_point{cx + lx * ca - ly * sa, cy + lx * sa + ly * ca};
  };
  const hpgs_color col{1.0, 0.6, 0.6};
  if (hpgs_setrgbcolor(dev, &col) || hpgs_setlinewidth(dev, kStampWeight * cap * k) ||
      hpgs_setlinecap(dev, hpgs_cap_round) || hpgs_setlinejoin(dev, hpgs_join_round) ||
      hpgs_setdash(dev, nullptr, 0, 0.0))
    return -1;
  const bool rop = dev->vtable->setrop3 != nullptr;
  if (rop && hpgs_setrop3(dev, 168, HPGS_FALSE, HPGS_FALSE)) return -1;
  double pen = 0;
  for (const StrokeGlyph *g : glyphs) {
    bool any = false;
    for (const auto &s : g->strokes) {
      for (size_t i = 0; i < s.size(); ++i) {
        hpgs_point p = map(pen + s[i].first - g->left, StrokeFont::kBaseline - s[i].second);
        int rc = i == 0 ? hpgs_moveto(dev, &p) : hpgs_lineto(dev, &p);
        if (rc) return -1;
      }
      if (s.size() == 1) {
        hpgs_point p = map(pen + s[0].first - g->left, StrokeFont::kBaseline - s[0].second);
        if (hpgs_lineto(dev, &p)) return -1;
      }
      any = true;
    }
    if (any && hpgs_stroke(dev)) return -1;
    pen += g->right - g->left;
  }
  // Later marks (asset callbacks, the next page) paint as plain copies.
  if (rop && hpgs_setrop3(dev, 252, HPGS_FALSE, HPGS_FALSE)) return -1;
  return 0;
}

}  // namespace

extern "C" int hpgs_device_stamp(hpgs_device *dev, const hpgs_bbox *bb, const char *text, const char *encoding,
                                 double size) {
  return guard("hpgs_device_stamp", [&] { return device_stamp(dev, bb, text, encoding, size); });
}

namespace hpgs {

int Reader::set_stamp(const hpgs_bbox *bb, const char *text, const char *encoding, double size) {
  if (!text || !*text) {
    stamp_text_.clear();
    return 0;
  }
  if (!bb || hpgs_bbox_isempty(bb)) return hpgs_set_error("hpgs_reader_stamp: the page box is empty.");
  if (!(size > 0) || !std::isfinite(size)) return hpgs_set_error("Stamp size %g must be positive.", size);
  std::vector<uint32_t> cps;
  if (!decode_text(text, encoding, cps)) return -1;
  if (!stroke_font()) return -1;
  // Both texts are made before either changes: all of the stamp or none.
  std::string new_text = text, new_encoding = encoding ? encoding : "utf-8";
  stamp_text_.swap(new_text);
  stamp_encoding_.swap(new_encoding);
  stamp_box_ = *bb;
  stamp_size_ = size;
  return 0;
}

void Reader::draw_stamp() {
  if (stamp_text_.empty()) return;
  dev(hpgs_device_stamp(dev_, &stamp_box_, stamp_text_.c_str(), stamp_encoding_.c_str(), stamp_size_));
  dev_attrs_valid_ = false;
}

}  // namespace hpgs

extern "C" int hpgs_reader_stamp(hpgs_reader *reader, const hpgs_bbox *bb, const char *text, const char *encoding,
                                 double size) {
  if (!reader) return hpgs_set_error("hpgs_reader_stamp: no reader.");
  return guard("hpgs_reader_stamp", [&] { return reader->impl.set_stamp(bb, text, encoding, size); });
}
