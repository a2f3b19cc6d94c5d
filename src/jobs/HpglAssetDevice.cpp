#include "HpglAssetDevice.h"

#include "hpgs/hpgs_observed.h"
#include "plume/Log.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace Xadra {

namespace {

constexpr int kCapabilities = HPGS_DEVICE_CAP_ROP3 | HPGS_DEVICE_CAP_CURVES | HPGS_DEVICE_CAP_MULTISIZE |
                              HPGS_DEVICE_CAP_PAGECOLLATION | HPGS_DEVICE_CAP_MULTIPAGE | HPGS_DEVICE_CAP_VECTOR;

struct AssetDevice {
    hpgs_device base;  // must stay the first member
    hpgs_ostream* out;
    int pen = -1;
    int state = -1;  // -1 no polygon mode, 0 polygon mode open, 1 encoded polyline running
    hpgs_matrix matrix{0, 0, 1, 0, 0, 1};
    double scale = 1.0;
    hpgs_point start{0, 0}, current{0, 0};
    int64_t lastX = 0, lastY = 0;
    int fractDigits = 0, fractBits = 0, maxFractBits = 0;
    int rop = 252;
    bool srcTransparent = true, patTransparent = true;
    double width = 1.0;
    double red = 0, green = 0, blue = 0;
    int (*beforeWrite)(void*) = nullptr;  // lets a copy stream writing to out go first
    void* beforeWriteContext = nullptr;
};

AssetDevice* self(hpgs_device* d) { return reinterpret_cast<AssetDevice*>(d); }

// Writes s; on failure sets "<what>: <reason>" and returns -1.
int put(AssetDevice* d, const std::string& s, const char* what) {
    if (s.empty()) return 0;
    if (d->beforeWrite && d->beforeWrite(d->beforeWriteContext) != 0)
        return hpgs_set_error("%s: the copied input could not be written", what);
    errno = 0;
    if (hpgs_ostream_write(s.data(), 1, s.size(), d->out) != s.size() || hpgs_ostream_iserror(d->out))
        return hpgs_set_error("%s: %s", what, std::strerror(errno ? errno : EIO));
    return 0;
}

int component(double c) { return static_cast<int>(c * 255.0 + 0.5); }

std::string printf1(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string printf1(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = Plume::vformat(fmt, ap);
    va_end(ap);
    return s;
}

hpgs_point mapped(const AssetDevice* d, const hpgs_point* p) {
    hpgs_point r;
    hpgs_matrix_ixform(&r, &d->matrix, p);
    return r;
}

int64_t encoded(const AssetDevice* d, double v) { return static_cast<int64_t>(std::floor(v * d->scale + 0.5)); }

// Starts a polyline at the current point (PU PA, polygon mode, PE).
void beginPolyline(AssetDevice* d, std::string& s) {
    s += printf1("PUPA%.*lf,%.*lf%sPE", d->fractDigits, d->current.x, d->fractDigits, d->current.y,
                 d->state == -1 ? "PM0" : "");
    d->lastX = encoded(d, d->current.x);
    d->lastY = encoded(d, d->current.y);
    if (d->fractBits >= 1) {
        s += '>';
        appendPeNumber(s, d->fractBits);
    }
    appendPeNumber(s, 0);
    appendPeNumber(s, 0);
    d->state = 1;
    d->start = d->current;
}

void encodePoint(AssetDevice* d, std::string& s, const hpgs_point& p) {
    const int64_t ix = encoded(d, p.x), iy = encoded(d, p.y);
    appendPeNumber(s, ix - d->lastX);
    appendPeNumber(s, iy - d->lastY);
    d->lastX = ix;
    d->lastY = iy;
    d->current = p;
}

int moveto(hpgs_device* dev, const hpgs_point* p) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) return 0;
    d->current = mapped(d, p);
    if (d->state == 1) {
        d->state = 0;
        return put(d, ";PM1", "moveto");
    }
    return 0;
}

int lineto(hpgs_device* dev, const hpgs_point* p) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) return 0;
    std::string s;
    if (d->state < 1) beginPolyline(d, s);
    encodePoint(d, s, mapped(d, p));
    return put(d, s, "lineto");
}

int curveto(hpgs_device* dev, const hpgs_point* p1, const hpgs_point* p2, const hpgs_point* p3) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) return 0;
    std::string s;
    if (d->state < 1) beginPolyline(d, s);
    const hpgs_point a = d->current, b = mapped(d, p1), c = mapped(d, p2), e = mapped(d, p3);
    const double len = std::hypot(b.x - a.x, b.y - a.y) + std::hypot(c.x - b.x, c.y - b.y) +
                       std::hypot(e.x - c.x, e.y - c.y);
    const double steps = std::ceil(len * d->scale / 3.0);
    const long n = steps >= 1.0 && steps < 1e6 ? static_cast<long>(steps) : (steps >= 1e6 ? 1000000 : 1);
    for (long k = 1; k <= n; ++k) {
        const double t = static_cast<double>(k) / static_cast<double>(n), u = 1.0 - t;
        const hpgs_point q{u * u * u * a.x + 3.0 * u * t * (u * b.x + t * c.x) + t * t * t * e.x,
                           u * u * u * a.y + 3.0 * u * t * (u * b.y + t * c.y) + t * t * t * e.y};
        encodePoint(d, s, q);
    }
    return put(d, s, "lineto");
}

int closepath(hpgs_device* dev) {
    AssetDevice* d = self(dev);
    if (d->pen < 0 || d->state < 1) return 0;
    d->state = 0;
    d->current = d->start;
    return put(d, ";PM1", "closepath");
}

int newpath(hpgs_device* dev) {
    AssetDevice* d = self(dev);
    if (d->pen < 0 || d->state < 0) return 0;
    d->state = -1;
    return put(d, ";PM2", "newpath");
}

int stroke(hpgs_device* dev) {
    AssetDevice* d = self(dev);
    if (d->pen < 0 || d->state < 0) return 0;
    d->state = -1;
    return put(d, ";PM2EP", "stroke");
}

int fill(hpgs_device* dev, hpgs_bool winding) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) return 0;
    d->state = -1;
    return put(d, printf1(";PM2FP%d", winding ? 1 : 0), "fill");
}

int setrgbcolor(hpgs_device* dev, const hpgs_color* c) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) {
        d->red = c->r;
        d->green = c->g;
        d->blue = c->b;
        return 0;
    }
    return put(d, printf1("PC%d,%d,%d,%d", d->pen, component(c->r), component(c->g), component(c->b)),
               "setrgbcolor");
}

std::string ropSequence(int rop, bool srcTransparent, bool patTransparent) {
    return printf1("\x1b%%1A\x1b*v%dN\x1b*v%dO\x1b*l%dO\x1b%%1B", srcTransparent ? 0 : 1, patTransparent ? 0 : 1,
                   rop);
}

int setrop3(hpgs_device* dev, int rop, hpgs_bool src, hpgs_bool pat) {
    AssetDevice* d = self(dev);
    if (d->pen < 0) {
        d->rop = rop;
        d->srcTransparent = src;
        d->patTransparent = pat;
        return 0;
    }
    return put(d, ropSequence(rop, src, pat) + printf1("FT1SP%d", d->pen), "setrop3");
}

// HP-GL/2 output keeps no clip regions; the clip path is dropped like a
// new path, so that the next stroke or fill does not draw it.
int clip(hpgs_device* dev, hpgs_bool) { return newpath(dev); }

int ignore(hpgs_device*) { return 0; }
int ignoreDash(hpgs_device*, const float*, unsigned, double) { return 0; }
int setlinewidth(hpgs_device* dev, double w) {
    self(dev)->width = w;
    return 0;
}
int ignoreCap(hpgs_device*, hpgs_line_cap) { return 0; }
int ignoreJoin(hpgs_device*, hpgs_line_join) { return 0; }
int ignoreMiter(hpgs_device*, double) { return 0; }
int ignorePatcol(hpgs_device*, const hpgs_color*) { return 0; }
int capabilities(hpgs_device*) { return kCapabilities; }
void destroy(hpgs_device* dev) { delete self(dev); }

const hpgs_device_vtable kVtable = {
    "hpgs_hpgl_asset_device",
    moveto,
    lineto,
    curveto,
    newpath,
    closepath,
    stroke,
    fill,
    clip,
    ignore,         // clipsave
    ignore,         // cliprestore
    setrgbcolor,
    ignoreDash,
    setlinewidth,
    ignoreCap,
    ignoreJoin,
    ignoreMiter,
    setrop3,
    ignorePatcol,
    nullptr,  // drawimage
    nullptr,  // setplotsize
    nullptr,  // getplotsize
    nullptr,  // showpage
    nullptr,  // finish
    capabilities,
    destroy,
    // Assets (stamps, annotations) bring no raster patterns, and the input's
    // own pattern commands pass through the copy stream as written.
    nullptr,  // setpattern
};

AssetDevice* asset(hpgs_device* dev) {
    return dev && dev->vtable == &kVtable ? self(dev) : nullptr;
}

// ------------------------------------------------------------ copy stream

// The hold-back rules applied to the bytes the reader takes from the
// observed stream under the copy stream. The reader scans the input's
// buffer in place and the bytes arrive here in runs: between the commands
// that are held back (PG, FR) a run is passed on whole, without a step per
// byte.
class CopyObserver : public hpgs::ByteObserver {
public:
    explicit CopyObserver(hpgs_ostream* out) : out_(out) {}

    int taken(const unsigned char* p, size_t n) override {
        size_t i = 0;
        while (i < n) {
            if (count_ == 2 && mode_ == 0) {
                // Two bytes held that start no held-back command: each byte
                // passes the first held one on and is held itself, until a
                // byte completes "PG" or "FR" with the one before it.
                const size_t j = nextHoldStart(p, i, n);
                const size_t m = j - i;
                if (m == 1) {
                    if (emit(held_, 1) != 0) return -1;
                    held_[0] = held_[1];
                    held_[1] = p[i];
                } else if (m > 1) {
                    if (emit(held_, 2) != 0 || emit(p + i, m - 2) != 0) return -1;
                    held_[0] = p[j - 2];
                    held_[1] = p[j - 1];
                }
                i = j;
                if (i == n) break;
            }
            if (step(p[i++]) != 0) return -1;
        }
        return 0;
    }
    int flush() override { return flushHeld() == 0 && writePending() == 0 ? 0 : -1; }
    bool give_back() override {
        if (count_ == 0) return false;
        --count_;
        return true;
    }
    void drop_kept() override {
        count_ = 0;
        mode_ = 0;
    }
    // What was passed on is written; held bytes are not (as on a seek).
    int finish() override { return writePending(); }

    int writePending() {
        if (pending_.empty()) return 0;
        const size_t n = pending_.size();
        const bool ok = hpgs_ostream_write(pending_.data(), 1, n, out_) == n;
        pending_.clear();
        return ok ? 0 : -1;
    }

private:
    // The first index from i on whose byte completes "PG" or "FR" with the
    // byte before it (the last held one for i), n when there is none.
    size_t nextHoldStart(const unsigned char* p, size_t i, size_t n) const {
        const unsigned char* const end = p + n;
        auto find = [end](const unsigned char* from, unsigned char x) {
            const void* q = std::memchr(from, x, static_cast<size_t>(end - from));
            return q ? static_cast<const unsigned char*>(q) : end;
        };
        const unsigned char* g = find(p + i, 'G');
        const unsigned char* r = find(p + i, 'R');
        while (g < end || r < end) {
            const unsigned char* q = std::min(g, r);
            const unsigned char before = q == p + i ? held_[1] : q[-1];
            if ((*q == 'G' && before == 'P') || (*q == 'R' && before == 'F')) return static_cast<size_t>(q - p);
            if (q == g) g = find(q + 1, 'G');
            else r = find(q + 1, 'R');
        }
        return n;
    }
    int emit(const unsigned char* p, size_t n) {
        pending_.append(reinterpret_cast<const char*>(p), n);
        return pending_.size() >= 65536 ? writePending() : 0;
    }
    int flushHeld() {
        if (count_ == 0) return 0;
        const size_t n = static_cast<size_t>(count_);
        count_ = 0;
        return emit(held_, n);
    }
    void holdAlone(unsigned char x) {
        held_[0] = x;
        count_ = 1;
    }
    void afterOne(unsigned char x) {
        const unsigned char b = held_[0];
        mode_ = (b == 'P' && x == 'G') ? 1 : (b == 'F' && x == 'R') ? 2 : 0;
        held_[count_++] = x;
    }
    // One byte through the hold-back rules.
    int step(unsigned char b) {
        if (count_ == 0) {
            holdAlone(b);
        } else if (count_ == 1) {
            afterOne(b);
        } else if (count_ == 2) {
            if (mode_ != 0) {
                held_[count_++] = b;
            } else {
                if (emit(held_, 1) != 0) return -1;
                held_[0] = held_[1];
                count_ = 1;
                afterOne(b);
            }
        } else if (count_ < 32) {
            const unsigned char last = held_[count_ - 1];
            if (std::isspace(last)) {
                held_[count_++] = b;
                if (mode_ == 3) mode_ = 4;
            } else if (mode_ != 0 && mode_ != 4 && std::isdigit(last)) {
                // The number of a PG (PG1;) or FR is held with it, so that the
                // frame's annotations go before the command, not into it.
                held_[count_++] = b;
                mode_ = 3;
            } else {
                if (flushHeld() != 0) return -1;
                holdAlone(b);
            }
        } else {
            if (flushHeld() != 0) return -1;
            holdAlone(b);
        }
        return 0;
    }

    hpgs_ostream* out_;
    unsigned char held_[32] = {};
    int count_ = 0;
    int mode_ = 0;  // 0 none, 1 PG seen, 2 FR seen, 3 digits after FR, 4 blank after the digits
    // Bytes passed on but not yet written: one write per 64 KiB instead of
    // one per run. Written before anything else writes to out.
    std::string pending_;
};

}  // namespace

void appendPeNumber(std::string& out, int64_t n) {
    uint64_t v = n >= 0 ? 2 * static_cast<uint64_t>(n) : 1 + 2 * static_cast<uint64_t>(-(n + 1)) + 2;
    while (v > 63) {
        out += static_cast<char>(v % 64 + 63);
        v /= 64;
    }
    out += static_cast<char>(v % 64 + 191);
}

hpgs_device* newHpglAssetDevice(hpgs_ostream* out, int maxFractBits) {
    if (!out) {
        hpgs_set_error("HPGL asset device: no output stream given.");
        return nullptr;
    }
    auto* d = new (std::nothrow) AssetDevice{};
    if (!d) {
        hpgs_set_error("HPGL asset device: out of memory.");
        return nullptr;
    }
    d->base.vtable = &kVtable;
    d->out = out;
    d->maxFractBits = maxFractBits;
    return &d->base;
}

int startAsset(hpgs_device* dev, int pen, const hpgs_matrix& m) {
    AssetDevice* d = asset(dev);
    if (!d) return hpgs_set_error("startAsset: not an HPGL asset device.");
    d->pen = pen;
    d->state = -1;
    d->matrix = m;
    const double s = 1.0 / std::sqrt(std::fabs(m.mxx * m.myy - m.mxy * m.myx));
    hpgs_log("hpgs_hpgl_asset_device_start_asset: scale=%lg,fbits=%lg\n", s, std::log2(s));
    if (s > 1.0 && std::isfinite(s)) {
        d->fractBits = static_cast<int>(std::ceil(std::log2(s)));
        d->fractDigits = static_cast<int>(std::ceil(std::log10(s)));
        if (d->fractBits > d->maxFractBits) d->fractBits = d->maxFractBits;
        d->scale = std::ldexp(1.0, d->fractBits);
    } else {
        d->fractBits = 0;
        d->fractDigits = 0;
        d->scale = 1.0;
    }
    hpgs_log("hpgs_hpgl_asset_device_start_asset: fract_bits=%d,fract_digits=%d\n", d->fractBits, d->fractDigits);
    d->lastX = d->lastY = 0;
    d->start = d->current = hpgs_point{0, 0};
    return put(d, "IW", "startAsset") == 0 ? 0 : -1;
}

int finishAsset(hpgs_device* dev) {
    AssetDevice* d = asset(dev);
    if (!d) return hpgs_set_error("finishAsset: not an HPGL asset device.");
    const std::string s = printf1("PC%d,%d,%d,%d", d->pen, component(d->red), component(d->green), component(d->blue)) +
                          ropSequence(d->rop, d->srcTransparent, d->patTransparent);
    d->pen = -1;
    return put(d, s, "finishAsset");
}

int flushHpglCopyStream(hpgs_istream* stream) {
    auto* c = dynamic_cast<CopyObserver*>(hpgs::observer_of(stream));
    if (!c) return hpgs_set_error("Not an HPGL copy stream.");
    return hpgs::observed_istream_sync(stream) == 0 && c->writePending() == 0 ? 0 : -1;
}
void setBeforeWrite(hpgs_device* dev, int (*fn)(void*), void* context) {
    if (AssetDevice* d = asset(dev)) {
        d->beforeWrite = fn;
        d->beforeWriteContext = context;
    }
}

void setMaxFractBits(hpgs_device* dev, int bits) {
    if (AssetDevice* d = asset(dev)) d->maxFractBits = bits;
}

hpgs_istream* newHpglCopyStream(hpgs_istream* in, hpgs_ostream* out) {
    if (!in || !out) {
        hpgs_istream_close(in);
        hpgs_set_error("HPGL copy stream: no %s stream given.", in ? "output" : "input");
        return nullptr;
    }
    std::unique_ptr<CopyObserver> c(new (std::nothrow) CopyObserver(out));
    if (!c) {
        hpgs_istream_close(in);
        hpgs_set_error("HPGL copy stream: out of memory.");
        return nullptr;
    }
    // Closes in itself when it fails.
    return hpgs::new_observed_istream(in, std::move(c));
}

}  // namespace Xadra
