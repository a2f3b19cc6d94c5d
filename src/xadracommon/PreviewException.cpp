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


}  // namespace xad::preview::api
