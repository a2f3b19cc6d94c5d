#include "JobFixture.h"

#include <future>
#include <vector>

using namespace jobtest;

namespace {

std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7) % 26);
    return s;
}

}  // namespace

TEST_F(JobTest, StreamCopyReadsBlocksUpToTheSize) {
    auto in = newStream(pattern(10000), "c.plt");
    auto holder = Plume::makeObj<Xadra::HPGSMimeStreamDataHolder>(in);
    holder->fetch(3, 1, nullptr, nullptr);
    EXPECT_EQ(holder->getFileName(), base_ + "/jobs/job_0003_0001");
    EXPECT_EQ(readFile(holder->getFileName()), pattern(10000));
    EXPECT_EQ(holder->getMimeType(), "image/hpgl");
    EXPECT_EQ(in->reads, 3);  // 4096 + 4096 + 1808: the size ends the copy
    holder->fetch(3, 1, nullptr, nullptr);  // already fetched
    EXPECT_EQ(in->reads, 3);
    const std::string file = holder->getFileName();
    holder.reset();
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(JobTest, EmptyStreamGivesEmptyFileWithoutReads) {
    auto in = newStream("", "e.plt");
    auto holder = Plume::makeObj<Xadra::HPGSMimeStreamDataHolder>(in);
    holder->fetch(0, -1, nullptr, nullptr);
    EXPECT_EQ(holder->getFileName(), base_ + "/jobs/job_0000");
    EXPECT_EQ(fs::file_size(holder->getFileName()), 0u);
    EXPECT_EQ(in->reads, 0);
}

TEST_F(JobTest, StreamEndingEarlyGivesShorterFileWithoutError) {
    auto in = newStream(pattern(5000), "short.plt");
    in->claimSize(100000);
    auto holder = Plume::makeObj<Xadra::HPGSMimeStreamDataHolder>(in);
    holder->fetch(1, 2, nullptr, nullptr);
    EXPECT_EQ(readFile(holder->getFileName()), pattern(5000));
    EXPECT_EQ(in->reads, 3);  // the empty block ends it
}

TEST_F(JobTest, FailingStreamLeavesNoPartialFile) {
    auto in = newStream(pattern(20000), "lost.plt");
    in->failAfter = 3;
    auto holder = Plume::makeObj<Xadra::HPGSMimeStreamDataHolder>(in);
    auto t = Plume::objCast<IOError>(thrownBy([&] { holder->fetch(2, 1, nullptr, nullptr); }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(), "Connection to the client lost.");
    EXPECT_EQ(holder->getFileName(), "");
    EXPECT_FALSE(fs::exists(base_ + "/jobs/job_0002_0001"));
    // Through a job: the requester receives the stream's error.
    auto t2 = Plume::objCast<IOError>(thrownBy([&] { request(in, "t"); }));
    ASSERT_TRUE(t2);
    EXPECT_EQ(t2->getDetailMessage(), "Connection to the client lost.");
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, UnwritableJobsDirectoryFailsTheJobWithTheFileName) {
    // A file in place of the jobs directory: refused for root, too.
    fs::remove_all(base_ + "/jobs");
    std::ofstream(base_ + "/jobs") << "in the way";
    auto t = Plume::objCast<IOError>(thrownBy([&] { request(newStream("x", "ro.plt"), "t"); }));
    fs::remove(base_ + "/jobs");
    fs::create_directory(base_ + "/jobs");
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage().rfind("Cannot open temporary file " + base_ + "/jobs/job_000", 0), 0u)
        << t->getDetailMessage();
    EXPECT_NE(t->getDetailMessage().find("Not a directory"), std::string::npos);
}

TEST_F(JobTest, NoRemoveKeepsAnnotationFilesAndLogsEach) {
    cache_->setRemoveJobFiles(false);
    auto list = Plume::List::newInstance();
    for (int i = 0; i < 2; ++i) {
        auto a = Annotation::newInstance();
        a->setFdf(Plume::makeObj<TestStream>("%FDF " + std::to_string(i), "a" + std::to_string(i) + ".fdf", 1.0,
                                             "application/vnd.fdf"));
        list->add(a);
    }
    auto e = request(newStream("x", "keep.plt"), "t", {}, list);
    ASSERT_TRUE(e);
    for (int k = 1; k <= 2; ++k) {
        char name[32];
        std::snprintf(name, sizeof name, "job_%04d_%04d", 0, k);
        // Worker 0 or 1 ran it; exactly one of them holds the two files.
        std::string f0 = base_ + "/jobs/" + name;
        std::snprintf(name, sizeof name, "job_%04d_%04d", 1, k);
        std::string f1 = base_ + "/jobs/" + name;
        EXPECT_TRUE(fs::exists(f0) != fs::exists(f1)) << k;
        const std::string& kept = fs::exists(f0) ? f0 : f1;
        EXPECT_EQ(readFile(kept), "%FDF " + std::to_string(k - 1));
        EXPECT_EQ(countLog("Keeping job file " + kept + ", because --no-remove has been specifed."), 1u);
    }
}

TEST_F(JobTest, DownloadHappensOncePerInputAcrossDifferentRequests) {
    auto in = newStream(pattern(50000), "shared.plt");
    in->delayMs = 20;  // keeps the first download running while the second request comes
    auto a = std::async(std::launch::async, [&] { return request(in, "a"); });
    auto b = std::async(std::launch::async, [&] { return request(in, "b"); });
    EXPECT_EQ(readFile(a.get()->getDataFilePath()), "a|" + pattern(50000));
    EXPECT_EQ(readFile(b.get()->getDataFilePath()), "b|" + pattern(50000));
    EXPECT_EQ(in->reads, 13);  // ceil(50000 / 4096)
    // A later request finds the cached copy and never reads the stream.
    EXPECT_TRUE(request(in, "c"));
    EXPECT_EQ(in->reads, 13);
    auto dl = cache_->lookup("shared.plt", "shared.plt", "");
    ASSERT_TRUE(dl);
    EXPECT_EQ(dl->getMimeType(), "image/hpgl");
    EXPECT_EQ(dl->getOutputPrettyName(), "pretty shared.plt");
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(JobTest, DownloadWithoutParentRunsOnAWorker) {
    auto in = newStream(pattern(100), "direct.plt");
    auto e = Xadra::downloadInput(in, nullptr, nullptr);
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), pattern(100));
    EXPECT_EQ(e->getInputUniqueTag(), "direct.plt");
    EXPECT_EQ(e->getStamp(), "");
}

TEST_F(JobTest, CacheEntryHolderPointsAtTheEntryAndNeverRemovesIt) {
    auto e = Xadra::downloadInput(newStream("abc", "ce.plt"), nullptr, nullptr);
    {
        auto h = Plume::makeObj<Xadra::HPGSRendererCacheEntryDataHolder>(e);
        EXPECT_EQ(h->getFileName(), e->getDataFilePath());
        EXPECT_EQ(h->getMimeType(), "image/hpgl");
        hpgs::UniqueIstream is = h->openHpgsStream();
        ASSERT_NE(is, nullptr);
        EXPECT_EQ(hpgs_getc(is.get()), 'a');
    }
    EXPECT_TRUE(fs::exists(e->getDataFilePath()));
}

TEST_F(JobTest, OpeningAMissingFileNamesIt) {
    auto h = Plume::makeObj<Xadra::HPGSFileDataHolder>(base_ + "/nothing", "image/hpgl", false);
    try {
        h->openHpgsStream();
        FAIL() << "no exception";
    } catch (const Plume::CException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("could not open file " + base_ + "/nothing for reading", 0), 0u);
    }
}
