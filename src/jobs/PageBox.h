// Measurements shared by the jobs that place a PDF page or an HPGL drawing:
// the box of one PDF page as a viewer shows it, and the user unit that
// brings an HPGL drawing within PDF's page-size limit.
//
// Thread-safety: the functions keep no state; each call works on its own
// document.
#pragma once

#include "hpgs/hpgs.h"

#include <cstdint>
#include <vector>

namespace Xadra {

// One page as the bounding-box results report it: the crop box in points
// (already multiplied by the user unit), the page's native angle and its
// user unit.
struct PdfPageBox {
    hpgs_bbox box;
    int32_t nativeAngle;
    double userUnit;
};

// The angle a viewer turns the page back by: /Rotate a gives 0 - a for
// a <= 0, else 360 - a (90 -> 270, 270 -> 90, 0 -> 0).
int32_t nativeAngleOfRotate(int rotate);

// The box of page (from 0) of the PDF document read from in. in is consumed
// (closed) in every case; null is a failure. nativeAngle and userUnit may be
// null when not wanted. Returns 0, or -1 with the reason in hpgs's error
// slot (a document that cannot be parsed, a page that does not exist).
// Throws ThrowableException (xadrad, 3) with a DRMError "PDF file is
// encrypted." for an encrypted document.
int pdfPageBox(hpgs_istream* in, int page, hpgs_bbox* box, int32_t* nativeAngle, double* userUnit);

// Every page of the PDF document read from in, in page order (a document
// without pages gives an empty list). Consumes in like pdfPageBox; the same
// failures and the same DRMError.
int pdfPageBoxes(hpgs_istream* in, std::vector<PdfPageBox>& pages);

// The smallest whole factor that brings each side of box within 14400 units
// (200 inches at 72 points per inch): max(ceil(width / 14400),
// ceil(height / 14400)). 0 for a box of zero size.
double hpglUserUnit(const hpgs_bbox& box);

}  // namespace Xadra
