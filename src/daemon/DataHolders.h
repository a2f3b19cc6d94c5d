// Data holders: how a job reaches one of its inputs as a local file. Render
// code works on files, requests bring remote IMimeInputStreams; a holder turns
// one input into a file on demand, by copying the stream into a job file, by
// downloading it once into the result cache, or by pointing at a file that is
// already a cache entry.
//
// Thread-safety: a holder is used by one job at a time, on the thread that
// runs the job. Ownership: holders are counted objects owned by the jobs that
// refer to them; a holder that copied a stream removes its job file when it
// is destroyed (unless job files are kept, "--no-remove").
#pragma once

#include "cache/HPGSRendererCacheEntry.h"
#include "hpgs/hpgs.h"
#include "hpgs/hpgs_ptr.h"
#include "plume/Thread.h"
#include "xadracommon/xad_preview_api_IMimeInputStream.h"

#include <string>

namespace Xadra {

class RendererJob;

// Sees the bytes of a stream's copy as they reach the job file, so that a
// job can read its input while it is still arriving. Called on the fetching
// thread: begin (with the stream's MIME type) before the first block, block
// after each block is written (it may wait, to hold the blocks queued in
// bounds), end once the file is complete (true) or the copy has failed. Must
// not throw.
class CopyObserver {
public:
    virtual ~CopyObserver() = default;
    virtual void begin(const std::string& mimeType) noexcept = 0;
    virtual void block(const Plume::ObjPtr<Plume::ByteArray>& data) noexcept = 0;
    virtual void end(bool complete) noexcept = 0;
};

class HPGSDataHolder : public virtual Plume::Object {
public:
    ~HPGSDataHolder() override;

    // Makes the data available as a local file. subIndex 0 is a job's main
    // input, 1 and up its annotations, negative the job file itself. mutex
    // and job are those of the job that needs the data (job may be null
    // outside the job machinery). Does nothing when already fetched.
    virtual void fetch(int workerIndex, int subIndex, Plume::Mutex* mutex, RendererJob* job);
    // Empty while nothing has been fetched.
    virtual const std::string& getFileName() const = 0;
    // Forgets the file, so that it is not removed with the holder.
    virtual void forgetFile() = 0;
    // An hpgs stream on the file. Throws Xadra::CException (xadrastream, 3)
    // "could not open file %s for reading".
    virtual hpgs::UniqueIstream openHpgsStream() const;
    virtual std::string getMimeType() const = 0;
};

// A holder whose data is one local file.
class HPGSFileDataHolder : public HPGSDataHolder {
public:
    HPGSFileDataHolder(std::string fileName, std::string mimeType, bool removeOnDelete);
    // Removes the file when removeOnDelete is set and a file is held.
    ~HPGSFileDataHolder() override;

    const std::string& getFileName() const override { return fileName_; }
    void forgetFile() override { fileName_.clear(); }
    std::string getMimeType() const override { return mimeType_; }

protected:
    std::string fileName_;
    std::string mimeType_;
    bool removeOnDelete_;
};

// Copies a stream into a job file of the fetching worker, in blocks of 4096
// bytes, up to the stream's size (a stream that ends early gives a shorter
// file). A failed copy leaves no file behind and passes the failure on:
// Xadra::CException "Cannot open temporary file %s for writing" / "Write
// error on temporary file %s", or the stream's own exception.
class HPGSMimeStreamDataHolder : public HPGSFileDataHolder {
public:
    explicit HPGSMimeStreamDataHolder(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& stream);
    void fetch(int workerIndex, int subIndex, Plume::Mutex* mutex, RendererJob* job) override;
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& getStream() const { return stream_; }
    // The next fetch reports to observer (not owned; null: none).
    void setObserver(CopyObserver* observer) { observer_ = observer; }

private:
    Plume::ObjPtr<xad::preview::api::IMimeInputStream> stream_;
    CopyObserver* observer_ = nullptr;
};

// Downloads a stream once into the cache (downloadInput, as a subjob of the
// fetching job) and points at the cache file, which it never removes.
class HPGSMimeDownloadDataHolder : public HPGSFileDataHolder {
public:
    explicit HPGSMimeDownloadDataHolder(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& stream);
    void fetch(int workerIndex, int subIndex, Plume::Mutex* mutex, RendererJob* job) override;
    // A download that this fetch starts itself reports to observer (not
    // owned; null: none). One that is joined, or found in the cache, does
    // not report at all.
    void setObserver(CopyObserver* observer) { observer_ = observer; }

private:
    Plume::ObjPtr<xad::preview::api::IMimeInputStream> stream_;
    CopyObserver* observer_ = nullptr;
    // Keeps the cache file alive while the job uses it.
    Plume::ObjPtr<HPGSRendererCacheEntry> entry_;
};

// A cache entry (the result of an earlier job) as input; fetch does nothing.
class HPGSRendererCacheEntryDataHolder : public HPGSFileDataHolder {
public:
    explicit HPGSRendererCacheEntryDataHolder(const Plume::ObjPtr<HPGSRendererCacheEntry>& entry);
    const Plume::ObjPtr<HPGSRendererCacheEntry>& getEntry() const { return entry_; }

private:
    Plume::ObjPtr<HPGSRendererCacheEntry> entry_;
};

// Deletes a job file unless job files are kept ("--no-remove"), in which case
// it logs that the file is kept. Never throws.
void removeJobFile(const std::string& name);

}  // namespace Xadra
