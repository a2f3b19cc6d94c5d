#include "PngRendererJob.h"

#include "PdfPngRendererJob.h"

#include "daemon/Settings.h"

#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"

#include "xadracommon/LogService.h"

#include <cmath>
#include <sstream>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

const char* const kPdfMimeType = "application/pdf";
// Largest page side hpgs places, in points.
constexpr double kMaxPageSide = 72000.0;


struct Request {
    std::string uniqueName, prettyName, tag, mimeType;
    double timestamp;
};

// Reads the input's identity in the order the cache key needs it.
Request readRequest(const ObjPtr<IMimeInputStream>& input, int32_t page, int32_t pixelSize, double resolution,
                    const BoundingBoxWithAngle* box, bool antialias, int32_t angle,
                    const ObjPtr<Plume::List>& annotations) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No input stream given.");
    // One round trip for the four properties (see Plume::CallsAhead).
    Plume::CallsAhead ahead(input, {"getUniqueName", "getPrettyName", "getTimestamp", "getMimeType"});
    Request r;
    r.uniqueName = textOf(input->getUniqueName());
    r.prettyName = textOf(input->getPrettyName());
    r.tag = pngJobTag(page, pixelSize, resolution, box, antialias, angle, annotations);
    r.timestamp = input->getTimestamp();
    r.mimeType = textOf(input->getMimeType());
    return r;
}

ObjPtr<HPGSRendererCacheEntry> runPdfJob(const ObjPtr<IMimeInputStream>& input, const Request& r,
                                         const std::string& stamp, const ObjPtr<Plume::List>& annotations,
                                         int32_t pixelSize, double resolution, bool antialias, int32_t angle,
                                         int32_t page, const ObjPtr<BoundingBoxWithAngle>& box) {
    auto job = Plume::makeObj<HPGSPdfPngRendererJob>(input, r.uniqueName, r.prettyName, r.tag, stamp, r.timestamp,
                                                      annotations, pixelSize, resolution, antialias, angle, page,
                                                      box);
    return executeJob(job);
}

ObjPtr<HPGSRendererCacheEntry> runHpglJob(const ObjPtr<IMimeInputStream>& input, const Request& r,
                                          const std::string& stamp, const ObjPtr<Plume::List>& annotations,
                                          int32_t pixelSize, double resolution, bool antialias, int32_t angle,
                                          const ObjPtr<BoundingBoxWithAngle>& box) {
    auto job = Plume::makeObj<HPGSHpglPngRendererJob>(input, r.uniqueName, r.prettyName, r.tag, stamp, r.timestamp,
                                                       annotations, pixelSize, resolution, antialias, angle, 0, box);
    return executeJob(job);
}

}  // namespace

// ---------------------------------------------------------------- the jobs

HPGSPngRendererJob::HPGSPngRendererJob(const ObjPtr<IMimeInputStream>& input, std::string uniqueName,
                                       std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                       const ObjPtr<Plume::List>& annotations, int32_t pixelSize, double resolution,
                                       bool antialias, int32_t angle, int32_t page,
                                       const ObjPtr<BoundingBoxWithAngle>& box)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      pixelSize_(pixelSize),
      resolution_(resolution),
      antialias_(antialias),
      angle_(angle),
      page_(page),
      box_(box) {}

hpgs_reader* HPGSHpglPngRendererJob::placePage(Plume::Mutex& mutex, PngPageGeometry& g) {
    hpgs::UniqueIstream in = getInput()->openHpgsStream();
    hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
    if (!measuring) return nullptr;
    hpgs_device* measure = measuring.get();
    // The reader takes stream and device over, also when it cannot be made.
    hpgs::UniqueReader made(hpgs_new_reader(in.release(), measuring.release(), HPGS_FALSE, 1));
    if (!made) return nullptr;
    hpgs_reader* reader = setReader(*this, mutex, std::move(made));

    const bool annotated = getAnnotations() && getAnnotations()->getSize() > 0;
    bool measured = false;
    if (!box_ || annotated) {
        if (hpgs_read(reader, HPGS_TRUE) < 0) return nullptr;
        if (hpgs_getplotsize(measure, 1, &g.plotBox) < 0) return nullptr;
        measured = true;
    }
    if (box_) {
        g.pageBox = {box_->getLlx(), box_->getLly(), box_->getUrx(), box_->getUry()};
        g.angle = box_->getAngle();
        if (!measured) g.plotBox = g.pageBox;
    } else {
        g.pageBox = g.plotBox;
        g.angle = angle_;
    }
    // A drawing without marks has a null box, which hpgs cannot place.
    if (hpgs_bbox_isempty(&g.pageBox) || !(g.pageBox.urx > g.pageBox.llx) || !(g.pageBox.ury > g.pageBox.lly)) {
        hpgs_set_error("Bounding box is empty.");
        return nullptr;
    }
    if (hpgs_reader_set_dynamic_page(reader, &g.pageBox, kMaxPageSide, kMaxPageSide, 0.0, g.angle) < 0)
        return nullptr;

    const double w = g.pageBox.urx - g.pageBox.llx;
    const double h = g.pageBox.ury - g.pageBox.lly;
    g.resolution = pixelSize_ >= 1 ? 72.0 * std::min(pixelSize_ / w, pixelSize_ / h) : resolution_;
    if (!std::isfinite(g.resolution) || g.resolution <= 0.0) {
        hpgs_set_error("Invalid resolution %g dpi.", g.resolution);
        return nullptr;
    }
    const double fw = std::floor(w * g.resolution / 72.0 + 0.5);
    const double fh = std::floor(h * g.resolution / 72.0 + 0.5);
    if (!(fw >= 2.0 && fh >= 2.0)) {
        hpgs_set_error("Bounding box is empty.");
        return nullptr;
    }
    // Refused before any pixel memory is taken: a huge request must not take
    // the daemon down.
    const double limit = static_cast<double>(Settings::getPngMaxPixels());
    if (fw * fh > limit || fw > 1e9 || fh > 1e9) {
        hpgs_set_error("Image of %.0f x %.0f pixels at %g dpi exceeds the limit of %llu pixels "
                       "(xadrad_png_max_pixels).",
                       fw, fh, g.resolution, Settings::getPngMaxPixels());
        return nullptr;
    }
    g.width = static_cast<long long>(fw);
    g.height = static_cast<long long>(fh);
    return reader;
}

HPGSHpglPngRendererJob::AnnotationLayer::AnnotationLayer(hpgs_reader* reader, hpgs::UniqueFdfBundle bundle,
                                                         const hpgs_bbox& plotBox)
    : reader_(reader), bundle_(std::move(bundle)), plotBox_(plotBox) {}

HPGSHpglPngRendererJob::AnnotationLayer::~AnnotationLayer() {
    hpgs_reader_set_page_asset_func(reader_, nullptr, nullptr);
}

namespace {

int drawAnnotations(void* ctxt, hpgs_device* dev, const hpgs_matrix* pageMatrix, const hpgs_matrix*,
                    const hpgs_bbox* pageBox, int index) {
    auto* layer = static_cast<HPGSHpglPngRendererJob::AnnotationLayer*>(ctxt);
    hpgs_bbox page, plot;
    hpgs_matrix_xform_bbox(&page, pageMatrix, pageBox);
    hpgs_matrix_xform_bbox(&plot, pageMatrix, &layer->plotBox());
    const double border = Settings::getPdfBorder();
    double offset[2] = {plot.llx - page.llx - border, plot.lly - page.lly - border};
    return hpgs_pdf_fdf_bundle_render(layer->bundle(), dev, offset, &page, index);
}

}  // namespace

std::unique_ptr<HPGSHpglPngRendererJob::AnnotationLayer> HPGSHpglPngRendererJob::attachAnnotations(
    hpgs_reader* reader, const PngPageGeometry& g) {
    hpgs::UniqueFdfBundle made(hpgs_pdf_new_fdf_bundle());
    if (!made) return nullptr;
    hpgs_pdf_fdf_bundle* bundle = made.get();
    auto layer = std::make_unique<AnnotationLayer>(reader, std::move(made), g.plotBox);
    const ObjPtr<Plume::List>& annotations = getAnnotations();
    for (size_t i = 0; annotations && i < annotations->getSize(); ++i) {
        auto a = Plume::objCast<Annotation>(annotations->get(i));
        if (!a || a->getMode() != 2) continue;
        ObjPtr<HPGSDataHolder> holder = getAnnotationInput(*this, i);
        if (!holder) continue;
        hpgs::UniqueIstream in = holder->openHpgsStream();
        RgbColor c = parseColor(a->getColor());
        const double colour[3] = {c.r, c.g, c.b};
        // The import closes the stream, also when it fails.
        if (hpgs_pdf_fdf_bundle_import_fdf(bundle, in.release(), textOf(a->getOwner()).c_str(),
                                           textOf(a->getTitle()).c_str(), "utf-8", colour, 2) != 0)
            return nullptr;
    }
    hpgs_reader_set_page_asset_func(reader, layer.get(), drawAnnotations);
    return layer;
}

int HPGSHpglPngRendererJob::render(Plume::Mutex& mutex) {
    PngPageGeometry g{};
    hpgs_reader* reader = placePage(mutex, g);
    if (!reader) return -1;
    auto annotations = attachAnnotations(reader, g);
    if (!annotations) return -1;
    const std::string output = jobCache().getJobFileName(runningWorkerIndex());
    hpgs::UniqueImage image(
        hpgs_new_png_image(static_cast<int>(g.width), static_cast<int>(g.height), 24, HPGS_FALSE, HPGS_TRUE));
    if (!image) return -1;
    // The device takes the image over, also when it cannot be made.
    hpgs::UniquePaintDevice paint(
        hpgs_new_paint_device(image.release(), output.c_str(), &g.pageBox, antialias_ ? HPGS_TRUE : HPGS_FALSE));
    if (!paint) return -1;
    if (hpgs_paint_device_set_thin_alpha(paint.get(), Settings::getThinAlpha()) < 0 ||
        hpgs_paint_device_set_image_interpolation(paint.get(), 1) < 0)
        return -1;
    // The reader takes the device over, also when imbue fails.
    if (hpgs_reader_imbue(reader, hpgs::as_device(paint.release())) < 0) return -1;
    if (!getStamp().empty() &&
        hpgs_reader_stamp(reader, &g.pageBox, getStamp().c_str(), "utf-8", Settings::getStampSize()) != 0)
        return -1;
    return hpgs_read(reader, HPGS_TRUE) < 0 ? -1 : 0;
}

// --------------------------------------------------------------- factories

std::string pngJobTag(int32_t page, int32_t pixelSize, double resolution, const BoundingBoxWithAngle* box,
                      bool antialias, int32_t angle, const ObjPtr<Plume::List>& annotations) {
    std::ostringstream s;
    if (page > 0) s << page << "p,";
    if (pixelSize != 0) s << pixelSize << "px,";
    if (resolution != 0.0) s << resolution << "dpi,";
    if (box)
        s << box->getLlx() << "llx," << box->getLly() << "lly," << box->getUrx() << "urx," << box->getUry()
          << "ury,";
    if (antialias) s << "antialias,";
    s << (box ? box->getAngle() : angle) << "deg";
    appendAnnotationKey(s, annotations);
    return s.str();
}

ObjPtr<HPGSRendererCacheEntry> renderPngByResolution(const ObjPtr<IMimeInputStream>& input, double resolution,
                                                     bool antialias, int angle, const std::string& stamp,
                                                     const ObjPtr<Plume::List>& annotations) {
    Request r = readRequest(input, 0, 0, resolution, nullptr, antialias, angle, annotations);
    if (r.mimeType == kPdfMimeType)
        return runPdfJob(input, r, stamp, annotations, 0, resolution, antialias, angle, 0, nullptr);
    return runHpglJob(input, r, stamp, annotations, 0, resolution, antialias, angle, nullptr);
}

ObjPtr<HPGSRendererCacheEntry> renderPngByPixelSize(const ObjPtr<IMimeInputStream>& input, int pixelSize,
                                                    bool antialias, int angle, const std::string& stamp,
                                                    const ObjPtr<Plume::List>& annotations) {
    Request r = readRequest(input, 0, pixelSize, 0.0, nullptr, antialias, angle, annotations);
    if (r.mimeType == kPdfMimeType)
        return runPdfJob(input, r, stamp, annotations, pixelSize, 0.0, antialias, angle, 0, nullptr);
    return runHpglJob(input, r, stamp, annotations, pixelSize, 0.0, antialias, angle, nullptr);
}

ObjPtr<HPGSRendererCacheEntry> renderPngTileByResolution(const ObjPtr<IMimeInputStream>& input, double resolution,
                                                         bool antialias, const ObjPtr<BoundingBoxWithAngle>& box,
                                                         const std::string& stamp,
                                                         const ObjPtr<Plume::List>& annotations) {
    Request r = readRequest(input, 0, 0, resolution, box.get(), antialias, 0, annotations);
    if (r.mimeType == kPdfMimeType)
        return runPdfJob(input, r, stamp, annotations, 0, resolution, antialias, 0, 0, box);
    return runHpglJob(input, r, stamp, annotations, 0, resolution, antialias, 0, box);
}

ObjPtr<HPGSRendererCacheEntry> renderPngPageByResolution(const ObjPtr<IMimeInputStream>& input, int page,
                                                         double resolution, bool antialias, int angle,
                                                         const std::string& stamp,
                                                         const ObjPtr<Plume::List>& annotations) {
    Request r = readRequest(input, page, 0, resolution, nullptr, antialias, angle, annotations);
    // Pages are a PDF notion: this method always renders through the PDF job.
    return runPdfJob(input, r, stamp, annotations, 0, resolution, antialias, angle, page, nullptr);
}

}  // namespace Xadra
