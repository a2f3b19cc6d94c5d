#include "Exception.h"

#include "Boxes.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace Plume {

namespace {
const LogCategory kFrameworkCategories[] = {
    {"plumeremoting", 1}, {"plumestream", 2}, {"plumethread", 4}, {"plumeconfig", 8}, {nullptr, 0}};
LogService g_frameworkService = {"plume", 0, 6, kFrameworkCategories};

}  // namespace

const LogService& frameworkLogService() { return g_frameworkService; }

std::string Throwable::toString() const {
    std::string s = getSerialID();
    if (hasMessage_) s += ": " + message_;
    return s;
}

void Throwable::writeFields(Serializer& out) const {
    if (hasMessage_) {
        out.writeObject(String::newInstance(message_));
    } else {
        out.writeObject(static_cast<const Object*>(nullptr));
    }
}

void Throwable::readFields(Serializer& in, int64_t) {
    ObjPtr<String> msg = in.readObjectAs<String>();
    if (msg) setDetailMessage(msg->str());
}

Exception::Exception(unsigned category, int level, const char* format, ...)
    : service_(&g_frameworkService), category_(category), level_(level) {
    va_list ap;
    va_start(ap, format);
    message_ = vformat(format, ap);
    va_end(ap);
}

Exception::Exception(const LogService& service, unsigned category, int level)
    : service_(&service), category_(category), level_(level) {}

Exception::Exception(const LogService& service, unsigned category, int level, std::string message)
    : service_(&service), category_(category), level_(level), message_(std::move(message)) {}

Exception::~Exception() = default;

void Exception::appendMessage(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    message_ += vformat(format, ap);
    va_end(ap);
}

void Exception::vappendMessage(const char* format, va_list args) { message_ += vformat(format, args); }

void Exception::log() const {
    if (!service_->enabled(category_, level_)) return;
    plumelog_write(service_->categoryName(category_), level_, message_);
}

void Exception::log(const std::exception& e) {
    if (auto* pe = dynamic_cast<const Exception*>(&e)) {
        pe->log();
        return;
    }
    plumelog_write("std", 3, e.what());
}

CException::CException(unsigned category, int level, const char* format, ...)
    : Exception(g_frameworkService, category, level), errno_(errno) {
    int saved = errno_;
    va_list ap;
    va_start(ap, format);
    vappendMessage(format, ap);
    va_end(ap);
    errno_ = saved;
    appendErrnoText();
}

CException::CException(const LogService& service, unsigned category, int level, int errnum)
    : Exception(service, category, level), errno_(errnum) {}

bool CException::isInterrupt() const { return errno_ == EINTR; }

void CException::appendErrnoText() {
    char buf[256];
    const char* text = strerror_r(errno_, buf, sizeof buf);
    appendText(": ");
    appendText(text);
}

ThrowableException::ThrowableException(unsigned category, int level, const ObjPtr<Throwable>& throwable)
    : ThrowableException(g_frameworkService, category, level, throwable) {}

ThrowableException::ThrowableException(const LogService& service, unsigned category, int level,
                                       const ObjPtr<Throwable>& throwable)
    : Exception(service, category, level, throwable ? throwable->toString() : std::string("null throwable")),
      throwable_(throwable) {}

void throwNull(const char* file, int line, const char* function, const char* typeName) {
    throw Exception(1, 3, "%s:%d(%s): Pointer to type %s is null.", file, line, function, typeName);
}

}  // namespace Plume
