#include "PipedReading.h"

#include "hpgs/hpgs_ptr.h"
#include "xadracommon/LogService.h"

#include <functional>
#include <thread>
#include <vector>

namespace Xadra {

namespace {

const char* const kPdfMimeType = "application/pdf";

// Threads that wait for tasks; one more is made when a task finds none
// waiting. They end with the process.
class ReadingThreads {
public:
    static ReadingThreads& instance() {
        static ReadingThreads threads;
        return threads;
    }
    // Throws std::system_error when a thread is needed and cannot be made.
    void run(std::function<void()> task) {
        std::lock_guard<std::mutex> lock(m_);
        tasks_.push_back(std::move(task));
        if (tasks_.size() <= idle_) {
            cv_.notify_one();
            return;
        }
        try {
            threads_.emplace_back([this] { loop(); });
        } catch (...) {
            tasks_.pop_back();
            throw;
        }
    }
    ~ReadingThreads() {
        {
            std::lock_guard<std::mutex> lock(m_);
            stopping_ = true;
            cv_.notify_all();
        }
        for (auto& t : threads_) t.join();
    }

private:
    void loop() {
        std::unique_lock<std::mutex> lock(m_);
        for (;;) {
            ++idle_;
            cv_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
            --idle_;
            if (tasks_.empty()) return;  // stopping
            std::function<void()> task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::vector<std::thread> threads_;
    size_t idle_ = 0;
    bool stopping_ = false;
};

}  // namespace

PipedReading::PipedReading(std::string name, Task task) : name_(std::move(name)), task_(std::move(task)) {}

PipedReading::~PipedReading() { finish(); }

void PipedReading::begin(const std::string& mimeType) noexcept {
    std::lock_guard<std::mutex> lock(m_);
    // A download run again would hand out its blocks a second time.
    if (++begins_ > 1 || mimeType == kPdfMimeType || reading_) {
        stopLocked();
        return;
    }
    try {
        ReadingThreads::instance().run([this] { read(); });
        reading_ = true;
    } catch (...) {
        // No thread: the job reads the file afterwards.
        stopLocked();
    }
}

void PipedReading::block(const Plume::ObjPtr<Plume::ByteArray>& data) noexcept {
    std::unique_lock<std::mutex> lock(m_);
    if (readerDone_ || !reading_ || !data || data->getSize() == 0) return;
    cv_.wait(lock, [&] { return readerDone_ || queued_ < kMaxQueuedBytes; });
    if (readerDone_) return;
    try {
        queue_.push_back(data);
    } catch (...) {
        stopLocked();
        return;
    }
    queued_ += data->getSize();
    waiting_ += data->getSize();
    if (waiting_ >= kWakeBytes) cv_.notify_all();
}

void PipedReading::end(bool complete) noexcept {
    std::lock_guard<std::mutex> lock(m_);
    if (ended_) return;
    ended_ = true;
    complete_ = complete;
    cv_.notify_all();
}

void PipedReading::stopLocked() {
    readerDone_ = true;
    queue_.clear();
    waiting_ = 0;
    queued_ = current_ ? current_->getSize() : 0;
    cv_.notify_all();
}

long PipedReading::pull(void* ctx, const unsigned char** data) {
    auto* self = static_cast<PipedReading*>(ctx);
    std::unique_lock<std::mutex> lock(self->m_);
    if (self->current_) {
        const bool full = self->queued_ >= kMaxQueuedBytes;
        self->queued_ -= self->current_->getSize();
        self->current_.reset();
        if (full) self->cv_.notify_all();
    }
    if (self->queue_.empty())
        self->cv_.wait(lock, [&] { return self->waiting_ >= kWakeBytes || self->ended_ || self->readerDone_; });
    if (!self->queue_.empty() && !self->readerDone_) {
        self->current_ = std::move(self->queue_.front());
        self->queue_.pop_front();
        self->waiting_ -= self->current_->getSize();
        *data = reinterpret_cast<const unsigned char*>(self->current_->getData());
        return static_cast<long>(self->current_->getSize());
    }
    // The end of the input only when the download completed it.
    if (self->ended_ && self->complete_ && !self->readerDone_) return 0;
    hpgs_set_error("The download of %s did not complete.", self->name_.c_str());
    return -1;
}

void PipedReading::read() noexcept {
    bool ok = false;
    try {
        hpgs_istream* in = hpgs_new_pull_istream(&PipedReading::pull, this, name_.c_str());
        ok = in && task_(in);
    } catch (...) {
        ok = false;
    }
    // The last touch of this object: finish() may destroy it once the
    // lock is released.
    std::lock_guard<std::mutex> lock(m_);
    succeeded_ = ok && ended_ && complete_ && begins_ == 1;
    current_.reset();
    stopLocked();
    finished_ = true;
    cv_.notify_all();
}

bool PipedReading::finish() {
    std::unique_lock<std::mutex> lock(m_);
    if (!ended_) {
        ended_ = true;
        complete_ = false;
    }
    cv_.notify_all();
    if (reading_) cv_.wait(lock, [&] { return finished_; });
    return succeeded_;
}

bool fetchReadingOnArrival(HPGSRendererJob& job, Plume::Mutex& mutex, PipedReading& reading) {
    auto* download = dynamic_cast<HPGSMimeDownloadDataHolder*>(job.getInput().get());
    if (!download) {
        job.fetchMainInput(mutex);
        return false;
    }
    struct Unset {
        HPGSMimeDownloadDataHolder* holder;
        ~Unset() { holder->setObserver(nullptr); }
    } unset{download};
    download->setObserver(&reading);
    try {
        job.fetchMainInput(mutex);
    } catch (...) {
        reading.finish();
        throw;
    }
    return reading.finish();
}

PipedReading::Task measurePlotSize(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs_bbox* box) {
    return [&job, &mutex, box](hpgs_istream* in) {
        hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
        if (!measuring) {
            hpgs_istream_close(in);
            return false;
        }
        hpgs_device* measure = measuring.get();
        // The reader takes stream and device over, also when it cannot be made.
        hpgs::UniqueReader made(hpgs_new_reader(in, measuring.release(), HPGS_FALSE, 1));
        if (!made) return false;
        hpgs_reader* reader = setReader(job, mutex, std::move(made));
        const bool ok = hpgs_read(reader, HPGS_TRUE) >= 0 && hpgs_getplotsize(measure, 1, box) >= 0;
        clearReader(job, mutex);
        return ok;
    };
}

}  // namespace Xadra
