#include "CacheFixture.h"

#include <algorithm>
#include <numeric>
#include <random>

using namespace Xadra;

TEST_F(CacheTest, NoEvictionWhileTheInitializerRuns) {
    auto c = newCache(0.0);
    storeOne(*c, "a.plt", "t", "", "x");
    c->startInitializer();
    c->periodicTask();  // at most joins the initialiser
    EXPECT_EQ(c->getEntryCount(), 1u);
    joinScan(*c);
    EXPECT_EQ(c->getEntryCount(), 1u);
    c->periodicTask();
    EXPECT_EQ(c->getEntryCount(), 0u);
}

TEST_F(CacheTest, OldestEntriesAreEvictedByModificationTimeDownTo95Percent) {
    // 1000 entries of 1 KiB (2 KiB accounted each: 1000 * 2 / 1024 MB) in a
    // 1 MB cache, stored in shuffled time order across all subdirectories.
    std::vector<int> order(1000);
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(42));
    double now = 0;
    cache_->setClock([&] { return now; });
    std::vector<std::string> data(1000), manifests(1000);
    for (int i : order) {
        now = 1e9 + i * 10.0;
        EntryPtr e = storeOne(*cache_, "e" + std::to_string(i), "t", "", std::string(1024, 'x'));
        data[i] = e->getDataFilePath();
        manifests[i] = e->getManifestPath();
    }
    cache_->shutdown();

    auto c = newCache(1.0);
    finishScan(*c);
    ASSERT_EQ(c->getEntryCount(), 1000u);
    c->periodicTask();
    // 0.95 MB holds 486 entries of 2 KiB.
    const size_t keep = 486;
    EXPECT_EQ(c->getEntryCount(), keep);
    EXPECT_LE(c->getCurrentMBytes(), 0.95);
    EXPECT_GT(c->getCurrentMBytes() + 2.0 / 1024, 0.95);
    for (int i = 0; i < 1000; ++i) {
        bool kept = i >= 1000 - static_cast<int>(keep);
        EXPECT_EQ(static_cast<bool>(c->lookup("e" + std::to_string(i), "t", "")), kept) << i;
        EXPECT_EQ(exists(data[i]), kept) << i;
        EXPECT_EQ(exists(manifests[i]), kept) << i;
    }
    EXPECT_EQ(countLog("e0(t;): invalidating entry for file " + data[0]), 1u);
    c->periodicTask();  // below the mark: nothing more
    EXPECT_EQ(c->getEntryCount(), keep);
}

TEST_F(CacheTest, NewResultsAreEvictedAfterEverythingFoundByTheScan) {
    double now = 5e8;
    cache_->setClock([&] { return now; });
    storeOne(*cache_, "old.plt", "t", "", std::string(1024, 'x'));
    cache_->shutdown();
    auto c = newCache(3.0 / 1024);  // 95 % of 3 KiB holds one entry of 2 KiB
    c->setClock([&] { return now; });
    finishScan(*c);
    now = 4e8;  // a clock that went back must not make the new result the oldest
    storeOne(*c, "new.plt", "t", "", std::string(1024, 'x'));
    c->periodicTask();
    EXPECT_FALSE(c->lookup("old.plt", "t", ""));
    EXPECT_TRUE(c->lookup("new.plt", "t", ""));
}

TEST_F(CacheTest, EvictedEntryHeldByAReaderKeepsItsFileUntilReleased) {
    auto c = newCache(0.0);
    finishScan(*c);
    EntryPtr reader = storeOne(*c, "a.plt", "t", "", "streamed");
    std::string manifest = reader->getManifestPath();
    c->periodicTask();
    EXPECT_FALSE(c->lookup("a.plt", "t", ""));
    EXPECT_FALSE(exists(manifest));
    EXPECT_TRUE(reader->isMarkedForRemoval());
    EXPECT_EQ(readFile(reader->getDataFilePath()), "streamed");
    std::string path = reader->getDataFilePath();
    reader.reset();
    EXPECT_FALSE(exists(path));
}

TEST_F(CacheTest, StatisticsShowSizesAndEntryCount) {
    finishScan(*cache_);
    storeOne(*cache_, "a.plt", "t", "", std::string(1024, 'x'));
    std::ostringstream out;
    cache_->printStatistics(out);
    std::ostringstream expect;
    expect << "***** Cache statistics\nMaximal cache size: 100MB\nCurrent cache size: " << 2.0 / 1024
           << "MB\n# of cache entries: 1\n";
    EXPECT_EQ(out.str(), expect.str());
}

TEST_F(CacheTest, StoresLookupsAndEvictionRunTogetherWithTheScan) {
    for (int i = 0; i < 200; ++i) storeOne(*cache_, "pre" + std::to_string(i), "t", "", std::string(1024, 'p'));
    cache_->shutdown();
    auto c = newCache(0.2);
    c->startInitializer();
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&, t] {
            for (int r = 0; r < 100; ++r) {
                try {
                    c->lookup("pre" + std::to_string((r * 7 + t) % 200), "t", "");
                    std::string job = writeFile(c->getJobFileName(t), std::string(1024, 'n'));
                    EntryPtr e = c->store("new" + std::to_string(r % 20), "p", "t", std::to_string(t), 1, job, "u",
                                          "p", "m");
                    EXPECT_EQ(readFile(e->getDataFilePath()).size(), 1024u);
                } catch (const std::exception& e) {
                    ADD_FAILURE() << e.what();
                }
            }
        });
    }
    std::thread main([&] {
        while (!stop) {
            c->periodicTask();
            std::ostringstream out;
            c->printStatistics(out);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (auto& w : workers) w.join();
    stop = true;
    main.join();
    joinScan(*c);
    c->periodicTask();
    EXPECT_LE(c->getCurrentMBytes(), 0.2 * 0.95);
    // Accounting matches the entries that remain.
    size_t files = 0;
    for (auto& f : fs::recursive_directory_iterator(c->getCacheDir()))
        if (f.is_regular_file() && f.path().extension() != ".manifest") ++files;
    EXPECT_EQ(files, c->getEntryCount());
}
