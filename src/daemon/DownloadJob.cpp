#include "DownloadJob.h"

#include "xadracommon/LogService.h"

#include <exception>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

HPGSDownloadJob::HPGSDownloadJob(const ObjPtr<IMimeInputStream>& stream, std::string uniqueName,
                                 std::string prettyName, double timestamp)
    : RendererJob(uniqueName, std::move(prettyName), uniqueName, std::string(), timestamp),
      input_(Plume::makeObj<HPGSMimeStreamDataHolder>(stream)) {}

void HPGSDownloadJob::run(Plume::Mutex& mutex) {
    try {
        input_->fetch(getWorkerIndex(), -1, &mutex, this);
        cacheResult(*this);
    } catch (const Plume::ThrowableException& e) {
        log(3, "%s", e.what());
        ObjPtr<Plume::Throwable> t = e.getThrowable();
        setFailed(*this, t ? t : ObjPtr<Plume::Throwable>(Plume::makeObj<IOError>(e.getMessage())));
    } catch (const std::exception& e) {
        log(3, "%s", e.what());
        setFailed(*this, Plume::makeObj<IOError>(e.what()));
    } catch (...) {
        log(3, "Caught unknown exception.");
        setFailed(*this, Plume::makeObj<IOError>("Caught unknown exception."));
    }
}

ObjPtr<HPGSRendererCacheEntry> downloadInput(const ObjPtr<IMimeInputStream>& stream, Plume::Mutex* mutex,
                                             RendererJob* parent) {
    std::string uniqueName = Plume::String::toText(stream->getUniqueName().get());
    std::string prettyName = Plume::String::toText(stream->getPrettyName().get());
    double timestamp = stream->getTimestamp();
    auto job = Plume::makeObj<HPGSDownloadJob>(stream, std::move(uniqueName), std::move(prettyName), timestamp);
    return executeJob(job, mutex, parent);
}

}  // namespace Xadra
