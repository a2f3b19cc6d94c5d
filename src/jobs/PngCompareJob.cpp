#include "PngCompareJob.h"

#include "PngRendererJob.h"

#include "daemon/JobRun.h"
#include "daemon/Settings.h"
#include "imaging/PngReader.h"
#include "imaging/PngWriter.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include <sys/stat.h>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

std::string outputName(const ObjPtr<HPGSRendererCacheEntry>& e, bool pretty) {
    if (!e) return "null.png";
    return pretty ? e->getOutputPrettyName() : e->getOutputUniqueName();
}

double modificationTime(const ObjPtr<HPGSRendererCacheEntry>& e) {
    struct stat st;
    if (!e || ::stat(e->getDataFilePath().c_str(), &st) != 0) return 0.0;
    return static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec * 1e-9;
}

std::string tagOf(const ObjPtr<HPGSRendererCacheEntry>& a, const ObjPtr<HPGSRendererCacheEntry>& b, uint32_t w,
                  uint32_t h) {
    std::string tag = (a ? a->getInputUniqueTag() : "") + ";" + (b ? b->getInputUniqueTag() : "");
    if (w || h) tag += "(w=" + std::to_string(w) + ",h=" + std::to_string(h) + ")";
    return tag;
}

int bytesPerPixel(int colorType) { return colorType == 0 ? 1 : 3; }

bool emptyTile(const ObjPtr<BoundingBoxWithAngle>& t) {
    return !t || t->getLlx() >= t->getUrx() || t->getLly() >= t->getUry();
}

}  // namespace

HPGSPngCompareJob::HPGSPngCompareJob(const ObjPtr<HPGSRendererCacheEntry>& a, const ObjPtr<HPGSRendererCacheEntry>& b,
                                     uint32_t minWidth, uint32_t minHeight)
    : RendererJob(replaceExtension(outputName(a, false), "-") + outputName(b, false),
                  replaceExtension(outputName(a, true), "-") + outputName(b, true), tagOf(a, b, minWidth, minHeight),
                  "", std::max(modificationTime(a), modificationTime(b))),
      a_(a),
      b_(b),
      minWidth_(minWidth),
      minHeight_(minHeight) {}

void HPGSPngCompareJob::interrupt(Plume::Mutex& mutex) {
    RendererJob::interrupt(mutex);
    Plume::MutexLock lock(mutex);
    interrupted_ = true;
}

void HPGSPngCompareJob::releaseInputs() {
    a_.reset();
    b_.reset();
}

void HPGSPngCompareJob::run(Plume::Mutex& mutex) {
    runJobSteps(*this, [&] {
        setRunning(*this);
        compare(jobCache().getJobFileName(runningWorkerIndex()), mutex);
        cacheResult(*this);
    });
}

void HPGSPngCompareJob::compare(const std::string& output, Plume::Mutex& mutex) {
    const unsigned long long cap = Settings::getPngMaxPixels();
    PngReader ra(cap), rb(cap);
    PngReader* a = nullptr;
    PngReader* b = nullptr;
    if (a_) {
        ra.open(a_->getDataFilePath(), true);
        a = &ra;
    }
    if (b_) {
        rb.open(b_->getDataFilePath(), true);
        b = &rb;
    }
    if (!a && !b) throw Exception(CAT_PNG, 3, "Comparison of %s has no rendering to compare.", getPrettyName().c_str());
    if (a && b && (a->getColorType() ^ b->getColorType()) > 1)
        throw Exception(CAT_PNG, 3, "Input files have incompatible color types.");
    const int colorType = (a ? a->getColorType() : b->getColorType()) != 0 ? 2 : 0;
    const uint32_t bpp = static_cast<uint32_t>(bytesPerPixel(colorType));
    // Renderings are 8-bit gray or RGB (palettes expanded); anything wider
    // per pixel (16-bit samples, alpha) would not fit the output row.
    for (PngReader* r : {a, b})
        if (r && (r->getBitDepth() > 8 || r->getRowBytes() != r->getWidth() * bpp))
            throwPreviewf<HPGSError>(CAT_PNG, 3,
                                     "Rendering of %u x %u pixels with %u bytes a row (bit depth %d, colour type %d) "
                                     "cannot be compared: only 8-bit gray or RGB renderings can.",
                                     r->getWidth(), r->getHeight(), r->getRowBytes(), r->getBitDepth(),
                                     r->getColorType());
    const uint32_t wa = a ? a->getWidth() : 0, ha = a ? a->getHeight() : 0;
    const uint32_t wb = b ? b->getWidth() : 0, hb = b ? b->getHeight() : 0;
    const uint32_t width = std::max({wa, wb, minWidth_});
    const uint32_t height = std::max({ha, hb, minHeight_});
    if (static_cast<double>(width) * height > static_cast<double>(cap))
        throwPreviewf<HPGSError>(CAT_PNG, 3,
                                 "Difference image of %u x %u pixels exceeds the limit of %llu pixels "
                                 "(xadrad_png_max_pixels).",
                                 width, height, cap);

    PngWriter w;
    w.open(output, width, height, 8, colorType, 0, nullptr, 0, 1);
    logCategory(CAT_PNG, 7, "out: width,height,depth,color_type,row_bytes = %u,%u,%d,%d,%u.", w.getWidth(),
                w.getHeight(), w.getBitDepth(), w.getColorType(), w.getRowBytes());
    unsigned char* row = w.getRowBuffer();
    const uint32_t rowBytes = w.getRowBytes();
    std::memset(row, 0, rowBytes);

    auto checkInterrupt = [&] {
        Plume::MutexLock lock(mutex);
        if (interrupted_) throw Exception(CAT_PNG, 3, "Comparison of Png files has been interrupted.");
    };
    // Places the whole row of one image at the right end of the output row.
    auto place = [&](const unsigned char* src, uint32_t n, bool isB) {
        unsigned char* dst = row + rowBytes - n;
        if (isB)
            for (uint32_t i = 0; i < n; ++i) dst[i] = static_cast<unsigned char>(src[i] * 60 / 100);
        else
            std::memcpy(dst, src, n);
    };

    const uint32_t tallest = std::max(ha, hb), common = std::min(ha, hb);
    for (uint32_t y = 0; y < height - tallest; ++y) w.writeRows();
    PngReader* taller = ha >= hb ? a : b;
    for (uint32_t y = 0; y < tallest - common; ++y) {
        checkInterrupt();
        taller->readRow();
        place(taller->getRowBuffer(), taller->getRowBytes(), taller == b);
        w.writeRows();
    }
    for (uint32_t y = 0; y < common; ++y) {
        checkInterrupt();
        a->readRow();
        b->readRow();
        const uint32_t na = a->getRowBytes(), nb = b->getRowBytes();
        // The wider row first (alone where the other has no bytes), then the
        // overlap on the right.
        if (na >= nb)
            place(a->getRowBuffer(), na, false);
        else
            place(b->getRowBuffer(), nb, true);
        const uint32_t overlap = std::min(na, nb);
        const unsigned char* pa = a->getRowBuffer() + na - overlap;
        const unsigned char* pb = b->getRowBuffer() + nb - overlap;
        unsigned char* dst = row + rowBytes - overlap;
        for (uint32_t i = 0; i < overlap; ++i) {
            const int d = pb[i] * 60 / 100 - pa[i];
            dst[i] = static_cast<unsigned char>(d < 0 ? -d : d);
        }
        w.writeRows();
    }
    w.close();
    ra.close();
    rb.close();
}

// ------------------------------------------------------------ factories

namespace {

ObjPtr<HPGSRendererCacheEntry> runCompare(const ObjPtr<HPGSRendererCacheEntry>& a,
                                          const ObjPtr<HPGSRendererCacheEntry>& b, uint32_t w, uint32_t h) {
    return executeJob(Plume::makeObj<HPGSPngCompareJob>(a, b, w, h));
}

}  // namespace

ObjPtr<HPGSRendererCacheEntry> comparePngByResolution(const ObjPtr<IMimeInputStream>& input1, int32_t angle1,
                                                      const ObjPtr<IMimeInputStream>& input2, int32_t angle2,
                                                      double resolution, bool antialias) {
    auto a = renderPngByResolution(input1, resolution, antialias, angle1, "", nullptr);
    auto b = renderPngByResolution(input2, resolution, antialias, angle2, "", nullptr);
    return runCompare(a, b, 0, 0);
}

ObjPtr<HPGSRendererCacheEntry> comparePngByPixelSize(const ObjPtr<IMimeInputStream>& input1, int32_t angle1,
                                                     const ObjPtr<IMimeInputStream>& input2, int32_t angle2,
                                                     int32_t pixelSize, bool antialias) {
    auto a = renderPngByPixelSize(input1, pixelSize, antialias, angle1, "", nullptr);
    auto b = renderPngByPixelSize(input2, pixelSize, antialias, angle2, "", nullptr);
    return runCompare(a, b, 0, 0);
}

ObjPtr<HPGSRendererCacheEntry> comparePngTileByResolution(const ObjPtr<IMimeInputStream>& input1,
                                                          const ObjPtr<BoundingBoxWithAngle>& tile1,
                                                          const ObjPtr<IMimeInputStream>& input2,
                                                          const ObjPtr<BoundingBoxWithAngle>& tile2,
                                                          double resolution, bool antialias, int32_t width,
                                                          int32_t height) {
    const bool empty1 = emptyTile(tile1), empty2 = emptyTile(tile2);
    if (empty1 && empty2) throwPreviewf<HPGSError>(CAT_DAEMON, 3, "Both bounding boxes are empty.");
    ObjPtr<HPGSRendererCacheEntry> a, b;
    if (!empty1) a = renderPngTileByResolution(input1, resolution, antialias, tile1, "", nullptr);
    if (!empty2) b = renderPngTileByResolution(input2, resolution, antialias, tile2, "", nullptr);
    return runCompare(a, b, static_cast<uint32_t>(std::max(width, 0)), static_cast<uint32_t>(std::max(height, 0)));
}

}  // namespace Xadra
