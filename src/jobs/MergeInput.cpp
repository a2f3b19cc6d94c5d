#include "MergeInput.h"

#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

using namespace xad::preview::api;

namespace Xadra {

MergeInput::MergeInput(const Plume::ObjPtr<IMimeInputStream>& input, int32_t angle) : angle_(angle) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No first input stream given.");
    Plume::CallsAhead ahead(input, {"getUniqueName", "getPrettyName", "getTimestamp"});
    uniqueName_ = Plume::String::toText(input->getUniqueName().get());
    prettyName_ = Plume::String::toText(input->getPrettyName().get());
    timestamp_ = input->getTimestamp();
    holder_ = Plume::makeObj<HPGSMimeDownloadDataHolder>(input);
}

void MergeInput::fetch(HPGSRendererJob& job, Plume::Mutex& mutex) {
    if (!holder_) throw Exception(CAT_DAEMON, 3, "Merge job of %s has no first input.", job.getPrettyName().c_str());
    const size_t n = job.getAnnotations() ? job.getAnnotations()->getSize() : 0;
    holder_->fetch(job.runningWorkerIndex(), static_cast<int>(n + 1), &mutex, &job);
}

}  // namespace Xadra
