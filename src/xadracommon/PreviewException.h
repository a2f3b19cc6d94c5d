// Errors that the service raises remotely. They cross the wire by value inside
// a Plume::ThrowableException; the receiver inspects getThrowable() and casts
// it to the concrete class.
#pragma once

#include "plume/Log.h"

#include "plume/Exception.h"

#include <cstdarg>
#include <cstdint>
#include <string>

namespace xad::preview::api {

class PreviewException : public Plume::JavaException {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.PreviewException";
    static constexpr int64_t SERIAL_VERSION_UID = static_cast<int64_t>(0x88770C83AE76728DULL);

    PreviewException() = default;
    explicit PreviewException(std::string message) : JavaException(std::move(message)) {}

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
};

// The input is an encrypted PDF document.
class DRMError : public PreviewException {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.DRMError";
    static constexpr int64_t SERIAL_VERSION_UID = 0x63917CE5E906B6FBLL;
    using PreviewException::PreviewException;
    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
};

// Rendering failed.
class HPGSError : public PreviewException {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.HPGSError";
    static constexpr int64_t SERIAL_VERSION_UID = static_cast<int64_t>(0xCE03161810887B18ULL);
    using PreviewException::PreviewException;
    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
};

// A stream or file failure.
class IOError : public PreviewException {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.IOError";
    static constexpr int64_t SERIAL_VERSION_UID = 0x1B2437AC6155CF4ELL;
    using PreviewException::PreviewException;
    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
};

// A job could not be run within the time-out (seconds) that the raiser applied.
class Timeout : public PreviewException {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.api.Timeout";
    static constexpr int64_t SERIAL_VERSION_UID = 0x01EA52F7397F16B3LL;
    Timeout() = default;
    explicit Timeout(std::string message, int32_t timeout = 0)
        : PreviewException(std::move(message)), timeout_(timeout) {}

    int32_t getTimeout() const { return timeout_; }
    void setTimeout(int32_t v) { timeout_ = v; }

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // The time-out first, then the throwable fields.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    int32_t timeout_ = 0;
};

// Throws e the way remote failures travel: inside a Plume::ThrowableException
// bound to the programs' log service.
[[noreturn]] void throwPreview(const Plume::ObjPtr<PreviewException>& e, unsigned category = 16, int level = 3);

// Makes an exception of type E with a printf-style detail message and throws
// it as throwPreview does.
template <class E>
[[noreturn]] void throwPreviewf(unsigned category, int level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));


template <class E>
void throwPreviewf(unsigned category, int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string message = Plume::vformat(format, ap);
    va_end(ap);
    throwPreview(Plume::makeObj<E>(std::move(message)), category, level);
}

}  // namespace xad::preview::api

