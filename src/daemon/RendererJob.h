// Jobs: one object per result to compute. A job knows its input, its
// parameters and how to turn the input into one result file; the job registry
// (JobRegistry.h) runs it on a worker thread and stores the result in the
// cache.
//
// Identity: (uniqueName, tag, stamp) keys both the running-jobs registry and
// the result cache; the input timestamp tells outdated cache entries apart.
//
// Thread-safety: a job is run by one thread at a time. Its state, error,
// workerIndex and finishTime are changed only under the jobs mutex of the
// registry (through setRunning, setFailed, cacheResult) and read through the
// registry. The reader of an HPGSRendererJob and its subjob pointer are
// guarded by the running worker's mutex, so interrupt() may come from any
// thread.
#pragma once

#include "DataHolders.h"

#include "hpgs/hpgs.h"
#include "hpgs/hpgs_ptr.h"
#include "plume/Boxes.h"
#include "plume/Exception.h"
#include "plume/Thread.h"
#include "xadracommon/PreviewApi.h"

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>

namespace Xadra {

// The jobs mutex (defined with the registry, JobRegistry.cpp): guards the
// worker table, the running-jobs map and every job's state, error, worker
// index and finish time. Lock order: taken before a worker's mutex, never
// while one is held.
extern Plume::Mutex jobsMutex;

class RendererJob : public virtual Plume::Object {
public:
    enum State : int32_t { JOB_CREATED = 0, JOB_RUNNING = 1, JOB_CACHED = 2, JOB_FAILED = 3 };

    RendererJob(std::string uniqueName, std::string prettyName, std::string tag, std::string stamp,
                double timestamp);
    ~RendererJob() override;

    // Produces the result. mutex is the mutex of the worker that runs the job
    // (for a subjob, the parent's). Never throws: failures are recorded with
    // setFailed.
    virtual void run(Plume::Mutex& mutex) = 0;
    // Makes a running run() stop as soon as possible; callable from any
    // thread. The job stays interrupted: later steps stop, too. Overrides
    // call the base first.
    virtual void interrupt(Plume::Mutex& mutex);
    virtual std::string getResultMimeType() = 0;
    virtual std::string getResultUniqueName() = 0;
    virtual std::string getResultPrettyName() = 0;
    // Drops the references to the input data holders (their job files go
    // with them).
    virtual void releaseInputs() = 0;

    const std::string& getUniqueName() const { return uniqueName_; }
    const std::string& getPrettyName() const { return prettyName_; }
    const std::string& getTag() const { return tag_; }
    const std::string& getStamp() const { return stamp_; }
    double getTimestamp() const { return timestamp_; }
    bool isInterrupted() const { return interrupted_.load(std::memory_order_acquire); }

    // Registry-owned fields; read them under the jobs mutex (or, in a test,
    // after the job is known to have finished).
    int32_t getState() const REQUIRES(jobsMutex) { return state_; }
    int32_t getWorkerIndex() const REQUIRES(jobsMutex) { return workerIndex_; }
    double getFinishTime() const REQUIRES(jobsMutex) { return finishTime_; }
    const Plume::ObjPtr<Plume::Throwable>& getError() const REQUIRES(jobsMutex) { return error_; }
    // The worker index, taking the jobs mutex: for the job's own steps,
    // which name their job files after it.
    int32_t runningWorkerIndex() const EXCLUDES(jobsMutex);

    // Logs "uniqueName(tag;stamp): " followed by the message through logMessage.
    void log(int level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

protected:
    // The job currently run as this job's subjob (guarded by the mutex given
    // to run), so that interrupt reaches it.
    Plume::ObjPtr<RendererJob> subjob_;

private:
    friend class JobRegistryAccess;

    const std::string uniqueName_;
    const std::string prettyName_;
    const std::string tag_;
    const std::string stamp_;
    const double timestamp_;
    std::atomic<bool> interrupted_{false};

    int32_t workerIndex_ GUARDED_BY(jobsMutex) = -1;
    double finishTime_ GUARDED_BY(jobsMutex) = 0.0;
    int32_t state_ GUARDED_BY(jobsMutex) = JOB_CREATED;
    Plume::ObjPtr<Plume::Throwable> error_ GUARDED_BY(jobsMutex);
};

// A job that renders with hpgs from one main input and optional annotation
// documents. Subclasses implement render() and the result names.
class HPGSRendererJob : public RendererJob {
public:
    // The input is downloaded once into the cache (HPGSMimeDownloadDataHolder).
    HPGSRendererJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, std::string uniqueName,
                    std::string prettyName, std::string tag, std::string stamp, double timestamp,
                    const Plume::ObjPtr<Plume::List>& annotations);
    // The input is the result of an earlier job.
    HPGSRendererJob(const Plume::ObjPtr<HPGSRendererCacheEntry>& input, std::string uniqueName,
                    std::string prettyName, std::string tag, std::string stamp, double timestamp,
                    const Plume::ObjPtr<Plume::List>& annotations);
    HPGSRendererJob(const Plume::ObjPtr<HPGSDataHolder>& input, std::string uniqueName, std::string prettyName,
                    std::string tag, std::string stamp, double timestamp,
                    const Plume::ObjPtr<Plume::List>& annotations);
    // Destroys a reader still registered.
    ~HPGSRendererJob() override;

    // prepareInputs, setRunning, render, then cacheResult or setFailed with
    // the failure (an hpgs error becomes an HPGSError with its text).
    void run(Plume::Mutex& mutex) override;
    // Forwards to the subjob, then interrupts the registered reader.
    void interrupt(Plume::Mutex& mutex) override;
    void releaseInputs() override;

    // Fetches the main input (sub-index 0) and every annotation's FDF
    // document (sub-index 1, 2, ...) into local files.
    virtual void prepareInputs(Plume::Mutex& mutex);
    // The two halves of prepareInputs, in its order.
    void fetchMainInput(Plume::Mutex& mutex);
    void fetchAnnotations(Plume::Mutex& mutex);
    // 0 on success; non-zero with the reason in hpgs's error slot.
    virtual int render(Plume::Mutex& mutex) = 0;

    const Plume::ObjPtr<HPGSDataHolder>& getInput() const { return input_; }
    const Plume::ObjPtr<Plume::List>& getAnnotations() const { return annotations_; }

private:
    friend hpgs_reader* setReader(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs::UniqueReader reader);
    friend Plume::ObjPtr<HPGSDataHolder> getAnnotationInput(const HPGSRendererJob& job, size_t position);

    Plume::ObjPtr<HPGSDataHolder> input_;
    Plume::ObjPtr<Plume::List> annotations_;
    Plume::ObjPtr<Plume::List> annotationInputs_;
    // Guarded by the mutex given to run (the running worker's, which the
    // analysis cannot name here).
    hpgs::UniqueReader reader_;
};

// Registers the reader that render() currently uses and takes it over;
// destroys the one registered before (null clears). Returns the registered
// reader, which stays valid until the next setReader or the job's end. A
// job that was interrupted before gets the new reader interrupted at once.
hpgs_reader* setReader(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs::UniqueReader reader);
inline void clearReader(HPGSRendererJob& job, Plume::Mutex& mutex) { setReader(job, mutex, nullptr); }

// The fetched FDF document of the annotation at position (from 0); null
// when that entry is no Annotation or has no FDF document. Throws an
// IOError "Invalid access to annotation data." (ThrowableException 16, 3)
// for a position beyond the job's annotations or before their fetch.
Plume::ObjPtr<HPGSDataHolder> getAnnotationInput(const HPGSRendererJob& job, size_t position);

// name with its extension replaced: the last '.' within the last five
// characters and what follows give way to extension (which includes its
// dot). Names without such a dot are returned unchanged.
std::string replaceExtension(const std::string& name, const std::string& extension);

// The text of a remote string; "" for null.
inline std::string textOf(const Plume::ObjPtr<Plume::String>& s) { return Plume::String::toText(s.get()); }

struct RgbColor {
    double r, g, b;
};
// "#rrggbb" as components in [0, 1]; red for null or unreadable text.
RgbColor parseColor(const Plume::ObjPtr<Plume::String>& text);
RgbColor parseColor(const std::string& text);

// Appends ";title:uniqueName:prettyName:timestamp" for each annotation with
// an FDF document, so that requests with different annotations get different
// tags. Leaves the stream's precision at 16.
void appendAnnotationKey(std::ostream& out, const Plume::ObjPtr<Plume::List>& annotations);

}  // namespace Xadra
