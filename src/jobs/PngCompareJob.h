// Difference images: two renderings of the PNG job family (made or taken
// from the cache by the PNG factories) aligned at their bottom-right corners
// and combined byte by byte: where both have pixels |B x 60 / 100 - A|, where
// only A has any A, where only B has any B at 60 %, black elsewhere. Equal
// dark lines leave a faint trace and differences stand out.
//
// Identity: names "<A without extension>-<B's name>", tag "<A's tag>;<B's
// tag>" (the tile method appends "(w=..,h=..)"), the later data-file time of
// the two renderings as input timestamp, so that a newer rendering makes a
// cached comparison outdated. A missing side (tile method) counts as
// "null.png" with an empty tag.
//
// Errors: the factories fail as executeJob; a comparison fails with
// "Input files have incompatible color types." (gray against RGB, with or
// without alpha against without), an HPGSError for renderings of other than
// 8-bit samples or an output above the pixel cap, and "Comparison of Png
// files has been interrupted." when the job is interrupted.
// Thread-safety: factories may be called from any number of threads.
#pragma once

#include "daemon/JobRegistry.h"

#include "xadracommon/PreviewApi.h"

#include <cstdint>
#include <string>

namespace Xadra {

class HPGSPngCompareJob : public RendererJob {
public:
    // Either rendering may be null (not both); minimal sizes are 0 except for
    // tiles.
    HPGSPngCompareJob(const Plume::ObjPtr<HPGSRendererCacheEntry>& a, const Plume::ObjPtr<HPGSRendererCacheEntry>& b,
                      uint32_t minWidth, uint32_t minHeight);

    void run(Plume::Mutex& mutex) override;
    void interrupt(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "image/png"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".png"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".png"); }
    void releaseInputs() override;

    // Writes the difference image to output. Throws as described above.
    void compare(const std::string& output, Plume::Mutex& mutex);

private:
    Plume::ObjPtr<HPGSRendererCacheEntry> a_, b_;
    const uint32_t minWidth_, minHeight_;
    bool interrupted_ = false;  // guarded by the mutex given to run
};

Plume::ObjPtr<HPGSRendererCacheEntry> comparePngByResolution(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input1, int32_t angle1,
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2, int32_t angle2, double resolution,
    bool antialias);
Plume::ObjPtr<HPGSRendererCacheEntry> comparePngByPixelSize(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input1, int32_t angle1,
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2, int32_t angle2, int32_t pixelSize,
    bool antialias);
Plume::ObjPtr<HPGSRendererCacheEntry> comparePngTileByResolution(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input1,
    const Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle>& tile1,
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2,
    const Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle>& tile2, double resolution, bool antialias,
    int32_t width, int32_t height);

}  // namespace Xadra
