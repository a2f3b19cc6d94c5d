// Stores with synchronous writes on, as the daemon runs: the result is
// indexed at once, its data file is flushed and its manifest written by the
// cache's writer thread.
#include "CacheFixture.h"

#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>

using namespace Xadra;

namespace {

std::unique_ptr<HPGSRendererCache> syncCache(const std::string& base, double mbytes = 100.0) {
    auto c = std::make_unique<HPGSRendererCache>();
    c->setSyncWrites(true);
    c->initialise(mbytes, base);
    return c;
}

// Every file under dir whose name ends in suffix.
std::vector<std::string> filesEndingIn(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> out;
    for (auto& f : fs::recursive_directory_iterator(dir)) {
        const std::string n = f.path().filename().string();
        if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(f.path().string());
    }
    return out;
}

void backdate(const std::string& path) {
    struct timespec old[2] = {{1000, 0}, {1000, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), old, 0);
}

}  // namespace

TEST_F(CacheTest, BackgroundManifestsServeAtOnceAndAllSurviveAStopRightAfterTheStores) {
    cache_ = syncCache(base_);
    for (int i = 0; i < 30; ++i) {
        const std::string name = "n" + std::to_string(i) + ".plt";
        EntryPtr e = storeOne(*cache_, name, "t", "", "data " + name);
        EXPECT_EQ(cache_->lookup(name, "t", ""), e) << name;
        EXPECT_EQ(readFile(e->getDataFilePath()), "data " + name);
    }
    // No wait for the writer: the stop writes what is left.
    cache_->shutdown();
    EXPECT_TRUE(filesEndingIn(cache_->getCacheDir(), ".tmp").empty());
    EXPECT_EQ(filesEndingIn(cache_->getCacheDir(), ".manifest").size(), 30u);

    auto c = newCache();
    finishScan(*c);
    for (int i = 0; i < 30; ++i) {
        const std::string name = "n" + std::to_string(i) + ".plt";
        EntryPtr e = c->lookup(name, "t", "");
        ASSERT_TRUE(e) << name;
        EXPECT_EQ(readFile(e->getDataFilePath()), "data " + name);
    }
}

TEST_F(CacheTest, ResultReplacedOrEvictedBeforeItsManifestIsWrittenLeavesNoManifestOfIt) {
    // Replaced at once, again and again: whichever manifests the writer
    // reaches in time, the one left names the last data.
    cache_ = syncCache(base_, 100.0);
    for (int r = 0; r < 20; ++r) storeOne(*cache_, "same.plt", "t", "", "round " + std::to_string(r));
    cache_->flushManifests();
    EntryPtr last = cache_->lookup("same.plt", "t", "");
    ASSERT_TRUE(last);
    const std::string manifest = readFile(last->getManifestPath());
    EXPECT_NE(manifest.find("disk_file=" + fs::path(last->getDataFilePath()).filename().string() + "\n"),
              std::string::npos)
        << manifest;

    // Evicted at once: 2 MB of 1 MB results against a 1.5 MB limit.
    auto small = syncCache(base_ + "/small", 1.5);
    EntryPtr first = storeOne(*small, "first.plt", "t", "", std::string(1024 * 1024, 'a'));
    const std::string firstManifest = first->getManifestPath(), firstData = first->getDataFilePath();
    first.reset();
    storeOne(*small, "second.plt", "t", "", std::string(1024 * 1024, 'b'));
    small->periodicTask();
    small->flushManifests();
    EXPECT_FALSE(small->lookup("first.plt", "t", ""));
    EXPECT_FALSE(exists(firstManifest));
    EXPECT_FALSE(exists(firstData));
    EXPECT_TRUE(small->lookup("second.plt", "t", ""));
    small->shutdown();

    cache_->shutdown();
    auto c = newCache();
    finishScan(*c);
    EntryPtr e = c->lookup("same.plt", "t", "");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "round 19");
}

TEST_F(CacheTest, ManifestTheWriterCannotWriteIsLoggedAndItsResultKeptForThisRunOnly) {
    cache_ = syncCache(base_);
    // A directory where the temporary manifest goes makes the write fail.
    CacheKey k = computeCacheKey("a.plt", "t", "");
    const std::string tmp = subdirPath(*cache_, k.subdir) + keyName(k.key) + ".manifest.tmp";
    fs::create_directories(tmp);
    EntryPtr e = storeOne(*cache_, "a.plt", "t", "", "payload");
    cache_->flushManifests();
    EXPECT_EQ(cache_->lookup("a.plt", "t", ""), e);
    EXPECT_FALSE(exists(e->getManifestPath()));
    EXPECT_EQ(countLog("kept for this run only"), 1u) << log();
    EXPECT_GE(countLog(tmp), 1u) << log();
    const std::string data = e->getDataFilePath();
    e.reset();
    cache_->shutdown();
    fs::remove(tmp);

    backdate(data);
    auto c = newCache();
    finishScan(*c);
    EXPECT_FALSE(c->lookup("a.plt", "t", ""));
    EXPECT_FALSE(exists(data));
}

TEST_F(CacheTest, StoreAfterShutdownWritesItsOwnManifest) {
    cache_ = syncCache(base_);
    storeOne(*cache_, "before.plt", "t", "", "x");
    cache_->shutdown();
    EntryPtr e = storeOne(*cache_, "after.plt", "t", "", "y");
    EXPECT_TRUE(exists(e->getManifestPath()));
}

TEST_F(CacheTest, BackgroundManifestsKeepUpWithConcurrentStoresLookupsAndEviction) {
    // About 40 results of 64 KB against a 1 MB limit: eviction runs all along.
    cache_ = syncCache(base_, 1.0);
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread evictor([&] {
        while (!done) {
            cache_->periodicTask();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < 40; ++r) {
                try {
                    const std::string name = "k" + std::to_string((t * 40 + r) % 50) + ".plt";
                    EntryPtr e = storeOne(*cache_, name, "t", "", name + std::string(65536, 'z'), 100.0, t);
                    if (readFile(e->getDataFilePath()).compare(0, name.size(), name) != 0) ++failures;
                    if (r % 4 == 0) cache_->flushManifests();
                } catch (const std::exception& x) {
                    ADD_FAILURE() << x.what();
                    ++failures;
                }
            }
        });
    for (auto& th : threads) th.join();
    done = true;
    evictor.join();
    EXPECT_EQ(failures.load(), 0);
    cache_->shutdown();

    // What the next start serves is whole and of its own key; every
    // manifest left has its data file.
    auto c = newCache(100.0);
    finishScan(*c);
    EXPECT_EQ(c->getEntryCount(), filesEndingIn(c->getCacheDir(), ".manifest").size());
    EXPECT_GT(c->getEntryCount(), 0u);
    for (int i = 0; i < 50; ++i) {
        const std::string name = "k" + std::to_string(i) + ".plt";
        if (EntryPtr e = c->lookup(name, "t", "")) {
            EXPECT_EQ(readFile(e->getDataFilePath()), name + std::string(65536, 'z'));
        }
    }
    EXPECT_EQ(countLog("kept for this run only"), 0u) << log();
}
