// A document read from a local file. It is not serializable, so it crosses a
// remote call by reference and the peer reads it block by block through
// remote calls. The daemon returns its results this way; the client passes
// its input files this way.
//
// Thread-safety: calls are serialised by an internal lock, so a close that
// races a read cannot hand the read a reused descriptor.
#pragma once

#include "xad_preview_api_IMimeInputStream.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace preview {

class FileMimeInputStream : public xad::preview::api::IMimeInputStream {
public:
    static constexpr int32_t MIN_BLOCK = 1024;
    static constexpr int32_t MAX_BLOCK = 65536;

    // Opens path read-only and takes size and modification time (whole
    // seconds) from the open file. Throws an IOError inside a
    // Plume::ThrowableException: "Error opening file <path>: <reason>."
    // (category 1, level 3) or "Error info for file <path>: <reason>."
    // (category 1, level 7).
    static Plume::ObjPtr<FileMimeInputStream> newInstance(const std::string& uniqueName, const std::string& prettyName,
                                                          const std::string& path, const std::string& mimeType);
    static Plume::ObjPtr<FileMimeInputStream> create(const std::string& uniqueName, const std::string& prettyName,
                                                     const std::string& path, const std::string& mimeType) {
        return newInstance(uniqueName, prettyName, path, mimeType);
    }

    FileMimeInputStream() = default;
    ~FileMimeInputStream() override;
    FileMimeInputStream(const FileMimeInputStream&) = delete;
    FileMimeInputStream& operator=(const FileMimeInputStream&) = delete;

    // Closes the file and forgets size, timestamp, path and MIME type; a
    // second close changes nothing. Logs the path it had (debug level).
    void close() override;
    double getTimestamp() override;
    int64_t getStreamSize() override;
    Plume::ObjPtr<Plume::String> getMimeType() override;
    Plume::ObjPtr<Plume::String> getPrettyName() override;
    Plume::ObjPtr<Plume::String> getUniqueName() override;
    // One read of up to clamp(n, 1024, 65536) bytes; empty at end of file,
    // possibly short before it. Throws an IOError (category 1, level 3) when
    // closed or when the read fails.
    Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) override;

    bool isOpen() const;
    std::string getPath() const;

private:
    void release();

    mutable std::mutex mutex_;
    int fd_ = -1;
    double timestamp_ = 0;
    int64_t size_ = 0;
    std::string uniqueName_, prettyName_, path_, mimeType_;
};

}  // namespace preview
