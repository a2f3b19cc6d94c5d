#include "DataHolders.h"

#include "DownloadJob.h"
#include "JobRegistry.h"

#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <unistd.h>

#include <vector>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {
constexpr int32_t kCopyBlock = 4096;
constexpr size_t kWriteBuffer = 256 * 1024;
}

HPGSDataHolder::~HPGSDataHolder() = default;

void HPGSDataHolder::fetch(int, int, Plume::Mutex*, RendererJob*) {}

hpgs::UniqueIstream HPGSDataHolder::openHpgsStream() const {
    hpgs::UniqueIstream in(hpgs_new_file_istream(getFileName().c_str()));
    if (!in) throw CException(CAT_STREAM, 3, "could not open file %s for reading", getFileName().c_str());
    return in;
}

HPGSFileDataHolder::HPGSFileDataHolder(std::string fileName, std::string mimeType, bool removeOnDelete)
    : fileName_(std::move(fileName)), mimeType_(std::move(mimeType)), removeOnDelete_(removeOnDelete) {}

HPGSFileDataHolder::~HPGSFileDataHolder() {
    if (removeOnDelete_ && !fileName_.empty()) removeJobFile(fileName_);
}

// ------------------------------------------------------------------- streams

HPGSMimeStreamDataHolder::HPGSMimeStreamDataHolder(const ObjPtr<IMimeInputStream>& stream)
    : HPGSFileDataHolder(std::string(), std::string(), true), stream_(stream) {}

void HPGSMimeStreamDataHolder::fetch(int workerIndex, int subIndex, Plume::Mutex*, RendererJob* job) {
    if (!fileName_.empty()) return;
    if (!stream_) throw Exception(CAT_STREAM, 3, "No input stream given.");
    HPGSRendererCache& cache = jobCache();
    const std::string target =
        subIndex < 0 ? cache.getJobFileName(workerIndex) : cache.getSubJobFileName(workerIndex, subIndex);
    Plume::CallsAhead ahead(stream_, {"getMimeType", "getStreamSize"});
    const std::string mimeType = Plume::String::toText(stream_->getMimeType().get());
    // Inputs of 4 GiB and more are outside what the daemon handles.
    const uint32_t size = static_cast<uint32_t>(stream_->getStreamSize());

    FILE* f = std::fopen(target.c_str(), "wb");
    if (!f) throw CException(CAT_STREAM, 3, "Cannot open temporary file %s for writing", target.c_str());
    // The blocks arrive 4096 bytes at a time; gathered into writes of
    // 256 KiB the kernel copies them at several times the speed.
    std::vector<char> buffer(kWriteBuffer);
    std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
    CopyObserver* const observer = observer_;
    if (observer) observer->begin(mimeType);
    try {
        uint32_t written = 0;
        while (written < size) {
            if (job && job->isInterrupted())
                throw Exception(CAT_STREAM, 3, "Copy into %s has been interrupted.", target.c_str());
            ObjPtr<Plume::ByteArray> block = stream_->readBlock(kCopyBlock);
            if (!block || block->getSize() == 0) break;
            const size_t n = block->getSize();
            if (std::fwrite(block->getData(), 1, n, f) != n)
                throw CException(CAT_STREAM, 3, "Write error on temporary file %s", target.c_str());
            written += static_cast<uint32_t>(n);
            if (observer) observer->block(block);
        }
        if (std::fflush(f) != 0)
            throw CException(CAT_STREAM, 3, "Write error on temporary file %s", target.c_str());
    } catch (...) {
        if (observer) observer->end(false);
        std::fclose(f);
        ::unlink(target.c_str());
        throw;
    }
    if (std::fclose(f) != 0) {
        int e = errno;
        if (observer) observer->end(false);
        ::unlink(target.c_str());
        throw CException(CAT_STREAM, 3, e, "Write error on temporary file %s", target.c_str());
    }
    if (observer) observer->end(true);
    fileName_ = target;
    mimeType_ = mimeType;
}

HPGSMimeDownloadDataHolder::HPGSMimeDownloadDataHolder(const ObjPtr<IMimeInputStream>& stream)
    : HPGSFileDataHolder(std::string(), std::string(), false), stream_(stream) {}

void HPGSMimeDownloadDataHolder::fetch(int, int, Plume::Mutex* mutex, RendererJob* job) {
    if (!fileName_.empty()) return;
    if (!stream_) throw Exception(CAT_STREAM, 3, "No input stream given.");
    ObjPtr<HPGSRendererCacheEntry> entry = downloadInput(stream_, mutex, job, observer_);
    entry_ = entry;
    fileName_ = entry->getDataFilePath();
    mimeType_ = entry->getMimeType();
}

HPGSRendererCacheEntryDataHolder::HPGSRendererCacheEntryDataHolder(const ObjPtr<HPGSRendererCacheEntry>& entry)
    : HPGSFileDataHolder(entry ? entry->getDataFilePath() : std::string(),
                         entry ? entry->getMimeType() : std::string(), false),
      entry_(entry) {}

void removeJobFile(const std::string& name) { jobCache().removeJobFile(name); }

}  // namespace Xadra
