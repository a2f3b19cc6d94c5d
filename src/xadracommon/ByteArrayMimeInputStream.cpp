#include "ByteArrayMimeInputStream.h"

#include "PreviewException.h"
#include "plume/System.h"

#include <algorithm>
#include <cstdio>

namespace xad::preview::streams {

using Plume::ByteArray;
using Plume::ObjPtr;
using Plume::String;

namespace {
ObjPtr<String> crcName(const ObjPtr<ByteArray>& data) {
    Plume::CRC32 crc;
    if (data && data->getSize() > 0) crc.update(data->getData(), data->getSize());
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(crc.get()));
    return String::newInstance(buf);
}
}  // namespace

ByteArrayMimeInputStream::ByteArrayMimeInputStream(ObjPtr<ByteArray> data, double timestamp, std::string prettyName,
                                                   std::string mimeType)
    : data_(std::move(data)),
      timestamp_(timestamp),
      uniqueName_(crcName(data_)),
      prettyName_(String::newInstance(std::move(prettyName))),
      mimeType_(String::newInstance(std::move(mimeType))) {}

ObjPtr<ByteArrayMimeInputStream> ByteArrayMimeInputStream::newInstance(const ObjPtr<ByteArray>& data, double timestamp,
                                                                       const std::string& prettyName,
                                                                       const std::string& mimeType) {
    return Plume::makeObj<ByteArrayMimeInputStream>(data, timestamp, prettyName, mimeType);
}

ObjPtr<ByteArrayMimeInputStream> ByteArrayMimeInputStream::newInstance(const ObjPtr<ByteArray>& data,
                                                                       const std::string& prettyName,
                                                                       const std::string& mimeType) {
    return newInstance(data, static_cast<double>(Plume::getCurrentTimeMillis()) * 0.001, prettyName, mimeType);
}

ObjPtr<ByteArrayMimeInputStream> ByteArrayMimeInputStream::newInstance(const void* p, size_t len,
                                                                       const std::string& prettyName,
                                                                       const std::string& mimeType) {
    return newInstance(ByteArray::newInstance(static_cast<const signed char*>(p), len), prettyName, mimeType);
}

void ByteArrayMimeInputStream::close() {
    std::lock_guard<std::mutex> lock(mutex_);
    data_.reset();
    position_ = 0;
}

double ByteArrayMimeInputStream::getTimestamp() {
    std::lock_guard<std::mutex> lock(mutex_);
    return timestamp_;
}

int64_t ByteArrayMimeInputStream::getStreamSize() {
    std::lock_guard<std::mutex> lock(mutex_);
    return data_ ? static_cast<int64_t>(data_->getSize()) : 0;
}

ObjPtr<String> ByteArrayMimeInputStream::getMimeType() {
    std::lock_guard<std::mutex> lock(mutex_);
    return mimeType_;
}

ObjPtr<String> ByteArrayMimeInputStream::getPrettyName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return prettyName_;
}

ObjPtr<String> ByteArrayMimeInputStream::getUniqueName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return uniqueName_;
}

ObjPtr<ByteArray> ByteArrayMimeInputStream::readBlock(int32_t maxLength) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!data_)
        api::throwPreviewf<api::IOError>(16, 3, "Stream [%s] has been closed.",
                                         String::toText(prettyName_.get()).c_str());
    size_t want = maxLength < 0 ? DEFAULT_BLOCK : std::min<size_t>(static_cast<size_t>(maxLength), MAX_BLOCK);
    size_t size = data_->getSize();
    size_t pos = std::min(position_, size);
    size_t n = std::min(want, size - pos);
    auto block = ByteArray::newInstance(data_->getData() + pos, n);
    position_ = pos + n;
    return block;
}

void ByteArrayMimeInputStream::writeFields(Plume::Serializer& out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    out.writeObject(data_);
    out.writeObject(mimeType_);
    out.writeObject(prettyName_);
    out.writeDouble(timestamp_);
    out.writeObject(uniqueName_);
}

void ByteArrayMimeInputStream::readFields(Plume::Serializer& in, int64_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    data_ = in.readObjectAs<ByteArray>();
    mimeType_ = in.readObjectAs<String>();
    prettyName_ = in.readObjectAs<String>();
    timestamp_ = in.readDouble();
    uniqueName_ = in.readObjectAs<String>();
    position_ = 0;
}

}  // namespace xad::preview::streams
