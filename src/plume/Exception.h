// The framework's exception family.
//
// Local failures throw Exception (category bit, level, message) or CException
// (adds the text of an errno value). Remote failures arrive as a
// ThrowableException that carries the peer's Throwable (a Serializable with a
// detail message) together with a category bit and level. Every exception can
// log itself through the log service it was made with.
#pragma once

#include "Log.h"
#include "Serializable.h"

#include <cstdarg>
#include <exception>
#include <string>

namespace Plume {

// Log service used by exceptions made without one (the framework's own).
const LogService& frameworkLogService();

// A value that describes a failure and crosses the wire by value.
// Wire type "java.lang.Throwable"; one field, the detail message (a String or null).
class Throwable : public virtual Serializable {
public:
    Throwable() = default;
    explicit Throwable(std::string message) : message_(std::move(message)), hasMessage_(true) {}
    const std::string& getDetailMessage() const { return message_; }
    bool hasDetailMessage() const { return hasMessage_; }
    void setDetailMessage(std::string m) { message_ = std::move(m); hasMessage_ = true; }
    // "wire.type.Name: message", or the type name alone without a message.
    std::string toString() const override;
    const char* getSerialID() const override { return "java.lang.Throwable"; }
    int64_t getSerialVersionUID() const override { return -3042686055658047285LL; }
    void writeFields(Serializer& out) const override;
    void readFields(Serializer& in, int64_t version) override;

private:
    std::string message_;
    bool hasMessage_ = false;
};

// Base of the errors that applications raise remotely. Wire type "java.lang.Exception".
class JavaException : public Throwable {
public:
    using Throwable::Throwable;
    const char* getSerialID() const override { return "java.lang.Exception"; }
    int64_t getSerialVersionUID() const override { return -3387516993124229948LL; }
};

// The error the framework sends for a failure that is not a ThrowableException
// (a dispatch error, a local exception of the serving side). Wire type
// "plume.RemoteError".
class RemoteError : public JavaException {
public:
    using JavaException::JavaException;
    const char* getSerialID() const override { return "plume.RemoteError"; }
    int64_t getSerialVersionUID() const override { return 1; }
};

class Exception : public std::exception {
public:
    // Printf-style message, bound to the framework's log service.
    Exception(unsigned category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    // Bound to a log service; the message is empty until appended.
    Exception(const LogService& service, unsigned category, int level);
    Exception(const LogService& service, unsigned category, int level, std::string message);
    ~Exception() override;

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& getMessage() const { return message_; }
    unsigned getCategory() const { return category_; }
    int getLevel() const { return level_; }
    const LogService& getLogService() const { return *service_; }

    void appendMessage(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vappendMessage(const char* format, va_list args);
    void appendText(const std::string& text) { message_ += text; }

    // Logs the message through the bound service when its filter lets it pass.
    virtual void log() const;
    // Logs any standard exception at level 3 through the framework logger.
    static void log(const std::exception& e);

private:
    const LogService* service_;
    unsigned category_;
    int level_;
    std::string message_;
};

// A local failure with the text of an errno value appended (": <strerror>").
class CException : public Exception {
public:
    // Takes the current errno.
    CException(unsigned category, int level, const char* format, ...) __attribute__((format(printf, 4, 5)));
    CException(const LogService& service, unsigned category, int level, int errnum);
    int getErrno() const { return errno_; }
    // True when the failing call was interrupted by a signal (EINTR).
    bool isInterrupt() const;
    // Appends ": " and the system's text for the error number; subclasses call
    // it after their own message.
    void appendErrnoText();

private:
    int errno_;
};

// Carries a Throwable (usually from the peer of a remote call).
class ThrowableException : public Exception {
public:
    ThrowableException(unsigned category, int level, const ObjPtr<Throwable>& throwable);
    ThrowableException(const LogService& service, unsigned category, int level, const ObjPtr<Throwable>& throwable);
    const ObjPtr<Throwable>& getThrowable() const { return throwable_; }

private:
    ObjPtr<Throwable> throwable_;
};

// Raised for a null pointer: "<file>:<line>(<function>): Pointer to type <type> is null."
[[noreturn]] void throwNull(const char* file, int line, const char* function, const char* typeName);

}  // namespace Plume
