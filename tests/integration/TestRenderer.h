// An IHPGLRenderer for tests of the remote interface between processes. Its
// methods read their input streams to the end and answer with what they read:
//
//   renderPngByResolution   the input's bytes, as a FileMimeInputStream (by reference)
//   insertAnnotations       the input's bytes followed by each annotation's FDF
//                           bytes, as a ByteArrayMimeInputStream (by value)
//   getBoundingBox          llx = bytes read, lly = readBlock calls made, urx = resolution of
//                           nothing (0), ury = input timestamp, angle = 90, userUnit 1
//   getPageBoundingBoxes    two boxes; seekPattern a result with four parameters
//   renderPdf               "PDF" + for each property "|TYPE=value" + for each annotation
//                           "|title,color,mode,owner:" + its FDF bytes + "|" + the input's bytes
//   comparePngByResolution  "CMP angle1 angle2|" + input1 bytes + "|" + input2 bytes
//   getLoadFactor           42
//
// A null input gives a null result. The stamp argument of renderPngByResolution
// selects failures: "throw:<Type>" raises that PreviewException subclass with
// message "<Type> raised on request" (a Timeout carries 60), "sleep:<ms>"
// sleeps first, "null" returns null, "timeouts:<n>" raises a Timeout at once
// for the first n requests with that stamp. Every other method raises an
// IOError.
#pragma once

#include "xadracommon/PreviewApi.h"

#include <string>

namespace xadtest {

class TestRenderer : public xad::preview::api::IHPGLRenderer {
public:
    explicit TestRenderer(std::string scratchDir) : scratch_(std::move(scratchDir)) {}
    int32_t getLoadFactor() override { return 42; }
    BBox getBoundingBox(const Stream& input) override;
    ListP getPageBoundingBoxes(const Stream& input) override;
    Plume::ObjPtr<xad::preview::api::PatternSeekResult> seekPattern(const Stream& input, const Stream& pattern,
                                                                   int32_t angle) override;
    Stream insertAnnotations(const Stream& input, int32_t angle, const StringP& stamp, const ListP& annotations) override;
    Stream mergeWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&) override {
        unavailable("mergeWithAnnotations");
    }
    Stream mergePdfWithAnnotations(const Stream&, int32_t, const Stream&, int32_t, const ListP&, const StringP&,
                                   const ListP&) override {
        unavailable("mergePdfWithAnnotations");
    }
    Stream comparePngByResolution(const Stream& input1, int32_t angle1, const Stream& input2, int32_t angle2,
                                  double resolution, bool antialias) override;
    Stream comparePngByPixelSize(const Stream&, int32_t, const Stream&, int32_t, int32_t, bool) override {
        unavailable("comparePngByPixelSize");
    }
    Stream comparePngTileByResolution(const Stream&, const BBox&, const Stream&, const BBox&, double, bool, int32_t,
                                      int32_t) override {
        unavailable("comparePngTileByResolution");
    }
    Stream renderPngByResolution(const Stream& input, double resolution, bool antialias, int32_t angle,
                                 const StringP& stamp, const ListP& annotations) override;
    Stream renderPngPageByResolution(const Stream&, int32_t, double, bool, int32_t, const StringP&,
                                     const ListP&) override {
        unavailable("renderPngPageByResolution");
    }
    Stream renderPngByPixelSize(const Stream&, int32_t, bool, int32_t, const StringP&, const ListP&) override {
        unavailable("renderPngByPixelSize");
    }
    Stream renderPngTileByResolution(const Stream&, double, bool, const BBox&, const StringP&, const ListP&) override {
        unavailable("renderPngTileByResolution");
    }
    Stream renderPdf(const Stream& input, const ListP& properties, int32_t angle, const StringP& stamp,
                     const ListP& annotations) override;

private:
    [[noreturn]] static void unavailable(const char* method);
    std::string scratch_;
};

// Reads a stream to its end with blocks of blockSize; counts the calls.
std::string readAll(xad::preview::api::IMimeInputStream& s, int32_t blockSize = 65536, int* calls = nullptr);

}  // namespace xadtest
