#include "JobRegistry.h"

#include "JobRun.h"
#include "Settings.h"

#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <map>
#include <sys/stat.h>
#include <tuple>
#include <vector>

using namespace xad::preview::api;
using Plume::MutexLock;
using Plume::ObjPtr;

namespace Xadra {

// The registry's write access to a job's state fields.
class JobRegistryAccess {
public:
    static void setState(RendererJob& j, int32_t s) REQUIRES(jobsMutex) { j.state_ = s; }
    static void setWorkerIndex(RendererJob& j, int32_t i) REQUIRES(jobsMutex) { j.workerIndex_ = i; }
    static void setFinishTime(RendererJob& j, double t) REQUIRES(jobsMutex) { j.finishTime_ = t; }
    static void setError(RendererJob& j, const ObjPtr<Plume::Throwable>& e) REQUIRES(jobsMutex) { j.error_ = e; }
    // Under the mutex given to the parent's run.
    static void setSubjob(RendererJob& parent, const ObjPtr<RendererJob>& sub) { parent.subjob_ = sub; }
};

Plume::Mutex jobsMutex;

namespace {

using Access = JobRegistryAccess;
using JobKey = std::tuple<std::string, std::string, std::string>;

struct Worker {
    ObjPtr<RendererWorkerRunnable> runnable;
    ObjPtr<Plume::Thread> thread;
};

struct Registry {
    bool tableExists GUARDED_BY(jobsMutex) = false;
    std::vector<Worker> workers GUARDED_BY(jobsMutex);
    unsigned nextWorker GUARDED_BY(jobsMutex) = 0;
    std::map<JobKey, ObjPtr<RendererJob>> running GUARDED_BY(jobsMutex);
    std::atomic<HPGSRendererCache*> cache{nullptr};
    // Counts removals from the running-jobs map (changed under jobsMutex).
    // A request that missed the cache and then misses the map, too, checks
    // it: a job may have stored its result and left the map in between.
    std::atomic<uint64_t> removals{0};
};

Registry& registry() {
    static Registry* r = new Registry;  // outlives every worker thread
    return *r;
}

double now() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

JobKey keyOf(const RendererJob& job) { return JobKey(job.getUniqueName(), job.getTag(), job.getStamp()); }

// Cache lookup that treats an entry of another input timestamp as a miss.
ObjPtr<HPGSRendererCacheEntry> lookupCurrent(const RendererJob& job) {
    ObjPtr<HPGSRendererCacheEntry> e = jobCache().lookup(job.getUniqueName(), job.getTag(), job.getStamp());
    if (e && std::fabs(e->getInputTimestamp() - job.getTimestamp()) > 0.01) {
        job.log(3, "found outdated preview.");
        return nullptr;
    }
    return e;
}

// Wakes the requests waiting for the jobs of a worker.
void notifyWorkerLocked(int32_t index) REQUIRES(jobsMutex) {
    Registry& r = registry();
    if (index >= 0 && static_cast<size_t>(index) < r.workers.size()) r.workers[index].runnable->jobDone().broadcast();
}

[[noreturn]] void throwTimeout(const char* message) {
    throwPreview(Plume::makeObj<Timeout>(message, static_cast<int32_t>(Settings::getRenderTimeout())));
}

bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Removes the result file a job left behind when it did not reach the cache.
void removeLeftJobFile(int32_t workerIndex) {
    if (workerIndex < 0) return;
    const std::string file = jobCache().getJobFileName(workerIndex);
    if (fileExists(file)) jobCache().removeJobFile(file);
}

bool isFinished(const RendererJob& job) EXCLUDES(jobsMutex) {
    MutexLock lock(jobsMutex);
    return job.getState() >= RendererJob::JOB_CACHED;
}

// A job that returned from run() without a final state would keep its
// waiters waiting; it is failed instead.
void ensureFinished(RendererJob& job) {
    if (!isFinished(job)) {
        job.log(3, "Job ended without a result.");
        setFailed(job, Plume::makeObj<IOError>("Application error: job ended without saving file to cache."));
    }
}

}  // namespace

// --------------------------------------------------------------------- cache

HPGSRendererCache& jobCache() {
    HPGSRendererCache* c = registry().cache.load(std::memory_order_acquire);
    return c ? *c : HPGSRendererCache::instance();
}

void setJobCache(HPGSRendererCache* cache) { registry().cache.store(cache, std::memory_order_release); }

// -------------------------------------------------------------------- workers

void RendererWorkerRunnable::run() {
    const char* reason = "its loop returned";
    std::string text;
    try {
        if (serve()) return;
    } catch (const std::exception& e) {
        text = e.what();
        reason = text.c_str();
    } catch (...) {
        reason = "an unknown exception";
    }
    // Only a stop request or the hang-up indication ends a worker; anything
    // else leaves the pool one worker short, which the status report shows.
    endedUnexpectedly_.store(true);
    logMessage(3, "Worker [%u] ended unexpectedly: %s.", index_, reason);
}

bool RendererWorkerRunnable::serve() {
    for (;;) {
        ObjPtr<RendererJob> job;
        bool stopping;
        {
            MutexLock lock(mutex_);
            // Timed, so that a hang-up signal (which cannot signal a
            // condition) is noticed within a second.
            while (!currentJob_ && !stop_ && !Plume::getHupSignalCatched()) jobAvailable_.timedWait(mutex_, 1000);
            stopping = stop_ || !currentJob_;
            job = currentJob_;
            if (stopping) currentJob_.reset();
        }
        if (stopping) {
            // A job assigned but not started is failed, so that no request
            // waits for it.
            if (job) setFailed(*job, Plume::makeObj<IOError>("The renderer is shutting down."));
            MutexLock lock(jobsMutex);
            jobDone_.broadcast();
            return true;
        }
        runOne(*job);
        {
            // A new job may already have taken the place of the finished one.
            MutexLock lock(mutex_);
            if (currentJob_ == job) currentJob_.reset();
        }
        MutexLock lock(jobsMutex);
        jobDone_.broadcast();
    }
}

void RendererWorkerRunnable::runOne(RendererJob& job) {
    ObjPtr<Plume::Throwable> escaped;
    try {
        job.log(7, "Starting in worker thread %u.", index_);
        job.run(mutex_);
    } catch (...) {
        // run() records its own failures; what escapes it anyway (memory
        // exhausted while recording one) ends this job, not the worker.
        try {
            escaped = currentFailure(job, "Throwable: ");
        } catch (...) {
        }
    }
    try {
        if (escaped && !isFinished(job)) setFailed(job, escaped);
        ensureFinished(job);
        job.log(7, "Finished in worker thread %u.", index_);
    } catch (...) {
        logMessage(3, "Worker [%u] could not record the end of a job.", index_);
    }
}

bool RendererWorkerRunnable::assignJob(const ObjPtr<RendererJob>& job) {
    MutexLock lock(mutex_);
    // A worker whose job has reached its final state is idle: the request
    // that waited for it may already be back with its next request while
    // this thread is still logging the end of the previous job.
    if ((currentJob_ && currentJob_->getState() < RendererJob::JOB_CACHED) || stop_) return false;
    currentJob_ = job;
    Access::setWorkerIndex(*job, static_cast<int32_t>(index_));
    jobAvailable_.broadcast();
    return true;
}

void RendererWorkerRunnable::requestStop() {
    ObjPtr<RendererJob> job;
    {
        MutexLock lock(mutex_);
        stop_ = true;
        job = currentJob_;
        jobAvailable_.broadcast();
    }
    if (job) job->interrupt(mutex_);
}

void setNWorkers(unsigned count) {
    Registry& r = registry();
    MutexLock lock(jobsMutex);
    if (r.tableExists) throw Exception(CAT_DAEMON, 3, "RendererJob::setNWorkers called multiple times.");
    r.workers.clear();
    for (unsigned i = 0; i < count; ++i) {
        auto runnable = Plume::makeObj<RendererWorkerRunnable>(i);
        r.workers.push_back({runnable, Plume::Thread::newInstance(runnable)});
    }
    r.nextWorker = 0;
    r.tableExists = true;
}

void startWorkers() {
    std::vector<ObjPtr<Plume::Thread>> threads;
    {
        Registry& r = registry();
        MutexLock lock(jobsMutex);
        for (auto& w : r.workers) threads.push_back(w.thread);
    }
    for (auto& t : threads) t->start();
}

void stopWorkers() {
    Registry& r = registry();
    std::vector<Worker> workers;
    std::map<JobKey, ObjPtr<RendererJob>> forgotten;
    {
        MutexLock lock(jobsMutex);
        workers.swap(r.workers);
        r.nextWorker = 0;
        r.tableExists = false;
        forgotten.swap(r.running);
        r.removals.fetch_add(1, std::memory_order_release);
        // Requests waiting for these workers see the empty table and end.
        for (auto& w : workers) w.runnable->jobDone().broadcast();
    }
    // Every worker is asked first, so that all current jobs stop at once.
    std::vector<bool> alive(workers.size());
    for (size_t i = 0; i < workers.size(); ++i) {
        alive[i] = workers[i].thread->isAlive();
        if (alive[i]) logMessage(6, "Interrupting worker [%zu] upon shutdown...", i);
        workers[i].runnable->requestStop();
    }
    for (size_t i = 0; i < workers.size(); ++i) {
        workers[i].thread->join();
        if (alive[i]) logMessage(6, "Worker [%zu] has finished.", i);
    }
    // The jobs are released after their threads ended, outside every lock.
    forgotten.clear();
}

void purgeFinishedJobs() {
    Registry& r = registry();
    const double t = now();
    const double hold = Settings::getHoldTimeout();
    std::vector<ObjPtr<RendererJob>> purged;  // released after unlocking
    MutexLock lock(jobsMutex);
    for (auto it = r.running.begin(); it != r.running.end();) {
        const RendererJob& j = *it->second;
        if (j.getState() >= RendererJob::JOB_CACHED && t - j.getFinishTime() > hold) {
            purged.push_back(std::move(it->second));
            it = r.running.erase(it);
            r.removals.fetch_add(1, std::memory_order_release);
        } else {
            ++it;
        }
    }
}

unsigned getNWorkers() {
    MutexLock lock(jobsMutex);
    return static_cast<unsigned>(registry().workers.size());
}

size_t getRunningJobCount() {
    MutexLock lock(jobsMutex);
    return registry().running.size();
}

void printWorkerReport(std::ostream& out) {
    std::vector<unsigned> ended;
    {
        MutexLock lock(jobsMutex);
        const Registry& r = registry();
        for (size_t i = 0; i < r.workers.size(); ++i)
            if (r.workers[i].runnable->endedUnexpectedly()) ended.push_back(static_cast<unsigned>(i));
        if (ended.empty()) return;
        out << "***** Workers\n";
        for (unsigned i : ended) out << "Worker [" << i << "] has ended; " << r.workers.size() - ended.size() << " of "
                                     << r.workers.size() << " workers serve.\n";
    }
}

// ---------------------------------------------------------------- executeJob

ObjPtr<HPGSRendererCacheEntry> executeJob(const ObjPtr<RendererJob>& newJob, Plume::Mutex* mutex,
                                          RendererJob* parent) {
    Registry& r = registry();
    const JobKey key = keyOf(*newJob);
    const bool asSubjob = parent && mutex;

    // A registered job whose result has left the cache again (evicted, or
    // made from another version of the input) is replaced once by a new run.
    for (int attempt = 0;;) {
        const uint64_t removals = r.removals.load(std::memory_order_acquire);
        if (ObjPtr<HPGSRendererCacheEntry> entry = lookupCurrent(*newJob)) return entry;

        ObjPtr<RendererJob> job;
        bool isNew = false;
        unsigned busyWorkers = 0;
        {
            MutexLock lock(jobsMutex);
            auto it = r.running.find(key);
            if (it != r.running.end()) {
                RendererJob& old = *it->second;
                const bool stale =
                    attempt > 0 && old.getState() == RendererJob::JOB_CACHED;
                const bool otherInput = old.getState() >= RendererJob::JOB_CACHED &&
                                        std::fabs(old.getTimestamp() - newJob->getTimestamp()) > 0.01;
                if (stale || otherInput) {
                    r.running.erase(it);
                    r.removals.fetch_add(1, std::memory_order_release);
                } else {
                    job = it->second;
                }
            } else if (r.removals.load(std::memory_order_acquire) != removals) {
                continue;  // the result may have reached the cache meanwhile
            }
            if (!job) {
                if (!asSubjob) {
                    const size_t n = r.workers.size();
                    for (size_t i = 0; i < n; ++i) {
                        const size_t w = (r.nextWorker + i) % n;
                        if (r.workers[w].thread->isAlive() && r.workers[w].runnable->assignJob(newJob)) {
                            r.nextWorker = static_cast<unsigned>((r.nextWorker + i + 1) % n);
                            job = newJob;
                            break;
                        }
                    }
                    busyWorkers = static_cast<unsigned>(n);
                } else {
                    Access::setWorkerIndex(*newJob, parent->getWorkerIndex());
                    job = newJob;
                }
                if (job) {
                    r.running.emplace(key, job);
                    isNew = true;
                }
            }
        }
        if (!job) {
            newJob->log(4, "Too many concurrent requests (max workers %u).", busyWorkers);
            throwTimeout("Too many concurrent renderer requests.");
        }
        // A subjob with the identity of the job that needs it (an input whose
        // unique name equals the job's tag, and the download of that input)
        // would wait for itself and hold its worker for good.
        if (asSubjob && job.get() == parent) {
            newJob->log(3, "not fetched: the job that needs this input has the same identity.");
            throwPreviewf<IOError>(CAT_DAEMON, 3, "Input %s cannot be fetched: its name is the identity of the job "
                                   "that needs it.", newJob->getUniqueName().c_str());
        }

        bool timedOut = false;
        if (isNew && asSubjob) {
            const int32_t index = parent->runningWorkerIndex();
            job->log(7, "Starting subjob in worker thread %d.", index);
            bool parentInterrupted;
            {
                MutexLock lock(*mutex);
                Access::setSubjob(*parent, job);
                parentInterrupted = parent->isInterrupted();
            }
            if (parentInterrupted) job->interrupt(*mutex);
            job->run(*mutex);
            {
                MutexLock lock(*mutex);
                Access::setSubjob(*parent, nullptr);
            }
            ensureFinished(*job);
            job->log(7, "Finished subjob in worker thread %d.", index);
        } else {
            // Wait for the job. Without a parent the render time-out counts
            // from the moment the job renders: while it still fetches its
            // inputs the deadline moves on. A subjob joining another job waits
            // for its end.
            const unsigned timeoutSec = Settings::getRenderTimeout();
            const double timeout = timeoutSec;
            MutexLock lock(jobsMutex);
            double deadline = now() + timeout;
            while (job->getState() < RendererJob::JOB_CACHED) {
                if (Plume::getHupSignalCatched()) break;
                const int32_t index = job->getWorkerIndex();
                if (index < 0 || static_cast<size_t>(index) >= r.workers.size()) break;
                ObjPtr<RendererWorkerRunnable> worker = r.workers[index].runnable;
                double t = now();
                if (asSubjob || job->getState() == RendererJob::JOB_CREATED) deadline = t + timeout;
                if (t >= deadline) break;
                long ms = static_cast<long>(std::ceil((deadline - t) * 1000.0));
                worker->jobDone().timedWait(jobsMutex, ms > 0 ? ms : 1);
            }
            timedOut = job->getState() < RendererJob::JOB_CACHED;
        }
        // The job itself goes on; its result lands in the cache.
        if (timedOut) throwTimeout("Job timed out, try again to obtain result.");

        {
            ObjPtr<Plume::Throwable> error;
            {
                MutexLock lock(jobsMutex);
                if (job->getState() == RendererJob::JOB_FAILED) error = job->getError();
            }
            if (error) throw Plume::ThrowableException(logService(), CAT_DAEMON, 3, error);
        }

        if (ObjPtr<HPGSRendererCacheEntry> entry = lookupCurrent(*newJob)) {
            MutexLock lock(jobsMutex);
            auto it = r.running.find(key);
            if (it != r.running.end() && it->second == job) {
                r.running.erase(it);
                r.removals.fetch_add(1, std::memory_order_release);
            }
            return entry;
        }
        if (attempt++ > 0)
            throwPreviewf<IOError>(CAT_DAEMON, 3, "Application error: job ended without saving file to cache.");
    }
}

// -------------------------------------------------------- job state changes

void setRunning(RendererJob& job) {
    MutexLock lock(jobsMutex);
    Access::setState(job, RendererJob::JOB_RUNNING);
    // Waiting requests start counting the render time-out now.
    notifyWorkerLocked(job.getWorkerIndex());
}

void setFailed(RendererJob& job, const ObjPtr<Plume::Throwable>& error) {
    job.releaseInputs();
    int32_t index;
    {
        MutexLock lock(jobsMutex);
        index = job.getWorkerIndex();
    }
    removeLeftJobFile(index);
    MutexLock lock(jobsMutex);
    Access::setState(job, RendererJob::JOB_FAILED);
    Access::setError(job, error ? error : ObjPtr<Plume::Throwable>(Plume::makeObj<IOError>("Unknown error.")));
    Access::setFinishTime(job, now());
    notifyWorkerLocked(index);
}

void cacheResult(RendererJob& job) {
    int32_t index;
    {
        MutexLock lock(jobsMutex);
        index = job.getWorkerIndex();
    }
    bool ok = false;
    try {
        job.releaseInputs();
        const std::string mimeType = job.getResultMimeType();
        const std::string prettyName = job.getResultPrettyName();
        const std::string uniqueName = job.getResultUniqueName();
        jobCache().store(job.getUniqueName(), job.getPrettyName(), job.getTag(), job.getStamp(), job.getTimestamp(),
                         jobCache().getJobFileName(index), uniqueName, prettyName, mimeType);
        ok = true;
    } catch (const Plume::Exception& e) {
        e.log();
        job.log(3, "%s", e.what());
    } catch (const std::exception& e) {
        Plume::Exception::log(e);
        job.log(3, "%s", e.what());
    } catch (...) {
        job.log(3, "Unknown exception caught while caching result.");
    }
    if (!ok) removeLeftJobFile(index);
    MutexLock lock(jobsMutex);
    if (!ok) Access::setError(job, Plume::makeObj<IOError>("Cache error."));
    Access::setWorkerIndex(job, -1);
    Access::setFinishTime(job, now());
    Access::setState(job, ok ? RendererJob::JOB_CACHED : RendererJob::JOB_FAILED);
    notifyWorkerLocked(index);
}

}  // namespace Xadra
