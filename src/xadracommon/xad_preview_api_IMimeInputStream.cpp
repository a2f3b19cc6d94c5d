#include "xad_preview_api_IMimeInputStream.h"

#include "DispatchSupport.h"
#include "XadraException.h"

namespace xad::preview::api {

using Plume::ObjPtr;
using Plume::Object;
using Plume::ObjectArray;
using namespace dispatch;

namespace {

const char* const kNoArgs[] = {nullptr};
const char* const kReadBlockArgs[] = {"int"};

enum Method { CLOSE, GET_MIME_TYPE, GET_PRETTY_NAME, GET_STREAM_SIZE, GET_TIMESTAMP, GET_UNIQUE_NAME, READ_BLOCK };

// Sorted by strcmp; the enum above follows the same order.
const MethodEntry kMethods[] = {
    {"close", kNoArgs, 0, "void"},
    {"getMimeType", kNoArgs, 0, "java.lang.String"},
    {"getPrettyName", kNoArgs, 0, "java.lang.String"},
    {"getStreamSize", kNoArgs, 0, "long"},
    {"getTimestamp", kNoArgs, 0, "double"},
    {"getUniqueName", kNoArgs, 0, "java.lang.String"},
    {"readBlock", kReadBlockArgs, 1, "[B"},
};
const char* const kNames[] = {"close",        "getMimeType",   "getPrettyName", "getStreamSize",
                              "getTimestamp", "getUniqueName", "readBlock"};
constexpr size_t kCount = sizeof kMethods / sizeof kMethods[0];
static_assert(kCount == sizeof kNames / sizeof kNames[0]);

const MethodEntry& queryMethod(const char* method) {
    int i = findMethod(kMethods, kCount, method);
    if (i < 0)
        throw Xadra::Exception(16, 3, "Invalid method %s specified in query of interface IMimeInputStream.",
                               method ? method : "(null)");
    return kMethods[i];
}

}  // namespace

IMimeInputStream::~IMimeInputStream() = default;

bool IMimeInputStream::isInstance(const Object* o) { return dynamic_cast<const IMimeInputStream*>(o) != nullptr; }

// ---------------------------------------------------------------------------
// Proxy

ObjPtr<Object> IMimeInputStream__reflection_proxy::create(const ObjPtr<Plume::InvocationHandler>& handler) {
    return Plume::makeObj<IMimeInputStream__reflection_proxy>(handler);
}

void IMimeInputStream__reflection_proxy::close() { handler_->invoke("close", nullptr); }

double IMimeInputStream__reflection_proxy::getTimestamp() {
    return dispatch::toDouble(handler_->invoke("getTimestamp", nullptr).get());
}

int64_t IMimeInputStream__reflection_proxy::getStreamSize() {
    return Plume::Long::toLong(handler_->invoke("getStreamSize", nullptr).get());
}

ObjPtr<Plume::String> IMimeInputStream__reflection_proxy::getMimeType() {
    return Plume::objCast<Plume::String>(handler_->invoke("getMimeType", nullptr));
}

ObjPtr<Plume::String> IMimeInputStream__reflection_proxy::getPrettyName() {
    return Plume::objCast<Plume::String>(handler_->invoke("getPrettyName", nullptr));
}

ObjPtr<Plume::String> IMimeInputStream__reflection_proxy::getUniqueName() {
    return Plume::objCast<Plume::String>(handler_->invoke("getUniqueName", nullptr));
}

ObjPtr<Plume::ByteArray> IMimeInputStream__reflection_proxy::readBlock(int32_t maxLength) {
    return Plume::objCast<Plume::ByteArray>(handler_->invoke("readBlock", makeArgs(maxLength)));
}

// ---------------------------------------------------------------------------
// Target

ObjPtr<Plume::ReflectionTarget> IMimeInputStream__reflection_target::create(const ObjPtr<Object>& obj) {
    ObjPtr<IMimeInputStream> impl = Plume::objCast<IMimeInputStream>(obj);
    if (obj && !impl) Plume::throwNull(__FILE__, __LINE__, "check_cast", "xad::preview::api::IMimeInputStream");
    return Plume::makeObj<IMimeInputStream__reflection_target>(impl);
}

ObjPtr<Object> IMimeInputStream__reflection_target::invokeMethod(const char* method, const ObjPtr<ObjectArray>& args) {
    if (!impl_) Plume::throwNull(__FILE__, __LINE__, "invokeMethod", "xad::preview::api::IMimeInputStream");
    int i = findMethod(kMethods, kCount, method);
    if (i < 0)
        throw Xadra::Exception(16, 3, "Invalid method %s specified in call to interface IMimeInputStream.",
                               method ? method : "(null)");
    switch (static_cast<Method>(i)) {
        case CLOSE:
            impl_->close();
            return nullptr;
        case GET_MIME_TYPE:
            return impl_->getMimeType();
        case GET_PRETTY_NAME:
            return impl_->getPrettyName();
        case GET_STREAM_SIZE:
            return Plume::Long::newInstance(impl_->getStreamSize());
        case GET_TIMESTAMP:
            return Plume::Double::newInstance(impl_->getTimestamp());
        case GET_UNIQUE_NAME:
            return impl_->getUniqueName();
        case READ_BLOCK:
            if (!argCountIs(args, 1))
                throw Xadra::Exception(16, 3, "Invalid number of arguments specified in call to IMimeInputStream::readBlock");
            return impl_->readBlock(intArg(args, 0));
    }
    return nullptr;
}

const char* const* IMimeInputStream__reflection_target::getMethodNames(size_t* count) const {
    if (count) *count = kCount;
    return kNames;
}

const char* const* IMimeInputStream__reflection_target::getArgumentTypes(const char* method, size_t* count) const {
    const MethodEntry& m = queryMethod(method);
    if (count) *count = m.argCount;
    return m.argTypes;
}

const char* IMimeInputStream__reflection_target::getReturnType(const char* method) const {
    return queryMethod(method).returnType;
}

}  // namespace xad::preview::api
