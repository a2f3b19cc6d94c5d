// The one-time download of a request's input into the result cache, so that
// later jobs on the same input (same unique name and timestamp) read the
// cached copy instead of the client's stream.
//
// The download job stays in JOB_CREATED until it is cached or failed, so
// requests waiting for it (directly or through a render job still fetching
// its input) do not run into the render time-out while the transfer lasts.
#pragma once

#include "JobRegistry.h"

namespace Xadra {

class HPGSDownloadJob : public RendererJob {
public:
    // Identity: (uniqueName, uniqueName, "").
    // observer (not owned, may be null) sees the copy of a run.
    HPGSDownloadJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& stream, std::string uniqueName,
                    std::string prettyName, double timestamp, CopyObserver* observer = nullptr);

    // Copies the stream into the worker's job file and caches it.
    void run(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return input_->getMimeType(); }
    std::string getResultUniqueName() override { return getUniqueName(); }
    std::string getResultPrettyName() override { return getPrettyName(); }
    // The job file becomes the cache file: the holder forgets it.
    void releaseInputs() override { input_->forgetFile(); }

private:
    Plume::ObjPtr<HPGSMimeStreamDataHolder> input_;
};

// The cache entry of the stream's data, downloading it when needed. With a
// parent the download runs as its subjob in the parent's worker thread (or
// joins another job that is downloading the same input). observer (not
// owned, may be null) sees the copy when this call starts the download.
Plume::ObjPtr<HPGSRendererCacheEntry> downloadInput(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& stream,
                                                    Plume::Mutex* mutex, RendererJob* parent,
                                                    CopyObserver* observer = nullptr);

}  // namespace Xadra
