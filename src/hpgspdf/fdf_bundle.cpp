// FDF bundles: import, counting and drawing of the drawn annotations, and
// the import of the others into a PDF document as real annotations.
#include "common.h"
#include "content_device.h"
#include "document.h"
#include "fdf_bundle.h"

#include <qpdf/QPDFPageObjectHelper.hh>

#include <cmath>
#include <set>

namespace hpgspdf {
namespace {

// PDF annotation flags.
constexpr int kInvisible = 1, kHidden = 2, kPrint = 4, kNoView = 32, kReadOnly = 64,
              kLocked = 128, kLockedContents = 512;

bool meets(const hpgs_bbox& r, const double* offset, const hpgs_bbox* box) {
    if (!box) return true;
    double dx = offset ? offset[0] : 0, dy = offset ? offset[1] : 0;
    return r.llx + dx <= box->urx && r.urx + dx >= box->llx && r.lly + dy <= box->ury &&
           r.ury + dy >= box->lly;
}

// Draws an annotation's appearance stream.
class AppearanceDevice : public ContentDevice {
public:
    explicit AppearanceDevice(QPDF& target) : ContentDevice(target, vtable()) {}
    using ContentDevice::takeContent;
    using ContentDevice::takeResources;

protected:
    int finish() override { return 0; }
    int capabilities() override { return HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_CURVES; }

private:
    static const hpgs_device_vtable* vtable() {
        static const hpgs_device_vtable v = makeContentVtable("hpgs_pdf_appearance_device");
        return &v;
    }
};

// A direct copy of a value of another document. Streams (appearances, rich
// text) are left out: the import writes its own appearance. An indirect
// object met again on its own path (a reference cycle) becomes null, and a
// budget of nodes per copy bounds what shared references could multiply.
class ValueCopier {
public:
    QPDFObjectHandle copy(QPDFObjectHandle v) {
        if (--budget_ < 0 || v.isStream()) return QPDFObjectHandle::newNull();
        QPDFObjGen og = v.getObjGen();
        bool indirect = v.isIndirect();
        if (indirect && !path_.insert(og).second) return QPDFObjectHandle::newNull();
        QPDFObjectHandle out;
        if (v.isArray()) {
            out = QPDFObjectHandle::newArray();
            for (int i = 0; i < v.getArrayNItems() && budget_ > 0; ++i) out.appendItem(copy(v.getArrayItem(i)));
        } else if (v.isDictionary()) {
            out = QPDFObjectHandle::newDictionary();
            for (const auto& key : v.getKeys()) {
                if (budget_ <= 0) break;
                out.replaceKey(key, copy(v.getKey(key)));
            }
        } else if (v.isNull()) {
            out = QPDFObjectHandle::newNull();
        } else {
            out = QPDFObjectHandle::parse(v.unparseResolved());
        }
        if (indirect) path_.erase(og);
        return out;
    }

private:
    int budget_ = 100000;
    std::set<QPDFObjGen> path_;
};

QPDFObjectHandle copyValue(QPDFObjectHandle v) { return ValueCopier().copy(v); }

QPDFObjectHandle colourArray(const hpgs_color& c) {
    auto a = QPDFObjectHandle::newArray();
    a.appendItem(QPDFObjectHandle::newReal(c.r, 4));
    a.appendItem(QPDFObjectHandle::newReal(c.g, 4));
    a.appendItem(QPDFObjectHandle::newReal(c.b, 4));
    return a;
}

QPDFObjectHandle importOne(QPDF& dest, QPDFObjectHandle page, const Annotation& a) {
    auto annot = QPDFObjectHandle::newDictionary();
    static const char* const skipped[] = {"/Page", "/P", "/AP", "/AS", "/Popup", "/Parent", "/IRT"};
    QPDFObjectHandle original = a.original;
    if (original.isDictionary()) {
        for (const auto& key : original.getKeys()) {
            bool skip = false;
            for (const char* s : skipped) skip = skip || key == s;
            if (!skip) annot.replaceKey(key, copyValue(original.getKey(key)));
        }
    }
    annot.replaceKey("/Type", QPDFObjectHandle::newName("/Annot"));
    annot.replaceKey("/Subtype", QPDFObjectHandle::newName(a.subtype));
    annot.replaceKey("/Rect", boxArray(a.rect));
    annot.replaceKey("/P", page);
    if (a.color) annot.replaceKey("/C", colourArray(*a.color));

    auto f = annot.getKey("/F");
    int flags = f.isInteger() ? static_cast<int>(f.getIntValue() & 0x3FF) : 0;
    // Viewers and printers show the annotation; ghostscript draws only
    // annotations flagged for printing.
    flags = (flags & ~(kInvisible | kHidden | kNoView)) | kPrint;
    if (a.mode == HPGS_PDF_FDF_IMPORT_LOCKED) flags |= kReadOnly | kLocked | kLockedContents;
    annot.replaceKey("/F", QPDFObjectHandle::newInteger(flags));

    AppearanceDevice dev(dest);
    paintAnnotation(dev.device(), a, 0, 0);
    auto form = dest.newStream(dev.takeContent());
    auto dict = form.getDict();
    dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
    dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
    dict.replaceKey("/BBox", boxArray(a.rect));
    dict.replaceKey("/Resources", dev.takeResources());
    auto ap = QPDFObjectHandle::newDictionary();
    ap.replaceKey("/N", form);
    annot.replaceKey("/AP", ap);
    return dest.makeIndirectObject(annot);
}

}  // namespace
}  // namespace hpgspdf

using namespace hpgspdf;

extern "C" {

hpgs_pdf_fdf_bundle* hpgs_pdf_new_fdf_bundle(void) {
    auto* b = new (std::nothrow) hpgs_pdf_fdf_bundle;
    if (!b) hpgs_set_error("hpgs_pdf_new_fdf_bundle: out of memory");
    return b;
}

void hpgs_pdf_fdf_bundle_destroy(hpgs_pdf_fdf_bundle* bundle) { delete bundle; }

int hpgs_pdf_fdf_bundle_import_fdf(hpgs_pdf_fdf_bundle* bundle, hpgs_istream* is,
                                   const char* author, const char* title, const char* encoding,
                                   const double* color, int mode) {
    hpgs::UniqueIstream in(is);
    return guarded("FDF import", [&] {
        if (!bundle) fail("no bundle given");
        if (!is) fail("no FDF input stream given");
        if (mode != HPGS_PDF_FDF_IMPORT && mode != HPGS_PDF_FDF_DRAW &&
            mode != HPGS_PDF_FDF_IMPORT_LOCKED)
            fail("import mode %d is not 0, 2 or 3", mode);
        std::optional<hpgs_color> override;
        if (color) {
            for (int i = 0; i < 3; ++i)
                if (!(color[i] >= 0.0 && color[i] <= 1.0))
                    fail("colour component %g is not between 0 and 1", color[i]);
            override = hpgs_color{color[0], color[1], color[2]};
        }
        std::string authorText = author ? toUtf8(author, encoding) : "";
        std::string titleText = title ? toUtf8(title, encoding) : "";
        auto parsed = parseFdf(readAll(is, "the FDF input"));
        for (auto& a : parsed) {
            a.mode = mode;
            if (override) a.color = override;
            // The texts and colour also reach the imported dictionary.
            if (a.original.isDictionary()) {
                a.original = copyValue(a.original);
                if (!authorText.empty())
                    a.original.replaceKey("/T", QPDFObjectHandle::newUnicodeString(authorText));
                if (!titleText.empty())
                    a.original.replaceKey("/Subj", QPDFObjectHandle::newUnicodeString(titleText));
            }
        }
        // Copying the dictionaries read more of the FDF.
        if (!parsed.empty() && parsed.front().source) takeWarnings(*parsed.front().source);
        // All or nothing: once there is room for all of them, moving them
        // in cannot fail.
        bundle->annotations.reserve(bundle->annotations.size() + parsed.size());
        for (auto& a : parsed) bundle->annotations.push_back(std::move(a));
        return 0;
    });
}

int hpgs_pdf_fdf_bundle_count_annotations(hpgs_pdf_fdf_bundle* bundle, int* count,
                                          const double* offset, const hpgs_bbox* page_box,
                                          int page) {
    return guarded("hpgs_pdf_fdf_bundle_count_annotations", [&] {
        if (!bundle || !count) fail("no bundle or result given");
        int n = 0;
        for (const auto& a : bundle->annotations)
            if (a.mode == HPGS_PDF_FDF_DRAW && a.page == page && meets(a.rect, offset, page_box)) ++n;
        *count = n;
        return 0;
    });
}

int hpgs_pdf_fdf_bundle_render(hpgs_pdf_fdf_bundle* bundle, hpgs_device* dev,
                               const double* offset, const hpgs_bbox* page_box, int page) {
    return guarded("FDF annotation drawing", [&] {
        if (!bundle || !dev) fail("no bundle or device given");
        double dx = offset ? offset[0] : 0, dy = offset ? offset[1] : 0;
        if (!std::isfinite(dx) || !std::isfinite(dy)) fail("offset is not finite");
        bool clipped = false;
        for (const auto& a : bundle->annotations) {
            if (a.mode != HPGS_PDF_FDF_DRAW || a.page != page || !meets(a.rect, offset, page_box))
                continue;
            if (page_box && !clipped) {
                if (hpgs_clipsave(dev) != 0) throw Error(hpgs_get_error());
                hpgs_point c[4] = {{page_box->llx, page_box->lly}, {page_box->urx, page_box->lly},
                                   {page_box->urx, page_box->ury}, {page_box->llx, page_box->ury}};
                if (hpgs_moveto(dev, &c[0]) || hpgs_lineto(dev, &c[1]) || hpgs_lineto(dev, &c[2]) ||
                    hpgs_lineto(dev, &c[3]) || hpgs_closepath(dev) || hpgs_clip(dev, HPGS_TRUE))
                    throw Error(hpgs_get_error());
                clipped = true;
            }
            paintAnnotation(dev, a, dx, dy);
        }
        if (clipped && hpgs_cliprestore(dev) != 0) throw Error(hpgs_get_error());
        return 0;
    });
}

int hpgs_pdf_file_import_fdf_bundle(hpgs_pdf_file* pdf, hpgs_pdf_fdf_bundle* bundle, double border) {
    return guardedOn(pdf, "hpgs_pdf_file_import_fdf_bundle", [&] {
        QPDF& dest = usable(pdf);
        if (!bundle) fail("no bundle given");
        if (!std::isfinite(border) || border < 0) fail("border %g is not a length", border);
        const auto& pages = dest.getAllPages();
        for (const auto& a : bundle->annotations) {
            if (a.mode == HPGS_PDF_FDF_DRAW) continue;
            if (a.page < 0 || static_cast<size_t>(a.page) >= pages.size()) {
                hpgs_log("FDF %s annotation on page %d skipped: the document has %zu pages\n",
                         a.subtype.c_str(), a.page, pages.size());
                continue;
            }
            QPDFObjectHandle page = pages[static_cast<size_t>(a.page)];
            hpgs_bbox area = cropBoxOf(page);
            area.llx -= border;
            area.lly -= border;
            area.urx += border;
            area.ury += border;
            if (!meets(a.rect, nullptr, &area)) {
                hpgs_log("FDF %s annotation on page %d skipped: it lies outside the page\n",
                         a.subtype.c_str(), a.page);
                continue;
            }
            auto annot = importOne(dest, page, a);
            auto annots = page.getKey("/Annots");
            if (!annots.isArray()) {
                annots = QPDFObjectHandle::newArray();
                page.replaceKey("/Annots", annots);
            }
            annots.appendItem(annot);
        }
        return 0;
    });
}

}  // extern "C"
