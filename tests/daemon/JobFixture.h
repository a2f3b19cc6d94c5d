// Shared fixture of the job framework tests: a fresh cache on a temporary
// directory, a started worker pool, an in-process input stream that counts
// its reads, and a test job that copies its input into its job file.
#pragma once

#include "daemon/DownloadJob.h"
#include "daemon/JobRegistry.h"
#include "daemon/Settings.h"

#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <sstream>
#include <string>
#include <thread>

namespace jobtest {

namespace fs = std::filesystem;
using Plume::ObjPtr;
using namespace xad::preview::api;

// An input stream over a string. size may claim more than the data holds (a
// stream that ends early); failAfter makes the n-th read fail; delayMs slows
// every read down.
class TestStream : public IMimeInputStream {
public:
    TestStream(std::string data, std::string uniqueName, double timestamp = 100.0,
               std::string mimeType = "image/hpgl")
        : data_(std::move(data)), uniqueName_(std::move(uniqueName)), mimeType_(std::move(mimeType)),
          timestamp_(timestamp), size_(static_cast<int64_t>(data_.size())) {}

    void close() override {}
    double getTimestamp() override { return timestamp_; }
    int64_t getStreamSize() override { return size_; }
    ObjPtr<Plume::String> getMimeType() override { return Plume::String::newInstance(mimeType_); }
    ObjPtr<Plume::String> getPrettyName() override { return Plume::String::newInstance("pretty " + uniqueName_); }
    ObjPtr<Plume::String> getUniqueName() override { return Plume::String::newInstance(uniqueName_); }
    ObjPtr<Plume::ByteArray> readBlock(int32_t maxLength) override {
        int n = ++reads;
        if (delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        if (failAfter > 0 && n >= failAfter) throwPreviewf<IOError>(16, 3, "Connection to the client lost.");
        std::lock_guard<std::mutex> lock(m_);
        size_t len = std::min<size_t>(static_cast<size_t>(maxLength), data_.size() - pos_);
        auto block = Plume::ByteArray::newInstance(reinterpret_cast<const signed char*>(data_.data()) + pos_, len);
        pos_ += len;
        return block;
    }

    std::atomic<int> reads{0};
    int failAfter = 0;
    int delayMs = 0;
    void claimSize(int64_t s) { size_ = s; }

private:
    std::mutex m_;
    std::string data_;
    std::string uniqueName_;
    std::string mimeType_;
    double timestamp_;
    int64_t size_;
    size_t pos_ = 0;
};

inline ObjPtr<TestStream> newStream(const std::string& data, const std::string& name, double ts = 100.0) {
    return Plume::makeObj<TestStream>(data, name, ts);
}

// How the copy job behaves; the tag carries it, so that different behaviour
// means a different identity.
struct CopyOptions {
    int sleepMs = 0;       // interruptible render time
    bool fail = false;     // render fails with "Copy failed for <tag>."
    bool noState = false;  // run() returns without caching or failing
    // What render throws instead of rendering: 0 nothing, 1 an IOError in a
    // ThrowableException, 2 a std::runtime_error, 3 an int.
    int renderThrows = 0;
    bool runThrows = false;  // run() itself throws a std::runtime_error
};

inline std::atomic<int> g_renders{0};

// Writes "<tag>|<input file content>" into its job file.
class CopyJob : public Xadra::HPGSRendererJob {
public:
    CopyJob(const ObjPtr<IMimeInputStream>& in, const std::string& tag, CopyOptions o,
            const ObjPtr<Plume::List>& annotations = nullptr)
        : HPGSRendererJob(in, Plume::String::toText(in->getUniqueName().get()),
                          Plume::String::toText(in->getPrettyName().get()), tag, "", in->getTimestamp(), annotations),
          o_(o) {}

    void run(Plume::Mutex& mutex) override {
        if (o_.noState) return;
        if (o_.runThrows) throw std::runtime_error("run of " + getTag() + " gave up");
        HPGSRendererJob::run(mutex);
    }
    int render(Plume::Mutex&) override {
        ++g_renders;
        switch (o_.renderThrows) {
            case 1: throwPreviewf<IOError>(16, 3, "Input of %s vanished.", getTag().c_str());
            case 2: throw std::runtime_error("render of " + getTag() + " ran out of luck");
            case 3: throw 42;
            default: break;
        }
        for (int t = 0; t < o_.sleepMs; t += 5) {
            if (isInterrupted()) return hpgs_set_error("Interrupted.");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (o_.fail) return hpgs_set_error("Copy failed for %s.", getTag().c_str());
        std::ifstream in(getInput()->getFileName(), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        std::ofstream out(Xadra::jobCache().getJobFileName(getWorkerIndex()), std::ios::binary | std::ios::trunc);
        out << getTag() << '|' << s.str();
        return out ? 0 : hpgs_set_error("Cannot write the job file.");
    }
    std::string getResultMimeType() override { return "text/plain"; }
    std::string getResultUniqueName() override { return Xadra::replaceExtension(getUniqueName(), ".txt"); }
    std::string getResultPrettyName() override { return Xadra::replaceExtension(getPrettyName(), ".txt"); }

private:
    CopyOptions o_;
};

inline ObjPtr<Xadra::HPGSRendererCacheEntry> request(const ObjPtr<IMimeInputStream>& in, const std::string& tag,
                                                     CopyOptions o = {},
                                                     const ObjPtr<Plume::List>& annotations = nullptr) {
    return Xadra::executeJob(Plume::makeObj<CopyJob>(in, tag, o, annotations));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The PreviewException that a call threw, or null when it threw none.
template <class F>
ObjPtr<Plume::Throwable> thrownBy(F&& f) {
    try {
        f();
    } catch (const Plume::ThrowableException& e) {
        return e.getThrowable();
    }
    return nullptr;
}

class JobTest : public ::testing::Test {
protected:
    void SetUp() override { setUpWith(2); }
    void setUpWith(unsigned workers) {
        char tmpl[] = "/tmp/xadjobsXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        Xadra::ringResize(0);
        Xadra::ringResize(100000);
        Xadra::logService().levelThreshold = 2;
        cache_ = std::make_unique<Xadra::HPGSRendererCache>();
        cache_->setSyncWrites(false);
        cache_->initialise(100.0, base_);
        Xadra::setJobCache(cache_.get());
        Xadra::Settings::setRenderTimeout(10);
        Xadra::Settings::setHoldTimeout(60);
        g_renders = 0;
        restartPool(workers);
    }
    void restartPool(unsigned workers) {
        if (Xadra::getNWorkers() > 0) Xadra::stopWorkers();
        Xadra::setNWorkers(workers);
        Xadra::startWorkers();
    }
    void TearDown() override {
        Xadra::stopWorkers();
        Xadra::setJobCache(nullptr);
        cache_.reset();
        Xadra::ringResize(0);
        Xadra::Settings::setRenderTimeout(3);
        Xadra::Settings::setHoldTimeout(60);
        fs::permissions(base_ + "/jobs", fs::perms::owner_all);
        fs::remove_all(base_);
    }

    static std::string log() {
        std::ostringstream out;
        Xadra::ringReport(out);
        return out.str();
    }
    static size_t countLog(const std::string& text) {
        std::string l = log();
        size_t n = 0;
        for (size_t p = l.find(text); p != std::string::npos; p = l.find(text, p + 1)) ++n;
        return n;
    }
    size_t jobFilesLeft() const {
        size_t n = 0;
        for (auto& e : fs::directory_iterator(base_ + "/jobs")) {
            (void)e;
            ++n;
        }
        return n;
    }

    std::string base_;
    std::unique_ptr<Xadra::HPGSRendererCache> cache_;
};

}  // namespace jobtest
