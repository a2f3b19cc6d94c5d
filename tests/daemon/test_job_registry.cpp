#include "JobFixture.h"

#include <future>
#include <vector>

using namespace jobtest;
using Xadra::executeJob;

// ---------------------------------------------------------------- helpers

TEST(JobHelpers, ReplaceExtensionOnlyForShortTrailingExtensions) {
    EXPECT_EQ(Xadra::replaceExtension("plan.plt", ".png"), "plan.png");
    EXPECT_EQ(Xadra::replaceExtension("dir.d/plan", ".png"), "dir.d/plan");
    EXPECT_EQ(Xadra::replaceExtension("plan", ".png"), "plan");
    EXPECT_EQ(Xadra::replaceExtension("archive.backup1", ".png"), "archive.backup1");
    EXPECT_EQ(Xadra::replaceExtension("a.b", ".png"), "a.png");
    EXPECT_EQ(Xadra::replaceExtension("x.hpgl", ".bbox"), "x.bbox");
    EXPECT_EQ(Xadra::replaceExtension("", ".png"), "");
}

TEST(JobHelpers, ParseColorReadsHashRgbElseRed) {
    auto c = Xadra::parseColor(std::string("#ff8000"));
    EXPECT_DOUBLE_EQ(c.r, 1.0);
    EXPECT_NEAR(c.g, 0.50196, 1e-5);
    EXPECT_DOUBLE_EQ(c.b, 0.0);
    for (const char* bad : {"ff8000", "#ff80", "red", ""}) {
        auto d = Xadra::parseColor(std::string(bad));
        EXPECT_EQ(d.r, 1.0) << bad;
        EXPECT_EQ(d.g, 0.0) << bad;
        EXPECT_EQ(d.b, 0.0) << bad;
    }
    auto n = Xadra::parseColor(ObjPtr<Plume::String>());
    EXPECT_EQ(n.r, 1.0);
    EXPECT_EQ(n.g, 0.0);
}

TEST(JobHelpers, AnnotationKeyListsOnlyAnnotationsWithDocuments) {
    auto list = Plume::List::newInstance();
    auto a = Annotation::newInstance();
    a->setTitle("red notes");
    a->setFdf(Plume::makeObj<TestStream>("fdf", "u1.fdf", 1234567890.125));
    list->add(a);
    auto noDoc = Annotation::newInstance();
    noDoc->setTitle("ignored");
    list->add(noDoc);
    list->add(Plume::String::newInstance("not an annotation"));
    list->add(nullptr);
    std::ostringstream s;
    s << 150.0 << "dpi";
    Xadra::appendAnnotationKey(s, list);
    EXPECT_EQ(s.str(), "150dpi;red notes:u1.fdf:pretty u1.fdf:1234567890.125");
    std::ostringstream none;
    Xadra::appendAnnotationKey(none, nullptr);
    EXPECT_EQ(none.str(), "");
}

// -------------------------------------------------------------- the pool

TEST_F(JobTest, SetNWorkersTwiceIsRefused) {
    try {
        Xadra::setNWorkers(3);
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_STREQ(e.what(), "RendererJob::setNWorkers called multiple times.");
    }
    EXPECT_EQ(Xadra::getNWorkers(), 2u);
}

TEST_F(JobTest, ResultIsCachedUnderTheJobIdentityAndServedAgainWithoutRun) {
    auto in = newStream("PU0,0;", "plan.plt");
    auto e = request(in, "t1");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "t1|PU0,0;");
    EXPECT_EQ(e->getOutputUniqueName(), "plan.txt");
    EXPECT_EQ(e->getOutputPrettyName(), "pretty plan.txt");
    EXPECT_EQ(e->getMimeType(), "text/plain");
    EXPECT_EQ(g_renders, 1);
    auto again = request(in, "t1");
    EXPECT_EQ(again->getDataFilePath(), e->getDataFilePath());
    EXPECT_EQ(g_renders, 1);
    EXPECT_EQ(Xadra::getRunningJobCount(), 0u);
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, BusySingleWorkerRefusesAnotherRequestAtOnce) {
    restartPool(1);
    auto in = newStream("x", "busy.plt");
    auto first = std::async(std::launch::async, [&] { return request(in, "slow", {.sleepMs = 600}); });
    while (g_renders == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto start = std::chrono::steady_clock::now();
    auto t = thrownBy([&] { request(in, "other"); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    auto timeout = Plume::objCast<Timeout>(t);
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->getDetailMessage(), "Too many concurrent renderer requests.");
    EXPECT_EQ(timeout->getTimeout(), 10);
    EXPECT_EQ(countLog("busy.plt(other;): Too many concurrent requests (max workers 1)."), 1u);
    EXPECT_TRUE(first.get());
}

TEST_F(JobTest, IdenticalRequestsJoinOneJobAndGetOneEntry) {
    auto in = newStream("x", "join.plt");
    std::vector<std::future<ObjPtr<Xadra::HPGSRendererCacheEntry>>> results;
    for (int i = 0; i < 6; ++i)
        results.push_back(std::async(std::launch::async, [&] { return request(in, "same", {.sleepMs = 300}); }));
    std::string path;
    for (auto& r : results) {
        auto e = r.get();
        ASSERT_TRUE(e);
        if (path.empty()) path = e->getDataFilePath();
        EXPECT_EQ(e->getDataFilePath(), path);
    }
    EXPECT_EQ(g_renders, 1);
    EXPECT_EQ(cache_->getEntryCount(), 2u);  // the downloaded input and the result
}

TEST_F(JobTest, SlowRenderTimesOutButFinishesForTheRepeat) {
    Xadra::Settings::setRenderTimeout(1);
    auto in = newStream("x", "slow.plt");
    auto t = thrownBy([&] { request(in, "slow", {.sleepMs = 1500}); });
    auto timeout = Plume::objCast<Timeout>(t);
    ASSERT_TRUE(timeout);
    EXPECT_EQ(timeout->getDetailMessage(), "Job timed out, try again to obtain result.");
    EXPECT_EQ(timeout->getTimeout(), 1);
    // The job goes on; the repeat joins it or finds its result.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    ObjPtr<Xadra::HPGSRendererCacheEntry> e;
    while (!e && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        try {
            e = request(in, "slow", {.sleepMs = 1500});
        } catch (const Plume::ThrowableException&) {
        }
    }
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "slow|x");
    EXPECT_EQ(g_renders, 1);
}

TEST_F(JobTest, FailureIsHeldForTheHoldTimeoutAndRunsAgainAfterPurge) {
    auto in = newStream("x", "bad.plt");
    auto t1 = Plume::objCast<HPGSError>(thrownBy([&] { request(in, "bad", {.fail = true}); }));
    ASSERT_TRUE(t1);
    EXPECT_EQ(t1->getDetailMessage(), "Copy failed for bad.");
    EXPECT_EQ(countLog("bad.plt(bad;): hpgs error: Copy failed for bad.."), 1u);
    auto t2 = Plume::objCast<HPGSError>(thrownBy([&] { request(in, "bad", {.fail = true}); }));
    ASSERT_TRUE(t2);
    EXPECT_EQ(t2.get(), t1.get());
    EXPECT_EQ(g_renders, 1);
    Xadra::purgeFinishedJobs();  // within the hold time-out: kept
    EXPECT_EQ(Xadra::getRunningJobCount(), 1u);
    Xadra::Settings::setHoldTimeout(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Xadra::purgeFinishedJobs();
    EXPECT_EQ(Xadra::getRunningJobCount(), 0u);
    EXPECT_TRUE(thrownBy([&] { request(in, "bad", {.fail = true}); }));
    EXPECT_EQ(g_renders, 2);
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, OutdatedEntryIsRenderedAgainWithinToleranceReused) {
    auto e1 = request(newStream("old", "ts.plt", 100.0), "t");
    EXPECT_EQ(readFile(e1->getDataFilePath()), "t|old");
    auto same = request(newStream("new", "ts.plt", 100.005), "t");
    EXPECT_EQ(readFile(same->getDataFilePath()), "t|old");
    EXPECT_EQ(countLog("found outdated preview."), 0u);
    auto e2 = request(newStream("new", "ts.plt", 100.02), "t");
    EXPECT_EQ(readFile(e2->getDataFilePath()), "t|new");
    EXPECT_DOUBLE_EQ(e2->getInputTimestamp(), 100.02);
    EXPECT_GE(countLog("ts.plt(t;): found outdated preview."), 1u);
}

TEST_F(JobTest, FailureOfAnOlderInputIsNotReportedForANewerOne) {
    EXPECT_TRUE(thrownBy([&] { request(newStream("x", "v.plt", 100.0), "t", {.fail = true}); }));
    auto e = request(newStream("y", "v.plt", 200.0), "t", {.fail = false});
    EXPECT_EQ(readFile(e->getDataFilePath()), "t|y");
}

TEST_F(JobTest, JobEndingWithoutResultFailsInsteadOfHanging) {
    auto t = Plume::objCast<IOError>(thrownBy([&] { request(newStream("x", "n.plt"), "t", {.noState = true}); }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(), "Application error: job ended without saving file to cache.");
}

TEST_F(JobTest, AnnotationInputsAreCopiedPerPositionAndInvalidAccessIsRefused) {
    auto list = Plume::List::newInstance();
    auto a = Annotation::newInstance();
    a->setFdf(Plume::makeObj<TestStream>("%FDF-1.2", "n.fdf", 5.0, "application/vnd.fdf"));
    list->add(a);
    auto job = Plume::makeObj<CopyJob>(newStream("x", "ann.plt"), "t", CopyOptions{}, list);
    Plume::Mutex m;
    job->prepareInputs(m);
    auto holder = Xadra::getAnnotationInput(*job, 0);
    ASSERT_TRUE(holder);
    EXPECT_EQ(readFile(holder->getFileName()), "%FDF-1.2");
    EXPECT_EQ(holder->getMimeType(), "application/vnd.fdf");
    auto err = Plume::objCast<IOError>(thrownBy([&] { Xadra::getAnnotationInput(*job, 1); }));
    ASSERT_TRUE(err);
    EXPECT_EQ(err->getDetailMessage(), "Invalid access to annotation data.");
    const std::string file = holder->getFileName();
    holder.reset();
    job->releaseInputs();
    EXPECT_FALSE(fs::exists(file));
}

// An entry without an FDF document (or not an annotation at all) before a
// real one must not shift the real one's document to its position.
TEST_F(JobTest, AnnotationInputsStayAtTheirPositionsPastEntriesWithoutDocuments) {
    auto list = Plume::List::newInstance();
    list->add(Annotation::newInstance());  // no FDF document
    list->add(Plume::String::newInstance("not an annotation"));
    auto a = Annotation::newInstance();
    a->setFdf(Plume::makeObj<TestStream>("%FDF-third", "third.fdf", 5.0, "application/vnd.fdf"));
    list->add(a);
    auto job = Plume::makeObj<CopyJob>(newStream("x", "gaps.plt"), "t", CopyOptions{}, list);
    Plume::Mutex m;
    job->prepareInputs(m);
    EXPECT_FALSE(Xadra::getAnnotationInput(*job, 0));
    EXPECT_FALSE(Xadra::getAnnotationInput(*job, 1));
    auto third = Xadra::getAnnotationInput(*job, 2);
    ASSERT_TRUE(third);
    EXPECT_EQ(readFile(third->getFileName()), "%FDF-third");
    third.reset();
    job->releaseInputs();
}

// ------------------------------------------------------------- shutdown

TEST_F(JobTest, StopWithoutHangupInterruptsALongRenderPromptly) {
    auto in = newStream("x", "long.plt");
    auto pending = std::async(std::launch::async, [&] { return thrownBy([&] { request(in, "long", {.sleepMs = 20000}); }); });
    while (g_renders == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto start = std::chrono::steady_clock::now();
    Xadra::stopWorkers();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(Xadra::getNWorkers(), 0u);
    EXPECT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(pending.get());
    EXPECT_EQ(countLog("Interrupting worker [0] upon shutdown..."), 1u);
    EXPECT_EQ(countLog("Worker [1] has finished."), 1u);
    // A new pool can be made after the stop.
    restartPool(1);
    EXPECT_TRUE(request(in, "after"));
}

TEST_F(JobTest, HpgsReaderRegisteredAfterTheInterruptIsInterruptedToo) {
    auto job = Plume::makeObj<CopyJob>(newStream("x", "r.plt"), "t", CopyOptions{});
    Plume::Mutex m;
    job->interrupt(m);
    std::string big;
    for (int i = 0; i < 20000; ++i) big += "PD" + std::to_string(i % 1000) + "," + std::to_string(i % 700) + ";";
    hpgs_istream* is = hpgs_new_mem_istream(big.data(), big.size(), HPGS_TRUE);
    hpgs_reader* reader = Xadra::setReader(
        *job, m, hpgs::UniqueReader(hpgs_new_reader(is, hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE), HPGS_FALSE, 0)));
    ASSERT_NE(reader, nullptr);
    EXPECT_NE(hpgs_read(reader, HPGS_TRUE), 0);
    EXPECT_STREQ(hpgs_get_error(), "Interrupted.");
    Xadra::clearReader(*job, m);  // destroys it
}

TEST_F(JobTest, RequestBeforeTheWorkersStartIsRefused) {
    Xadra::stopWorkers();
    Xadra::setNWorkers(1);  // not started
    auto t = Plume::objCast<Timeout>(thrownBy([&] { request(newStream("x", "ns.plt"), "t"); }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(), "Too many concurrent renderer requests.");
}

TEST_F(JobTest, SequentialRequestsOnOneWorkerAreNeverRefusedAsBusy) {
    // The request returns when its job is cached, possibly before the worker
    // thread has left the job; the next request must still find it idle.
    restartPool(1);
    auto in = newStream("x", "seq.plt");
    for (int i = 0; i < 300; ++i) {
        auto t = thrownBy([&] { request(in, "s" + std::to_string(i)); });
        ASSERT_FALSE(t) << i << ": " << t->toString();
    }
    EXPECT_EQ(countLog("Too many concurrent requests"), 0u);
}
