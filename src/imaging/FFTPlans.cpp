#include "imaging/FFTPlans.h"

#include "plume/Thread.h"

#include <cstring>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace Xadra::fft {

namespace {

// FFTW's planner state (plans, wisdom, the time limit) is process-wide.
Plume::Mutex& plannerMutex() {
    static Plume::Mutex mutex;
    return mutex;
}

class PlanCache {
public:
    // Makes sure the planner mutex outlives the cache, whose plans take it
    // when they are destroyed at exit.
    PlanCache() { plannerMutex(); }

    const Plans& get(unsigned w, unsigned h) EXCLUDES(mapMutex_) {
        Entry* entry;
        {
            Plume::MutexLock lock(mapMutex_);
            std::unique_ptr<Entry>& slot = entries_[{w, h}];
            if (!slot) slot = std::make_unique<Entry>();
            entry = slot.get();
        }
        Plume::MutexLock lock(entry->mutex);
        if (!entry->ready) {
            entry->plans = makePlans(w, h, kPlannerFlags, kPlanTimeLimit);
            entry->ready = true;
        }
        return entry->plans;
    }

private:
    struct Entry {
        Plume::Mutex mutex;
        bool ready GUARDED_BY(mutex) = false;
        // Written once under the mutex while !ready, read-only afterwards.
        Plans plans;
    };
    Plume::Mutex mapMutex_;
    // Entries are never removed: sizes are powers of two, so a process
    // meets few of them.
    std::map<std::pair<unsigned, unsigned>, std::unique_ptr<Entry>> entries_ GUARDED_BY(mapMutex_);
};

}  // namespace

void PlanDestroy::operator()(fftw_plan p) const noexcept {
    Plume::MutexLock lock(plannerMutex());
    fftw_destroy_plan(p);
}

Plans makePlans(unsigned w, unsigned h, unsigned flags, double timeLimit) {
    const unsigned halfW = w / 2;
    // The planner may overwrite the arrays it is given while it measures.
    AlignedDoubles line = allocateDoubles(w);
    AlignedDoubles nyquist = allocateDoubles(2 * size_t(h));
    AlignedDoubles row = allocateDoubles(2 * (size_t(halfW) + 1));
    AlignedDoubles block = allocateDoubles(2 * size_t(columnBlock(w)) * h);
    auto* crow = reinterpret_cast<fftw_complex*>(row.get());
    auto* cblock = reinterpret_cast<fftw_complex*>(block.get());
    auto* cnyquist = reinterpret_cast<fftw_complex*>(nyquist.get());

    // Row y starts y * W doubles into the data; rows of fewer than
    // kFftAlignment bytes lose the alignment, and their plans must not count on it.
    const unsigned rowFlags = (w * sizeof(double)) % kFftAlignment == 0 ? flags : flags | FFTW_UNALIGNED;
    const int n = int(h);
    const int columns = int(columnBlock(w));

    fftw_plan raw[6] = {};
    {
        Plume::MutexLock lock(plannerMutex());
        fftw_set_timelimit(timeLimit < 0 ? FFTW_NO_TIMELIMIT : timeLimit);
        raw[0] = fftw_plan_dft_r2c_1d(int(w), line.get(), crow, rowFlags | FFTW_DESTROY_INPUT);
        raw[1] = fftw_plan_dft_c2r_1d(int(w), crow, line.get(), rowFlags | FFTW_DESTROY_INPUT);
        raw[2] = fftw_plan_many_dft(1, &n, columns, cblock, nullptr, columns, 1, cblock, nullptr, columns, 1,
                                    FFTW_BACKWARD, flags);
        raw[3] = fftw_plan_many_dft(1, &n, columns, cblock, nullptr, columns, 1, cblock, nullptr, columns, 1,
                                    FFTW_FORWARD, flags);
        raw[4] = fftw_plan_dft_1d(n, cnyquist, cnyquist, FFTW_BACKWARD, flags);
        raw[5] = fftw_plan_dft_1d(n, cnyquist, cnyquist, FFTW_FORWARD, flags);
        bool complete = true;
        for (fftw_plan p : raw) complete = complete && p != nullptr;
        if (!complete) {
            for (fftw_plan p : raw)
                if (p) fftw_destroy_plan(p);
            throw std::runtime_error("FFTW made no plan for a " + std::to_string(w) + "x" + std::to_string(h) +
                                     " image.");
        }
    }
    Plans plans;
    plans.rowForward.reset(raw[0]);
    plans.rowBackward.reset(raw[1]);
    plans.columnsForward.reset(raw[2]);
    plans.columnsBackward.reset(raw[3]);
    plans.nyquistForward.reset(raw[4]);
    plans.nyquistBackward.reset(raw[5]);
    return plans;
}

void forgetWisdom() {
    Plume::MutexLock lock(plannerMutex());
    fftw_forget_wisdom();
}

namespace {

// n complex values: a row of the row transforms or a block of columns.
class ComplexArray {
public:
    explicit ComplexArray(size_t n) : values_(allocateDoubles(2 * n)) {}
    fftw_complex* get() const noexcept { return reinterpret_cast<fftw_complex*>(values_.get()); }
    fftw_complex& operator[](size_t k) const noexcept { return get()[k]; }

private:
    AlignedDoubles values_;
};

// Transforms the image's W/2 complex columns block by block through a buffer.
void transformColumns(fftw_plan plan, double* data, unsigned w, unsigned h) {
    const unsigned halfW = w / 2;
    const unsigned block = columnBlock(w);
    const size_t blockBytes = sizeof(fftw_complex) * block;
    ComplexArray buffer(size_t(block) * h);
    auto* cdata = reinterpret_cast<fftw_complex*>(data);
    for (unsigned k0 = 0; k0 < halfW; k0 += block) {
        for (unsigned y = 0; y < h; ++y)
            std::memcpy(&buffer[size_t(y) * block], cdata + size_t(y) * halfW + k0, blockBytes);
        fftw_execute_dft(plan, buffer.get(), buffer.get());
        for (unsigned y = 0; y < h; ++y)
            std::memcpy(cdata + size_t(y) * halfW + k0, &buffer[size_t(y) * block], blockBytes);
    }
}

}  // namespace

// Each row goes through FFTW's real-to-complex transform (sign -) into a
// row buffer and comes back conjugated (sign +), its W/2 term into the
// Nyquist column; then the columns are transformed with sign +. Each row
// is copied while it is still in the cache, so the layout costs little
// over FFTW's own two-dimensional real transform.
void forward(const Plans& plans, double* data, double* nyquist, unsigned w, unsigned h) {
    const unsigned halfW = w / 2;
    ComplexArray row(halfW + 1);
    for (unsigned y = 0; y < h; ++y) {
        double* line = data + size_t(y) * w;
        fftw_execute_dft_r2c(plans.rowForward.get(), line, row.get());
        for (unsigned k = 0; k < halfW; ++k) {
            line[2 * k] = row[k][0];
            line[2 * k + 1] = -row[k][1];
        }
        nyquist[2 * y] = row[halfW][0];
        nyquist[2 * y + 1] = -row[halfW][1];
    }
    transformColumns(plans.columnsForward.get(), data, w, h);
    auto* cnyquist = reinterpret_cast<fftw_complex*>(nyquist);
    fftw_execute_dft(plans.nyquistForward.get(), cnyquist, cnyquist);
}

// Columns with sign -, then each row, conjugated and halved, through
// FFTW's complex-to-real transform (sign +, which on the conjugate gives
// the real sum with sign -).
void backward(const Plans& plans, double* data, double* nyquist, unsigned w, unsigned h) {
    const unsigned halfW = w / 2;
    ComplexArray row(halfW + 1);
    transformColumns(plans.columnsBackward.get(), data, w, h);
    auto* cnyquist = reinterpret_cast<fftw_complex*>(nyquist);
    fftw_execute_dft(plans.nyquistBackward.get(), cnyquist, cnyquist);
    for (unsigned y = 0; y < h; ++y) {
        double* line = data + size_t(y) * w;
        for (unsigned k = 0; k < halfW; ++k) {
            row[k][0] = 0.5 * line[2 * k];
            row[k][1] = -0.5 * line[2 * k + 1];
        }
        row[halfW][0] = 0.5 * nyquist[2 * y];
        row[halfW][1] = -0.5 * nyquist[2 * y + 1];
        fftw_execute_dft_c2r(plans.rowBackward.get(), row.get(), line);
    }
}

const Plans& plansFor(unsigned w, unsigned h) {
    static PlanCache cache;
    return cache.get(w, h);
}

}  // namespace Xadra::fft
