#include "Thread.h"

#include "Exception.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <pthread.h>

namespace Plume {

void WaitCondition::wait(Mutex& m) {
    std::unique_lock<std::mutex> lk(m.m_, std::adopt_lock);
    cv_.wait(lk);
    lk.release();
}

bool WaitCondition::timedWait(Mutex& m, long ms) {
    std::unique_lock<std::mutex> lk(m.m_, std::adopt_lock);
    auto st = cv_.wait_for(lk, std::chrono::milliseconds(ms < 0 ? 0 : ms));
    lk.release();
    return st == std::cv_status::no_timeout;
}

void Runnable::onSignal(int) {}

void blockTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

ObjPtr<Thread> Thread::newInstance(const ObjPtr<Runnable>& runnable) { return makeObj<Thread>(runnable); }

Thread::~Thread() {
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

void Thread::start() {
    if (started_.exchange(true)) throw Exception(4, 3, "Thread started twice.");
    alive_ = true;
    ObjPtr<Runnable> r = runnable_;
    ObjPtr<Thread> self(this);
    thread_ = std::thread([r, self]() {
        blockTerminationSignals();
        try {
            r->run();
        } catch (const Exception& e) {
            e.log();
        } catch (const std::exception& e) {
            Exception::log(e);
        } catch (...) {
            plumelog_write("plumethread", 3, "Caught unknown exception in thread.");
        }
        self->alive_ = false;
    });
}

void Thread::join() {
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Thread::kill(int sig) {
    if (runnable_) runnable_->onSignal(sig);
}

void Thread::msleep(long ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (ms % 1000) * 1000000L;
    if (nanosleep(&ts, nullptr) != 0) {
        int e = errno;
        errno = e;
        throw CException(4, 7, "Thread::msleep(%ld) interrupted", ms);
    }
}

ObjPtr<ThreadPool> ThreadPool::newInstance(unsigned minThreads, unsigned maxThreads, unsigned maxQueued, long idleMs) {
    return makeObj<ThreadPool>(minThreads, maxThreads, maxQueued, idleMs);
}

ThreadPool::ThreadPool(unsigned minThreads, unsigned maxThreads, unsigned maxQueued, long idleMs)
    : min_(minThreads), max_(maxThreads < 1 ? 1 : maxThreads), maxQueued_(maxQueued), idleMs_(idleMs) {
    if (min_ > max_) min_ = max_;
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::start() {
    std::lock_guard<std::mutex> lock(m_);
    if (started_) return;
    started_ = true;
    stopping_ = false;
    for (unsigned i = 0; i < min_; ++i) {
        ++threads_;
        std::thread(&ThreadPool::workerLoop, this).detach();
    }
}

void ThreadPool::stop() {
    std::unique_lock<std::mutex> lock(m_);
    if (!started_) return;
    stopping_ = true;
    queue_.clear();
    cv_.notify_all();
    exitCv_.wait(lock, [this] { return threads_ == 0; });
    started_ = false;
}

void ThreadPool::execute(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_);
    if (!started_ || stopping_) throw Exception(4, 3, "ThreadPool: task refused, the pool is not running.");
    if (maxQueued_ != 0 && idle_ <= queue_.size() && threads_ >= max_ && queue_.size() >= maxQueued_)
        throw Exception(4, 3, "ThreadPool: task refused, %u tasks already queued.", maxQueued_);
    queue_.push_back(std::move(task));
    if (idle_ > queue_.size() - 1) {
        cv_.notify_one();
    } else if (threads_ < max_) {
        ++threads_;
        std::thread(&ThreadPool::workerLoop, this).detach();
    }
}

bool ThreadPool::tryExecuteNow(std::function<void()> task) {
    std::lock_guard<std::mutex> lock(m_);
    if (!started_ || stopping_) return false;
    if (idle_ > queue_.size()) {
        queue_.push_back(std::move(task));
        cv_.notify_one();
        return true;
    }
    if (threads_ >= max_) return false;
    queue_.push_back(std::move(task));
    ++threads_;
    std::thread(&ThreadPool::workerLoop, this).detach();
    return true;
}

unsigned ThreadPool::getThreadCount() const {
    std::lock_guard<std::mutex> lock(m_);
    return threads_;
}

void ThreadPool::workerLoop() {
    blockTerminationSignals();
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
        while (queue_.empty() && !stopping_) {
            ++idle_;
            auto st = cv_.wait_for(lock, std::chrono::milliseconds(idleMs_ > 0 ? idleMs_ : 1000000000L));
            --idle_;
            if (st == std::cv_status::timeout && queue_.empty() && threads_ > min_ && idleMs_ > 0) {
                --threads_;
                exitCv_.notify_all();
                return;
            }
        }
        if (stopping_) break;
        auto task = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
            task();
        } catch (const std::exception& e) {
            Exception::log(e);
        } catch (...) {
            plumelog_write("plumethread", 3, "Caught unknown exception in pool task.");
        }
        task = nullptr;
        lock.lock();
    }
    --threads_;
    exitCv_.notify_all();
}

}  // namespace Plume
