#include "HPGSRendererCacheEntry.h"

#include "xadracommon/LogService.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace Xadra {

HPGSRendererCacheEntry::HPGSRendererCacheEntry(std::string inputUniqueName, std::string inputPrettyName,
                                               std::string inputUniqueTag, std::string stamp, double inputTimestamp,
                                               std::string dataFilePath, std::string manifestPath,
                                               std::string outputUniqueName, std::string outputPrettyName,
                                               std::string mimeType, double modificationTime, uint64_t size)
    : inputUniqueName_(std::move(inputUniqueName)),
      inputPrettyName_(std::move(inputPrettyName)),
      inputUniqueTag_(std::move(inputUniqueTag)),
      stamp_(std::move(stamp)),
      inputTimestamp_(inputTimestamp),
      dataFilePath_(std::move(dataFilePath)),
      manifestPath_(std::move(manifestPath)),
      outputUniqueName_(std::move(outputUniqueName)),
      outputPrettyName_(std::move(outputPrettyName)),
      mimeType_(std::move(mimeType)),
      modificationTime_(modificationTime),
      size_(size) {}

HPGSRendererCacheEntry::~HPGSRendererCacheEntry() {
    if (!isMarkedForRemoval()) return;
    if (::unlink(dataFilePath_.c_str()) != 0 && errno != ENOENT) {
        int e = errno;
        logMessage(4, "Cannot delete evicted cache file %s: %s", dataFilePath_.c_str(), std::strerror(e));
    }
}

std::string HPGSRendererCacheEntry::toString() const {
    return inputUniqueName_ + "(" + inputUniqueTag_ + ";" + stamp_ + ") -> " + dataFilePath_;
}

}  // namespace Xadra
