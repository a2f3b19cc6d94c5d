#include "HPGSRenderer.h"

#include "Startup.h"
#include "cache/HPGSRendererCacheEntry.h"
#include "jobs/BBoxJobs.h"
#include "jobs/PngRendererJob.h"
#include "xadracommon/LogService.h"

using namespace Plume;
using namespace xad::preview::api;

namespace Xadra {

namespace {

const char* kPdf = "application/pdf";
const char* kHpgl = "image/hpgl";

std::string stampText(const IHPGLRenderer::StringP& stamp) { return stamp ? stamp->str() : std::string(); }

void requireStream(const IHPGLRenderer::Stream& s, const char* method, const char* argument) {
    if (!s) throwPreviewf<IOError>(CAT_DAEMON, 3, "%s: no %s stream given.", method, argument);
}

[[noreturn]] void unavailable(const char* method) {
    throwPreviewf<IOError>(CAT_DAEMON, 3, "%s is not available in this build of xadrad.", method);
}

const ObjPtr<HPGSRendererCacheEntry>& requireEntry(const ObjPtr<HPGSRendererCacheEntry>& e) {
    if (!e) throwPreviewf<IOError>(CAT_DAEMON, 3, "Application error: job ended without saving file to cache.");
    return e;
}

IHPGLRenderer::Stream resultStream(const ObjPtr<HPGSRendererCacheEntry>& e) {
    requireEntry(e);
    return preview::FileMimeInputStream::newInstance(e->getOutputUniqueName(), e->getOutputPrettyName(),
                                                    e->getDataFilePath(), e->getMimeType());
}

}  // namespace

ObjPtr<HPGSRenderer> HPGSRenderer::newInstance() { return makeObj<HPGSRenderer>(computeLoadFactor()); }

IHPGLRenderer::BBox HPGSRenderer::getBoundingBox(const Stream& input) {
    requireStream(input, "getBoundingBox", "input");
    return readBoundingBox(requireEntry(measureBoundingBox(input))->getDataFilePath());
}

IHPGLRenderer::ListP HPGSRenderer::getPageBoundingBoxes(const Stream& input) {
    requireStream(input, "getPageBoundingBoxes", "input");
    return readPageBoundingBoxes(requireEntry(measurePageBoundingBoxes(input))->getDataFilePath());
}

ObjPtr<PatternSeekResult> HPGSRenderer::seekPattern(const Stream& input, const Stream& pattern, int32_t) {
    requireStream(input, "seekPattern", "input");
    requireStream(pattern, "seekPattern", "pattern");
    unavailable("seekPattern");
}

IHPGLRenderer::Stream HPGSRenderer::insertAnnotations(const Stream& input, int32_t, const StringP&, const ListP&) {
    requireStream(input, "insertAnnotations", "input");
    unavailable("insertAnnotations");
}

IHPGLRenderer::Stream HPGSRenderer::mergeWithAnnotations(const Stream& input1, int32_t, const Stream& input2, int32_t,
                                                        const ListP&, const StringP&) {
    requireStream(input1, "mergeWithAnnotations", "first input");
    requireStream(input2, "mergeWithAnnotations", "second input");
    unavailable("mergeWithAnnotations");
}

IHPGLRenderer::Stream HPGSRenderer::mergePdfWithAnnotations(const Stream& input1, int32_t, const Stream& input2,
                                                           int32_t, const ListP&, const StringP&, const ListP&) {
    requireStream(input1, "mergePdfWithAnnotations", "first input");
    requireStream(input2, "mergePdfWithAnnotations", "second input");
    unavailable("mergePdfWithAnnotations");
}

IHPGLRenderer::Stream HPGSRenderer::comparePngByResolution(const Stream& input1, int32_t, const Stream& input2,
                                                          int32_t, double, bool) {
    requireStream(input1, "comparePngByResolution", "first input");
    requireStream(input2, "comparePngByResolution", "second input");
    unavailable("comparePngByResolution");
}

IHPGLRenderer::Stream HPGSRenderer::comparePngByPixelSize(const Stream& input1, int32_t, const Stream& input2, int32_t,
                                                         int32_t, bool) {
    requireStream(input1, "comparePngByPixelSize", "first input");
    requireStream(input2, "comparePngByPixelSize", "second input");
    unavailable("comparePngByPixelSize");
}

IHPGLRenderer::Stream HPGSRenderer::comparePngTileByResolution(const Stream& input1, const BBox&, const Stream& input2,
                                                              const BBox&, double, bool, int32_t, int32_t) {
    requireStream(input1, "comparePngTileByResolution", "first input");
    requireStream(input2, "comparePngTileByResolution", "second input");
    unavailable("comparePngTileByResolution");
}

IHPGLRenderer::Stream HPGSRenderer::renderPngByResolution(const Stream& input, double resolution, bool antialias,
                                                         int32_t angle, const StringP& stamp,
                                                         const ListP& annotations) {
    requireStream(input, "renderPngByResolution", "input");
    return resultStream(Xadra::renderPngByResolution(input, resolution, antialias, angle, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::renderPngPageByResolution(const Stream& input, int32_t page, double resolution,
                                                             bool antialias, int32_t angle, const StringP& stamp,
                                                             const ListP& annotations) {
    requireStream(input, "renderPngPageByResolution", "input");
    return resultStream(
        Xadra::renderPngPageByResolution(input, page, resolution, antialias, angle, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::renderPngByPixelSize(const Stream& input, int32_t pixelSize, bool antialias,
                                                        int32_t angle, const StringP& stamp,
                                                        const ListP& annotations) {
    requireStream(input, "renderPngByPixelSize", "input");
    return resultStream(Xadra::renderPngByPixelSize(input, pixelSize, antialias, angle, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::renderPngTileByResolution(const Stream& input, double resolution, bool antialias,
                                                             const BBox& tile, const StringP& stamp,
                                                             const ListP& annotations) {
    requireStream(input, "renderPngTileByResolution", "input");
    return resultStream(
        Xadra::renderPngTileByResolution(input, resolution, antialias, tile, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::renderPdf(const Stream& input, const ListP&, int32_t, const StringP&,
                                             const ListP&) {
    requireStream(input, "renderPdf", "input");
    ObjPtr<String> mime = input->getMimeType();
    std::string type = mime ? mime->str() : std::string();
    if (type != kPdf && type != kHpgl)
        throwPreviewf<IOError>(CAT_DAEMON, 3, "renderPdf: input of MIME type [%s] cannot be rendered to PDF.",
                               type.c_str());
    unavailable("renderPdf");
}

}  // namespace Xadra
