// The run sequence every job shares: what escapes a job's steps becomes its
// recorded error, and nothing a job does takes its worker down.
#include "JobFixture.h"

using namespace jobtest;

namespace {

// The error a request for a job with these options gets.
ObjPtr<Plume::Throwable> failureOf(const std::string& name, CopyOptions o) {
    return thrownBy([&] { request(newStream("data", name), "tag of " + name, o); });
}

}  // namespace

TEST_F(JobTest, WhatEscapesTheStepsBecomesTheRecordedError) {
    // A remote error keeps its own type and text.
    auto remote = failureOf("remote.plt", {.renderThrows = 1});
    ASSERT_TRUE(Plume::objCast<IOError>(remote));
    EXPECT_EQ(remote->getDetailMessage(), "Input of tag of remote.plt vanished.");
    // A standard exception becomes an IOError with its text.
    auto local = failureOf("local.plt", {.renderThrows = 2});
    ASSERT_TRUE(Plume::objCast<IOError>(local));
    EXPECT_EQ(local->getDetailMessage(), "render of tag of local.plt ran out of luck");
    // Anything else is reported without guessing.
    auto other = failureOf("other.plt", {.renderThrows = 3});
    ASSERT_TRUE(Plume::objCast<IOError>(other));
    EXPECT_EQ(other->getDetailMessage(), "Caught unknown exception.");
    // An hpgs failure is an HPGSError with hpgs's text.
    auto hpgs = failureOf("hpgs.plt", {.fail = true});
    ASSERT_TRUE(Plume::objCast<HPGSError>(hpgs));
    EXPECT_EQ(hpgs->getDetailMessage(), "Copy failed for tag of hpgs.plt.");

    // Each is logged once, naming the job, and no job file is left behind.
    EXPECT_EQ(countLog("remote.plt(tag of remote.plt;): Throwable: "), 1u) << log();
    EXPECT_EQ(countLog("local.plt(tag of local.plt;): render of tag of local.plt ran out of luck"), 1u) << log();
    EXPECT_EQ(countLog("other.plt(tag of other.plt;): Caught unknown exception."), 1u) << log();
    EXPECT_EQ(countLog("hpgs.plt(tag of hpgs.plt;): hpgs error: Copy failed for tag of hpgs.plt.."), 1u) << log();
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, DownloadFailuresAreRecordedAndLoggedWithoutPrefix) {
    auto in = newStream(std::string(20000, 'x'), "cut.plt");
    in->failAfter = 2;
    auto t = Plume::objCast<IOError>(thrownBy([&] { Xadra::downloadInput(in, nullptr, nullptr); }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(), "Connection to the client lost.");
    EXPECT_EQ(countLog("cut.plt(cut.plt;): xad.preview.api.IOError: Connection to the client lost."), 1u) << log();
    EXPECT_EQ(countLog("Throwable: "), 0u) << log();
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, AJobThatThrowsOutOfItsRunDoesNotTakeItsWorkerDown) {
    restartPool(1);
    for (int i = 0; i < 3; ++i) {
        const std::string name = "throw" + std::to_string(i) + ".plt";
        auto t = Plume::objCast<IOError>(failureOf(name, {.runThrows = true}));
        ASSERT_TRUE(t) << i;
        EXPECT_EQ(t->getDetailMessage(), "run of tag of " + name + " gave up");
    }
    // The only worker still serves, and the status report has nothing to say
    // about workers.
    auto e = request(newStream("still here", "after.plt"), "after");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "after|still here");
    std::ostringstream report;
    Xadra::printWorkerReport(report);
    EXPECT_EQ(report.str(), "");
    EXPECT_EQ(countLog("ended unexpectedly"), 0u) << log();
}

// An input whose unique name is the tag of the job that needs it has the
// identity of that job's download: the download must not wait for its own
// parent (which held the worker for good).
TEST_F(JobTest, AnInputNamedLikeItsJobFailsInsteadOfWaitingForItself) {
    restartPool(1);
    auto t = Plume::objCast<IOError>(thrownBy([&] { request(newStream("data", "bbox"), "bbox"); }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(),
              "Input bbox cannot be fetched: its name is the identity of the job that needs it.");
    // The worker is free again.
    auto e = request(newStream("more", "other.plt"), "next");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "next|more");
}
