// The on-disk result cache: every finished result is moved from the jobs
// directory into base/cache/ss/ under its key, described by a manifest, and
// indexed in memory so that the same request is answered again - also after
// a restart, when a background thread (CacheInitializerRunnable) reads the
// manifests back while the daemon already serves.
//
// Layout under the base directory:
//   cache/ss/k_t          data file (ss subdirectory, k key, t store time, hex)
//   cache/ss/k.manifest   one manifest per key: name=value lines
//   jobs/job_NNNN[_NNNN]  files that running jobs write
//
// Thread-safety: all public functions may be called from any thread. One lock
// (lock_) guards the index, the age queue, the sizes, the initialiser and the
// per-subdirectory scan states; cond_ is used with it. Scans read their
// subdirectory without holding the lock, so requests for other subdirectories
// go on meanwhile. lock_ is taken before the log service's ring mutex and
// before writeLock_ (the manifest writer's queue), never while writeLock_ is
// held.
//
// Durability: with synchronous writes on (the daemon's setting), store
// indexes a result at once but leaves the flush of its data file and the
// writing of its manifest to a writer thread, in this order, so that a
// worker never waits for the disk and a manifest never names data that are
// not on the disk yet. A result whose manifest is not written yet is served
// all the same; a crash before it is written loses the result (it is
// computed again), never corrupts it. shutdown writes every waiting manifest
// before it returns.
//
// Errors: failures throw Xadra::Exception or Xadra::CException (category
// xadrad, level 3) whose message names the file at fault.
//
// Lifetime: the daemon uses the process-wide instance(); tests create their
// own instances on temporary directories. The directory setters
// (initialise, setClock, setSyncWrites) are called before any other use.
#pragma once

#include "CacheKey.h"
#include "HPGSRendererCacheEntry.h"

#include "plume/Object.h"
#include "plume/Thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <ostream>
#include <string>

namespace Xadra {

class CacheInitializerRunnable;

class HPGSRendererCache {
public:
    // Seconds since the epoch; the default reads the system's real-time clock.
    using Clock = std::function<double()>;

    // Scan state of one subdirectory.
    enum SubdirState : int32_t { NOT_INITIALIZED = 0, INITIALIZING = 1, INITIALIZED = 2, FAILED = 3 };

    HPGSRendererCache();
    // Stops the initialiser and drops the index (files stay on disk).
    ~HPGSRendererCache();
    HPGSRendererCache(const HPGSRendererCache&) = delete;
    HPGSRendererCache& operator=(const HPGSRendererCache&) = delete;

    // The daemon's cache.
    static HPGSRendererCache& instance();

    // Sets the size limit and the directories and creates base, cache and jobs
    // directories (mode 0770) when missing. Throws when a directory cannot be
    // created or is not a directory, or for an empty base directory or a
    // negative limit. Called once, before any other use.
    void initialise(double maxMBytes, const std::string& baseDir);

    // Job files are deleted by removeJobFile unless this is set to false
    // ("--no-remove"). Default true.
    void setRemoveJobFiles(bool remove) { removeJobFiles_.store(remove); }
    bool getRemoveJobFiles() const { return removeJobFiles_.load(); }

    // Whether the data file reaches the disk before any manifest names it
    // (default true), so that a power loss cannot leave a manifest describing
    // a truncated result; the manifest writer thread then writes the
    // manifests (see Durability above). Turned off, store writes the manifest
    // itself and nothing is flushed. Tests and benchmarks may turn it off.
    void setSyncWrites(bool sync) { syncWrites_ = sync; }
    // Replaces the clock used for store times and scan start (tests).
    void setClock(Clock clock) { clock_ = std::move(clock); }

    // jobs/job_NNNN: the file the job of that worker writes its result to.
    std::string getJobFileName(int workerIndex) const;
    // jobs/job_NNNN_NNNN: intermediate files of that worker.
    std::string getSubJobFileName(int workerIndex, int subJob) const;
    // Deletes a job file when removal is enabled, otherwise logs that it is
    // kept. Never throws; a failed deletion is logged.
    void removeJobFile(const std::string& path) const;

    // The entry stored for exactly this (uniqueName, tag, stamp), or null.
    // While the initialiser runs, first scans the key's subdirectory (or waits
    // for the scan that is under way). Throws when that subdirectory failed
    // to scan. The caller checks the entry's input timestamp.
    Plume::ObjPtr<HPGSRendererCacheEntry> lookup(const std::string& uniqueName, const std::string& tag,
                                                 const std::string& stamp);

    // Moves jobFile into the cache, writes its manifest (or, with
    // synchronous writes, has the writer thread flush the data and write it)
    // and indexes the new entry, replacing an earlier entry of the same key
    // (whose data file is deleted once nobody holds it). Returns the new
    // entry. On failure throws and leaves neither the new data file nor a
    // manifest of it behind; the job file has then been moved away or is left
    // for the caller; an earlier entry of the key stays intact. A manifest the
    // writer thread fails to write is logged (level 3); its result is then
    // served in this run only. Throws before initialise.
    Plume::ObjPtr<HPGSRendererCacheEntry> store(const std::string& uniqueName, const std::string& prettyName,
                                                const std::string& tag, const std::string& stamp, double timestamp,
                                                const std::string& jobFile, const std::string& resultUniqueName,
                                                const std::string& resultPrettyName, const std::string& mimeType);

    // Starts the background scan of all 256 subdirectories. Called once,
    // after initialise; throws when called twice or before initialise.
    void startInitializer();

    // Main loop, every 10 seconds: joins the initialiser once it is done;
    // afterwards evicts the oldest entries while the cache is above 95 % of its
    // limit. Never runs eviction while the initialiser runs.
    void periodicTask();

    // "***** Cache statistics" and the sizes, entry count and (while the
    // initialiser exists) the scan state of every subdirectory.
    void printStatistics(std::ostream& out);

    // Returns once every manifest that store left to the writer thread is in
    // place or has been given up (a result replaced or evicted meanwhile gets
    // none). Never throws.
    void flushManifests();

    // Writes the manifests still waiting and stops the writer thread; drops
    // the index (files stay on disk), stops the initialiser at its next
    // subdirectory and joins it. Idempotent; a later store writes its
    // manifest itself.
    void shutdown();

    // Introspection, mainly for status and tests.
    const std::string& getBaseDir() const { return baseDir_; }
    const std::string& getCacheDir() const { return cacheDir_; }
    const std::string& getJobsDir() const { return jobsDir_; }
    double getMaxMBytes() const;
    double getCurrentMBytes() const;
    size_t getEntryCount() const;
    // True from startInitializer until the periodic task has joined the thread.
    bool isInitializerRunning() const;
    SubdirState getSubdirState(unsigned subdir) const;

private:
    friend class CacheInitializerRunnable;
    friend class ManifestWriter;

    // A stored result whose data file is still to be flushed and whose
    // manifest is still to be written.
    struct PendingManifest {
        Plume::ObjPtr<HPGSRendererCacheEntry> entry;
        CacheKey key;
        std::string diskFile;
    };
    // Hands p to the writer thread, starting it when needed. False when the
    // writer has been stopped or cannot be started: the caller then writes
    // the manifest itself.
    bool queueManifest(PendingManifest&& p) REQUIRES(lock_) EXCLUDES(writeLock_);
    // Body of the writer thread: writes queued manifests until stopped and
    // nothing is left.
    void runManifestWriter() EXCLUDES(lock_, writeLock_);
    // Flushes p's data file, then, if p's entry is still the one indexed
    // under its key, writes its manifest. Failures are logged.
    void writePendingManifest(const PendingManifest& p) EXCLUDES(lock_, writeLock_);
    void stopManifestWriter() EXCLUDES(lock_, writeLock_);

    struct AgeItem {
        Plume::ObjPtr<HPGSRendererCacheEntry> entry;
        CacheKey key;
    };
    using AgeQueue = std::list<AgeItem>;
    struct Slot {
        Plume::ObjPtr<HPGSRendererCacheEntry> entry;
        AgeQueue::iterator age;  // the entry's element of ageQueue_
    };
    using Index = std::map<CacheKey, Slot>;

    double now() const;
    // Makes sure subdirectory i has been scanned: returns at once when it
    // has, waits when a scan is under way, scans it otherwise. May release
    // and re-take lock_; holds it again on return and on throw.
    void ensureSubdirectory(unsigned i) REQUIRES(lock_);
    // The state of i is NOT_INITIALIZED. Releases lock_ while reading the
    // directory.
    void scanSubdirectory(unsigned i) REQUIRES(lock_);
    // Removes the slot's entry from index and age queue and from the size.
    void unindex(Index::iterator it) REQUIRES(lock_);
    void ensureDirectory(const std::string& path) const;
    // Throws unless initialise has set the directories.
    void requireInitialised() const;

    // Set by initialise / the setters before concurrent use; read-only after.
    std::string baseDir_, cacheDir_, jobsDir_;
    Clock clock_;
    bool syncWrites_ = true;
    std::atomic<bool> removeJobFiles_{true};

    mutable Plume::Mutex lock_;
    Plume::WaitCondition cond_;              // used with lock_; broadcast when a scan ends
    Index index_ GUARDED_BY(lock_);
    AgeQueue ageQueue_ GUARDED_BY(lock_);  // oldest first
    double currentMBytes_ GUARDED_BY(lock_) = 0.0;
    double maxMBytes_ GUARDED_BY(lock_) = 100.0;
    bool stopping_ GUARDED_BY(lock_) = false;  // set by shutdown
    Plume::ObjPtr<Plume::Thread> initializerThread_ GUARDED_BY(lock_);
    Plume::ObjPtr<CacheInitializerRunnable> initializer_ GUARDED_BY(lock_);  // kept after joining

    // The manifest writer: its queue, whether it works on an item, whether
    // it has been told to stop, and its thread. writeCond_ (with writeLock_)
    // announces new items, the stop, and an empty queue.
    Plume::Mutex writeLock_;
    Plume::WaitCondition writeCond_;
    std::deque<PendingManifest> writeQueue_ GUARDED_BY(writeLock_);
    bool writerBusy_ GUARDED_BY(writeLock_) = false;
    bool writerStopped_ GUARDED_BY(writeLock_) = false;
    Plume::ObjPtr<Plume::Thread> writerThread_ GUARDED_BY(writeLock_);
};

}  // namespace Xadra
