// Threads, locks and a bounded thread pool on top of the standard library.
//
// Framework threads block the process's termination signals (SIGHUP, SIGTERM,
// SIGINT), so those reach the main thread, which installSignalHandlers() set up.
#pragma once

#include "Object.h"
#include "ThreadAnnotations.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace Plume {

// A mutex the thread-safety analysis knows (ThreadAnnotations.h): members
// say GUARDED_BY(m), functions REQUIRES(m) or EXCLUDES(m).
class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { m_.lock(); }
    void unlock() RELEASE() { m_.unlock(); }
    bool try_lock() TRY_ACQUIRE(true) { return m_.try_lock(); }
    // Tells the analysis that the calling thread holds the mutex (for code
    // it cannot follow, such as a lock taken by a caller through a pointer).
    void assertHeld() const ASSERT_CAPABILITY(this) {}
    std::mutex& native() { return m_; }

private:
    std::mutex m_;
    friend class WaitCondition;
};

// Scoped lock of a Mutex.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~MutexLock() RELEASE() { m_.unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

private:
    Mutex& m_;
};

// Scoped lock that can be given up and taken again before its end (as
// std::unique_lock), for code that must not hold the lock across a call.
class SCOPED_CAPABILITY ReleasableMutexLock {
public:
    explicit ReleasableMutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
    ~ReleasableMutexLock() RELEASE() {
        if (held_) m_.unlock();
    }
    void unlock() RELEASE() {
        m_.unlock();
        held_ = false;
    }
    void lock() ACQUIRE() {
        m_.lock();
        held_ = true;
    }
    ReleasableMutexLock(const ReleasableMutexLock&) = delete;
    ReleasableMutexLock& operator=(const ReleasableMutexLock&) = delete;

private:
    Mutex& m_;
    bool held_ = true;
};

// A condition variable used with a locked Mutex. wait and timedWait release the
// mutex while blocked and hold it again on return; spurious wake-ups are
// possible, so callers re-check their predicate.
class WaitCondition {
public:
    void wait(Mutex& m) REQUIRES(m);
    // Returns false when the time ran out.
    bool timedWait(Mutex& m, long ms) REQUIRES(m);
    // Waits until woken or the time point passes; false when it passed.
    // (Loops re-check their predicate in their own code, where the analysis
    // sees the lock held.)
    template <class Clock, class Duration>
    bool waitUntil(Mutex& m, const std::chrono::time_point<Clock, Duration>& until) REQUIRES(m) {
        std::unique_lock<std::mutex> lk(m.m_, std::adopt_lock);
        const auto st = cv_.wait_until(lk, until);
        lk.release();
        return st == std::cv_status::no_timeout;
    }
    void signal() { cv_.notify_one(); }
    void broadcast() { cv_.notify_all(); }

private:
    std::condition_variable cv_;
};

class Runnable : public virtual Object {
public:
    virtual void run() = 0;
    // Called by Thread::kill; the default does nothing. Runnables that block in
    // their own waits override it to wake up and end.
    virtual void onSignal(int sig);
};

// A thread over a Runnable. The thread keeps a reference to the runnable while
// it runs. Exceptions that leave run() are logged and end the thread.
class Thread : public virtual Object {
public:
    static ObjPtr<Thread> newInstance(const ObjPtr<Runnable>& runnable);
    ~Thread() override;

    // Throws Plume::Exception when started twice.
    void start();
    // Waits for the thread; a thread never started returns at once.
    void join();
    bool isAlive() const { return alive_.load(); }
    // Delivers a stop request: calls the runnable's onSignal(sig).
    void kill(int sig);
    const ObjPtr<Runnable>& getRunnable() const { return runnable_; }

    // Sleeps; throws CException with EINTR (isInterrupt) when a signal handled
    // by this process interrupts the sleep in the main thread.
    static void msleep(long ms);

    explicit Thread(const ObjPtr<Runnable>& runnable) : runnable_(runnable) {}

private:
    ObjPtr<Runnable> runnable_;
    std::thread thread_;
    std::atomic<bool> alive_{false};
    std::atomic<bool> started_{false};
    std::mutex joinMutex_;
};

// Runs tasks on between minThreads and maxThreads threads. Tasks beyond the
// busy threads wait in a queue of at most maxQueued entries (0: unbounded);
// idle threads above the minimum end after idleMs. Thread-safe.
class ThreadPool : public virtual Object {
public:
    static ObjPtr<ThreadPool> newInstance(unsigned minThreads, unsigned maxThreads, unsigned maxQueued, long idleMs);
    ThreadPool(unsigned minThreads, unsigned maxThreads, unsigned maxQueued, long idleMs);
    ~ThreadPool() override;

    void start();
    // Finishes the running tasks, drops the queued ones and joins every thread.
    void stop();
    // Queues a task; throws Plume::Exception when the pool is stopped or the
    // queue is full.
    void execute(std::function<void()> task);
    // Starts a task only when a thread can take it at once (an idle thread, or
    // a new one below the maximum); returns false otherwise, never queues.
    bool tryExecuteNow(std::function<void()> task);
    unsigned getThreadCount() const;

private:
    void workerLoop();

    unsigned min_, max_, maxQueued_;
    long idleMs_;
    mutable std::mutex m_;
    std::condition_variable cv_;
    std::condition_variable exitCv_;
    std::deque<std::function<void()>> queue_;
    unsigned threads_ = 0, idle_ = 0;
    bool started_ = false, stopping_ = false;
};

// Blocks the termination signals in the calling thread.
void blockTerminationSignals();

}  // namespace Plume
