// Process-wide helpers: signals, time, CRC-32 and file handles.
#pragma once

#include "Object.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <zlib.h>

namespace Plume {

// Installs handlers for SIGHUP and SIGTERM (both request shutdown: the hang-up
// indication becomes true) and SIGINT (only interrupts a blocking call of the
// thread that receives it, which then fails with EINTR). SIGPIPE is ignored.
// The handlers are installed without SA_RESTART.
void installSignalHandlers();
bool getHupSignalCatched();
void resetHupSignalCatched();
// Sets the hang-up indication as the signal would (used by tests and by
// orderly stops that do not come from a signal).
void setHupSignalCatched();

// Milliseconds since 1970-01-01 UTC.
int64_t getCurrentTimeMillis();

// CRC-32 (the zlib/IEEE polynomial) over a sequence of updates.
class CRC32 {
public:
    void update(const void* data, size_t len) {
        crc_ = ::crc32(crc_, static_cast<const Bytef*>(data), static_cast<uInt>(len));
    }
    uint32_t get() const { return static_cast<uint32_t>(crc_); }
    void reset() { crc_ = ::crc32(0L, Z_NULL, 0); }

private:
    uLong crc_ = ::crc32(0L, Z_NULL, 0);
};

// An open stdio file, closed with the handle. Not thread-safe.
class FileHandle : public virtual Object {
public:
    // Opens path with an fopen mode; throws CException (category 2, level 3)
    // "Cannot open file <path>: <reason>" on failure.
    static ObjPtr<FileHandle> newInstance(const std::string& path, const char* mode);
    explicit FileHandle(FILE* f, std::string path) : f_(f), path_(std::move(path)) {}
    ~FileHandle() override;
    FILE* get() const { return f_; }
    const std::string& getPath() const { return path_; }
    // Closes now; throws CException when the final flush fails.
    void close();

private:
    FILE* f_;
    std::string path_;
};

}  // namespace Plume
