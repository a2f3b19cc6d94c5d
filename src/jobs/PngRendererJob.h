// PNG previews of HPGL/2 drawings: the PNG job family's base, the HPGL job,
// and the four factories behind the PNG methods of the renderer service.
//
// A factory reads the input stream's names and timestamp, builds the job's
// parameter string (its tag, part of the cache key: "150dpi,antialias,90deg",
// "800px,0deg", ...), and hands the job to executeJob, which answers from the
// cache, joins an identical running job or runs it on a worker. The result is
// the cache entry of the PNG file.
//
// Errors: as executeJob (ThrowableException 16, 3 with a PreviewException).
// Rendering failures arrive as HPGSError with hpgs's message, for example
// "Bounding box is empty." for an image below 2 x 2 pixels, or the size
// refusal of an image above Settings::getPngMaxPixels(), made before any
// pixel memory is taken.
//
// Thread-safety: factories may be called from any number of threads; each
// job has its own reader, devices and image.
#pragma once

#include "daemon/JobRegistry.h"

#include "hpgspdf_ptr.h"
#include "xadracommon/PreviewApi.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Xadra {

// Common base of the PNG jobs: parameters, result type and names.
class HPGSPngRendererJob : public HPGSRendererJob {
public:
    HPGSPngRendererJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, std::string uniqueName,
                       std::string prettyName, std::string tag, std::string stamp, double timestamp,
                       const Plume::ObjPtr<Plume::List>& annotations, int32_t pixelSize, double resolution,
                       bool antialias, int32_t angle, int32_t page,
                       const Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle>& box);

    std::string getResultMimeType() override { return "image/png"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".png"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".png"); }

protected:
    const int32_t pixelSize_;
    const double resolution_;
    const bool antialias_;
    const int32_t angle_;
    const int32_t page_;
    const Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle> box_;
};

// Where and how large the image of one render is.
struct PngPageGeometry {
    hpgs_bbox plotBox;   // the drawing's extent (the tile's box for a tile without annotations)
    hpgs_bbox pageBox;   // the device page after placement: (0, 0, width, height) in points
    double resolution;   // dots per inch used
    double angle;        // rotation of the page in degrees
    long long width;     // pixels
    long long height;    // pixels
};

// Renders an HPGL/2 drawing into a PNG image through hpgs.
class HPGSHpglPngRendererJob : public HPGSPngRendererJob {
public:
    using HPGSPngRendererJob::HPGSPngRendererJob;

    int render(Plume::Mutex& mutex) override;

    // The first steps of render: opens the input, measures the drawing
    // (unless a tile without annotations is asked for), places the page and
    // computes and checks the image size. On success returns the reader,
    // which is registered with the job, and fills geometry; on failure
    // returns null with the reason in hpgs's error slot.
    hpgs_reader* placePage(Plume::Mutex& mutex, PngPageGeometry& geometry);

    // The annotation steps of render, after placePage: imports the request's
    // drawn (mode 2) annotations into an FDF bundle and installs the page
    // asset callback that draws them over every page, moved from the
    // bordered PDF page the FDF coordinates refer to (Settings::getPdfBorder)
    // onto the drawing. The returned layer owns the bundle and removes the
    // callback when destroyed, so it must outlive the reads that draw. Null
    // with the reason in hpgs's error slot.
    class AnnotationLayer;
    std::unique_ptr<AnnotationLayer> attachAnnotations(hpgs_reader* reader, const PngPageGeometry& geometry);
};

class HPGSHpglPngRendererJob::AnnotationLayer {
public:
    AnnotationLayer(hpgs_reader* reader, hpgs::UniqueFdfBundle bundle, const hpgs_bbox& plotBox);
    ~AnnotationLayer();
    AnnotationLayer(const AnnotationLayer&) = delete;
    AnnotationLayer& operator=(const AnnotationLayer&) = delete;

    hpgs_pdf_fdf_bundle_st* bundle() const { return bundle_.get(); }
    const hpgs_bbox& plotBox() const { return plotBox_; }

private:
    hpgs_reader* reader_;  // the job's registered reader, which outlives the layer
    hpgs::UniqueFdfBundle bundle_;
    hpgs_bbox plotBox_;
};

// The job parameter string of a PNG request.
std::string pngJobTag(int32_t page, int32_t pixelSize, double resolution,
                      const xad::preview::api::BoundingBoxWithAngle* box, bool antialias, int32_t angle,
                      const Plume::ObjPtr<Plume::List>& annotations);

// The four factories. stamp is empty when the request has none;
// annotations may be null.
Plume::ObjPtr<HPGSRendererCacheEntry> renderPngByResolution(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, double resolution, bool antialias, int angle,
    const std::string& stamp, const Plume::ObjPtr<Plume::List>& annotations);
Plume::ObjPtr<HPGSRendererCacheEntry> renderPngByPixelSize(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, int pixelSize, bool antialias, int angle,
    const std::string& stamp, const Plume::ObjPtr<Plume::List>& annotations);
Plume::ObjPtr<HPGSRendererCacheEntry> renderPngTileByResolution(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, double resolution, bool antialias,
    const Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle>& box, const std::string& stamp,
    const Plume::ObjPtr<Plume::List>& annotations);
Plume::ObjPtr<HPGSRendererCacheEntry> renderPngPageByResolution(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, int page, double resolution, bool antialias,
    int angle, const std::string& stamp, const Plume::ObjPtr<Plume::List>& annotations);

}  // namespace Xadra
