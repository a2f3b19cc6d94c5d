// An in-memory input stream under a unique name of the caller's choosing,
// over bytes the caller keeps. ByteArrayMimeInputStream names its data by
// their CRC, so the same bytes sent again under another pretty name are
// the same input to the cache (and, sent within 10 ms of the first, a cache
// hit); it also copies the bytes when it is made. A cold benchmark needs a
// new input each time, and the stream's making is no part of what it
// measures: this stream takes the name it is given and hands out blocks
// straight from the caller's bytes, as a client's stream hands out a file.
#pragma once

#include "xadracommon/xad_preview_api_IMimeInputStream.h"

#include <algorithm>
#include <mutex>
#include <string>

namespace benchdaemon {

class NamedBytesStream : public xad::preview::api::IMimeInputStream {
public:
    // data must outlive the stream.
    NamedBytesStream(const std::string& data, const std::string& name, const std::string& mime)
        : data_(data), name_(Plume::String::newInstance(name)), mime_(Plume::String::newInstance(mime)) {}
    void close() override {}
    double getTimestamp() override { return 0.0; }
    int64_t getStreamSize() override { return static_cast<int64_t>(data_.size()); }
    Plume::ObjPtr<Plume::String> getMimeType() override { return mime_; }
    Plume::ObjPtr<Plume::String> getPrettyName() override { return name_; }
    Plume::ObjPtr<Plume::String> getUniqueName() override { return name_; }
    Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) override {
        std::lock_guard<std::mutex> lock(m_);
        const size_t n = std::min(static_cast<size_t>(std::max(maxLength, 0)), data_.size() - pos_);
        auto block = Plume::ByteArray::newInstance(reinterpret_cast<const signed char*>(data_.data()) + pos_, n);
        pos_ += n;
        return block;
    }

private:
    std::mutex m_;
    const std::string& data_;
    size_t pos_ = 0;
    Plume::ObjPtr<Plume::String> name_, mime_;
};

// The bytes of data (kept by the caller) as the input named name.
inline Plume::ObjPtr<xad::preview::api::IMimeInputStream> namedBytes(const std::string& data, const std::string& name,
                                                                     const std::string& mime) {
    return Plume::makeObj<NamedBytesStream>(data, name, mime);
}

}  // namespace benchdaemon
