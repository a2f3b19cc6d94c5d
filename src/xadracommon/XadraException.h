// The daemon's local exceptions, bound to the programs' log service. They
// never cross the wire; remote failures are PreviewException subclasses.
#pragma once

#include "LogService.h"
#include "plume/Exception.h"

#include <cerrno>
#include <cstdarg>

namespace Xadra {

class Exception : public Plume::Exception {
public:
    Exception(unsigned category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)))
        : Plume::Exception(logService(), category, level) {
        va_list ap;
        va_start(ap, format);
        vappendMessage(format, ap);
        va_end(ap);
    }
};

// Appends ": " and the system's text for the error number to the message.
class CException : public Plume::CException {
public:
    // Takes the current errno.
    CException(unsigned category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)))
        : Plume::CException(logService(), category, level, errno) {
        va_list ap;
        va_start(ap, format);
        vappendMessage(format, ap);
        va_end(ap);
        appendErrnoText();
    }
    // Takes the given error number.
    CException(unsigned category, int level, int errnum, const char* format, ...) __attribute__((format(printf, 5, 6)))
        : Plume::CException(logService(), category, level, errnum) {
        va_list ap;
        va_start(ap, format);
        vappendMessage(format, ap);
        va_end(ap);
        appendErrnoText();
    }
};

}  // namespace Xadra
