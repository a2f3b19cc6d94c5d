#include "JobRun.h"

#include "JobRegistry.h"

#include <exception>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

ObjPtr<Plume::Throwable> currentFailure(const RendererJob& job, const char* throwablePrefix) {
    try {
        throw;
    } catch (const Plume::ThrowableException& e) {
        job.log(3, "%s%s", throwablePrefix, e.what());
        const ObjPtr<Plume::Throwable>& t = e.getThrowable();
        return t ? t : ObjPtr<Plume::Throwable>(Plume::makeObj<IOError>(e.getMessage()));
    } catch (const std::exception& e) {
        job.log(3, "%s", e.what());
        return Plume::makeObj<IOError>(e.what());
    } catch (...) {
        job.log(3, "Caught unknown exception.");
        return Plume::makeObj<IOError>("Caught unknown exception.");
    }
}

void runJobSteps(RendererJob& job, const std::function<void()>& steps, const JobRunOptions& options) {
    ObjPtr<Plume::Throwable> failure;
    try {
        steps();
        return;
    } catch (...) {
        failure = currentFailure(job, options.throwablePrefix);
    }
    if (options.cleanup) options.cleanup();
    setFailed(job, failure);
}

}  // namespace Xadra
