// The daemon's renderer service: every remote call of IHPGLRenderer arrives
// here on a connection-pool thread, runs the matching job through the job
// framework and answers with a stream over the cached result or a record
// read from it.
//
// Thread-safety: no mutable state; any number of calls may run at once.
#pragma once

#include "xadracommon/PreviewApi.h"

namespace Xadra {

class HPGSRenderer : public xad::preview::api::IHPGLRenderer {
public:
    // Computes the load factor once (throws when /proc/cpuinfo has none).
    static Plume::ObjPtr<HPGSRenderer> newInstance();
    explicit HPGSRenderer(int loadFactor) : loadFactor_(loadFactor) {}

    int32_t getLoadFactor() override { return loadFactor_; }
    BBox getBoundingBox(const Stream& input) override;
    ListP getPageBoundingBoxes(const Stream& input) override;
    Plume::ObjPtr<xad::preview::api::PatternSeekResult> seekPattern(const Stream& input, const Stream& pattern,
                                                                   int32_t angle) override;
    Stream insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp, const ListP& annotations) override;
    Stream mergeWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                const ListP& annotations, const StringP& stamp) override;
    Stream mergePdfWithAnnotations(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                   const ListP& annotations, const StringP& stamp, const ListP& properties) override;
    Stream comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                  double resolution, bool antialias) override;
    Stream comparePngByPixelSize(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                 int32_t pixelSize, bool antialias) override;
    Stream comparePngTileByResolution(const Stream& input1, const BBox& tile1, const Stream& input2,
                                      const BBox& tile2, double resolution, bool antialias, int32_t width,
                                      int32_t height) override;
    Stream renderPngByResolution(const Stream& input, double resolution, bool antialias, int32_t angle,
                                 const StringP& stamp, const ListP& annotations) override;
    Stream renderPngPageByResolution(const Stream& input, int32_t page, double resolution, bool antialias,
                                     int32_t angle, const StringP& stamp, const ListP& annotations) override;
    Stream renderPngByPixelSize(const Stream& input, int32_t pixelSize, bool antialias, int32_t angle,
                                const StringP& stamp, const ListP& annotations) override;
    Stream renderPngTileByResolution(const Stream& input, double resolution, bool antialias, const BBox& tile,
                                     const StringP& stamp, const ListP& annotations) override;
    Stream renderPdf(const Stream& input, const ListP& properties, int32_t angle, const StringP& stamp,
                     const ListP& annotations) override;

private:
    int loadFactor_;
};

}  // namespace Xadra
