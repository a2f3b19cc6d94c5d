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

const ContentDevice::Tile* ContentDevice::tileFor(const Pattern& p) {
    std::string key(reinterpret_cast<const char*>(&p.width), sizeof p.width);
    key.append(reinterpret_cast<const char*>(&p.height), sizeof p.height);
    key.append(reinterpret_cast<const char*>(p.argb.data()), p.argb.size() * sizeof(uint32_t));
    if (auto it = tiles_.find(key); it != tiles_.end()) return &it->second;

    // The painted cells' mean colour goes under the clear ones.
    double sum[3] = {0, 0, 0};
    size_t painted = 0;
    for (uint32_t v : p.argb)
        if (v >> 24) {
            sum[0] += (v >> 16) & 0xff, sum[1] += (v >> 8) & 0xff, sum[2] += v & 0xff;
            ++painted;
        }
    if (painted == 0) return nullptr;
    const bool clear = painted < p.argb.size();
    auto byte = [&](int c) { return static_cast<char>(std::lround(sum[c] / static_cast<double>(painted))); };
    const char under[3] = {byte(0), byte(1), byte(2)};

    const int kx = std::max(1, (kMinTileCells + p.width - 1) / p.width);
    const int ky = std::max(1, (kMinTileCells + p.height - 1) / p.height);
    const int tw = kx * p.width, th = ky * p.height;
    // One row of cells repeated kx times, then the rows repeated ky times.
    std::string rows, maskRows;
    rows.reserve(static_cast<size_t>(tw) * 3 * static_cast<size_t>(p.height));
    if (clear) maskRows.reserve(static_cast<size_t>(tw) * static_cast<size_t>(p.height));
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < tw; ++x) {
            const uint32_t v = p.argb[static_cast<size_t>(y) * static_cast<size_t>(p.width) +
                                      static_cast<size_t>(x % p.width)];
            if (v >> 24) {
                rows += static_cast<char>((v >> 16) & 0xff);
                rows += static_cast<char>((v >> 8) & 0xff);
                rows += static_cast<char>(v & 0xff);
            } else {
                rows.append(under, 3);
            }
            if (clear) maskRows += static_cast<char>(v >> 24 ? 0xff : 0);
        }
    std::string pixels, mask;
    pixels.reserve(rows.size() * static_cast<size_t>(ky));
    for (int i = 0; i < ky; ++i) pixels += rows;
    auto image = imageStream(target_, pixels, tw, th, "/DeviceRGB");
    // Ghostscript samples a pattern's image (one cell per pixel, whichever
    // it hits) unless asked to interpolate; interpolated it averages the
    // cells smaller than a pixel as the paint device does.
    image.getDict().replaceKey("/Interpolate", QPDFObjectHandle::newBool(true));
    if (clear) {
        mask.reserve(maskRows.size() * static_cast<size_t>(ky));
        for (int i = 0; i < ky; ++i) mask += maskRows;
        auto smask = imageStream(target_, mask, tw, th, "/DeviceGray");
        smask.getDict().replaceKey("/Interpolate", QPDFObjectHandle::newBool(true));
        image.getDict().replaceKey("/SMask", smask);
        softMasks_ = true;
    }
    Tile t{image, tw, th, tiles_.size()};
    return &tiles_.emplace(std::move(key), t).first->second;
}

std::string ContentDevice::patternFor(const Pattern& p) {
    const Tile* tile = tileFor(p);
    if (!tile) return "";
    // Pattern space of the tile has y upwards with the image's first row
    // on top, so that the image draws upright: the tile's (x, y) is the
    // pattern's (x, th - y), a whole number of periods away from where
    // the cells of the pattern lie.
    const hpgs_matrix& m = p.toDev;
    const double th = tile->height;
    const double mat[6] = {m.mxx, m.myx, -m.mxy, -m.myy, m.dx + m.mxy * th, m.dy + m.myy * th};
    for (double v : mat)
        if (!std::isfinite(v)) fail("pattern matrix is not finite");
    if (m.mxx * m.myy - m.mxy * m.myx == 0) fail("pattern matrix is singular");
    // The cell size with ten decimals: a pattern repeats over thousands of
    // cells, and rounding it to a content stream's four would shift the far
    // cells of a page.
    auto matrix = QPDFObjectHandle::newArray();
    for (int i = 0; i < 6; ++i) matrix.appendItem(QPDFObjectHandle::newReal(mat[i], i < 4 ? 10 : 4));
    const std::string key = std::to_string(tile->index) + matrix.unparse();
    if (auto it = patternNames_.find(key); it != patternNames_.end()) return it->second;

    QPDFObjectHandle pattern;
    if (auto it = patterns_.find(key); it != patterns_.end()) {
        pattern = it->second;
    } else {
        pattern = target_.newStream("q " + std::to_string(tile->width) + " 0 0 " + std::to_string(tile->height) +
                                    " 0 0 cm /I0 Do Q\n");
        auto dict = pattern.getDict();
        auto bbox = QPDFObjectHandle::newArray();
        for (int v : {0, 0, tile->width, tile->height}) bbox.appendItem(QPDFObjectHandle::newInteger(v));
        auto xobjects = QPDFObjectHandle::newDictionary();
        xobjects.replaceKey("/I0", tile->image);
        auto resources = QPDFObjectHandle::newDictionary();
        resources.replaceKey("/XObject", xobjects);
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/Pattern"));
        dict.replaceKey("/PatternType", QPDFObjectHandle::newInteger(1));
        dict.replaceKey("/PaintType", QPDFObjectHandle::newInteger(1));
        dict.replaceKey("/TilingType", QPDFObjectHandle::newInteger(1));
        dict.replaceKey("/BBox", bbox);
        dict.replaceKey("/XStep", QPDFObjectHandle::newInteger(tile->width));
        dict.replaceKey("/YStep", QPDFObjectHandle::newInteger(tile->height));
        dict.replaceKey("/Matrix", matrix);
        dict.replaceKey("/Resources", resources);
        patterns_.emplace(key, pattern);
    }
    if (!patternRes_.isInitialized()) patternRes_ = QPDFObjectHandle::newDictionary();
    std::string name = "/P" + std::to_string(patternNames_.size());
    patternRes_.replaceKey(name, pattern);
    patternNames_.emplace(key, name);
    return name;
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
                name = d.patternFor(*pattern);
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
