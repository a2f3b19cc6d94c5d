#include "plume/Exception.h"
#include "plume/System.h"
#include "plume/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <pthread.h>
#include <thread>

using namespace Plume;

TEST(ThreadPool, RunsTasksConcurrentlyUpToTheMaximum) {
    auto pool = ThreadPool::newInstance(1, 4, 0, 30000);
    pool->start();
    std::atomic<int> running{0}, peak{0}, done{0};
    for (int i = 0; i < 12; ++i)
        pool->execute([&] {
            int now = ++running;
            int p = peak.load();
            while (now > p && !peak.compare_exchange_weak(p, now)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            --running;
            ++done;
        });
    for (int i = 0; i < 300 && done.load() < 12; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(done.load(), 12);
    EXPECT_EQ(peak.load(), 4);
    EXPECT_LE(pool->getThreadCount(), 4u);
    pool->stop();
    EXPECT_EQ(pool->getThreadCount(), 0u);
    EXPECT_THROW(pool->execute([] {}), Exception);
}

TEST(ThreadPool, BoundedQueueRefusesExcessTasks) {
    auto pool = ThreadPool::newInstance(1, 1, 1, 30000);
    pool->start();
    std::atomic<bool> release{false};
    pool->execute([&] {
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pool->execute([] {});
    EXPECT_THROW(pool->execute([] {}), Exception);
    release = true;
    pool->stop();
}

TEST(ThreadPool, IdleThreadsAboveMinimumEnd) {
    auto pool = ThreadPool::newInstance(1, 3, 0, 50);
    pool->start();
    std::atomic<int> done{0};
    for (int i = 0; i < 3; ++i)
        pool->execute([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++done;
        });
    for (int i = 0; i < 100 && pool->getThreadCount() > 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(done.load(), 3);
    EXPECT_EQ(pool->getThreadCount(), 1u);
}

TEST(WaitCondition, TimedWaitTimesOutAndWakes) {
    Mutex m;
    WaitCondition cv;
    MutexLock lock(m);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(cv.timedWait(m, 30));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(25));
    bool flag = false;
    std::thread t([&] {
        MutexLock l(m);
        flag = true;
        cv.broadcast();
    });
    while (!flag) cv.timedWait(m, 1000);
    EXPECT_TRUE(flag);
    m.unlock();
    t.join();
    m.lock();
}

namespace {
struct StoppableRunnable : Runnable {
    std::atomic<bool> stop{false};
    std::atomic<int> sig{0};
    void run() override {
        while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void onSignal(int s) override {
        sig = s;
        stop = true;
    }
};
struct ThrowingRunnable : Runnable {
    void run() override { throw Exception(4, 7, "expected test failure inside a thread"); }
};
}  // namespace

TEST(Thread, KillReachesTheRunnableAndJoinWaits) {
    auto r = makeObj<StoppableRunnable>();
    auto t = Thread::newInstance(r);
    t->start();
    EXPECT_TRUE(t->isAlive());
    EXPECT_THROW(t->start(), Exception);
    t->kill(15);
    t->join();
    EXPECT_FALSE(t->isAlive());
    EXPECT_EQ(r->sig.load(), 15);
}

TEST(Thread, ExceptionEndsOnlyThatThread) {
    auto t = Thread::newInstance(makeObj<ThrowingRunnable>());
    t->start();
    t->join();
    EXPECT_FALSE(t->isAlive());
}

TEST(Signals, InterruptMakesSleepReportInterrupt) {
    installSignalHandlers();
    pthread_t self = pthread_self();
    std::thread t([self] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(self, SIGINT);
    });
    bool interrupted = false;
    try {
        Thread::msleep(5000);
    } catch (const CException& e) {
        interrupted = e.isInterrupt();
    }
    t.join();
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(getHupSignalCatched());
}

TEST(Signals, HangUpAndTerminateRequestShutdown) {
    installSignalHandlers();
    resetHupSignalCatched();
    raise(SIGHUP);
    EXPECT_TRUE(getHupSignalCatched());
    resetHupSignalCatched();
    raise(SIGTERM);
    EXPECT_TRUE(getHupSignalCatched());
    resetHupSignalCatched();
}
