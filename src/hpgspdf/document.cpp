// Reading, changing and writing PDF documents.
#include "common.h"
#include "document.h"

#include <qpdf/QPDFExc.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QPDFWriter.hh>

#include <cmath>

using namespace hpgspdf;

namespace hpgspdf {

QPDF& usable(hpgs_pdf_file* pdf) {
    if (!pdf) fail("no PDF document given");
    if (pdf->encrypted || !pdf->qpdf) fail("the PDF document is encrypted");
    return *pdf->qpdf;
}

void checkRead(hpgs_pdf_file* pdf) {
    if (!pdf) return;
    if (pdf->qpdf) takeWarnings(*pdf->qpdf);
    for (const auto& s : pdf->sources)
        if (s) takeWarnings(*s);
}

QPDFObjectHandle pageOf(QPDF& qpdf, int page) {
    const auto& pages = qpdf.getAllPages();
    if (page < 0 || static_cast<size_t>(page) >= pages.size())
        fail("page %d does not exist (the document has %zu pages)", page, pages.size());
    return pages[static_cast<size_t>(page)];
}

static hpgs_bbox toBox(QPDFObjectHandle box, const char* name) {
    if (!box.isRectangle()) fail("the page has no valid %s", name);
    auto r = box.getArrayAsRectangle();
    hpgs_bbox bb{std::min(r.llx, r.urx), std::min(r.lly, r.ury), std::max(r.llx, r.urx),
                 std::max(r.lly, r.ury)};
    if (!std::isfinite(bb.llx) || !std::isfinite(bb.lly) || !std::isfinite(bb.urx) ||
        !std::isfinite(bb.ury))
        fail("the page's %s is not finite", name);
    return bb;
}

hpgs_bbox mediaBoxOf(QPDFObjectHandle page) {
    QPDFPageObjectHelper ph(page);
    auto box = ph.getMediaBox();
    // A page without a media box is broken; viewers assume US Letter.
    if (!box.isRectangle()) return hpgs_bbox{0, 0, 612, 792};
    return toBox(box, "/MediaBox");
}

hpgs_bbox cropBoxOf(QPDFObjectHandle page) {
    QPDFPageObjectHelper ph(page);
    auto crop = ph.getAttribute("/CropBox", false);
    hpgs_bbox media = mediaBoxOf(page);
    if (!crop.isRectangle()) return media;
    // A crop box reaches at most to the media box.
    hpgs_bbox bb = toBox(crop, "/CropBox");
    hpgs_bbox_intersect(&bb, &media);
    return hpgs_bbox_isnull(&bb) ? media : bb;
}

QPDFObjectHandle boxArray(const hpgs_bbox& bb) {
    for (double v : {bb.llx, bb.lly, bb.urx, bb.ury})
        if (!std::isfinite(v)) fail("box value is not a finite number");
    if (!(bb.llx < bb.urx && bb.lly < bb.ury))
        fail("box %g %g %g %g is empty", bb.llx, bb.lly, bb.urx, bb.ury);
    return QPDFObjectHandle::newFromRectangle(
        QPDFObjectHandle::Rectangle(bb.llx, bb.lly, bb.urx, bb.ury));
}

}  // namespace hpgspdf

extern "C" {

void hpgs_pdf_init(void) {}
void hpgs_pdf_cleanup(void) {}

hpgs_pdf_file* hpgs_new_pdf_file(hpgs_istream* is) {
    hpgs::UniqueIstream in(is);
    if (!is) {
        hpgs_set_error("hpgs_new_pdf_file: no input stream given");
        return nullptr;
    }
    std::unique_ptr<hpgs_pdf_file> doc;
    int rc = guarded("PDF document", [&] {
        std::string data = readAll(is, "the PDF input");
        if (data.empty()) fail("the input is empty");
        doc = std::make_unique<hpgs_pdf_file>();
        try {
            doc->qpdf = openQpdf(std::move(data), "PDF input", true);
            doc->encrypted = doc->qpdf->isEncrypted();
            // Force the page tree now, so that a broken one fails here and
            // not in the middle of a later change.
            doc->qpdf->getAllPages();
            checkRead(doc.get());
        } catch (const QPDFExc& e) {
            if (e.getErrorCode() != qpdf_e_password) throw;
            doc->qpdf.reset();
            doc->encrypted = true;
        }
        return 0;
    });
    return rc == 0 ? doc.release() : nullptr;
}

void hpgs_destroy_pdf_file(hpgs_pdf_file* pdf) { delete pdf; }

int hpgs_pdf_file_is_encrypted(hpgs_pdf_file* pdf) { return pdf && pdf->encrypted ? 1 : 0; }

int hpgs_pdf_file_get_npages(hpgs_pdf_file* pdf) {
    return guardedOn(pdf, "hpgs_pdf_file_get_npages",
                   [&] { return static_cast<int>(usable(pdf).getAllPages().size()); });
}

int hpgs_pdf_file_get_page_crop_box(hpgs_pdf_file* pdf, int page, hpgs_bbox* bb) {
    return guardedOn(pdf, "hpgs_pdf_file_get_page_crop_box", [&] {
        if (!bb) fail("no box given");
        *bb = cropBoxOf(pageOf(usable(pdf), page));
        return 0;
    });
}

int hpgs_pdf_file_set_page_crop_box(hpgs_pdf_file* pdf, int page, const hpgs_bbox* bb) {
    return guardedOn(pdf, "hpgs_pdf_file_set_page_crop_box", [&] {
        if (!bb) fail("no box given");
        pageOf(usable(pdf), page).replaceKey("/CropBox", boxArray(*bb));
        return 0;
    });
}

int hpgs_pdf_file_set_page_media_box(hpgs_pdf_file* pdf, int page, const hpgs_bbox* bb) {
    return guardedOn(pdf, "hpgs_pdf_file_set_page_media_box", [&] {
        if (!bb) fail("no box given");
        pageOf(usable(pdf), page).replaceKey("/MediaBox", boxArray(*bb));
        return 0;
    });
}

int hpgs_pdf_file_get_page_user_unit(hpgs_pdf_file* pdf, int page, double* uu) {
    return guardedOn(pdf, "hpgs_pdf_file_get_page_user_unit", [&] {
        if (!uu) fail("no result given");
        auto v = pageOf(usable(pdf), page).getKey("/UserUnit");
        double unit = v.isNumber() ? v.getNumericValue() : 1.0;
        // Only positive finite units make sense; others are ignored like a
        // missing entry, as viewers do.
        *uu = std::isfinite(unit) && unit > 0 ? unit : 1.0;
        return 0;
    });
}

int hpgs_pdf_file_set_page_user_unit(hpgs_pdf_file* pdf, int page, double uu) {
    return guardedOn(pdf, "hpgs_pdf_file_set_page_user_unit", [&] {
        if (!std::isfinite(uu) || uu <= 0) fail("invalid user unit %g", uu);
        auto p = pageOf(usable(pdf), page);
        if (uu == 1.0)
            p.removeKey("/UserUnit");
        else
            p.replaceKey("/UserUnit", QPDFObjectHandle::newReal(uu, 6, true));
        return 0;
    });
}

static int normalisedAngle(long long a) { return static_cast<int>(((a % 360) + 360) % 360); }

int hpgs_pdf_file_get_native_page_angle(hpgs_pdf_file* pdf, int page, int* angle) {
    return guardedOn(pdf, "hpgs_pdf_file_get_native_page_angle", [&] {
        if (!angle) fail("no result given");
        QPDFPageObjectHelper ph(pageOf(usable(pdf), page));
        auto r = ph.getAttribute("/Rotate", false);
        long long a = r.isInteger() ? r.getIntValue() : 0;
        // /Rotate must be a multiple of 90; viewers round others down.
        *angle = normalisedAngle(a - (a % 90));
        return 0;
    });
}

int hpgs_pdf_file_rotate_page(hpgs_pdf_file* pdf, int page, int angle) {
    return guardedOn(pdf, "hpgs_pdf_file_rotate_page", [&] {
        if (angle % 90 != 0) fail("angle %d is not a multiple of 90 degrees", angle);
        auto p = pageOf(usable(pdf), page);
        QPDFPageObjectHelper ph(p);
        auto r = ph.getAttribute("/Rotate", false);
        long long old = r.isInteger() ? r.getIntValue() : 0;
        old -= old % 90;
        p.replaceKey("/Rotate", QPDFObjectHandle::newInteger(normalisedAngle(old + angle)));
        return 0;
    });
}

int hpgs_pdf_file_prepend_pdf_file(hpgs_pdf_file* pdf, hpgs_pdf_file* other) {
    std::unique_ptr<hpgs_pdf_file> front(other);
    return guardedOn(pdf, "hpgs_pdf_file_prepend_pdf_file", [&] {
        QPDF& dest = usable(pdf);
        if (!front) fail("no document to put in front given");
        if (front.get() == pdf) fail("a document cannot be put in front of itself");
        QPDF& src = usable(front.get());
        // Pages inherit resources and boxes from the page tree; copied on
        // their own they must carry them.
        src.pushInheritedAttributesToPage();
        auto pages = src.getAllPages();
        // The documents the copied pages read from are kept before the
        // first page is copied: a copy that fails half-way leaves no page
        // that reads from a released document.
        pdf->sources.push_back(front->qpdf);
        for (auto& s : front->sources) pdf->sources.push_back(s);
        for (auto it = pages.rbegin(); it != pages.rend(); ++it) dest.addPage(*it, true);
        return 0;
    });
}

int hpgs_pdf_file_write(hpgs_pdf_file* pdf, hpgs_ostream* os) {
    return guardedOn(pdf, "hpgs_pdf_file_write", [&] {
        QPDF& qpdf = usable(pdf);
        if (!os) fail("no output stream given");
        QPDFWriter w(qpdf);
        w.setOutputMemory();
        // The same input and changes give the same bytes: results are cached.
        w.setDeterministicID(true);
        // /UserUnit came with PDF 1.6: a reader of an older header may
        // ignore it and show the page at a fraction of its size.
        for (QPDFObjectHandle page : qpdf.getAllPages()) {
            auto u = page.getKey("/UserUnit");
            if (u.isNumber() && u.getNumericValue() != 1.0) {
                w.setMinimumPDFVersion("1.6");
                break;
            }
        }
        w.write();
        auto buf = w.getBufferSharedPointer();
        writeAll(os, std::string(reinterpret_cast<const char*>(buf->getBuffer()), buf->getSize()),
                 "the PDF output");
        return 0;
    });
}

}  // extern "C"
