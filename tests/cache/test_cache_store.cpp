#include "CacheFixture.h"

#include "plume/Exception.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace Xadra;

TEST_F(CacheTest, InitialiseCreatesBaseCacheAndJobsDirectories) {
    std::string base = base_ + "/nested";
    Cache c;
    c.initialise(10, base);
    EXPECT_EQ(c.getBaseDir(), base + "/");
    EXPECT_EQ(c.getCacheDir(), base + "/cache/");
    EXPECT_EQ(c.getJobsDir(), base + "/jobs/");
    EXPECT_TRUE(fs::is_directory(base + "/cache"));
    EXPECT_TRUE(fs::is_directory(base + "/jobs"));
    struct stat st;
    ASSERT_EQ(::stat((base + "/jobs").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777 & ~0770u, 0u);
    EXPECT_EQ(countLog("Created cache directory " + base + "/cache/."), 1u);
    EXPECT_DOUBLE_EQ(c.getMaxMBytes(), 10.0);
}

TEST_F(CacheTest, InitialiseRefusesAFileWhereADirectoryBelongs) {
    writeFile(base_ + "/plain", "x");
    Cache c;
    try {
        c.initialise(10, base_ + "/plain");
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_EQ(std::string(e.what()), "Cache directory " + base_ + "/plain/ is no directory.");
    }
    EXPECT_THROW(c.initialise(10, ""), Plume::Exception);
    EXPECT_THROW(c.initialise(-1, base_), Plume::Exception);
}

TEST_F(CacheTest, UninitialisedCacheRefusesToStoreOrScan) {
    Cache c;
    std::string job = writeFile(cache_->getJobFileName(0), "x");
    EXPECT_THROW(c.store("a", "a", "t", "", 1, job, "u", "p", "m"), Plume::Exception);
    EXPECT_THROW(c.startInitializer(), Plume::Exception);
    EXPECT_TRUE(exists(job));
    EXPECT_FALSE(c.lookup("a", "t", ""));
}

TEST_F(CacheTest, JobFileNamesArePaddedToFourDigits) {
    EXPECT_EQ(cache_->getJobFileName(7), cache_->getJobsDir() + "job_0007");
    EXPECT_EQ(cache_->getJobFileName(12345), cache_->getJobsDir() + "job_12345");
    EXPECT_EQ(cache_->getSubJobFileName(3, 12), cache_->getJobsDir() + "job_0003_0012");
}

TEST_F(CacheTest, JobFilesAreRemovedOnlyWhenRemovalIsEnabled) {
    std::string job = writeFile(cache_->getJobFileName(1), "data");
    cache_->setRemoveJobFiles(false);
    cache_->removeJobFile(job);
    EXPECT_TRUE(exists(job));
    EXPECT_EQ(countLog("Keeping job file " + job + ", because --no-remove has been specifed."), 1u);
    cache_->setRemoveJobFiles(true);
    cache_->removeJobFile(job);
    EXPECT_FALSE(exists(job));
    cache_->removeJobFile(job);  // already gone: quietly nothing
}

TEST_F(CacheTest, StoredResultIsFoundWithItsFilesAndManifest) {
    double now = 1700000000.25;
    cache_->setClock([&] { return now; });
    std::string job = writeFile(cache_->getJobFileName(2), std::string(3000, 'x'));
    EntryPtr e = cache_->store("drawing.plt", "Drawing", "150dpi,antialias,0deg", "", 1234.5, job, "drawing.png",
                               "Drawing.png", "image/png");
    ASSERT_TRUE(e);
    EXPECT_FALSE(exists(job));
    const std::string dir = cache_->getCacheDir() + "ba/";
    EXPECT_EQ(e->getDataFilePath(), dir + "4e9261012ac8530a_6553f100");
    EXPECT_EQ(e->getManifestPath(), dir + "4e9261012ac8530a.manifest");
    EXPECT_EQ(readFile(e->getDataFilePath()), std::string(3000, 'x'));
    EXPECT_EQ(e->getSize(), 3000u);
    EXPECT_DOUBLE_EQ(e->getModificationTime(), now);
    EXPECT_EQ(readFile(e->getManifestPath()),
              "input_unique_name=drawing.plt\ninput_pretty_name=Drawing\ninput_unique_tag=150dpi,antialias,0deg\n"
              "input_timestamp=1234.5\nstamp=\noutput_unique_name=drawing.png\noutput_pretty_name=Drawing.png\n"
              "mime_type=image/png\ndisk_file=4e9261012ac8530a_6553f100\n");
    EXPECT_FALSE(exists(e->getManifestPath() + ".tmp"));
    // 3000 bytes count as 4 KiB.
    EXPECT_DOUBLE_EQ(cache_->getCurrentMBytes(), 4.0 / 1024);

    EntryPtr hit = cache_->lookup("drawing.plt", "150dpi,antialias,0deg", "");
    EXPECT_EQ(hit, e);
    EXPECT_EQ(hit->getOutputUniqueName(), "drawing.png");
    EXPECT_EQ(hit->getOutputPrettyName(), "Drawing.png");
    EXPECT_EQ(hit->getMimeType(), "image/png");
    EXPECT_EQ(hit->getInputPrettyName(), "Drawing");
    EXPECT_DOUBLE_EQ(hit->getInputTimestamp(), 1234.5);
    EXPECT_EQ(countLog("drawing.plt(150dpi,antialias,0deg;): cached file " + e->getDataFilePath() + " found."), 1u);
}

TEST_F(CacheTest, RequestsDifferingOnlyInStampOrTagAreSeparateEntries) {
    EntryPtr a = storeOne(*cache_, "a.plt", "t", "", "A");
    EntryPtr b = storeOne(*cache_, "a.plt", "t", "stamp", "B");
    EXPECT_NE(a->getManifestPath(), b->getManifestPath());
    EXPECT_EQ(readFile(cache_->lookup("a.plt", "t", "")->getDataFilePath()), "A");
    EXPECT_EQ(readFile(cache_->lookup("a.plt", "t", "stamp")->getDataFilePath()), "B");
    EXPECT_FALSE(cache_->lookup("a.plt", "t2", ""));
    EXPECT_FALSE(cache_->lookup("a.plt", "t", "stamp "));
    CacheKey k = computeCacheKey("a.plt", "t2", "");
    char miss[64];
    std::snprintf(miss, sizeof miss, "(%2.2x/%16.16llx).", k.subdir, static_cast<unsigned long long>(k.key));
    EXPECT_EQ(countLog(std::string("a.plt(t2;): cache miss ") + miss), 1u);
    EXPECT_EQ(cache_->getEntryCount(), 2u);
}

TEST_F(CacheTest, ReplacingAnEntryDeletesTheOldDataFileAndNeverReusesItsName) {
    cache_->setClock([] { return 1000.0; });  // both stores in the same second
    EntryPtr first = storeOne(*cache_, "a.plt", "t", "", "old", 1.0);
    std::string oldPath = first->getDataFilePath();
    first.reset();
    EntryPtr second = storeOne(*cache_, "a.plt", "t", "", "new", 2.0);
    EXPECT_NE(second->getDataFilePath(), oldPath);
    EXPECT_FALSE(exists(oldPath));
    EXPECT_EQ(readFile(second->getDataFilePath()), "new");
    EXPECT_NE(readFile(second->getManifestPath()).find("disk_file=" + fs::path(second->getDataFilePath()).filename().string()),
              std::string::npos);
    EXPECT_EQ(cache_->getEntryCount(), 1u);
    EXPECT_DOUBLE_EQ(cache_->getCurrentMBytes(), 2.0 / 1024);
    EXPECT_EQ(countLog("a.plt(t;): Outdated entry has been replaced."), 1u);
}

TEST_F(CacheTest, ReplacedEntryStillHeldByAReaderKeepsItsFileUntilReleased) {
    EntryPtr reader = storeOne(*cache_, "a.plt", "t", "", "old");
    storeOne(*cache_, "a.plt", "t", "", "new");
    EXPECT_EQ(readFile(reader->getDataFilePath()), "old");
    std::string path = reader->getDataFilePath();
    reader.reset();
    EXPECT_FALSE(exists(path));
}

TEST_F(CacheTest, FailedStoreLeavesNoFilesAndKeepsTheEarlierEntry) {
    EntryPtr old = storeOne(*cache_, "a.plt", "t", "", "old");
    std::string missing = cache_->getJobFileName(9);
    try {
        cache_->store("a.plt", "p", "t", "", 1, missing, "u", "p", "m");
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot rename job file " + missing + " to "), std::string::npos);
    }
    EXPECT_EQ(cache_->lookup("a.plt", "t", ""), old);
    EXPECT_TRUE(exists(old->getManifestPath()));
    EXPECT_TRUE(exists(old->getDataFilePath()));
    size_t files = 0;
    for (auto& f : fs::directory_iterator(fs::path(old->getManifestPath()).parent_path())) (void)f, ++files;
    EXPECT_EQ(files, 2u);
}

TEST_F(CacheTest, ManifestThatCannotBeWrittenFailsTheStoreWithoutLeftovers) {
    // A directory where the temporary manifest goes makes the write fail.
    CacheKey k = computeCacheKey("a.plt", "t", "");
    std::string dir = subdirPath(*cache_, k.subdir);
    fs::create_directories(dir + keyName(k.key) + ".manifest.tmp");
    std::string job = writeFile(cache_->getJobFileName(0), "x");
    try {
        cache_->store("a.plt", "p", "t", "", 1, job, "u", "p", "m");
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find(dir + keyName(k.key) + ".manifest.tmp"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(cache_->lookup("a.plt", "t", ""));
    for (auto& f : fs::directory_iterator(dir)) EXPECT_EQ(f.path().filename(), keyName(k.key) + ".manifest.tmp");
    EXPECT_DOUBLE_EQ(cache_->getCurrentMBytes(), 0.0);
}

TEST_F(CacheTest, ManifestValuesRoundTripExactlyAcrossARestart) {
    const std::string stamp = "  a=b = c  ";
    const std::string pretty = " = pretty name = ";
    const double ts = 1700000000.123456789;
    std::string job = writeFile(cache_->getJobFileName(0), "payload");
    cache_->store("u\tname", pretty, "tag=1", stamp, ts, job, "=out", " out ", "text/plain; x=y");
    cache_->shutdown();

    auto c = newCache();
    finishScan(*c);
    EntryPtr e = c->lookup("u\tname", "tag=1", stamp);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getInputPrettyName(), pretty);
    EXPECT_EQ(e->getStamp(), stamp);
    EXPECT_EQ(e->getInputTimestamp(), ts);
    EXPECT_EQ(e->getOutputUniqueName(), "=out");
    EXPECT_EQ(e->getOutputPrettyName(), " out ");
    EXPECT_EQ(e->getMimeType(), "text/plain; x=y");
    EXPECT_EQ(readFile(e->getDataFilePath()), "payload");
}

TEST_F(CacheTest, LineFeedInANameKeepsTheResultForThisRunOnly) {
    // Raw, the second line would override the input timestamp on reading.
    std::string job = writeFile(cache_->getJobFileName(0), "payload");
    EntryPtr e = cache_->store("a.plt", "p", "t", "", 5.0, job, "u", "p\ninput_timestamp=99", "m");
    EXPECT_EQ(cache_->lookup("a.plt", "t", ""), e);
    EXPECT_FALSE(exists(e->getManifestPath()));
    std::string data = e->getDataFilePath();
    e.reset();
    cache_->shutdown();

    // Backdate so the next start sees it as older than its scan.
    struct timespec old[2] = {{1000, 0}, {1000, 0}};
    ::utimensat(AT_FDCWD, data.c_str(), old, 0);
    auto c = newCache();
    finishScan(*c);
    EXPECT_FALSE(c->lookup("a.plt", "t", ""));
    EXPECT_FALSE(exists(data));
}

TEST_F(CacheTest, ConcurrentStoresAndLookupsKeepTheIndexConsistent) {
    constexpr int kThreads = 4, kRounds = 60;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                try {
                    std::string name = "shared" + std::to_string(r % 5) + ".plt";
                    std::string job = writeFile(cache_->getJobFileName(t), std::to_string(t) + ":" + std::to_string(r));
                    EntryPtr e = cache_->store(name, "p", "t", "", 1, job, "u", "p", "m");
                    EntryPtr hit = cache_->lookup(name, "t", "");
                    if (!hit || readFile(hit->getDataFilePath()).empty()) ++failures;
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                    ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(cache_->getEntryCount(), 5u);
    EXPECT_DOUBLE_EQ(cache_->getCurrentMBytes(), 5 * 2.0 / 1024);
    // Every replaced data file is gone: five data files and five manifests remain.
    size_t files = 0;
    for (auto& f : fs::recursive_directory_iterator(cache_->getCacheDir()))
        if (f.is_regular_file()) ++files;
    EXPECT_EQ(files, 10u);
}
