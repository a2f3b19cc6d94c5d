// The worker pool and the registry of running jobs: the one entry point
// (executeJob) through which every result is obtained.
//
// executeJob answers from the result cache when it can, joins a job that is
// already computing the same result, or hands a new job to an idle worker -
// there is no queue: a full pool answers Timeout at once - and waits for it
// at most the render time-out (Settings). A job that outlives the wait keeps
// running and stores its result in the cache for the next identical request.
// Finished jobs stay registered for the hold time-out (purgeFinishedJobs), so
// that a failure is reported again without running the job again.
//
// Thread-safety: every function may be called from any thread. One
// process-wide jobs mutex guards the worker table, the running-jobs map and
// every job's state; it is always taken before a worker's own mutex, never
// while one is held. Waiting requests sleep on the worker's jobDone condition
// with the jobs mutex, so a state change cannot be missed.
//
// Errors reach callers as Plume::ThrowableException (16, 3) carrying a
// PreviewException: Timeout, the job's own error, or an IOError.
#pragma once

#include "RendererJob.h"

#include "cache/HPGSRendererCache.h"
#include "plume/Thread.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ostream>

namespace Xadra {

// The body of one worker thread: runs the jobs assigned to it, one at a time,
// until the hang-up indication is set or stopWorkers asks it to end.
class RendererWorkerRunnable : public Plume::Runnable {
public:
    explicit RendererWorkerRunnable(uint32_t index) : index_(index) {}
    // Serves until stopped; a job's failure never ends it. An end for any
    // other reason is logged at level 3 (and shows in printWorkerReport).
    void run() override;

    uint32_t getIndex() const { return index_; }
    // Takes the job when idle (sets its worker index).
    bool assignJob(const Plume::ObjPtr<RendererJob>& job) REQUIRES(jobsMutex) EXCLUDES(mutex_);
    // Asks the thread to end after its current job, which is interrupted.
    void requestStop() EXCLUDES(mutex_);

    Plume::WaitCondition& jobDone() { return jobDone_; }
    // The thread left its loop without a stop request or hang-up.
    bool endedUnexpectedly() const { return endedUnexpectedly_.load(); }

private:
    // The loop; true when it ended on request (stop or hang-up).
    bool serve() EXCLUDES(mutex_);
    // Runs one job to a final state, whatever escapes its run.
    void runOne(RendererJob& job) EXCLUDES(mutex_);

    const uint32_t index_;
    Plume::WaitCondition jobAvailable_;  // used with mutex_
    Plume::WaitCondition jobDone_;       // used with the jobs mutex
    // Also guards the reader and subjob of the job it runs (handed to run).
    Plume::Mutex mutex_ ACQUIRED_AFTER(jobsMutex);
    Plume::ObjPtr<RendererJob> currentJob_ GUARDED_BY(mutex_);
    bool stop_ GUARDED_BY(mutex_) = false;
    std::atomic<bool> endedUnexpectedly_{false};
};

// Creates the worker table with count workers (threads not started). Throws
// Xadra::Exception "RendererJob::setNWorkers called multiple times." while a
// table exists (stopWorkers releases it).
void setNWorkers(unsigned count);
// Starts every worker thread, in index order.
void startWorkers();
// Forgets every running job, interrupts each worker's current job, asks the
// workers to end, joins them and releases the table. Works without a
// hang-up signal (an orderly stop after a failure). Waiting requests wake up
// and receive Timeout.
void stopWorkers();
// Forgets finished jobs whose finish time lies more than the hold time-out
// in the past. Called by the daemon's run loop.
void purgeFinishedJobs();

// The result of job: from the cache, from an identical running job, or by
// running job. With a parent (and its worker's mutex) the job is a subjob:
// it runs in the calling thread, or joins an identical job and waits for it
// without time-out.
Plume::ObjPtr<HPGSRendererCacheEntry> executeJob(const Plume::ObjPtr<RendererJob>& job,
                                                 Plume::Mutex* mutex = nullptr, RendererJob* parent = nullptr);

// State changes for job classes that implement run() themselves.
void setRunning(RendererJob& job);
// Releases the job's inputs and records the failure; removes a job file the
// job left behind.
void setFailed(RendererJob& job, const Plume::ObjPtr<Plume::Throwable>& error);
// Moves the worker's job file into the cache under the job's identity and
// marks the job cached; a failing store marks it failed with "Cache error.".
void cacheResult(RendererJob& job);

// The cache the jobs use: HPGSRendererCache::instance() unless a test set
// another one (null restores the instance). Set it only while no job runs.
HPGSRendererCache& jobCache();
void setJobCache(HPGSRendererCache* cache);

// Introspection for status and tests.
unsigned getNWorkers();
size_t getRunningJobCount();
// Workers of the table whose threads have ended although no stop was asked
// for: "***** Workers" and one line per such worker; nothing when every
// worker serves (or the table does not exist).
void printWorkerReport(std::ostream& out);

}  // namespace Xadra
