#include "CacheInitializerRunnable.h"

#include "HPGSRendererCache.h"

#include "plume/ConfigOptions.h"
#include "plume/System.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <set>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace Xadra {

using Plume::MutexLock;
using Plume::ObjPtr;

namespace {

constexpr std::string_view kManifestSuffix = ".manifest";
constexpr std::string_view kTempSuffix = ".manifest.tmp";

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// Names that store creates besides manifests: data files (key, optionally
// "_" and a hexadecimal time) and manifests not yet renamed into place.
bool isStoreFileName(std::string_view name) {
    uint64_t key;
    if (name.size() < 16 || !parseKeyName(name.substr(0, 16), key)) return false;
    if (isDataFileNameOf(name, key)) return true;
    return name.size() == 16 + kTempSuffix.size() && endsWith(name, kTempSuffix);
}

double mtimeOf(const struct stat& st) {
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) * 1e-9;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

void deleteFile(const std::string& path) {
    logMessage(7, "Deleting file %s.", path.c_str());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        logMessage(4, "Cannot delete file %s: %s", path.c_str(), std::strerror(e));
    }
}

}  // namespace

void CacheInitializerRunnable::run() {
    logMessage(7, "Entering cache initializer thread.");
    for (unsigned i = 0; i < 256; ++i) {
        if (Plume::getHupSignalCatched())
            throw Exception(CAT_DAEMON, 3, "Cache initialization has been finished before directory %2.2x.", i);
        MutexLock lock(cache_.lock_);
        if (cache_.stopping_)
            throw Exception(CAT_DAEMON, 3, "Cache initialization has been finished before directory %2.2x.", i);
        try {
            cache_.ensureSubdirectory(i);
        } catch (const Plume::Exception& e) {
            // Lookups for this subdirectory report the failure; the others
            // are still scanned so that the cache works and eviction starts.
            logMessage(3, "Cache subdirectory %2.2x is not available: %s", i, e.what());
        }
    }
    MutexLock lock(cache_.lock_);
    cache_.ageQueue_.sort([](const HPGSRendererCache::AgeItem& a, const HPGSRendererCache::AgeItem& b) {
        return a.entry->getModificationTime() < b.entry->getModificationTime();
    });
    finished = true;
    logMessage(7, "Leaving cache initializer thread.");
}

void HPGSRendererCache::ensureSubdirectory(unsigned i) {
    int32_t& state = initializer_->states[i];
    switch (state) {
    case INITIALIZED:
        logMessage(7, "Cache subdirectory %2.2x is already initalized.", i);
        return;
    case FAILED:
        throw Exception(CAT_DAEMON, 3, "Initialization of cache subdirectory %2.2x previously failed.", i);
    case INITIALIZING:
        // The states array lives as long as initializer_, which is never
        // replaced once set.
        while (state == INITIALIZING) {
            logMessage(7,
                       "Cache subdirectory %2.2x is currently initalizing, waiting on the initalization to finish.",
                       i);
            cond_.wait(lock_);
        }
        if (state == INITIALIZED) {
            logMessage(7, "Wait on initialization of cache subdirectory %2.2x has finished.", i);
            return;
        }
        throw Exception(CAT_DAEMON, 3, "Initialization of cache subdirectory %2.2x failed while waiting for it.", i);
    default:
        scanSubdirectory(i);
    }
}

void HPGSRendererCache::scanSubdirectory(unsigned i) {
    int32_t& state = initializer_->states[i];
    logMessage(7, "Starting initialization of subdirectory %2.2x.", i);
    state = INITIALIZING;

    struct Found {
        ObjPtr<HPGSRendererCacheEntry> entry;
        CacheKey key;
    };
    std::vector<Found> found;
    std::set<std::string> referenced;   // data file names that a valid manifest names
    std::vector<std::string> broken;    // manifests (and their data files) that failed
    std::vector<std::string> strays;    // data and temporary files, deleted unless referenced
    const std::string dirPath = cacheDir_ + subdirName(i) + "/";
    const double scanStart = now();

    // The directory is read without the lock, so that requests for other
    // subdirectories go on meanwhile.
    lock_.unlock();
    try {
        ensureDirectory(dirPath);
        std::unique_ptr<DIR, DirCloser> dir(::opendir(dirPath.c_str()));
        if (!dir) throw CException(CAT_DAEMON, 3, "Cannot open cache directory %s", dirPath.c_str());
        for (;;) {
            errno = 0;
            struct dirent* de = ::readdir(dir.get());
            if (!de) {
                if (errno != 0) throw CException(CAT_DAEMON, 3, "Cannot read cache directory %s", dirPath.c_str());
                break;
            }
            std::string_view name(de->d_name);
            if (name.size() != 16 + kManifestSuffix.size() || !endsWith(name, kManifestSuffix)) {
                if (isStoreFileName(name)) strays.emplace_back(name);
                continue;
            }
            const std::string manifestPath = dirPath + std::string(name);
            std::string dataPath;
            try {
                uint64_t key;
                if (!parseKeyName(name.substr(0, 16), key))
                    throw Exception(CAT_DAEMON, 3, "Manifest file %s%s does not start with a valid checksum.",
                                    dirPath.c_str(), de->d_name);
                ObjPtr<Plume::ConfigOptions> m = Plume::ConfigOptions::newInstance(manifestPath);
                m->load(manifestPath, Plume::ConfigOptions::LOAD_MUST_EXIST);
                std::string uniqueName = m->getString("input_unique_name");
                std::string prettyName = m->getString("input_pretty_name");
                std::string tag = m->getString("input_unique_tag");
                double timestamp = m->getDouble("input_timestamp");
                std::string stamp = m->getString("stamp");
                std::string outUnique = m->getString("output_unique_name");
                std::string outPretty = m->getString("output_pretty_name");
                std::string mimeType = m->getString("mime_type");
                std::string diskFile = m->getString("disk_file", std::string(name.substr(0, 16)));
                // Only a file of this key in this directory: a manifest must
                // never make the cache serve or delete anything else.
                if (!isDataFileNameOf(diskFile, key))
                    throw Exception(CAT_DAEMON, 3, "Manifest file %s names an invalid data file [%s].",
                                    manifestPath.c_str(), diskFile.c_str());
                dataPath = dirPath + diskFile;
                CacheKey ck = computeCacheKey(uniqueName, tag, stamp);
                if (ck.key != key || ck.subdir != i)
                    throw Exception(CAT_DAEMON, 3,
                                    "Manifest file %s%s does not refer to the correct file (crc invalid).",
                                    dirPath.c_str(), de->d_name);
                struct stat st;
                if (::stat(dataPath.c_str(), &st) != 0)
                    throw CException(CAT_DAEMON, 3, "Cannot find data file %s", dataPath.c_str());
                if (!S_ISREG(st.st_mode))
                    throw Exception(CAT_DAEMON, 3, "Data file %s is not a regular file.", dataPath.c_str());
                found.push_back(Found{Plume::makeObj<HPGSRendererCacheEntry>(
                                          std::move(uniqueName), std::move(prettyName), std::move(tag),
                                          std::move(stamp), timestamp, dataPath, manifestPath, std::move(outUnique),
                                          std::move(outPretty), std::move(mimeType), mtimeOf(st),
                                          static_cast<uint64_t>(st.st_size)),
                                      ck});
                referenced.insert(diskFile);
            } catch (const Plume::Exception& e) {
                logMessage(4, "Initialization of cache entry %s has failed: %s", manifestPath.c_str(), e.what());
                broken.push_back(manifestPath);
                if (!dataPath.empty()) broken.push_back(dataPath);
            }
        }
    } catch (...) {
        lock_.lock();
        logMessage(7, "Initialization of cache subdirectory %2.2x has failed.", i);
        state = FAILED;
        cond_.broadcast();
        throw;
    }
    lock_.lock();

    try {
        logMessage(7, "Initialization of cache subdirectory %2.2x has finished.", i);
        // Files of entries that a store put into this subdirectory while it
        // was read: they are newer than anything the scan found for their key.
        std::set<std::string> live;
        for (auto it = index_.lower_bound(CacheKey{i, 0}); it != index_.end() && it->first.subdir == i; ++it) {
            live.insert(it->second.entry->getDataFilePath());
            live.insert(it->second.entry->getManifestPath());
        }
        for (Found& f : found) {
            auto it = index_.find(f.key);
            if (it != index_.end()) {
                if (it->second.entry->getDataFilePath() != f.entry->getDataFilePath()) f.entry->markForRemoval();
                continue;
            }
            ageQueue_.push_back(AgeItem{f.entry, f.key});
            index_.emplace(f.key, Slot{f.entry, std::prev(ageQueue_.end())});
            currentMBytes_ += f.entry->getAccountedMBytes();
        }
        for (const std::string& path : broken)
            if (!live.count(path)) deleteFile(path);
        // Left behind by a crash inside store (data file renamed, manifest not
        // yet in place). No store is running now - they hold the lock - so a
        // file that neither a manifest nor an indexed entry names is garbage;
        // the age check spares anything that appeared after the scan started.
        for (const std::string& name : strays) {
            std::string path = dirPath + name;
            if (referenced.count(name) || live.count(path)) continue;
            struct stat st;
            if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || mtimeOf(st) >= scanStart) continue;
            deleteFile(path);
        }
        found.clear();
        state = INITIALIZED;
        cond_.broadcast();
    } catch (...) {
        state = FAILED;
        cond_.broadcast();
        throw;
    }
}

}  // namespace Xadra
