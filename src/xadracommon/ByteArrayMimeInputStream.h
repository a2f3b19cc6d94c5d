// A document held in memory. It crosses a remote call by value: the receiver
// gets its own copy, positioned at the start, and reads it locally.
//
// Thread-safety: reads and close are serialised by an internal lock, so a
// stream shared by mistake stays consistent; readers normally use one thread.
#pragma once

#include "xad_preview_api_IMimeInputStream.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace xad::preview::streams {

class ByteArrayMimeInputStream : public api::IMimeInputStream, public virtual Plume::Serializable {
public:
    static constexpr const char* SERIAL_ID = "xad.preview.streams.ByteArrayMimeInputStream";
    static constexpr int64_t SERIAL_VERSION_UID = static_cast<int64_t>(0xF6E08444422201CAULL);
    static constexpr int32_t DEFAULT_BLOCK = 1024;
    static constexpr int32_t MAX_BLOCK = 65536;

    // An empty, closed stream; the framework reads received fields into it.
    ByteArrayMimeInputStream() = default;
    ByteArrayMimeInputStream(Plume::ObjPtr<Plume::ByteArray> data, double timestamp, std::string prettyName,
                             std::string mimeType);

    // The unique name is the CRC-32 of the bytes as eight lower-case hex
    // digits, so equal content gives equal names.
    static Plume::ObjPtr<ByteArrayMimeInputStream> newInstance(const Plume::ObjPtr<Plume::ByteArray>& data,
                                                               double timestamp, const std::string& prettyName,
                                                               const std::string& mimeType);
    // The same, stamped with the current time.
    static Plume::ObjPtr<ByteArrayMimeInputStream> newInstance(const Plume::ObjPtr<Plume::ByteArray>& data,
                                                               const std::string& prettyName,
                                                               const std::string& mimeType);
    // Copies len bytes from p.
    static Plume::ObjPtr<ByteArrayMimeInputStream> newInstance(const void* p, size_t len, const std::string& prettyName,
                                                               const std::string& mimeType);

    // Drops the data; names, MIME type and timestamp stay.
    void close() override;
    double getTimestamp() override;
    // The length of the data; 0 once closed.
    int64_t getStreamSize() override;
    Plume::ObjPtr<Plume::String> getMimeType() override;
    Plume::ObjPtr<Plume::String> getPrettyName() override;
    Plume::ObjPtr<Plume::String> getUniqueName() override;
    // The next min(n, 65536) bytes (1024 when n is negative); empty at the
    // end and for n == 0. Throws an IOError (category 16, level 3) when closed.
    Plume::ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) override;

    static const char* getStaticSerialID() { return SERIAL_ID; }
    static int64_t getStaticSerialVersionUID() { return SERIAL_VERSION_UID; }
    const char* getSerialID() const override { return SERIAL_ID; }
    int64_t getSerialVersionUID() const override { return SERIAL_VERSION_UID; }
    // Order: data, mimeType, prettyName, timestamp, uniqueName. Reading
    // rewinds to the start.
    void writeFields(Plume::Serializer& out) const override;
    void readFields(Plume::Serializer& in, int64_t version) override;

private:
    mutable std::mutex mutex_;
    Plume::ObjPtr<Plume::ByteArray> data_;
    double timestamp_ = 0;
    Plume::ObjPtr<Plume::String> uniqueName_;
    Plume::ObjPtr<Plume::String> prettyName_;
    Plume::ObjPtr<Plume::String> mimeType_;
    size_t position_ = 0;
};

}  // namespace xad::preview::streams
