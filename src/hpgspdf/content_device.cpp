#include "content_device.h"

#include "common.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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
    xobjects_ = QPDFObjectHandle();
    extgstates_ = QPDFObjectHandle();
    nextImage_ = 0;
    return res;
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
    static int paint(hpgs_device* dev, const char* what, const char* oper) {
        return guarded(what, [&] {
            auto& d = self(dev);
            if (d.path_.empty()) return 0;
            // Path construction admits no state operators: set them first.
            d.syncState();
            d.pathOp(oper);
            return 0;
        });
    }
    static int stroke(hpgs_device* dev) { return paint(dev, "stroke", "S"); }
    static int fill(hpgs_device* dev, hpgs_bool winding) {
        return paint(dev, "fill", winding ? "f" : "f*");
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
    return v;
}

}  // namespace hpgspdf
