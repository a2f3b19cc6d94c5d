// The first input of a job that joins two inputs into one result (the job's
// own input is the second): its identity, its angle and its data holder,
// which is fetched after the job's own inputs with the next free sub-index
// (number of annotations + 1), so that its job file never meets theirs.
//
// Thread-safety: belongs to its job (see RendererJob.h).
#pragma once

#include "daemon/RendererJob.h"

#include "xadracommon/PreviewApi.h"

#include <cstdint>
#include <string>

namespace Xadra {

class MergeInput {
public:
    // Reads the stream's unique name, pretty name and timestamp, in that
    // order. Throws an IOError (ThrowableException 16, 3) for a null stream.
    MergeInput(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, int32_t angle);

    // Fetches the input for job (call from the job's prepareInputs, after the
    // inherited one). Throws as HPGSDataHolder::fetch.
    void fetch(HPGSRendererJob& job, Plume::Mutex& mutex);
    // Drops the holder (its file goes with it); from the job's releaseInputs.
    void release() { holder_.reset(); }

    const Plume::ObjPtr<HPGSDataHolder>& holder() const { return holder_; }
    const std::string& uniqueName() const { return uniqueName_; }
    const std::string& prettyName() const { return prettyName_; }
    double timestamp() const { return timestamp_; }
    int32_t angle() const { return angle_; }

private:
    Plume::ObjPtr<HPGSDataHolder> holder_;
    std::string uniqueName_, prettyName_;
    double timestamp_ = 0.0;
    int32_t angle_ = 0;
};

}  // namespace Xadra
