#include "DownloadJob.h"

#include "JobRun.h"

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

HPGSDownloadJob::HPGSDownloadJob(const ObjPtr<IMimeInputStream>& stream, std::string uniqueName,
                                 std::string prettyName, double timestamp, CopyObserver* observer)
    : RendererJob(uniqueName, std::move(prettyName), uniqueName, std::string(), timestamp),
      input_(Plume::makeObj<HPGSMimeStreamDataHolder>(stream)) {
    input_->setObserver(observer);
}

void HPGSDownloadJob::run(Plume::Mutex& mutex) {
    runJobSteps(*this, [&] {
        input_->fetch(runningWorkerIndex(), -1, &mutex, this);
        cacheResult(*this);
    });
}

ObjPtr<HPGSRendererCacheEntry> downloadInput(const ObjPtr<IMimeInputStream>& stream, Plume::Mutex* mutex,
                                             RendererJob* parent, CopyObserver* observer) {
    Plume::CallsAhead ahead(stream, {"getUniqueName", "getPrettyName", "getTimestamp"});
    std::string uniqueName = Plume::String::toText(stream->getUniqueName().get());
    std::string prettyName = Plume::String::toText(stream->getPrettyName().get());
    double timestamp = stream->getTimestamp();
    auto job = Plume::makeObj<HPGSDownloadJob>(stream, std::move(uniqueName), std::move(prettyName), timestamp,
                                               observer);
    return executeJob(job, mutex, parent);
}

}  // namespace Xadra
