// One cached result: the identity it was made for, where its files are, and
// what it is.
//
// Thread-safety: immutable after construction except for the removal mark,
// which is atomic; an entry may be shared by any number of threads through
// Plume::ObjPtr. Ownership: the cache index and age queue hold references, and
// so does every caller that got the entry from lookup or store (for example a
// result stream that is still being read).
//
// Lazy deletion: an evicted or replaced entry is marked for removal and dropped
// by the cache; its data file is deleted when the last holder lets go, so a
// reader is never cut off. The destructor never touches the manifest: the
// cache deletes manifests itself. Nothing here throws except the constructor's
// string copies.
#pragma once

#include "plume/Object.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Xadra {

class HPGSRendererCacheEntry : public virtual Plume::Object {
public:
    HPGSRendererCacheEntry(std::string inputUniqueName, std::string inputPrettyName, std::string inputUniqueTag,
                           std::string stamp, double inputTimestamp, std::string dataFilePath,
                           std::string manifestPath, std::string outputUniqueName, std::string outputPrettyName,
                           std::string mimeType, double modificationTime, uint64_t size);
    // Deletes the data file when the entry was marked for removal.
    ~HPGSRendererCacheEntry() override;

    const std::string& getInputUniqueName() const { return inputUniqueName_; }
    const std::string& getInputPrettyName() const { return inputPrettyName_; }
    const std::string& getInputUniqueTag() const { return inputUniqueTag_; }
    const std::string& getStamp() const { return stamp_; }
    // Timestamp of the input the result was made from (seconds since the epoch).
    double getInputTimestamp() const { return inputTimestamp_; }
    // Full path of the result file.
    const std::string& getDataFilePath() const { return dataFilePath_; }
    // Full path of the manifest that describes the entry on disk.
    const std::string& getManifestPath() const { return manifestPath_; }
    const std::string& getOutputUniqueName() const { return outputUniqueName_; }
    const std::string& getOutputPrettyName() const { return outputPrettyName_; }
    const std::string& getMimeType() const { return mimeType_; }
    // Modification time of the data file, seconds since the epoch.
    double getModificationTime() const { return modificationTime_; }
    // Size of the data file in bytes.
    uint64_t getSize() const { return size_; }
    // Megabytes the entry counts against the size limit: its size in
    // kibibytes rounded up, plus one kibibyte.
    double getAccountedMBytes() const { return accountedMBytes(size_); }
    static double accountedMBytes(uint64_t size) { return static_cast<double>((size + 2047) / 1024) / 1024.0; }

    // Makes the destructor delete the data file.
    void markForRemoval() { remove_.store(true, std::memory_order_release); }
    bool isMarkedForRemoval() const { return remove_.load(std::memory_order_acquire); }

    std::string toString() const override;

private:
    const std::string inputUniqueName_;
    const std::string inputPrettyName_;
    const std::string inputUniqueTag_;
    const std::string stamp_;
    const double inputTimestamp_;
    const std::string dataFilePath_;
    const std::string manifestPath_;
    const std::string outputUniqueName_;
    const std::string outputPrettyName_;
    const std::string mimeType_;
    const double modificationTime_;
    const uint64_t size_;
    std::atomic<bool> remove_{false};
};

}  // namespace Xadra
