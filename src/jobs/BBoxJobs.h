// Bounding boxes: the extent of an HPGL/2 drawing or of the first page of a
// PDF document (HPGSBBoxJob, tag "bbox"), and the boxes of every page of a
// PDF document (HPGSPageBBoxesJob, tag "bboxes"). Both run through the job
// machinery and the cache like every job; their result is a small text file
// of "key=value" lines (doubles with 16 significant digits):
//   bbox:   llx, lly, urx, ury (points), native_angle (degrees, 0 for
//           HPGL), user_unit
//   bboxes: npages, then per page i from 0 llx_i, lly_i, urx_i, ury_i,
//           native_angle_i, user_unit_i
// The renderer service reads them back with readBoundingBox and
// readPageBoundingBoxes.
//
// Errors: the factories fail as executeJob (ThrowableException 16, 3 with a
// PreviewException): HPGSError with hpgs's message for a drawing or a PDF
// that cannot be read, DRMError "PDF file is encrypted." for an encrypted
// PDF, HPGSError for page boxes of an input that is not a PDF.
//
// Thread-safety: factories may be called from any number of threads.
#pragma once

#include "daemon/JobRegistry.h"

#include "plume/ConfigOptions.h"
#include "xadracommon/PreviewApi.h"

#include <string>

namespace Xadra {

class HPGSBBoxJob : public HPGSRendererJob {
public:
    using HPGSRendererJob::HPGSRendererJob;

    // A drawing that this job downloads itself is measured while it
    // arrives (PipedReading); render() then only writes the result.
    void prepareInputs(Plume::Mutex& mutex) override;
    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "text/plain"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".bbox"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".bbox"); }

private:
    bool measured_ = false;  // box_ holds the plot size measured on arrival
    hpgs_bbox box_{};
};

class HPGSPageBBoxesJob : public HPGSRendererJob {
public:
    using HPGSRendererJob::HPGSRendererJob;

    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "text/plain"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".bboxes"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".bboxes"); }
};

// The factories: read the input's unique name, pretty name and timestamp,
// run the job and return the cache entry of its result file. A null input
// is refused with an IOError.
Plume::ObjPtr<HPGSRendererCacheEntry> measureBoundingBox(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input);
Plume::ObjPtr<HPGSRendererCacheEntry> measurePageBoundingBoxes(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input);

// Read a result file back. A missing key without default (llx, lly, urx,
// ury, npages and their page forms) throws the option reader's
// Plume::Exception naming key and file; native_angle defaults to 0 and
// user_unit to 1.0.
Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle> readBoundingBox(const std::string& path);
// Writes a value result into path (created or truncated). A short write is a
// failure: a cut result file must not reach the cache. 0, or -1 with the
// reason in hpgs's error slot.
int writeResultFile(const std::string& path, const std::string& content);

// The box whose keys end in suffix ("llx" + suffix ...) from a loaded result.
Plume::ObjPtr<xad::preview::api::BoundingBoxWithAngle> readBoundingBoxFrom(const Plume::ConfigOptions& options,
                                                                          const std::string& suffix);
Plume::ObjPtr<Plume::List> readPageBoundingBoxes(const std::string& path);

}  // namespace Xadra
