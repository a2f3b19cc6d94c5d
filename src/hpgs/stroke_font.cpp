// Loading of the single-stroke font and text decoding.
#include "stroke_font.h"

#include "hpgs.h"

#include <cctype>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

namespace hpgs {

namespace {
// ASCII stand-ins for characters the font lacks: Latin-1 letters without
// their accents, dashes, quotes and spaces.
uint32_t ascii_fallback(uint32_t c) {
  static const char kLatin1[] =  // U+00C0 ... U+00FF
      "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTs"
      "aaaaaaaceeeeiiiidnooooo/ouuuuyty";
  if (c >= 0xc0 && c <= 0xff) return static_cast<unsigned char>(kLatin1[c - 0xc0]);
  if (c == 0xa0 || c == 0x2002 || c == 0x2003 || c == 0x2009) return ' ';
  if (c >= 0x2010 && c <= 0x2015) return '-';
  if (c == 0x2212) return '-';
  if (c == 0x2018 || c == 0x2019 || c == 0xb4) return '\'';
  if (c == 0x201c || c == 0x201d || c == 0xab || c == 0xbb) return '"';
  if (c == 0xd7) return 'x';
  return '?';
}
}  // namespace

const StrokeGlyph *StrokeFont::glyph(uint32_t code) const {
  if (code >= 32 && code - 32 < glyphs.size()) return &glyphs[code - 32];
  if (code >= 0x80) {
    uint32_t a = ascii_fallback(code);
    if (a - 32 < glyphs.size()) return &glyphs[a - 32];
  }
  // Characters the font lacks are shown as '?' so that the text keeps its
  // length and the reader sees something is missing.
  if (glyphs.size() > '?' - 32) return &glyphs['?' - 32];
  return nullptr;
}

bool parse_jhf(const std::string &text, StrokeFont &font) {
  // Records: 5 columns glyph number, 3 columns vertex count, then count
  // pairs of letters (offset from 'R'); the first pair holds the left and
  // right bearings, " R" lifts the pen. Long records may wrap lines.
  size_t i = 0, n = text.size();
  font.glyphs.clear();
  auto skip_nl = [&] {
    while (i < n && (text[i] == '\n' || text[i] == '\r')) ++i;
  };
  while (true) {
    skip_nl();
    if (i >= n) break;
    if (i + 8 > n) return false;
    std::string count_s = text.substr(i + 5, 3);
    i += 8;
    int count = std::atoi(count_s.c_str());
    if (count < 1 || count > 1000) return false;
    std::vector<std::pair<int, int>> pts;
    for (int k = 0; k < count; ++k) {
      skip_nl();
      if (i + 2 > n) return false;
      pts.push_back({text[i] - 'R', text[i + 1] - 'R'});
      i += 2;
    }
    // The rest of the line (if any) is ignored.
    while (i < n && text[i] != '\n') ++i;
    StrokeGlyph g;
    g.left = pts[0].first;
    g.right = pts[0].second;
    std::vector<std::pair<int8_t, int8_t>> cur;
    for (size_t k = 1; k < pts.size(); ++k) {
      if (pts[k].first == ' ' - 'R' && pts[k].second == 0) {
        if (!cur.empty()) g.strokes.push_back(std::move(cur));
        cur.clear();
        continue;
      }
      cur.push_back({static_cast<int8_t>(pts[k].first), static_cast<int8_t>(pts[k].second)});
    }
    if (!cur.empty()) g.strokes.push_back(std::move(cur));
    font.glyphs.push_back(std::move(g));
  }
  return !font.glyphs.empty();
}

namespace {
std::once_flag g_once;
StrokeFont g_font;
bool g_loaded = false;
}  // namespace

const StrokeFont *stroke_font() {
  std::call_once(g_once, [] {
    const std::string names[] = {std::string(hpgs_get_prefix()) + "/share/hershey-fonts/futural.jhf",
                                 "/usr/share/hershey-fonts/futural.jhf"};
    for (const auto &name : names) {
      std::ifstream f(name, std::ios::binary);
      if (!f) continue;
      std::stringstream ss;
      ss << f.rdbuf();
      if (parse_jhf(ss.str(), g_font)) {
        g_loaded = true;
        break;
      }
    }
  });
  if (!g_loaded) {
    hpgs_set_error("The stroke font futural.jhf was not found (package hershey-fonts-data).");
    return nullptr;
  }
  return &g_font;
}

bool decode_text(const char *text, const char *encoding, std::vector<uint32_t> &out) {
  out.clear();
  if (!text) return true;
  std::string enc;
  for (const char *e = encoding ? encoding : "utf-8"; *e; ++e)
    if (*e != '-' && *e != '_') enc.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*e))));
  const auto *s = reinterpret_cast<const unsigned char *>(text);
  if (enc == "iso88591" || enc == "latin1") {
    for (; *s; ++s) out.push_back(*s);
    return true;
  }
  if (enc != "utf8" && enc != "ascii" && enc != "usascii") {
    hpgs_set_error("Text encoding '%s' is not supported (utf-8 or iso-8859-1).", encoding);
    return false;
  }
  while (*s) {
    unsigned c = *s;
    int extra = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
    if (extra < 0) {
      out.push_back(0xfffd);
      ++s;
      continue;
    }
    uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1f) : extra == 2 ? (c & 0x0f) : (c & 0x07);
    bool ok = true;
    for (int k = 1; k <= extra; ++k) {
      if ((s[k] & 0xc0) != 0x80) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[k] & 0x3f);
    }
    if (!ok) {
      out.push_back(0xfffd);
      ++s;
      continue;
    }
    out.push_back(cp);
    s += extra + 1;
  }
  return true;
}

}  // namespace hpgs
