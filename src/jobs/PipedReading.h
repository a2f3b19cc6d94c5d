// Reads an HP-GL/2 drawing while it is still being downloaded: the
// download hands each block it has written to the job file to this
// observer, and a task on a thread of its own reads the blocks, in place
// and in order, through an hpgs stream. The download's copy and the reading
// then overlap instead of following one another, and the drawing is read
// from memory rather than again from the file.
//
// Used by one job on the thread that runs it: set as the observer of the
// job's download, then finish() once the fetch has returned or thrown. The
// reading runs on a thread of a process-wide set that waits for such work
// (a new thread may first run only when the download that made it is
// done, which here took milliseconds); it registers its reader with the
// job, so that the job's interrupt stops it. Blocks wait in a queue of at most kMaxQueuedBytes;
// the download waits while the queue is full, never once the reading has
// ended.
//
// The reading counts only when the whole file was read: a download that
// failed, a second run of the same download, a non-HP-GL/2 input or a task
// that failed leave finish() false, and the job reads the file as it would
// have without this (for the same result, or the same error with the
// file's name in it).
#pragma once

#include "daemon/DataHolders.h"
#include "daemon/RendererJob.h"
#include "hpgs/hpgs.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace Xadra {

class PipedReading : public CopyObserver {
public:
    // Reads the input from in, which it owns (passing it on to a reader
    // does); true when it read it through to its end and succeeded. Runs
    // on the reading thread; must not throw.
    using Task = std::function<bool(hpgs_istream* in)>;

    static constexpr size_t kMaxQueuedBytes = 16u << 20;
    // The reading thread, once it has caught up, waits for this many bytes
    // (or the end) before it reads on: a wake-up per block of 4096 bytes
    // would cost more than the reading.
    static constexpr size_t kWakeBytes = 256u << 10;

    // name names the input in the reader's warnings.
    PipedReading(std::string name, Task task);
    // Finishes, if finish() was not called.
    ~PipedReading() override;
    PipedReading(const PipedReading&) = delete;
    PipedReading& operator=(const PipedReading&) = delete;

    void begin(const std::string& mimeType) noexcept override;
    void block(const Plume::ObjPtr<Plume::ByteArray>& data) noexcept override;
    void end(bool complete) noexcept override;

    // Ends the queue (as failed, if the download never ended it) and waits
    // for the task. True when the task read the whole input and succeeded.
    bool finish();

private:
    void read() noexcept;
    static long pull(void* self, const unsigned char** data);
    void stopLocked();

    const std::string name_;
    Task task_;

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<Plume::ObjPtr<Plume::ByteArray>> queue_;
    Plume::ObjPtr<Plume::ByteArray> current_;  // the block the reader is in
    size_t queued_ = 0;                        // bytes in queue_ and current_
    size_t waiting_ = 0;                       // bytes in queue_
    int begins_ = 0;
    bool ended_ = false, complete_ = false;
    bool reading_ = false;     // the reading was handed to a thread
    bool readerDone_ = false;  // the reading has ended: take no more blocks
    bool finished_ = false;    // the reading thread is done with this object
    bool succeeded_ = false;
};

// Fetches job's main input. When that is a download the job starts itself,
// reading reads it while it arrives: true once it has read the whole input
// (finish()). A failed fetch is passed on once the reading has ended.
bool fetchReadingOnArrival(HPGSRendererJob& job, Plume::Mutex& mutex, PipedReading& reading);

// A task that measures the plot size of page 1 into box, its reader
// registered with job (so that the job's interrupt stops it). job, mutex
// and box must outlive the task's run.
PipedReading::Task measurePlotSize(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs_bbox* box);

}  // namespace Xadra
