// An in-memory input stream under a unique name of the caller's choosing.
// ByteArrayMimeInputStream names its data by their CRC, so the same bytes
// sent again under another pretty name are the same input to the cache
// (and, sent within 10 ms of the first, a cache hit). A cold benchmark needs
// a new input each time: this stream takes the name it is given.
#pragma once

#include "xadracommon/ByteArrayMimeInputStream.h"

#include <string>

namespace benchdaemon {

class NamedBytesStream : public xad::preview::streams::ByteArrayMimeInputStream {
public:
    NamedBytesStream(const std::string& data, const std::string& name, const std::string& mime)
        : ByteArrayMimeInputStream(Plume::ByteArray::newInstance(reinterpret_cast<const signed char*>(data.data()),
                                                                 data.size()),
                                   0.0, name, mime),
          name_(Plume::String::newInstance(name)) {}
    Plume::ObjPtr<Plume::String> getUniqueName() override { return name_; }

private:
    Plume::ObjPtr<Plume::String> name_;
};

// The bytes of data as the input named name (unique and pretty name).
inline Plume::ObjPtr<xad::preview::api::IMimeInputStream> namedBytes(const std::string& data, const std::string& name,
                                                                     const std::string& mime) {
    return Plume::makeObj<NamedBytesStream>(data, name, mime);
}

}  // namespace benchdaemon
