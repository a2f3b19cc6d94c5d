// The PDF output device (one page per showpage, written at finish) and the
// page devices that draw over or behind a page of an existing document.
#include "common.h"
#include "content_device.h"
#include "document.h"

#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <libdeflate.h>

#include <memory>
#include <optional>

namespace hpgspdf {
namespace {

constexpr const char* kPdfDeviceRtti = "hpgs_pdf_device";
constexpr const char* kAnnoDeviceRtti = "hpgs_pdf_anno_device";
constexpr const char* kBackgroundDeviceRtti = "hpgs_pdf_background_device";

const hpgs_device_vtable* vtableFor(const char* rtti) {
    static const hpgs_device_vtable pdf = makeContentVtable(kPdfDeviceRtti);
    static const hpgs_device_vtable anno = makeContentVtable(kAnnoDeviceRtti);
    static const hpgs_device_vtable background = makeContentVtable(kBackgroundDeviceRtti);
    return rtti == kPdfDeviceRtti ? &pdf : rtti == kAnnoDeviceRtti ? &anno : &background;
}

class PdfDevice : public ContentDevice {
public:
    // level 0 stores content streams as they are, 1 to 9 deflates them.
    PdfDevice(std::shared_ptr<QPDF> doc, std::string path, const hpgs_bbox& box, int level)
        : ContentDevice(*doc, vtableFor(kPdfDeviceRtti)),
          doc_(std::move(doc)),
          path_(std::move(path)),
          defaultBox_(box),
          level_(level) {}

    QPDF& doc() { return *doc_; }
    void setPageBox(const hpgs_bbox& box) { pageBox_ = box; }

protected:
    int showpage(int) override {
        return guarded("hpgs_pdf_device showpage", [&] {
            addPage();
            return 0;
        });
    }
    int finish() override {
        return guarded("hpgs_pdf_device finish", [&] {
            if (hasContent() || doc_->getAllPages().empty()) addPage();
            QPDFWriter w(*doc_, path_.c_str());
            // Content streams arrive deflated (or are meant to stay plain);
            // qpdf leaves deflated streams as they are.
            w.setCompressStreams(false);
            w.setDeterministicID(true);
            if (usesSoftMasks()) w.setMinimumPDFVersion("1.4");
            w.write();
            return 0;
        });
    }
    int capabilities() override {
        return HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_MULTIPAGE |
               HPGS_DEVICE_CAP_PAGECOLLATION | HPGS_DEVICE_CAP_MULTISIZE |
               HPGS_DEVICE_CAP_CURVES | HPGS_DEVICE_CAP_DRAWIMAGE | HPGS_DEVICE_CAP_PATTERN;
    }

private:
    void addPage() {
        auto page = QPDFObjectHandle::newDictionary();
        page.replaceKey("/Type", QPDFObjectHandle::newName("/Page"));
        page.replaceKey("/MediaBox", boxArray(pageBox_.value_or(defaultBox_)));
        page.replaceKey("/Resources", takeResources());
        page.replaceKey("/Contents", contentStream(takeContent()));
        doc_->addPage(doc_->makeIndirectObject(page), false);
        pageBox_.reset();
    }

    // The page content as a stream, deflated at the device's level with
    // libdeflate, which takes a fraction of zlib's time for the same size:
    // deflating dominated writing large drawings.
    QPDFObjectHandle contentStream(const std::string& content) {
        if (level_ == 0) return doc_->newStream(content);
        if (!compressor_) {
            compressor_.reset(libdeflate_alloc_compressor(deflateLevel(level_)));
            if (!compressor_) throw std::bad_alloc();
        }
        std::string out(libdeflate_zlib_compress_bound(compressor_.get(), content.size()), '\0');
        const size_t n = libdeflate_zlib_compress(compressor_.get(), content.data(), content.size(), out.data(),
                                                  out.size());
        if (n == 0) fail("page content of %zu bytes could not be deflated", content.size());
        out.resize(n);
        auto stream = doc_->newStream();
        stream.replaceStreamData(out, QPDFObjectHandle::newName("/FlateDecode"), QPDFObjectHandle::newNull());
        return stream;
    }

    // Levels 1 to 6 take libdeflate's fastest setting: on drawing content
    // it comes within 8 % of its level-6 size at 60 % of the time (the
    // harmonograph: 1.17 against 1.09 MB). 7 to 9 trade time for size up to
    // libdeflate's best.
    static int deflateLevel(int level) { return level <= 6 ? 1 : level == 7 ? 6 : level == 8 ? 9 : 12; }

    struct CompressorFree {
        void operator()(libdeflate_compressor* c) const noexcept { libdeflate_free_compressor(c); }
    };
    std::shared_ptr<QPDF> doc_;
    std::string path_;
    hpgs_bbox defaultBox_;
    std::optional<hpgs_bbox> pageBox_;
    int level_;
    std::unique_ptr<libdeflate_compressor, CompressorFree> compressor_;
};

// Draws into a form XObject that finish places over or behind the page's
// content: the page's own resources stay untouched but for one name.
class PageDevice : public ContentDevice {
public:
    PageDevice(hpgs_pdf_file* file, QPDFObjectHandle page, bool over)
        : ContentDevice(*file->qpdf, vtableFor(over ? kAnnoDeviceRtti : kBackgroundDeviceRtti)),
          page_(std::move(page)),
          over_(over) {}

protected:
    int finish() override {
        return guarded(over_ ? "hpgs_pdf_anno_device finish" : "hpgs_pdf_background_device finish",
                       [&] {
                           if (hasContent()) commit();
                           takeWarnings(target_);  // the page's attributes were read
                           return 0;
                       });
    }
    int capabilities() override {
        return HPGS_DEVICE_CAP_VECTOR | HPGS_DEVICE_CAP_CURVES | HPGS_DEVICE_CAP_DRAWIMAGE |
               HPGS_DEVICE_CAP_PATTERN;
    }

private:
    void commit() {
        QPDFPageObjectHelper ph(page_);
        auto form = target_.newStream(takeContent());
        auto dict = form.getDict();
        dict.replaceKey("/Type", QPDFObjectHandle::newName("/XObject"));
        dict.replaceKey("/Subtype", QPDFObjectHandle::newName("/Form"));
        dict.replaceKey("/BBox", boxArray(mediaBoxOf(page_)));
        dict.replaceKey("/Resources", takeResources());

        auto resources = ph.getAttribute("/Resources", true);
        if (!resources.isDictionary()) {
            resources = QPDFObjectHandle::newDictionary();
            page_.replaceKey("/Resources", resources);
        }
        auto xobjects = resources.getKey("/XObject");
        if (!xobjects.isDictionary()) {
            xobjects = QPDFObjectHandle::newDictionary();
            resources.replaceKey("/XObject", xobjects);
        }
        std::string name;
        for (int i = 0;; ++i) {
            name = "/Fxad" + std::to_string(i);
            if (!xobjects.hasKey(name)) break;
        }
        xobjects.replaceKey(name, form);

        std::string place = "q " + name + " Do Q\n";
        if (!page_.getKey("/Contents").isInitialized() || page_.getKey("/Contents").isNull()) {
            page_.replaceKey("/Contents", target_.newStream(place));
        } else if (over_) {
            // The page's own content may leave its graphics state changed;
            // q/Q around it gives the drawing the page's initial state.
            ph.addPageContents(target_.newStream("q\n"), true);
            ph.addPageContents(target_.newStream("\nQ\n" + place), false);
        } else {
            ph.addPageContents(target_.newStream(place), true);
        }
    }

    QPDFObjectHandle page_;
    bool over_;
};

hpgs_device* newPageDevice(hpgs_pdf_file* pdf, int page, bool over) {
    hpgs_device* dev = nullptr;
    guarded(over ? "hpgs_pdf_file_new_anno_device" : "hpgs_pdf_file_new_background_device", [&] {
        auto p = pageOf(usable(pdf), page);
        dev = std::make_unique<PageDevice>(pdf, p, over).release()->device();
        return 0;
    });
    return dev;
}

PdfDevice* pdfDevice(hpgs_device* dev) {
    auto* d = ContentDevice::from(dev, kPdfDeviceRtti);
    if (!d) fail("the device is not an hpgs_pdf_device");
    return static_cast<PdfDevice*>(d);
}

}  // namespace
}  // namespace hpgspdf

using namespace hpgspdf;

extern "C" {

hpgs_device* hpgs_new_pdf_device(const char* path, const hpgs_bbox* page_box, int compression,
                                 int version) {
    hpgs_device* dev = nullptr;
    guarded("hpgs_new_pdf_device", [&] {
        if (!path || !*path) fail("no output file given");
        if (!page_box) fail("no page box given");
        boxArray(*page_box);  // refuses empty and non-finite boxes
        if (compression < 0 || compression > 9) fail("compression %d is not 0 to 9", compression);
        if (version != 1) fail("PDF version option %d is not supported (only 1)", version);
        auto doc = QPDF::create();
        doc->setSuppressWarnings(true);
        doc->emptyPDF();
        takeWarnings(*doc);  // an empty document "repaired" for lack of memory
        dev = std::make_unique<PdfDevice>(doc, path, *page_box, compression).release()->device();
        return 0;
    });
    return dev;
}

int hpgs_pdf_device_set_info(hpgs_device* dev, int key, const char* text, const char* encoding) {
    return guarded("hpgs_pdf_device_set_info", [&] {
        setInfo(pdfDevice(dev)->doc(), key, toUtf8(text, encoding));
        return 0;
    });
}

int hpgs_pdf_device_set_timestamp_info(hpgs_device* dev, int key, const hpgs_pdf_timestamp* ts) {
    return guarded("hpgs_pdf_device_set_timestamp_info", [&] {
        if (!ts) fail("no timestamp given");
        setTimestamp(pdfDevice(dev)->doc(), key, *ts);
        return 0;
    });
}

int hpgs_pdf_device_render_page_assets(hpgs_device* dev, const hpgs_matrix* page_matrix,
                                       const hpgs_bbox* page_box, int) {
    return guarded("hpgs_pdf_device_render_page_assets", [&] {
        if (!page_matrix || !page_box) fail("no page matrix or page box given");
        hpgs_bbox box;
        hpgs_matrix_xform_bbox(&box, page_matrix, page_box);
        boxArray(box);
        pdfDevice(dev)->setPageBox(box);
        return 0;
    });
}

hpgs_device* hpgs_pdf_file_new_anno_device(hpgs_pdf_file* pdf, int page) {
    return newPageDevice(pdf, page, true);
}

hpgs_device* hpgs_pdf_file_new_background_device(hpgs_pdf_file* pdf, int page) {
    return newPageDevice(pdf, page, false);
}

}  // extern "C"
