#include "HPGSRenderer.h"

#include "Startup.h"
#include "cache/HPGSRendererCacheEntry.h"
#include "jobs/BBoxJobs.h"
#include "jobs/HpglOutputJobs.h"
#include "jobs/PdfOutputJobs.h"
#include "jobs/PngCompareJob.h"
#include "jobs/PngRendererJob.h"
#include "jobs/PngSeekJob.h"
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

std::string mimeTypeOf(const IHPGLRenderer::Stream& s) {
    ObjPtr<String> mime = s->getMimeType();
    return mime ? mime->str() : std::string();
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

ObjPtr<PatternSeekResult> HPGSRenderer::seekPattern(const Stream& input, const Stream& pattern, int32_t angle) {
    requireStream(input, "seekPattern", "input");
    requireStream(pattern, "seekPattern", "pattern");
    return readPatternSeekResult(requireEntry(Xadra::seekPattern(input, pattern, angle))->getDataFilePath());
}

IHPGLRenderer::Stream HPGSRenderer::insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp,
                                                     const ListP& annotations) {
    requireStream(input, "insertAnnotations", "input");
    if (mimeTypeOf(input) == kPdf)
        return resultStream(finishPdf(input, nullptr, angle, stampText(stamp), annotations));
    return resultStream(insertHpglAnnotations(input, angle, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::mergeWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2,
                                                        int32_t angle2, const ListP& annotations,
                                                        const StringP& stamp) {
    requireStream(input1, "mergeWithAnnotations", "first input");
    requireStream(input2, "mergeWithAnnotations", "second input");
    if (mimeTypeOf(input1) == kHpgl && mimeTypeOf(input2) == kHpgl)
        return resultStream(mergeHpgl(input1, angle1, input2, angle2, stampText(stamp), annotations));
    return resultStream(mergePdf(input1, angle1, input2, angle2, nullptr, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::mergePdfWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2,
                                                           int32_t angle2, const ListP& annotations,
                                                           const StringP& stamp, const ListP& properties) {
    requireStream(input1, "mergePdfWithAnnotations", "first input");
    requireStream(input2, "mergePdfWithAnnotations", "second input");
    return resultStream(mergePdf(input1, angle1, input2, angle2, properties, stampText(stamp), annotations));
}

IHPGLRenderer::Stream HPGSRenderer::comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2,
                                                          int32_t angle2, double resolution, bool antialias) {
    requireStream(input1, "comparePngByResolution", "first input");
    requireStream(input2, "comparePngByResolution", "second input");
    return resultStream(Xadra::comparePngByResolution(input1, angle1, input2, angle2, resolution, antialias));
}

IHPGLRenderer::Stream HPGSRenderer::comparePngByPixelSize(const Stream& input1, int32_t angle1, const Stream& input2,
                                                         int32_t angle2, int32_t pixelSize, bool antialias) {
    requireStream(input1, "comparePngByPixelSize", "first input");
    requireStream(input2, "comparePngByPixelSize", "second input");
    return resultStream(Xadra::comparePngByPixelSize(input1, angle1, input2, angle2, pixelSize, antialias));
}

IHPGLRenderer::Stream HPGSRenderer::comparePngTileByResolution(const Stream& input1, const BBox& tile1,
                                                              const Stream& input2, const BBox& tile2,
                                                              double resolution, bool antialias, int32_t width,
                                                              int32_t height) {
    requireStream(input1, "comparePngTileByResolution", "first input");
    requireStream(input2, "comparePngTileByResolution", "second input");
    return resultStream(Xadra::comparePngTileByResolution(input1, tile1, input2, tile2, resolution, antialias, width,
                                                          height));
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

IHPGLRenderer::Stream HPGSRenderer::renderPdf(const Stream& input, const ListP& properties, int32_t angle,
                                             const StringP& stamp, const ListP& annotations) {
    requireStream(input, "renderPdf", "input");
    const std::string type = mimeTypeOf(input);
    if (type == kPdf) return resultStream(finishPdf(input, properties, angle, stampText(stamp), annotations));
    if (type != kHpgl)
        throwPreviewf<IOError>(CAT_DAEMON, 3, "renderPdf: input of MIME type [%s] cannot be rendered to PDF.",
                               type.c_str());
    // A drawing becomes a finished document when anything but the plain
    // conversion is asked for: a stamp, annotations or a submit message.
    bool submit = false;
    for (size_t i = 0; properties && i < properties->getSize() && !submit; ++i) {
        auto p = objCast<PDFProperty>(properties->get(i));
        submit = p && p->getType() && p->getType()->getOrdinal() == PDFPropertyType::SUBMIT_MSG;
    }
    const std::string stampValue = stampText(stamp);
    if (!stampValue.empty() || (annotations && annotations->getSize() > 0) || submit)
        return resultStream(finishPdf(input, properties, angle, stampValue, annotations));
    return resultStream(renderPdfFromHpgl(input, properties, angle));
}

}  // namespace Xadra
