#include "RendererJob.h"

#include "JobRegistry.h"
#include "JobRun.h"

#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cstdarg>
#include <cstdio>
#include <exception>
#include <utility>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

RendererJob::RendererJob(std::string uniqueName, std::string prettyName, std::string tag, std::string stamp,
                         double timestamp)
    : uniqueName_(std::move(uniqueName)),
      prettyName_(std::move(prettyName)),
      tag_(std::move(tag)),
      stamp_(std::move(stamp)),
      timestamp_(timestamp) {}

RendererJob::~RendererJob() = default;

void RendererJob::interrupt(Plume::Mutex& mutex) {
    ObjPtr<RendererJob> sub;
    {
        Plume::MutexLock lock(mutex);
        interrupted_.store(true, std::memory_order_release);
        sub = subjob_;
    }
    if (sub) sub->interrupt(mutex);
}

int32_t RendererJob::runningWorkerIndex() const {
    Plume::MutexLock lock(jobsMutex);
    return workerIndex_;
}

void RendererJob::log(int level, const char* format, ...) const {
    va_list ap;
    va_start(ap, format);
    std::string text = Plume::vformat(format, ap);
    va_end(ap);
    logMessage(level, "%s(%s;%s): %s", uniqueName_.c_str(), tag_.c_str(), stamp_.c_str(), text.c_str());
}

// ------------------------------------------------------------ HPGSRendererJob

HPGSRendererJob::HPGSRendererJob(const ObjPtr<IMimeInputStream>& input, std::string uniqueName,
                                 std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                 const ObjPtr<Plume::List>& annotations)
    : HPGSRendererJob(ObjPtr<HPGSDataHolder>(Plume::makeObj<HPGSMimeDownloadDataHolder>(input)),
                      std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp), timestamp,
                      annotations) {}

HPGSRendererJob::HPGSRendererJob(const ObjPtr<HPGSRendererCacheEntry>& input, std::string uniqueName,
                                 std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                 const ObjPtr<Plume::List>& annotations)
    : HPGSRendererJob(ObjPtr<HPGSDataHolder>(Plume::makeObj<HPGSRendererCacheEntryDataHolder>(input)),
                      std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp), timestamp,
                      annotations) {}

HPGSRendererJob::HPGSRendererJob(const ObjPtr<HPGSDataHolder>& input, std::string uniqueName,
                                 std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                 const ObjPtr<Plume::List>& annotations)
    : RendererJob(std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp), timestamp),
      input_(input),
      annotations_(annotations) {}

HPGSRendererJob::~HPGSRendererJob() = default;

void HPGSRendererJob::run(Plume::Mutex& mutex) {
    JobRunOptions options;
    options.throwablePrefix = "Throwable: ";
    options.cleanup = [&] { clearReader(*this, mutex); };
    runJobSteps(
        *this,
        [&] {
            prepareInputs(mutex);
            setRunning(*this);
            hpgs_clear_error();
            if (render(mutex) != 0) {
                // Taken before the reader goes, which may touch the error slot.
                const std::string text = hpgs_get_error();
                log(3, "hpgs error: %s.", text.c_str());
                clearReader(*this, mutex);
                setFailed(*this, Plume::makeObj<HPGSError>(text));
            } else {
                clearReader(*this, mutex);
                cacheResult(*this);
            }
        },
        options);
}

void HPGSRendererJob::interrupt(Plume::Mutex& mutex) {
    RendererJob::interrupt(mutex);
    Plume::MutexLock lock(mutex);
    if (reader_) hpgs_reader_interrupt(reader_.get());
}

void HPGSRendererJob::releaseInputs() {
    annotationInputs_.reset();
    input_.reset();
}

void HPGSRendererJob::prepareInputs(Plume::Mutex& mutex) {
    fetchMainInput(mutex);
    fetchAnnotations(mutex);
}

void HPGSRendererJob::fetchMainInput(Plume::Mutex& mutex) {
    if (!input_) throw Exception(CAT_DAEMON, 3, "Job has no input.");
    input_->fetch(runningWorkerIndex(), 0, &mutex, this);
}

void HPGSRendererJob::fetchAnnotations(Plume::Mutex& mutex) {
    const int worker = runningWorkerIndex();
    if (!annotations_ || annotations_->getSize() == 0) return;
    auto inputs = Plume::List::newInstance(annotations_->getSize());
    for (size_t k = 0; k < annotations_->getSize(); ++k) {
        auto a = Plume::objCast<Annotation>(annotations_->get(k));
        // A placeholder keeps the holders at the positions of their
        // annotations, which is how getAnnotationInput finds them.
        if (!a || !a->getFdf()) {
            inputs->add(nullptr);
            continue;
        }
        auto holder = Plume::makeObj<HPGSMimeStreamDataHolder>(a->getFdf());
        // Added before the fetch, so that a failed fetch is still released
        // with the job.
        inputs->add(holder);
        annotationInputs_ = inputs;
        holder->fetch(worker, static_cast<int>(k + 1), &mutex, this);
    }
    annotationInputs_ = inputs;
}

hpgs_reader* setReader(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs::UniqueReader reader) {
    hpgs::UniqueReader old;
    hpgs_reader* current;
    {
        Plume::MutexLock lock(mutex);
        old = std::exchange(job.reader_, std::move(reader));
        current = job.reader_.get();
        if (current && job.isInterrupted()) hpgs_reader_interrupt(current);
    }
    // The old reader is destroyed here, outside the lock: nothing else can
    // reach it any more.
    return current;
}

ObjPtr<HPGSDataHolder> getAnnotationInput(const HPGSRendererJob& job, size_t position) {
    if (!job.annotations_ || !job.annotationInputs_ || position >= job.annotations_->getSize() ||
        position >= job.annotationInputs_->getSize())
        throwPreviewf<IOError>(CAT_DAEMON, 3, "Invalid access to annotation data.");
    return Plume::objCast<HPGSDataHolder>(job.annotationInputs_->get(position));
}

// -------------------------------------------------------------------- helpers

std::string replaceExtension(const std::string& name, const std::string& extension) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return name;
    if (name.size() > 5 && dot < name.size() - 5) return name;
    return name.substr(0, dot) + extension;
}

RgbColor parseColor(const std::string& text) {
    unsigned r, g, b;
    if (std::sscanf(text.c_str(), "#%2x%2x%2x", &r, &g, &b) == 3) return {r / 255.0, g / 255.0, b / 255.0};
    return {1.0, 0.0, 0.0};
}

RgbColor parseColor(const ObjPtr<Plume::String>& text) {
    if (!text) return {1.0, 0.0, 0.0};
    return parseColor(text->str());
}

void appendAnnotationKey(std::ostream& out, const ObjPtr<Plume::List>& annotations) {
    if (!annotations) return;
    for (size_t i = 0; i < annotations->getSize(); ++i) {
        auto a = Plume::objCast<Annotation>(annotations->get(i));
        if (!a || !a->getFdf()) continue;
        const auto& fdf = a->getFdf();
        out.precision(16);
        out << ';' << Plume::String::toText(a->getTitle().get()) << ':'
            << Plume::String::toText(fdf->getUniqueName().get()) << ':'
            << Plume::String::toText(fdf->getPrettyName().get()) << ':' << fdf->getTimestamp();
    }
}

}  // namespace Xadra
