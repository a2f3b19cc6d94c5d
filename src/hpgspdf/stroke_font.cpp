// Text as strokes, for FreeText and stamp annotations: devices receive only
// paths. The glyphs are the Roman simplex Hershey font (a public-domain
// stroke font) read from its .jhf file, installed by the Debian package
// hershey-fonts-data.
#include "common.h"
#include "fdf_bundle.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace hpgspdf {
namespace {

struct Glyph {
    int left = 0, right = 0;
    std::vector<std::vector<std::pair<int, int>>> strokes;
};

// Glyphs for ASCII 32..126; empty when the font file is missing.
class StrokeFont {
public:
    static const StrokeFont& instance() {
        static StrokeFont font;
        return font;
    }
    const Glyph* glyph(unsigned char c) const {
        if (glyphs_.empty()) return nullptr;
        if (c < 32 || c > 126) c = '?';
        size_t i = static_cast<size_t>(c - 32);
        return i < glyphs_.size() ? &glyphs_[i] : nullptr;
    }

private:
    StrokeFont() {
        for (std::string path : {std::string(hpgs_get_prefix()) + "/share/hershey-fonts/rowmans.jhf",
                                 std::string("/usr/share/hershey-fonts/rowmans.jhf")}) {
            std::ifstream in(path);
            if (!in) continue;
            std::stringstream ss;
            ss << in.rdbuf();
            parse(ss.str());
            if (!glyphs_.empty()) return;
        }
        hpgs_log("hpgspdf: stroke font rowmans.jhf not found; annotation texts are not drawn\n");
    }

    // Format: 5 columns glyph number, 3 columns vertex count, then pairs of
    // characters (coordinate + 'R'); the first pair is the left and right
    // bearing, " R" lifts the pen. Long glyphs continue on the next line.
    void parse(const std::string& text) {
        std::string chars;  // the file without line breaks
        size_t pos = 0;
        while (pos < text.size() && glyphs_.size() < 95) {
            size_t eol = text.find('\n', pos);
            std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
            pos = eol == std::string::npos ? text.size() : eol + 1;
            if (line.size() < 10) continue;
            int count = std::atoi(line.substr(5, 3).c_str());
            std::string data = line.substr(8);
            while (static_cast<int>(data.size()) < 2 * count && pos < text.size()) {
                eol = text.find('\n', pos);
                data += text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
                pos = eol == std::string::npos ? text.size() : eol + 1;
            }
            if (count < 1 || static_cast<int>(data.size()) < 2 * count) break;
            Glyph g;
            g.left = data[0] - 'R';
            g.right = data[1] - 'R';
            g.strokes.emplace_back();
            for (int i = 1; i < count; ++i) {
                char x = data[static_cast<size_t>(2 * i)], y = data[static_cast<size_t>(2 * i + 1)];
                if (x == ' ' && y == 'R') {
                    g.strokes.emplace_back();
                } else {
                    g.strokes.back().emplace_back(x - 'R', y - 'R');
                }
            }
            glyphs_.push_back(std::move(g));
        }
        if (glyphs_.size() != 95) glyphs_.clear();
    }

    std::vector<Glyph> glyphs_;
};

// Characters of UTF-8 text mapped to the font's ASCII: accented Latin
// letters lose their accents, anything else becomes '?'.
std::string asciiOf(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        size_t extra = (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 0;
        unsigned cp = 0;
        if (extra == 1 && i + 1 < utf8.size()) cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3Fu);
        i += extra;
        static const char* latin1 = "AAAAAAACEEEEIIIIDNOOOOOxOUUUUYTsaaaaaaaceeeeiiiidnooooo/ouuuuyty";
        out += cp >= 0xC0 && cp <= 0xFF ? latin1[cp - 0xC0] : '?';
    }
    return out;
}

constexpr double kCapUnits = 21.0;  // Hershey units from baseline to cap top
constexpr int kBaseline = 9;        // Hershey y of the baseline (y grows down)

}  // namespace

double strokeText(hpgs_device* dev, const std::string& utf8, double x, double y, double height,
                  bool draw) {
    const StrokeFont& font = StrokeFont::instance();
    std::string text = asciiOf(utf8);
    double s = height / kCapUnits;
    double advance = 0;
    for (unsigned char c : text) {
        const Glyph* g = font.glyph(c);
        if (!g) {
            advance += height * 0.8;  // estimate: keeps layout sane without the font
            continue;
        }
        if (draw) {
            for (const auto& stroke : g->strokes) {
                if (stroke.empty()) continue;
                for (size_t i = 0; i < stroke.size(); ++i) {
                    hpgs_point p{x + advance + (stroke[i].first - g->left) * s,
                                 y + (kBaseline - stroke[i].second) * s};
                    int rc = i == 0 ? hpgs_moveto(dev, &p) : hpgs_lineto(dev, &p);
                    if (rc != 0) throw Error(hpgs_get_error());
                }
                if (stroke.size() == 1) {
                    hpgs_point p{x + advance + (stroke[0].first - g->left) * s,
                                 y + (kBaseline - stroke[0].second) * s};
                    if (hpgs_lineto(dev, &p) != 0) throw Error(hpgs_get_error());
                }
                if (hpgs_stroke(dev) != 0) throw Error(hpgs_get_error());
            }
        }
        advance += (g->right - g->left) * s;
    }
    return advance;
}

}  // namespace hpgspdf
