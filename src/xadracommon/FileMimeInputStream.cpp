#include "FileMimeInputStream.h"

#include "LogService.h"
#include "PreviewException.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace preview {

using Plume::ByteArray;
using Plume::ObjPtr;
using Plume::String;
using xad::preview::api::IOError;
using xad::preview::api::throwPreviewf;

namespace {
std::string errnoText(int e) {
    char buf[256];
    return strerror_r(e, buf, sizeof buf);
}
}  // namespace

ObjPtr<FileMimeInputStream> FileMimeInputStream::newInstance(const std::string& uniqueName,
                                                             const std::string& prettyName, const std::string& path,
                                                             const std::string& mimeType) {
    auto s = Plume::makeObj<FileMimeInputStream>();
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int e = errno;
        throwPreviewf<IOError>(Xadra::CAT_REMOTING, 3, "Error opening file %s: %s.", path.c_str(),
                               errnoText(e).c_str());
    }
    // From here on the stream owns the descriptor; dropping s on a failure closes it.
    s->fd_ = fd;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        int e = errno;
        throwPreviewf<IOError>(Xadra::CAT_REMOTING, 7, "Error info for file %s: %s.", path.c_str(),
                               errnoText(e).c_str());
    }
    s->uniqueName_ = uniqueName;
    s->prettyName_ = prettyName;
    s->path_ = path;
    s->mimeType_ = mimeType;
    s->size_ = static_cast<int64_t>(st.st_size);
    s->timestamp_ = static_cast<double>(st.st_mtime);
    Xadra::logCategory(Xadra::CAT_REMOTING, 7, "FileMimeInputStream::create: %s.", path.c_str());
    return s;
}

FileMimeInputStream::~FileMimeInputStream() {
    Xadra::logCategory(Xadra::CAT_REMOTING, 7, "FileMimeInputStream::~FileMimeInputStream.");
    release();
}

void FileMimeInputStream::release() {
    if (fd_ < 0) return;
    ::close(fd_);  // a failing close of a read-only file loses nothing
    fd_ = -1;
    size_ = 0;
    timestamp_ = 0;
    path_.clear();
    mimeType_.clear();
}

void FileMimeInputStream::close() {
    std::string was;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        was = path_;
        release();
    }
    Xadra::logCategory(Xadra::CAT_REMOTING, 7, "FileMimeInputStream::close: %s.", was.c_str());
}

double FileMimeInputStream::getTimestamp() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timestamp_;
}

int64_t FileMimeInputStream::getStreamSize() {
    std::lock_guard<std::mutex> lock(mutex_);
    return size_;
}

ObjPtr<String> FileMimeInputStream::getMimeType() {
    std::lock_guard<std::mutex> lock(mutex_);
    return String::newInstance(mimeType_);
}

ObjPtr<String> FileMimeInputStream::getPrettyName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return String::newInstance(prettyName_);
}

ObjPtr<String> FileMimeInputStream::getUniqueName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return String::newInstance(uniqueName_);
}

bool FileMimeInputStream::isOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return fd_ >= 0;
}

std::string FileMimeInputStream::getPath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return path_;
}

ObjPtr<ByteArray> FileMimeInputStream::readBlock(int32_t maxLength) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) throwPreviewf<IOError>(Xadra::CAT_REMOTING, 3, "FileMimeInputStream::read called on closed stream.");
    size_t want = maxLength > MAX_BLOCK ? MAX_BLOCK : maxLength < MIN_BLOCK ? MIN_BLOCK : static_cast<size_t>(maxLength);
    auto block = ByteArray::newInstance(want);
    ssize_t n;
    do {
        n = ::read(fd_, block->getData(), want);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        int e = errno;
        throwPreviewf<IOError>(Xadra::CAT_REMOTING, 3, "Error reading file %s: %s.", path_.c_str(),
                               errnoText(e).c_str());
    }
    block->vec().resize(static_cast<size_t>(n));
    return block;
}

}  // namespace preview
