#include "HPGSRendererCache.h"

#include "CacheInitializerRunnable.h"

#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Xadra {

using Plume::MutexLock;
using Plume::ObjPtr;

namespace {

double realTimeNow() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct timespec toTimespec(double t) {
    struct timespec ts;
    double s = std::floor(t);
    ts.tv_sec = static_cast<time_t>(s);
    ts.tv_nsec = static_cast<long>((t - s) * 1e9);
    if (ts.tv_nsec >= 1000000000L) ts.tv_nsec = 999999999L;
    return ts;
}

// Flushes a file's data to the disk. A file that cannot be opened is left to
// the caller's next step to report.
void syncPath(const std::string& path, const char* what) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    int rc = ::fsync(fd);
    int e = errno;
    ::close(fd);
    if (rc != 0) throw CException(CAT_DAEMON, 3, e, "Cannot flush %s %s to disk", what, path.c_str());
}

void unlinkQuietly(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        logMessage(4, "Cannot delete file %s: %s", path.c_str(), std::strerror(e));
    }
}

bool hasLineFeed(const std::string& s) { return s.find('\n') != std::string::npos; }

// Writes the manifest under a temporary name; placeManifest renames it into place
// so that a reader never sees a partial manifest. Values are written raw; the
// option-file reader gives back everything after the first "=" unchanged.
//
// The manifest itself is not flushed: a power loss may leave it empty or cut
// short, and the start-up scan then drops the entry, which is computed again
// when asked for. "disk_file" is the last line, so a manifest cut anywhere
// names no data file or one that does not exist; it never describes other
// data. A flush here would cost a disk round trip under the cache lock, which
// every lookup waits for, and would still not keep the entry across a power
// loss unless the directory were flushed too.
void writeManifest(const std::string& path, const HPGSRendererCacheEntry& e, const std::string& diskFile) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (!f) throw CException(CAT_DAEMON, 3, "Cannot create manifest file %s", path.c_str());
    // 17 significant digits give back the very same double.
    int rc = std::fprintf(f,
                          "input_unique_name=%s\ninput_pretty_name=%s\ninput_unique_tag=%s\ninput_timestamp=%.17g\n"
                          "stamp=%s\noutput_unique_name=%s\noutput_pretty_name=%s\nmime_type=%s\ndisk_file=%s\n",
                          e.getInputUniqueName().c_str(), e.getInputPrettyName().c_str(),
                          e.getInputUniqueTag().c_str(), e.getInputTimestamp(), e.getStamp().c_str(),
                          e.getOutputUniqueName().c_str(), e.getOutputPrettyName().c_str(),
                          e.getMimeType().c_str(), diskFile.c_str());
    bool ok = rc >= 0 && std::fflush(f) == 0 && !std::ferror(f);
    if (std::fclose(f) != 0) ok = false;
    if (!ok) throw Exception(CAT_DAEMON, 3, "I/O error writing manifest file %s.", path.c_str());
}

// Writes the manifest of e as manifestPath + ".tmp" and renames it into
// place. On failure the temporary file is deleted and the exception passed on.
void placeManifest(const std::string& manifestPath, const HPGSRendererCacheEntry& e, const std::string& diskFile) {
    const std::string tmp = manifestPath + ".tmp";
    try {
        writeManifest(tmp, e, diskFile);
        if (::rename(tmp.c_str(), manifestPath.c_str()) != 0)
            throw CException(CAT_DAEMON, 3, "Cannot rename manifest file %s to %s", tmp.c_str(), manifestPath.c_str());
    } catch (...) {
        unlinkQuietly(tmp);
        throw;
    }
}

}  // namespace

HPGSRendererCache::HPGSRendererCache() = default;

HPGSRendererCache::~HPGSRendererCache() { shutdown(); }

HPGSRendererCache& HPGSRendererCache::instance() {
    static HPGSRendererCache cache;
    return cache;
}

double HPGSRendererCache::now() const { return clock_ ? clock_() : realTimeNow(); }

void HPGSRendererCache::ensureDirectory(const std::string& path) const {
    // Without the trailing "/", so that a file in the way is reported as such
    // rather than as ENOTDIR.
    std::string bare = path;
    while (bare.size() > 1 && bare.back() == '/') bare.pop_back();
    struct stat st;
    if (::stat(bare.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) throw Exception(CAT_DAEMON, 3, "Cache directory %s is no directory.", path.c_str());
        return;
    }
    if (errno != ENOENT) throw CException(CAT_DAEMON, 3, "Cannot access cache directory %s", path.c_str());
    if (::mkdir(bare.c_str(), 0770) != 0) {
        int e = errno;
        // Another thread may have created it in the meantime.
        if (e == EEXIST && ::stat(bare.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
        throw CException(CAT_DAEMON, 3, e, "Cannot create cache directory %s", path.c_str());
    }
    logMessage(6, "Created cache directory %s.", path.c_str());
}

void HPGSRendererCache::requireInitialised() const {
    // Without directories every path would be relative to the working directory.
    if (cacheDir_.empty()) throw Exception(CAT_DAEMON, 3, "The result cache has not been initialised.");
}

void HPGSRendererCache::initialise(double maxMBytes, const std::string& baseDir) {
    if (baseDir.empty()) throw Exception(CAT_DAEMON, 3, "The cache base directory is empty.");
    if (!(maxMBytes >= 0.0)) throw Exception(CAT_DAEMON, 3, "Invalid maximal cache size %g MB.", maxMBytes);
    {
        MutexLock lock(lock_);
        maxMBytes_ = maxMBytes;
    }
    baseDir_ = baseDir.back() == '/' ? baseDir : baseDir + "/";
    cacheDir_ = baseDir_ + "cache/";
    jobsDir_ = baseDir_ + "jobs/";
    ensureDirectory(baseDir_);
    ensureDirectory(cacheDir_);
    ensureDirectory(jobsDir_);
}

std::string HPGSRendererCache::getJobFileName(int workerIndex) const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "job_%04d", workerIndex);
    return jobsDir_ + buf;
}

std::string HPGSRendererCache::getSubJobFileName(int workerIndex, int subJob) const {
    char buf[48];
    std::snprintf(buf, sizeof buf, "job_%04d_%04d", workerIndex, subJob);
    return jobsDir_ + buf;
}

void HPGSRendererCache::removeJobFile(const std::string& path) const {
    if (!getRemoveJobFiles()) {
        logMessage(6, "Keeping job file %s, because --no-remove has been specifed.", path.c_str());
        return;
    }
    unlinkQuietly(path);
}

ObjPtr<HPGSRendererCacheEntry> HPGSRendererCache::lookup(const std::string& uniqueName, const std::string& tag,
                                                        const std::string& stamp) {
    const CacheKey ck = computeCacheKey(uniqueName, tag, stamp);
    MutexLock lock(lock_);
    if (initializer_ && initializer_->states[ck.subdir] != INITIALIZED) ensureSubdirectory(ck.subdir);
    auto it = index_.find(ck);
    if (it != index_.end()) {
        const HPGSRendererCacheEntry& e = *it->second.entry;
        if (e.getInputUniqueName() == uniqueName && e.getInputUniqueTag() == tag && e.getStamp() == stamp) {
            logMessage(7, "%s(%s;%s): cached file %s found.", uniqueName.c_str(), tag.c_str(), stamp.c_str(),
                       e.getDataFilePath().c_str());
            return it->second.entry;
        }
    }
    logMessage(7, "%s(%s;%s): cache miss (%2.2x/%16.16llx).", uniqueName.c_str(), tag.c_str(), stamp.c_str(),
               ck.subdir, static_cast<unsigned long long>(ck.key));
    return nullptr;
}

ObjPtr<HPGSRendererCacheEntry> HPGSRendererCache::store(const std::string& uniqueName, const std::string& prettyName,
                                                       const std::string& tag, const std::string& stamp,
                                                       double timestamp, const std::string& jobFile,
                                                       const std::string& resultUniqueName,
                                                       const std::string& resultPrettyName,
                                                       const std::string& mimeType) {
    requireInitialised();
    const CacheKey ck = computeCacheKey(uniqueName, tag, stamp);
    const std::string dir = cacheDir_ + subdirName(ck.subdir) + "/";
    const std::string k = keyName(ck.key);
    const std::string manifestPath = dir + k + ".manifest";
    const char* u = uniqueName.c_str();
    const char* g = tag.c_str();
    const char* s = stamp.c_str();

    MutexLock lock(lock_);
    const double storeTime = now();
    ensureDirectory(dir);

    // A data file name is never reused: an entry whose manifest still names
    // the old file must not suddenly describe other data.
    uint64_t t = static_cast<uint64_t>(std::max(0.0, std::floor(storeTime)));
    std::string diskFile, dataPath;
    for (;;) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "_%llx", static_cast<unsigned long long>(t));
        diskFile = k + suffix;
        dataPath = dir + diskFile;
        struct stat st;
        // Free, or not to be examined: the rename below reports the latter.
        if (::lstat(dataPath.c_str(), &st) != 0) break;
        ++t;
    }

    if (::rename(jobFile.c_str(), dataPath.c_str()) != 0)
        throw CException(CAT_DAEMON, 3, "Cannot rename job file %s to %s", jobFile.c_str(), dataPath.c_str());

    bool manifestInPlace = false;
    try {
        struct timespec times[2] = {toTimespec(storeTime), toTimespec(storeTime)};
        if (::utimensat(AT_FDCWD, dataPath.c_str(), times, 0) != 0)
            throw CException(CAT_DAEMON, 3, "Error setting access and modification times for cache file %s",
                             dataPath.c_str());
        struct stat st;
        if (::stat(dataPath.c_str(), &st) != 0)
            throw CException(CAT_DAEMON, 3, "Cannot stat data file %s", dataPath.c_str());
        if (!S_ISREG(st.st_mode))
            throw Exception(CAT_DAEMON, 3, "Data file %s is not a regular file.", dataPath.c_str());

        ObjPtr<HPGSRendererCacheEntry> entry = Plume::makeObj<HPGSRendererCacheEntry>(
            uniqueName, prettyName, tag, stamp, timestamp, dataPath, manifestPath, resultUniqueName,
            resultPrettyName, mimeType,
            static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9,
            static_cast<uint64_t>(st.st_size));

        if (hasLineFeed(uniqueName) || hasLineFeed(prettyName) || hasLineFeed(tag) || hasLineFeed(stamp) ||
            hasLineFeed(resultUniqueName) || hasLineFeed(resultPrettyName) || hasLineFeed(mimeType)) {
            // A raw line feed would split the value and could make other keys
            // of the manifest say something else; such a result is served in
            // this run only and its data file is swept at the next start.
            logMessage(4, "%s(%s;%s): a name contains a line feed, result kept for this run only.", u, g, s);
            unlinkQuietly(manifestPath);
        } else if (!syncWrites_ || !queueManifest(PendingManifest{entry, ck, diskFile})) {
            // The data reach the disk before the manifest names them. Here
            // only when the writer thread is gone (after shutdown).
            if (syncWrites_) syncPath(dataPath, "data file");
            placeManifest(manifestPath, *entry, diskFile);
            manifestInPlace = true;
        }

        ageQueue_.push_back(AgeItem{entry, ck});
        auto age = std::prev(ageQueue_.end());
        auto it = index_.find(ck);
        if (it != index_.end()) {
            ObjPtr<HPGSRendererCacheEntry> old = it->second.entry;
            currentMBytes_ -= old->getAccountedMBytes();
            ageQueue_.erase(it->second.age);
            if (old->getDataFilePath() != dataPath) old->markForRemoval();
            it->second = Slot{entry, age};
            logMessage(7, "%s(%s;%s): Outdated entry has been replaced.", u, g, s);
        } else {
            try {
                index_.emplace(ck, Slot{entry, age});
            } catch (...) {
                ageQueue_.pop_back();
                throw;
            }
        }
        currentMBytes_ += entry->getAccountedMBytes();
        logMessage(7, "%s(%s;%s): cached file %s as %s.", u, g, s, jobFile.c_str(), dataPath.c_str());
        return entry;
    } catch (...) {
        unlinkQuietly(dataPath);
        if (manifestInPlace) unlinkQuietly(manifestPath);
        throw;
    }
}

// The thread that flushes data files and writes their manifests.
class ManifestWriter : public Plume::Runnable {
public:
    explicit ManifestWriter(HPGSRendererCache& cache) : cache_(cache) {}
    void run() override { cache_.runManifestWriter(); }

private:
    HPGSRendererCache& cache_;
};

bool HPGSRendererCache::queueManifest(PendingManifest&& p) {
    MutexLock lock(writeLock_);
    if (writerStopped_) return false;
    if (!writerThread_) {
        try {
            ObjPtr<Plume::Thread> thread = Plume::Thread::newInstance(Plume::makeObj<ManifestWriter>(*this));
            thread->start();
            writerThread_ = thread;
        } catch (const std::exception& e) {
            logMessage(3, "Cannot start the cache manifest writer: %s", e.what());
            return false;
        }
    }
    writeQueue_.push_back(std::move(p));
    writeCond_.signal();
    return true;
}

void HPGSRendererCache::runManifestWriter() {
    for (;;) {
        PendingManifest p;
        {
            MutexLock lock(writeLock_);
            while (writeQueue_.empty() && !writerStopped_) writeCond_.wait(writeLock_);
            if (writeQueue_.empty()) return;
            p = std::move(writeQueue_.front());
            writeQueue_.pop_front();
            writerBusy_ = true;
        }
        writePendingManifest(p);
        // Released before the queue is looked at again, so that the last
        // reference of an evicted entry deletes its file without any lock.
        p.entry.reset();
        MutexLock lock(writeLock_);
        writerBusy_ = false;
        if (writeQueue_.empty()) writeCond_.broadcast();
    }
}

void HPGSRendererCache::writePendingManifest(const PendingManifest& p) {
    const HPGSRendererCacheEntry& e = *p.entry;
    const char* u = e.getInputUniqueName().c_str();
    const char* g = e.getInputUniqueTag().c_str();
    const char* s = e.getStamp().c_str();
    try {
        // Outside the lock: this is the wait for the disk. A data file that
        // eviction has deleted meanwhile is skipped (the entry is no longer
        // indexed, see below).
        syncPath(e.getDataFilePath(), "data file");
        MutexLock lock(lock_);
        // A result replaced or evicted meanwhile gets no manifest: eviction
        // has deleted it, and a replacement writes its own.
        auto it = index_.find(p.key);
        if (it == index_.end() || it->second.entry != p.entry) return;
        placeManifest(e.getManifestPath(), e, p.diskFile);
    } catch (const std::exception& x) {
        logMessage(3, "%s(%s;%s): %s; cached file %s is kept for this run only.", u, g, s, x.what(),
                   e.getDataFilePath().c_str());
    }
}

void HPGSRendererCache::flushManifests() {
    MutexLock lock(writeLock_);
    while (!writeQueue_.empty() || writerBusy_) writeCond_.wait(writeLock_);
}

void HPGSRendererCache::stopManifestWriter() {
    ObjPtr<Plume::Thread> thread;
    {
        MutexLock lock(writeLock_);
        writerStopped_ = true;
        writeCond_.broadcast();
        thread = writerThread_;
    }
    // The writer empties its queue before it ends.
    if (thread) thread->join();
    MutexLock lock(writeLock_);
    writerThread_.reset();
}

void HPGSRendererCache::unindex(Index::iterator it) {
    currentMBytes_ -= it->second.entry->getAccountedMBytes();
    ageQueue_.erase(it->second.age);
    index_.erase(it);
}

void HPGSRendererCache::startInitializer() {
    requireInitialised();
    ObjPtr<CacheInitializerRunnable> runnable = Plume::makeObj<CacheInitializerRunnable>(*this);
    ObjPtr<Plume::Thread> thread = Plume::Thread::newInstance(runnable);
    MutexLock lock(lock_);
    if (initializer_) throw Exception(CAT_DAEMON, 3, "The cache initializer has already been started.");
    initializer_ = runnable;
    initializerThread_ = thread;
    stopping_ = false;
    // The thread takes the lock only after this function has released it.
    thread->start();
}

void HPGSRendererCache::periodicTask() {
    for (;;) {
        // Dropped after the lock is released: the last reference deletes the
        // data file, which need not happen under the lock.
        ObjPtr<HPGSRendererCacheEntry> victim;
        MutexLock lock(lock_);
        if (initializerThread_) {
            if (initializer_->finished) {
                logMessage(7, "Cache initializer thread has finished, now joining it.");
                initializerThread_->join();
                initializerThread_.reset();
            } else if (!initializerThread_->isAlive()) {
                // It ended early; the subdirectories it did not reach are
                // scanned on demand, and eviction must not stay off for good.
                logMessage(4, "Cache initializer thread ended before it scanned every subdirectory, now joining it.");
                initializerThread_->join();
                initializerThread_.reset();
            } else {
                logMessage(7, "Cache initializer thread still running.");
            }
            return;
        }
        if (currentMBytes_ <= 0.95 * maxMBytes_ || ageQueue_.empty()) return;

        AgeItem& front = ageQueue_.front();
        victim = front.entry;
        victim->markForRemoval();
        unlinkQuietly(victim->getManifestPath());
        auto it = index_.find(front.key);
        if (it != index_.end() && it->second.entry == victim) {
            unindex(it);
        } else {
            // Every queued entry is indexed; keep going even if not.
            currentMBytes_ -= victim->getAccountedMBytes();
            ageQueue_.pop_front();
        }
        logMessage(7, "%s(%s;%s): invalidating entry for file %s (remaining cache size: %lgMB).",
                   victim->getInputUniqueName().c_str(), victim->getInputUniqueTag().c_str(),
                   victim->getStamp().c_str(), victim->getDataFilePath().c_str(), currentMBytes_);
    }
}

void HPGSRendererCache::printStatistics(std::ostream& out) {
    out << "***** Cache statistics\n";
    MutexLock lock(lock_);
    out << "Maximal cache size: " << maxMBytes_ << "MB\n";
    out << "Current cache size: " << currentMBytes_ << "MB\n";
    out << "# of cache entries: " << ageQueue_.size() << "\n";
    if (!initializerThread_) return;
    static const char* const kStateText[] = {" is not initialized.", " is currently initializing.",
                                             " is initialized.", " failed to initialize."};
    out << "*** subdirectory initialization status:\n";
    const auto& states = initializer_->states;
    unsigned first = 0;
    for (unsigned i = 1; i <= 256; ++i) {
        if (i < 256 && states[i] == states[first]) continue;
        out << " directory " << subdirName(first);
        if (i - 1 > first) out << "-" << subdirName(i - 1);
        int32_t st = states[first];
        out << (st >= 0 && st <= 3 ? kStateText[st] : " is in an unknown state.") << "\n";
        first = i;
    }
}

void HPGSRendererCache::shutdown() {
    // First, while the index still says which results are current.
    stopManifestWriter();
    ObjPtr<Plume::Thread> thread;
    {
        MutexLock lock(lock_);
        stopping_ = true;
        index_.clear();
        ageQueue_.clear();
        currentMBytes_ = 0.0;
        thread = initializerThread_;
    }
    if (!thread) return;
    logMessage(7, "Cache initializer thread still alive, now joining it.");
    thread->join();
    MutexLock lock(lock_);
    if (initializerThread_ == thread) initializerThread_.reset();
    // A scan that was under way has merged its subdirectory meanwhile.
    index_.clear();
    ageQueue_.clear();
    currentMBytes_ = 0.0;
}

double HPGSRendererCache::getMaxMBytes() const {
    MutexLock lock(lock_);
    return maxMBytes_;
}

double HPGSRendererCache::getCurrentMBytes() const {
    MutexLock lock(lock_);
    return currentMBytes_;
}

size_t HPGSRendererCache::getEntryCount() const {
    MutexLock lock(lock_);
    return ageQueue_.size();
}

bool HPGSRendererCache::isInitializerRunning() const {
    MutexLock lock(lock_);
    return static_cast<bool>(initializerThread_);
}

HPGSRendererCache::SubdirState HPGSRendererCache::getSubdirState(unsigned subdir) const {
    MutexLock lock(lock_);
    if (!initializer_ || subdir > 255) return NOT_INITIALIZED;
    return static_cast<SubdirState>(initializer_->states[subdir]);
}

}  // namespace Xadra
