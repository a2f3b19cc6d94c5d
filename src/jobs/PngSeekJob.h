// Pattern seek: where a small pattern drawing (a title block, a logo) sits in
// the lower right corner of a drawing, for each of the four quarter turns of
// the drawing, found by FFT cross-correlation (imaging/FFTImage.h).
//
// The pattern is rendered first by the PNG-by-pixel-size factory (pixel size
// = the label size, anti-aliased, at the requested angle); its resolution is
// the resolution every angle of the drawing is rendered at, in grey and only
// the lower right seek size x seek size pixels of it. Per angle the job
// reports the correlation peak (corrected by the correlation factor and the
// pattern's own ink), how far the best peak stands out of the others
// (separation), the pattern's offset in points and how many points of it
// would stick out of the drawing (overlap).
//
// Result file ("key=value" lines, doubles with 16 significant digits):
// correlation_a, separation_a, overlap_a, dx_a, dy_a for a = 0, 90, 180, 270
// in that order, then llx, lly, urx, ury (the drawing box), native_angle and
// user_unit. readPatternSeekResult turns it into a PatternSeekResult.
//
// Angles turn the drawing as the PNG jobs do for the same input type: an
// HP-GL/2 drawing counter-clockwise (the reader's dynamic page), a PDF page
// by adding the angle to its /Rotate (clockwise). Offsets are measured in
// the turned drawing's own coordinates: dx from the left edge of its box, dy
// from its bottom edge (for HP-GL/2 the turned page starts at 0, 0; for a PDF
// page the view keeps the crop box's lower-left corner).
//
// Errors: the factory fails as executeJob; a pattern rendering without
// resolution is an Xadra::Exception (xadrafft, 3); an empty search box is
// "Bounding box is empty."; ghostscript and encrypted PDFs fail as the PNG
// jobs of PDF pages do.
// Thread-safety: the factory may be called from any number of threads; a job
// runs on one worker and names its files after that worker.
#pragma once

#include "GSHelper.h"

#include "daemon/JobRegistry.h"
#include "hpgs/hpgs.h"

#include "xadracommon/PreviewApi.h"

#include <string>

namespace Xadra {

class FFTImage;

// One angle's findings.
struct SeekFinding {
    double dx = 0.0, dy = 0.0;
    double correlation = 0.0, separation = 0.0, overlap = 0.0;
};

class HPGSPngSeekJob : public HPGSRendererJob {
public:
    HPGSPngSeekJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input,
                   const Plume::ObjPtr<HPGSRendererCacheEntry>& pattern, std::string uniqueName,
                   std::string prettyName, std::string tag, double timestamp);

    std::string getResultMimeType() override { return "image/png"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".png"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".png"); }
    void releaseInputs() override;
    void interrupt(Plume::Mutex& mutex) override;
    int render(Plume::Mutex& mutex) override;

    // Searches one angle. reader is the HP-GL/2 reader (null for a PDF);
    // box is the drawing box (HP-GL/2: the plot size, turned here by the
    // reader; PDF: ignored, the page box of the turned page is used). 0, or
    // -1 with hpgs's error. Throws as FFTImage and the ghostscript run do.
    int checkAngle(hpgs_reader* reader, const FFTImage& pattern, double patternWidth, double patternHeight,
                   hpgs_bbox box, int angle, double xres, double yres, int worker, SeekFinding& found);

private:
    int renderHpglCorner(hpgs_reader* reader, const hpgs_bbox& r, int w, int h, FFTImage& seek);
    int renderPdfCorner(int angle, int worker, double xres, double yres, hpgs_bbox& view, hpgs_bbox& r, int& w,
                        int& h, FFTImage& seek);

    Plume::ObjPtr<HPGSRendererCacheEntry> pattern_;
    GSHelper::RunControl control_;
};

// The factory: renders the pattern (pixel size = label size) and runs the
// seek job, whose identity joins the input's and the rendering's names and
// whose timestamp is the later of the input's and the pattern's, so that a
// changed pattern outdates a cached seek. Null streams are refused with an
// IOError.
Plume::ObjPtr<HPGSRendererCacheEntry> seekPattern(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input,
                                                  const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& pattern,
                                                  int angle);

// Reads a result file back; a missing key without default throws the option
// reader's Plume::Exception naming key and file.
Plume::ObjPtr<xad::preview::api::PatternSeekResult> readPatternSeekResult(const std::string& path);

// The part of a page of width x height (as laid out before the turn) that
// shows as view rectangle v when the page is turned clockwise by t (0, 90,
// 180, 270) for display, with the view's lower-left corner at the page's.
// page is the page box; the result is in page coordinates.
hpgs_bbox viewToPage(const hpgs_bbox& page, const hpgs_bbox& v, int t);

}  // namespace Xadra
