#include "PreviewException.h"

#include "LogService.h"

#include <cstdio>

namespace xad::preview::api {

void Timeout::writeFields(Plume::Serializer& out) const {
    out.writeInt(timeout_);
    PreviewException::writeFields(out);
}

void Timeout::readFields(Plume::Serializer& in, int64_t) {
    timeout_ = in.readInt();
    PreviewException::readFields(in, PreviewException::SERIAL_VERSION_UID);
}

void throwPreview(const Plume::ObjPtr<PreviewException>& e, unsigned category, int level) {
    throw Plume::ThrowableException(Xadra::logService(), category, level, e);
}

std::string vformatMessage(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace xad::preview::api
