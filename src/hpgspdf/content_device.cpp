#include "content_device.h"

#include "common.h"

#include <libdeflate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace hpgspdf {

ContentDevice::ContentDevice(QPDF& target, const hpgs_device_vtable* vtable) : target_(target) {
    shell_.base.vtable = vtable;
    shell_.self = this;
}

ContentDevice* ContentDevice::from(hpgs_device* dev, const char* rtti) {
    if (!dev || !dev->vtable || !dev->vtable->rtti || std::strcmp(dev->vtable->rtti, rtti) != 0)
        return nullptr;
    // The shell is the first member of a standard-layout struct.
    return reinterpret_cast<Shell*>(dev)->self;
}

void ContentDevice::op(const std::string& s) {
    // All of the operator or nothing of it, also when memory runs out.
    ops_.reserve(ops_.size() + s.size() + 1);
    ops_ += s;
    ops_ += '\n';
}

void ContentDevice::pathOp(const char* oper) {
    ops_.reserve(ops_.size() + path_.size() + std::strlen(oper) + 1);
    ops_ += path_;
    op(oper);
    path_.clear();
}

std::string ContentDevice::takeContent() {
    // Leave the stream with the clip nesting it opened closed again.
    for (size_t i = 0; i < saved_.size(); ++i) op("Q");
    saved_.clear();
    std::string out;
    out.swap(ops_);
    written_ = State();
    state_ = State();
    path_.clear();
    return out;
}

QPDFObjectHandle ContentDevice::takeResources() {
    auto res = QPDFObjectHandle::newDictionary();
    if (xobjects_.isInitialized()) res.replaceKey("/XObject", xobjects_);
    if (extgstates_.isInitialized()) res.replaceKey("/ExtGState", extgstates_);
    if (patternRes_.isInitialized()) res.replaceKey("/Pattern", patternRes_);
    xobjects_ = QPDFObjectHandle();
    extgstates_ = QPDFObjectHandle();
    patternRes_ = QPDFObjectHandle();
    patternNames_.clear();
    nextImage_ = 0;
    return res;
}

namespace {

struct CompressorFree {
    void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
};

// A stream of data stored deflated.
QPDFObjectHandle deflatedStream(QPDF& q, const std::string& data) {
    std::unique_ptr<libdeflate_compressor, CompressorFree> c(libdeflate_alloc_compressor(6));
    if (!c) throw std::bad_alloc();
    std::string out(libdeflate_zlib_compress_bound(c.get(), data.size()), '\0');
    const size_t n = libdeflate_zlib_compress(c.get(), data.data(), data.size(), out.data(), out.size());
    if (n == 0) fail("pattern image of %zu bytes could not be deflated", data.size());
    out.resize(n);
    auto stream = q.newStream();
    stream.replaceStreamData(out, QPDFObjectHandle::newName("/FlateDecode"), QPDFObjectHandle::newNull());
    return stream;
}

QPDFObjectHandle imageStream(QPDF& q, const std::string& data, int w, int h, const char* space) {
    auto s = deflatedStream(q, data);
    auto dict = s.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
    dict.replaceKey("/Width", QPDFObjectHandle::newInteger(w));
    dict.replaceKey("/Height", QPDFObjectHandle::newInteger(h));
    dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName(space));
    dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
    return s;
}

}  // namespace

std::optional<ContentDevice::CellImage> ContentDevice::cellImage(const Pattern& p, long i0, long j0, int w, int h) {
    // The painted cells' mean colour goes under the clear ones.
    double sum[3] = {0, 0, 0};
    size_t painted = 0;
    for (uint32_t v : p.argb)
        if (v >> 24) {
            sum[0] += (v >> 16) & 0xff, sum[1] += (v >> 8) & 0xff, sum[2] += v & 0xff;
            ++painted;
        }
    if (painted == 0) return std::nullopt;
    const bool clear = painted < p.argb.size();
    auto byte = [&](int c) { return static_cast<char>(std::lround(sum[c] / static_cast<double>(painted))); };
    const char under[3] = {byte(0), byte(1), byte(2)};
    auto wrap = [](long v, int n) { return static_cast<int>(((v % n) + n) % n); };

    // The pattern's rows, each w cells wide from column i0, built once;
    // image row r is pattern row j0 + r.
    std::vector<std::string> rows(static_cast<size_t>(p.height)), maskRows(clear ? rows.size() : 0);
    const int first = wrap(i0, p.width);
    for (int y = 0; y < p.height; ++y) {
        std::string& row = rows[static_cast<size_t>(y)];
        row.reserve(static_cast<size_t>(w) * 3);
        if (clear) maskRows[static_cast<size_t>(y)].reserve(static_cast<size_t>(w));
        const uint32_t* cells = p.argb.data() + static_cast<size_t>(y) * static_cast<size_t>(p.width);
        for (int x = 0, c = first; x < w; ++x, c = c + 1 == p.width ? 0 : c + 1) {
            const uint32_t v = cells[c];
            if (v >> 24) {
                row += static_cast<char>((v >> 16) & 0xff);
                row += static_cast<char>((v >> 8) & 0xff);
                row += static_cast<char>(v & 0xff);
            } else {
                row.append(under, 3);
            }
            if (clear) maskRows[static_cast<size_t>(y)] += static_cast<char>(v >> 24 ? 0xff : 0);
        }
    }
    CellImage out;
    out.pixels.reserve(static_cast<size_t>(w) * 3 * static_cast<size_t>(h));
    if (clear) out.mask.reserve(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (int r = 0, y = wrap(j0, p.height); r < h; ++r, y = y + 1 == p.height ? 0 : y + 1) {
        out.pixels += rows[static_cast<size_t>(y)];
        if (clear) out.mask += maskRows[static_cast<size_t>(y)];
    }
    out.clear = clear;
    return out;
}

QPDFObjectHandle ContentDevice::imageOfCells(const CellImage& cells, int w, int h) {
    auto image = imageStream(target_, cells.pixels, w, h, "/DeviceRGB");
    // Ghostscript samples a pattern's image (one cell per pixel, whichever
    // it hits) unless asked to interpolate; interpolated it averages the
    // cells smaller than a pixel as the paint device does.
    image.getDict().replaceKey("/Interpolate", QPDFObjectHandle::newBool(true));
    if (cells.clear) {
        auto smask = imageStream(target_, cells.mask, w, h, "/DeviceGray");
        smask.getDict().replaceKey("/Interpolate", QPDFObjectHandle::newBool(true));
        image.getDict().replaceKey("/SMask", smask);
        softMasks_ = true;
    }
    return image;
}

std::string ContentDevice::contentKey(const Pattern& p) {
    std::string key(reinterpret_cast<const char*>(&p.width), sizeof p.width);
    key.append(reinterpret_cast<const char*>(&p.height), sizeof p.height);
    key.append(reinterpret_cast<const char*>(p.argb.data()), p.argb.size() * sizeof(uint32_t));
    return key;
}

const ContentDevice::Tile* ContentDevice::tileFor(const Pattern& p) {
    std::string key = contentKey(p);
    if (auto it = tiles_.find(key); it != tiles_.end()) return &it->second;

    const int kx = std::max(1, (kMinTileCells + p.width - 1) / p.width);
    const int ky = std::max(1, (kMinTileCells + p.height - 1) / p.height);
    const int tw = kx * p.width, th = ky * p.height;
    auto cells = cellImage(p, 0, 0, tw, th);
    if (!cells) return nullptr;
    Tile t{imageOfCells(*cells, tw, th), tw, th, tiles_.size()};
    return &tiles_.emplace(std::move(key), t).first->second;
}

void ContentDevice::checkPatternMatrix(const hpgs_matrix& m) {
    for (double v : {m.mxx, m.mxy, m.myx, m.myy, m.dx, m.dy})
        if (!std::isfinite(v)) fail("pattern matrix is not finite");
    if (m.mxx * m.myy - m.mxy * m.myx == 0) fail("pattern matrix is singular");
}

QPDFObjectHandle ContentDevice::tilingPattern(const QPDFObjectHandle& image, int w, int h,
                                              const hpgs_matrix& m, double top) {
    // Pattern space of the tile has y upwards with the image's first row
    // on top, so that the image draws upright: the tile's (x, y) is the
    // pattern's (x, top - y).
    const double mat[6] = {m.mxx, m.myx, -m.mxy, -m.myy, m.dx + m.mxy * top, m.dy + m.myy * top};
    for (double v : mat)
        if (!std::isfinite(v)) fail("pattern matrix is not finite");
    // The cell size with ten decimals: a pattern repeats over thousands of
    // cells, and rounding it to a content stream's four would shift the far
    // cells of a page.
    auto matrix = QPDFObjectHandle::newArray();
    for (int i = 0; i < 6; ++i) matrix.appendItem(QPDFObjectHandle::newReal(mat[i], i < 4 ? 10 : 4));
    auto pattern =
        target_.newStream("q " + std::to_string(w) + " 0 0 " + std::to_string(h) + " 0 0 cm /I0 Do Q\n");
    auto dict = pattern.getDict();
    auto bbox = QPDFObjectHandle::newArray();
    for (int v : {0, 0, w, h}) bbox.appendItem(QPDFObjectHandle::newInteger(v));
    auto xobjects = QPDFObjectHandle::newDictionary();
    xobjects.replaceKey("/I0", image);
    auto resources = QPDFObjectHandle::newDictionary();
    resources.replaceKey("/XObject", xobjects);
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/Pattern"));
    dict.replaceKey("/PatternType", QPDFObjectHandle::newInteger(1));
    dict.replaceKey("/PaintType", QPDFObjectHandle::newInteger(1));
    dict.replaceKey("/TilingType", QPDFObjectHandle::newInteger(1));
    dict.replaceKey("/BBox", bbox);
    dict.replaceKey("/XStep", QPDFObjectHandle::newInteger(w));
    dict.replaceKey("/YStep", QPDFObjectHandle::newInteger(h));
    dict.replaceKey("/Matrix", matrix);
    dict.replaceKey("/Resources", resources);
    return pattern;
}

std::string ContentDevice::nameForPattern(const std::string& key, const QPDFObjectHandle& pattern) {
    if (!patternRes_.isInitialized()) patternRes_ = QPDFObjectHandle::newDictionary();
    std::string name = "/P" + std::to_string(patternNames_.size());
    patternRes_.replaceKey(name, pattern);
    patternNames_.emplace(key, name);
    return name;
}

std::string ContentDevice::patternFor(const Pattern& p) {
    const Tile* tile = tileFor(p);
    if (!tile) return "";
    checkPatternMatrix(p.toDev);
    // Keyed by the tile and the pattern's placement.
    std::string key = std::to_string(tile->index);
    for (double v : {p.toDev.mxx, p.toDev.mxy, p.toDev.myx, p.toDev.myy, p.toDev.dx, p.toDev.dy})
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
    if (auto it = patternNames_.find(key); it != patternNames_.end()) return it->second;
    auto it = patterns_.find(key);
    if (it == patterns_.end())
        it = patterns_.emplace(key, tilingPattern(tile->image, tile->width, tile->height, p.toDev, tile->height)).first;
    return nameForPattern(key, it->second);
}

std::optional<std::string> ContentDevice::ownPatternFor(const Pattern& p, double reach) {
    const hpgs_matrix& m = p.toDev;
    checkPatternMatrix(m);
    // The mark's box in cells: the corners of the path's box, widened by
    // reach, taken back through the pattern's matrix, a cell more on each
    // side so that the tile's edges lie outside the mark.
    if (!std::isfinite(reach) || reach < 0) return std::nullopt;
    const double det = m.mxx * m.myy - m.mxy * m.myx;
    double u0 = HUGE_VAL, v0 = HUGE_VAL, u1 = -HUGE_VAL, v1 = -HUGE_VAL;
    for (double x : {pathBox_[0] - reach, pathBox_[2] + reach})
        for (double y : {pathBox_[1] - reach, pathBox_[3] + reach}) {
            const double u = (m.myy * (x - m.dx) - m.mxy * (y - m.dy)) / det;
            const double v = (m.mxx * (y - m.dy) - m.myx * (x - m.dx)) / det;
            u0 = std::min(u0, u), u1 = std::max(u1, u), v0 = std::min(v0, v), v1 = std::max(v1, v);
        }
    if (!std::isfinite(u0) || !std::isfinite(u1) || !std::isfinite(v0) || !std::isfinite(v1)) return std::nullopt;
    // The tile's edges on a grid of kOwnTileGrid cells from the anchor, so
    // that marks of one pattern near each other share a tile.
    const double g = kOwnTileGrid;
    const double x0 = std::floor((std::floor(u0) - 1) / g) * g, x1 = std::ceil((std::ceil(u1) + 1) / g) * g;
    const double y0 = std::floor((std::floor(v0) - 1) / g) * g, y1 = std::ceil((std::ceil(v1) + 1) / g) * g;
    if ((x1 - x0) * (y1 - y0) > static_cast<double>(kMaxOwnTileCells) || std::fabs(x0) > 1e9 || std::fabs(y0) > 1e9)
        return std::nullopt;
    const long i0 = static_cast<long>(x0), j0 = static_cast<long>(y0);
    const int w = static_cast<int>(x1 - x0), h = static_cast<int>(y1 - y0);

    // Keyed by content, placement and box; "f" sets the key apart from a
    // shared tile's, which starts with a digit.
    std::string key = "f" + contentKey(p);
    for (double v : {m.mxx, m.mxy, m.myx, m.myy, m.dx, m.dy}) key.append(reinterpret_cast<const char*>(&v), sizeof v);
    for (long v : {i0, j0, static_cast<long>(w), static_cast<long>(h)})
        key.append(reinterpret_cast<const char*>(&v), sizeof v);
    if (auto it = patternNames_.find(key); it != patternNames_.end()) return it->second;
    auto it = patterns_.find(key);
    if (it == patterns_.end()) {
        auto cells = cellImage(p, i0, j0, w, h);
        if (!cells) return std::string();
        // The tile starts at cell (i0, j0).
        hpgs_matrix at = m;
        at.dx += m.mxx * static_cast<double>(i0) + m.mxy * static_cast<double>(j0);
        at.dy += m.myx * static_cast<double>(i0) + m.myy * static_cast<double>(j0);
        it = patterns_.emplace(key, tilingPattern(imageOfCells(*cells, w, h), w, h, at, h)).first;
    }
    return nameForPattern(key, it->second);
}

void ContentDevice::point(const hpgs_point* p, const char* what) {
    if (!p) fail("%s: no point given", what);
    if (!std::isfinite(p->x) || !std::isfinite(p->y)) fail("%s: point is not finite", what);
}

std::string ContentDevice::dashOperand(const State& s) {
    if (s.dash.empty()) return "[] 0";
    std::vector<double> d = s.dash;
    // An odd count repeats the pattern with on and off swapped: spell it
    // out so that every "on" entry sits at an even index.
    if (d.size() % 2) d.insert(d.end(), s.dash.begin(), s.dash.end());
    if (s.cap == 0) {
        double period = 0;
        for (double v : d) period += v;
        bool solid = true;
        for (size_t i = 0; i < d.size(); i += 2) {
            if (d[i] <= 0) {
                const double dot = std::min(s.width, d[i + 1]);
                d[i] = dot;
                d[i + 1] -= dot;
            }
            if (d[i + 1] > 0) solid = false;
        }
        if (solid || period <= 0) return "[] 0";
    }
    std::string out = "[";
    for (size_t i = 0; i < d.size(); ++i) out += (i ? " " : "") + num(d[i]);
    return out + "] " + num(s.dashOffset);
}

// Writes the attributes that differ between what was asked and what the
// stream has: a clip restore (Q) also brings back colour and line state,
// which the drawing did not ask for.
void ContentDevice::syncState() {
    const State& s = state_;
    State& w = written_;
    if (s.color.r != w.color.r || s.color.g != w.color.g || s.color.b != w.color.b) {
        std::string c = num(s.color.r) + " " + num(s.color.g) + " " + num(s.color.b);
        op(c + " RG " + c + " rg");
    }
    if (s.width != w.width) op(num(s.width) + " w");
    if (s.cap != w.cap) op(std::to_string(s.cap) + " J");
    if (s.join != w.join) op(std::to_string(s.join) + " j");
    if (s.miter != w.miter) op(num(s.miter) + " M");
    const std::string dash = dashOperand(s);
    if (dash != dashOperand(w)) op(dash + " d");
    if (s.multiply != w.multiply) {
        if (!extgstates_.isInitialized()) extgstates_ = QPDFObjectHandle::newDictionary();
        const char* name = s.multiply ? "/GSm" : "/GSn";
        if (!extgstates_.hasKey(name)) {
            auto gs = QPDFObjectHandle::newDictionary();
            gs.replaceKey("/Type", QPDFObjectHandle::newName("/ExtGState"));
            gs.replaceKey("/BM", QPDFObjectHandle::newName(s.multiply ? "/Multiply" : "/Normal"));
            extgstates_.replaceKey(name, gs);
        }
        op(std::string(name) + " gs");
    }
    w = s;
}

// The C entry points: each finds its object and keeps exceptions inside.
struct ContentDeviceOps {
    static ContentDevice& self(hpgs_device* dev) {
        return *reinterpret_cast<ContentDevice::Shell*>(dev)->self;
    }
    static int moveto(hpgs_device* dev, const hpgs_point* p) {
        return guarded("moveto", [&] {
            auto& d = self(dev);
            d.point(p, "moveto");
            d.appendPoint(*p, " m\n");
            return 0;
        });
    }
    static int lineto(hpgs_device* dev, const hpgs_point* p) {
        return guarded("lineto", [&] {
            auto& d = self(dev);
            d.point(p, "lineto");
            if (d.path_.empty()) fail("lineto without a current point");
            d.appendPoint(*p, " l\n");
            return 0;
        });
    }
    static int curveto(hpgs_device* dev, const hpgs_point* a, const hpgs_point* b,
                       const hpgs_point* c) {
        return guarded("curveto", [&] {
            auto& d = self(dev);
            d.point(a, "curveto");
            d.point(b, "curveto");
            d.point(c, "curveto");
            if (d.path_.empty()) fail("curveto without a current point");
            d.appendPoint(*a, " ");
            d.appendPoint(*b, " ");
            d.appendPoint(*c, " c\n");
            return 0;
        });
    }
    static int newpath(hpgs_device* dev) {
        self(dev).path_.clear();
        return 0;
    }
    static int closepath(hpgs_device* dev) {
        return guarded("closepath", [&] {
            auto& d = self(dev);
            if (!d.path_.empty()) d.path_ += "h\n";
            return 0;
        });
    }
    static int paint(hpgs_device* dev, const char* what, const char* oper, bool stroke) {
        return guarded(what, [&] {
            auto& d = self(dev);
            // A pending pattern is used up by this mark, drawn or not.
            std::optional<ContentDevice::Pattern> pattern;
            pattern.swap(d.pending_);
            if (d.path_.empty()) return 0;
            std::string name;
            if (pattern) {
                // A stroke reaches half its width beyond the path, a
                // square cap's corner or a miter's tip further.
                const ContentDevice::State& st = d.state_;
                const double reach =
                    stroke ? 0.5 * st.width * std::max(std::sqrt(2.0), st.join == 0 ? st.miter : 1.0) : 0.0;
                std::optional<std::string> own = d.ownPatternFor(*pattern, reach);
                name = own ? *own : d.patternFor(*pattern);
                // Nothing paints: the mark leaves the page as it is.
                if (name.empty()) {
                    d.path_.clear();
                    return 0;
                }
            }
            // Path construction admits no state operators: set them first.
            d.syncState();
            if (pattern) {
                d.op(stroke ? "/Pattern CS " + name + " SCN" : "/Pattern cs " + name + " scn");
                // The stream's colour is now the pattern: the next mark in
                // a colour writes its colour again.
                d.written_.color.r = std::numeric_limits<double>::quiet_NaN();
            }
            d.pathOp(oper);
            return 0;
        });
    }
    static int stroke(hpgs_device* dev) { return paint(dev, "stroke", "S", true); }
    static int fill(hpgs_device* dev, hpgs_bool winding) {
        return paint(dev, "fill", winding ? "f" : "f*", false);
    }
    static int setpattern(hpgs_device* dev, const hpgs_pattern* p) {
        return guarded("setpattern", [&] {
            if (!p || p->width <= 0 || p->height <= 0 || !p->argb) fail("pattern without cells");
            if (p->width > 4096 || p->height > 4096)
                fail("pattern of %d x %d cells is larger than 4096 x 4096", p->width, p->height);
            ContentDevice::Pattern pat;
            pat.width = p->width;
            pat.height = p->height;
            pat.argb.assign(p->argb, p->argb + static_cast<size_t>(p->width) * static_cast<size_t>(p->height));
            pat.toDev = p->to_dev;
            self(dev).pending_ = std::move(pat);
            return 0;
        });
    }
    static int clip(hpgs_device* dev, hpgs_bool winding) {
        return guarded("clip", [&] {
            auto& d = self(dev);
            if (d.path_.empty()) return 0;
            d.pathOp(winding ? "W n" : "W* n");
            return 0;
        });
    }
    static int clipsave(hpgs_device* dev) {
        return guarded("clipsave", [&] {
            auto& d = self(dev);
            if (d.saved_.size() >= 28) return hpgs_set_error("clipsave: nested too deeply");
            // Room for the saved state first: a "q" in the stream always
            // has its entry.
            d.saved_.reserve(d.saved_.size() + 1);
            d.op("q");
            d.saved_.push_back(d.written_);
            return 0;
        });
    }
    static int cliprestore(hpgs_device* dev) {
        return guarded("cliprestore", [&] {
            auto& d = self(dev);
            if (d.saved_.empty()) return hpgs_set_error("cliprestore without clipsave");
            d.op("Q");
            d.written_ = std::move(d.saved_.back());
            d.saved_.pop_back();
            return 0;
        });
    }
    static int setrgbcolor(hpgs_device* dev, const hpgs_color* c) {
        if (!c) return hpgs_set_error("setrgbcolor: no colour given");
        auto clamp = [](double v) { return std::isfinite(v) ? std::min(1.0, std::max(0.0, v)) : 0.0; };
        self(dev).state_.color = hpgs_color{clamp(c->r), clamp(c->g), clamp(c->b)};
        return 0;
    }
    static int setdash(hpgs_device* dev, const float* segs, unsigned n, double offset) {
        return guarded("setdash", [&] {
            std::vector<double> d;
            double total = 0;
            for (unsigned i = 0; i < n && segs; ++i) {
                if (!(segs[i] >= 0)) fail("negative dash length");
                total += segs[i];
                d.push_back(segs[i]);
            }
            // An all-zero pattern draws nothing in PDF; hpgs means solid.
            if (total <= 0) d.clear();
            auto& st = self(dev).state_;
            st.dash = std::move(d);
            st.dashOffset = st.dash.empty() ? 0.0 : offset;
            return 0;
        });
    }
    static int setlinewidth(hpgs_device* dev, double w) {
        if (!std::isfinite(w) || w < 0) return hpgs_set_error("setlinewidth: invalid width %g", w);
        self(dev).state_.width = w;
        return 0;
    }
    static int setlinecap(hpgs_device* dev, hpgs_line_cap cap) {
        self(dev).state_.cap = cap >= 0 && cap <= 2 ? static_cast<int>(cap) : 0;
        return 0;
    }
    static int setlinejoin(hpgs_device* dev, hpgs_line_join join) {
        self(dev).state_.join = join >= 0 && join <= 2 ? static_cast<int>(join) : 0;
        return 0;
    }
    static int setmiterlimit(hpgs_device* dev, double limit) {
        self(dev).state_.miter = std::isfinite(limit) && limit >= 1.0 ? limit : 1.0;
        return 0;
    }
    // Raster operations have no PDF counterpart; the one that matters for
    // drawings, "source AND destination" (0x88, used for highlighting), is
    // the multiply blend mode. Everything else paints normally.
    static int setrop3(hpgs_device* dev, int rop, hpgs_bool, hpgs_bool) {
        self(dev).state_.multiply = rop == 0x88;
        return 0;
    }
    static int setpatcol(hpgs_device*, const hpgs_color*) { return 0; }
    static int drawimage(hpgs_device* dev, const hpgs_image* img, const hpgs_point* ll,
                         const hpgs_point* lr, const hpgs_point* ur) {
        return guarded("drawimage", [&] {
            auto& d = self(dev);
            if (!img || !img->data) return 0;
            d.point(ll, "drawimage");
            d.point(lr, "drawimage");
            d.point(ur, "drawimage");
            if (img->width <= 0 || img->height <= 0 || img->depth != 24 ||
                img->stride < img->width * 3)
                fail("image %dx%d depth %d stride %d is not a 24-bit RGB image", img->width,
                     img->height, img->depth, img->stride);
            std::string pixels;
            pixels.reserve(static_cast<size_t>(img->width) * 3 * static_cast<size_t>(img->height));
            for (int y = 0; y < img->height; ++y)
                pixels.append(reinterpret_cast<const char*>(img->data) +
                                  static_cast<size_t>(y) * static_cast<size_t>(img->stride),
                              static_cast<size_t>(img->width) * 3);
            auto stream = d.target_.newStream(pixels);
            auto dict = stream.getDict();
            dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
            dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Image"));
            dict.replaceKey("/Width", QPDFObjectHandle::newInteger(img->width));
            dict.replaceKey("/Height", QPDFObjectHandle::newInteger(img->height));
            dict.replaceKey("/ColorSpace", QPDFObjectHandle::newName("/DeviceRGB"));
            dict.replaceKey("/BitsPerComponent", QPDFObjectHandle::newInteger(8));
            if (!d.xobjects_.isInitialized()) d.xobjects_ = QPDFObjectHandle::newDictionary();
            std::string name = "/Im" + std::to_string(d.nextImage_++);
            d.xobjects_.replaceKey(name, stream);
            // The unit square of image space: (0,0) lower left, first row on top.
            d.syncState();
            d.op("q " + num(lr->x - ll->x) + " " + num(lr->y - ll->y) + " " + num(ur->x - lr->x) +
                 " " + num(ur->y - lr->y) + " " + num(ll->x) + " " + num(ll->y) + " cm " + name +
                 " Do Q");
            return 0;
        });
    }
    static int setplotsize(hpgs_device*, const hpgs_bbox*) { return 0; }
    static int showpage(hpgs_device* dev, int i) { return self(dev).showpage(i); }
    static int finish(hpgs_device* dev) { return self(dev).finish(); }
    static int capabilities(hpgs_device* dev) { return self(dev).capabilities(); }
    static void destroy(hpgs_device* dev) { delete &self(dev); }
};

hpgs_device_vtable makeContentVtable(const char* rtti) {
    using O = ContentDeviceOps;
    hpgs_device_vtable v{};
    v.rtti = rtti;
    v.moveto = O::moveto;
    v.lineto = O::lineto;
    v.curveto = O::curveto;
    v.newpath = O::newpath;
    v.closepath = O::closepath;
    v.stroke = O::stroke;
    v.fill = O::fill;
    v.clip = O::clip;
    v.clipsave = O::clipsave;
    v.cliprestore = O::cliprestore;
    v.setrgbcolor = O::setrgbcolor;
    v.setdash = O::setdash;
    v.setlinewidth = O::setlinewidth;
    v.setlinecap = O::setlinecap;
    v.setlinejoin = O::setlinejoin;
    v.setmiterlimit = O::setmiterlimit;
    v.setrop3 = O::setrop3;
    v.setpatcol = O::setpatcol;
    v.drawimage = O::drawimage;
    v.setplotsize = O::setplotsize;
    v.getplotsize = nullptr;
    v.showpage = O::showpage;
    v.finish = O::finish;
    v.capabilities = O::capabilities;
    v.destroy = O::destroy;
    v.setpattern = O::setpattern;
    return v;
}

}  // namespace hpgspdf
