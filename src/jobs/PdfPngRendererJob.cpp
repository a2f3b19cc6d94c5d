#include "PdfPngRendererJob.h"

#include "PageBox.h"
#include "PdfOutputJobs.h"

#include "daemon/Settings.h"
#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"
#include "imaging/PngHpgsImage.h"
#include "xadracommon/LogService.h"

#include <cmath>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

// The job file of sub-index k: the naming of the data holders' fetch.
std::string subJobFile(int worker, int k) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%04d", k);
    return jobCache().getJobFileName(worker) + suffix;
}

int pageBoxOf(const std::string& path, int page, hpgs_bbox* box, int32_t* nativeAngle = nullptr) {
    hpgs_istream* in = hpgs_new_file_istream(path.c_str());
    if (!in) return -1;
    return pdfPageBox(in, page, box, nativeAngle, nullptr);
}

}  // namespace

hpgs_bbox tileRenderBox(const hpgs_bbox& doc, const hpgs_bbox& o, int angle) {
    auto map = [&](double x, double y) -> hpgs_point {
        switch (angle) {
            case 90:
            case -270: return {doc.ury - y, x - doc.llx};
            case 180:
            case -180: return {doc.urx - x, doc.ury - y};
            case 270:
            case -90: return {y - doc.lly, doc.urx - x};
            default: return {x, y};
        }
    };
    const hpgs_point a = map(o.llx, o.lly), b = map(o.urx, o.ury);
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

void HPGSPdfPngRendererJob::interrupt(Plume::Mutex& mutex) {
    HPGSPngRendererJob::interrupt(mutex);
    control_.interrupt();
}

int HPGSPdfPngRendererJob::render(Plume::Mutex& mutex) {
    const int angle = box_ ? box_->getAngle() : angle_;
    std::string input = getInput()->getFileName();
    hpgs_bbox docBox{};
    if (box_ && pageBoxOf(input, page_, &docBox) != 0) return -1;

    ObjPtr<HPGSRendererCacheEntry> turned;  // keeps the turned copy while it is read
    if (!getStamp().empty() || angle != 0) {
        auto job = Plume::makeObj<HPGSPdfFileJob>(getInput(), getUniqueName(), getPrettyName(),
                                                  pdfFileTag(nullptr, angle, nullptr), getStamp(), getTimestamp(),
                                                  nullptr, nullptr, angle);
        turned = executeJob(job, &mutex, this);
        if (!turned) return hpgs_set_error("The turned copy of %s was not stored.", getPrettyName().c_str());
        input = turned->getDataFilePath();
    }

    hpgs_bbox box{};
    // Ghostscript shows the page turned by its /Rotate (its own, or the one
    // the turn added): a quarter turn swaps the picture's sides.
    int32_t native = 0;
    hpgs_bbox pageBox{};
    if (pageBoxOf(input, page_, &pageBox, &native) != 0) return -1;
    const bool quarterTurned = native == 90 || native == 270;
    if (!box_) {
        box = pageBox;
    } else {
        const hpgs_bbox o{box_->getLlx(), box_->getLly(), box_->getUrx(), box_->getUry()};
        box = tileRenderBox(docBox, o, angle);
        logCategory(CAT_GS, 7, "angle=%d", angle);
        logCategory(CAT_GS, 7, "doc_bbox=%.3lf,%.3lf,%.3lf,%.3lf", docBox.llx, docBox.lly, docBox.urx, docBox.ury);
        logCategory(CAT_GS, 7, "o_bbox=%.3lf,%.3lf,%.3lf,%.3lf", o.llx, o.lly, o.urx, o.ury);
        logCategory(CAT_GS, 7, "bbox=%.3lf,%.3lf,%.3lf,%.3lf", box.llx, box.lly, box.urx, box.ury);
    }
    const double bw = box.urx - box.llx, bh = box.ury - box.lly;
    const double w = quarterTurned ? bh : bw, h = quarterTurned ? bw : bh;
    if (!(w > 0) || !(h > 0)) return hpgs_set_error("Bounding box is empty.");
    const double resolution = pixelSize_ >= 1 ? 72.0 * std::min(pixelSize_ / w, pixelSize_ / h) : resolution_;
    if (!std::isfinite(resolution) || resolution <= 0.0) return hpgs_set_error("Invalid resolution %g dpi.", resolution);
    const double fw = std::floor(w * resolution / 72.0 + 0.5);
    const double fh = std::floor(h * resolution / 72.0 + 0.5);
    if (!(fw >= 1.0 && fh >= 1.0)) return hpgs_set_error("Bounding box is empty.");
    // Refused before ghostscript takes the memory.
    const double limit = static_cast<double>(Settings::getPngMaxPixels());
    if (fw * fh > limit || fw > 1e9 || fh > 1e9)
        return hpgs_set_error("Image of %.0f x %.0f pixels at %g dpi exceeds the limit of %llu pixels "
                              "(xadrad_png_max_pixels).",
                              fw, fh, resolution, Settings::getPngMaxPixels());
    const int width = static_cast<int>(fw), height = static_cast<int>(fh);

    const int worker = runningWorkerIndex();
    const std::string output = jobCache().getJobFileName(worker);
    const ObjPtr<Plume::List>& annotations = getAnnotations();
    const int k = annotations ? static_cast<int>(annotations->getSize()) + 1 : 1;
    try {
        GSHelper::renderPdfPage(input, subJobFile(worker, k), output, width, height, page_, box, antialias_, false,
                                quarterTurned, &control_);
    } catch (const Plume::ThrowableException&) {
        throw;  // DRMError, HPGSError: already the caller's
    } catch (const Plume::Exception& e) {
        // Ghostscript failed or could not start: the job's reason, in
        // ghostscript's own words where it gave any.
        return hpgs_set_error("%s: %s", getPrettyName().c_str(), e.what());
    }
    if (!annotations || annotations->getSize() == 0) return 0;

    hpgs::UniqueImage image = loadPngAsHpgsImage(output, Settings::getPngMaxPixels());
    removeJobFile(output);
    // The device takes the image over, also when it cannot be made.
    hpgs::UniquePaintDevice paint(hpgs_new_paint_device(image.release(), output.c_str(), &box,
                                                        antialias_ ? HPGS_TRUE : HPGS_FALSE));
    if (!paint) return -1;
    hpgs::UniqueFdfBundle bundle(hpgs_pdf_new_fdf_bundle());
    if (!bundle) return -1;
    for (size_t i = 0; i < annotations->getSize(); ++i) {
        auto a = Plume::objCast<Annotation>(annotations->get(i));
        if (!a || a->getMode() != 2) continue;
        ObjPtr<HPGSDataHolder> holder = getAnnotationInput(*this, i);
        if (!holder) continue;
        hpgs::UniqueIstream in = holder->openHpgsStream();
        if (!in) return -1;
        const RgbColor c = parseColor(a->getColor());
        const double colour[3] = {c.r, c.g, c.b};
        if (hpgs_pdf_fdf_bundle_import_fdf(bundle.get(), in.release(), textOf(a->getOwner()).c_str(),
                                           textOf(a->getTitle()).c_str(), "utf-8", colour, HPGS_PDF_FDF_DRAW) != 0)
            return -1;
    }
    hpgs_device* dev = hpgs::as_device(paint.get());
    const double offset[2] = {0.0, 0.0};
    hpgs_pdf_fdf_bundle_render(bundle.get(), dev, offset, &box, page_);
    return hpgs_showpage(dev, 0);
}

}  // namespace Xadra
