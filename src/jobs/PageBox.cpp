#include "PageBox.h"

#include "hpgspdf.h"
#include "hpgspdf_ptr.h"

#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"

#include <cmath>

using namespace xad::preview::api;

namespace Xadra {

namespace {

// Opens the document; an encrypted one is refused with the remote DRMError.
hpgs::UniquePdfFile openDocument(hpgs_istream* in) {
    if (!in) {
        hpgs_set_error("No PDF input stream given.");
        return nullptr;
    }
    hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(in));
    if (pdf && hpgs_pdf_file_is_encrypted(pdf.get())) {
        pdf.reset();
        throwPreviewf<DRMError>(CAT_DAEMON, 3, "PDF file is encrypted.");
    }
    return pdf;
}

int readPage(hpgs_pdf_file* pdf, int page, PdfPageBox& out) {
    if (hpgs_pdf_file_get_page_user_unit(pdf, page, &out.userUnit) < 0) return -1;
    if (hpgs_pdf_file_get_page_crop_box(pdf, page, &out.box) < 0) return -1;
    if (out.userUnit != 1.0) {
        out.box.llx *= out.userUnit;
        out.box.lly *= out.userUnit;
        out.box.urx *= out.userUnit;
        out.box.ury *= out.userUnit;
    }
    int rotate = 0;
    if (hpgs_pdf_file_get_native_page_angle(pdf, page, &rotate) < 0) rotate = 0;
    out.nativeAngle = nativeAngleOfRotate(rotate);
    return 0;
}

}  // namespace

int32_t nativeAngleOfRotate(int rotate) { return rotate <= 0 ? -rotate : 360 - rotate; }

int pdfPageBox(hpgs_istream* in, int page, hpgs_bbox* box, int32_t* nativeAngle, double* userUnit) {
    hpgs::UniquePdfFile pdf = openDocument(in);
    if (!pdf) return -1;
    PdfPageBox p{};
    if (readPage(pdf.get(), page, p) < 0) return -1;
    *box = p.box;
    if (nativeAngle) *nativeAngle = p.nativeAngle;
    if (userUnit) *userUnit = p.userUnit;
    return 0;
}

int pdfPageBoxes(hpgs_istream* in, std::vector<PdfPageBox>& pages) {
    pages.clear();
    hpgs::UniquePdfFile pdf = openDocument(in);
    if (!pdf) return -1;
    const int n = hpgs_pdf_file_get_npages(pdf.get());
    if (n < 0) return -1;
    pages.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        PdfPageBox p{};
        if (readPage(pdf.get(), i, p) < 0) return -1;
        pages.push_back(p);
    }
    return 0;
}

double hpglUserUnit(const hpgs_bbox& box) {
    constexpr double kMaxUnits = 14400.0;
    return std::max(std::ceil((box.urx - box.llx) / kMaxUnits), std::ceil((box.ury - box.lly) / kMaxUnits));
}

}  // namespace Xadra
