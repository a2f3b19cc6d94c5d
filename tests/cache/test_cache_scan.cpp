#include "CacheFixture.h"

#include "plume/Exception.h"
#include "plume/System.h"

#include <fcntl.h>
#include <sys/stat.h>

using namespace Xadra;

namespace {
void backdate(const std::string& path, time_t t = 1000) {
    struct timespec times[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}
}  // namespace

TEST_F(CacheTest, EmptyCacheScanCreatesAllSubdirectoriesAndShowsNoEntries) {
    finishScan(*cache_);
    for (unsigned i = 0; i < 256; ++i) {
        EXPECT_TRUE(fs::is_directory(subdirPath(*cache_, i))) << i;
        EXPECT_EQ(cache_->getSubdirState(i), Cache::INITIALIZED);
    }
    std::ostringstream out;
    cache_->printStatistics(out);
    EXPECT_EQ(out.str(),
              "***** Cache statistics\nMaximal cache size: 100MB\nCurrent cache size: 0MB\n# of cache entries: 0\n");
    EXPECT_EQ(countLog("Entering cache initializer thread."), 1u);
    EXPECT_EQ(countLog("Leaving cache initializer thread."), 1u);
    EXPECT_EQ(countLog("Cache initializer thread has finished, now joining it."), 1u);
}

TEST_F(CacheTest, RestartFindsEveryStoredEntryWithTheSameData) {
    std::vector<std::string> paths;
    for (int i = 0; i < 50; ++i)
        paths.push_back(storeOne(*cache_, "f" + std::to_string(i), "tag", i % 2 ? "s" : "", "data" + std::to_string(i),
                                 i + 0.5)
                            ->getDataFilePath());
    double size = cache_->getCurrentMBytes();
    cache_->shutdown();
    EXPECT_EQ(cache_->getEntryCount(), 0u);

    auto c = newCache();
    finishScan(*c);
    EXPECT_EQ(c->getEntryCount(), 50u);
    EXPECT_DOUBLE_EQ(c->getCurrentMBytes(), size);
    for (int i = 0; i < 50; ++i) {
        EntryPtr e = c->lookup("f" + std::to_string(i), "tag", i % 2 ? "s" : "");
        ASSERT_TRUE(e) << i;
        EXPECT_EQ(e->getDataFilePath(), paths[i]);
        EXPECT_EQ(readFile(e->getDataFilePath()), "data" + std::to_string(i));
        EXPECT_DOUBLE_EQ(e->getInputTimestamp(), i + 0.5);
        EXPECT_EQ(e->getInputPrettyName(), "pretty f" + std::to_string(i));
    }
}

TEST_F(CacheTest, BrokenManifestsAreLoggedAndDeletedOtherFilesLeftAlone) {
    EntryPtr good = storeOne(*cache_, "good.plt", "t", "", "good");
    std::string dir = fs::path(good->getManifestPath()).parent_path().string() + "/";
    std::string badName = dir + "4e9261012ac8530x.manifest";  // 25 characters, not hex
    writeFile(badName, "input_unique_name=x\n");
    std::string otherLength = dir + "notes.manifest";
    writeFile(otherLength, "keep me");
    std::string unrelated = dir + "README";
    writeFile(unrelated, "keep me too");
    // Key in the name, but a required field is missing.
    std::string missingField = dir + keyName(computeCacheKey("m.plt", "t", "").key) + ".manifest";
    writeFile(missingField, "input_unique_name=m.plt\n");
    good.reset();
    cache_->shutdown();

    auto c = newCache();
    finishScan(*c);
    EXPECT_TRUE(c->lookup("good.plt", "t", ""));
    EXPECT_FALSE(exists(badName));
    EXPECT_FALSE(exists(missingField));
    EXPECT_TRUE(exists(otherLength));
    EXPECT_TRUE(exists(unrelated));
    EXPECT_EQ(countLog("Initialization of cache entry " + badName + " has failed: Manifest file " + badName +
                       " does not start with a valid checksum."),
              1u);
    EXPECT_EQ(countLog("Deleting file " + badName + "."), 1u);
    EXPECT_EQ(countLog("Initialization of cache entry " + missingField + " has failed: "), 1u);
}

TEST_F(CacheTest, ManifestInTheWrongSubdirectoryIsDeletedWithItsDataFile) {
    EntryPtr e = storeOne(*cache_, "a.plt", "t", "", "x");
    CacheKey k = computeCacheKey("a.plt", "t", "");
    unsigned wrong = (k.subdir + 1) & 0xff;
    std::string wdir = subdirPath(*cache_, wrong);
    fs::create_directories(wdir);
    std::string data = wdir + fs::path(e->getDataFilePath()).filename().string();
    std::string manifest = wdir + fs::path(e->getManifestPath()).filename().string();
    fs::copy_file(e->getDataFilePath(), data);
    fs::copy_file(e->getManifestPath(), manifest);
    e.reset();
    cache_->shutdown();

    auto c = newCache();
    finishScan(*c);
    EXPECT_FALSE(exists(manifest));
    EXPECT_FALSE(exists(data));
    EXPECT_EQ(countLog("does not refer to the correct file (crc invalid)."), 1u);
    EntryPtr original = c->lookup("a.plt", "t", "");
    ASSERT_TRUE(original);
    EXPECT_EQ(readFile(original->getDataFilePath()), "x");
    EXPECT_EQ(c->getEntryCount(), 1u);
}

TEST_F(CacheTest, ManifestWithoutDiskFileNamesTheDataFileByKeyAlone) {
    CacheKey k = computeCacheKey("old.plt", "t", "s");
    std::string dir = subdirPath(*cache_, k.subdir);
    fs::create_directories(dir);
    writeFile(dir + keyName(k.key), "legacy");
    writeFile(dir + keyName(k.key) + ".manifest",
              "stamp=s\ninput_unique_name=old.plt\ninput_pretty_name=Old\ninput_unique_tag=t\ninput_timestamp=7\n"
              "output_unique_name=o\noutput_pretty_name=O\nmime_type=image/png\n");
    finishScan(*cache_);
    EntryPtr e = cache_->lookup("old.plt", "t", "s");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getDataFilePath(), dir + keyName(k.key));
    EXPECT_EQ(readFile(e->getDataFilePath()), "legacy");
}

TEST_F(CacheTest, ManifestNamingAFileOutsideItsKeyIsDroppedWithoutTouchingThatFile) {
    std::string victim = base_ + "/victim";
    writeFile(victim, "precious");
    CacheKey k = computeCacheKey("evil.plt", "t", "");
    std::string dir = subdirPath(*cache_, k.subdir);
    fs::create_directories(dir);
    std::string manifest = dir + keyName(k.key) + ".manifest";
    writeFile(manifest,
              "input_unique_name=evil.plt\ninput_pretty_name=p\ninput_unique_tag=t\ninput_timestamp=1\nstamp=\n"
              "output_unique_name=o\noutput_pretty_name=o\nmime_type=m\ndisk_file=../../victim\n");
    finishScan(*cache_);
    EXPECT_FALSE(cache_->lookup("evil.plt", "t", ""));
    EXPECT_FALSE(exists(manifest));
    EXPECT_EQ(readFile(victim), "precious");
    EXPECT_EQ(countLog("names an invalid data file [../../victim]."), 1u);
}

TEST_F(CacheTest, MissingOrIrregularDataFileDropsTheManifest) {
    EntryPtr a = storeOne(*cache_, "a.plt", "t", "", "a");
    EntryPtr b = storeOne(*cache_, "b.plt", "t", "", "b");
    std::string aData = a->getDataFilePath(), bData = b->getDataFilePath();
    std::string aManifest = a->getManifestPath(), bManifest = b->getManifestPath();
    a.reset();
    b.reset();
    cache_->shutdown();
    fs::remove(aData);
    fs::remove(bData);
    fs::create_directory(bData);

    auto c = newCache();
    finishScan(*c);
    EXPECT_FALSE(c->lookup("a.plt", "t", ""));
    EXPECT_FALSE(c->lookup("b.plt", "t", ""));
    EXPECT_FALSE(exists(aManifest));
    EXPECT_FALSE(exists(bManifest));
    EXPECT_TRUE(fs::is_directory(bData));  // directories are never deleted
    EXPECT_EQ(countLog("Cannot find data file " + aData), 1u);
    EXPECT_EQ(countLog("Data file " + bData + " is not a regular file."), 1u);
}

TEST_F(CacheTest, CrashBetweenDataRenameAndManifestLeavesNothingServedOrBehind) {
    // The state a crash inside store leaves: the job file renamed into the
    // cache, the manifest only half written under its temporary name, or not
    // at all. One entry of another key, and an older data file of a stored
    // key that a replacing store had not yet deleted.
    EntryPtr kept = storeOne(*cache_, "kept.plt", "t", "", "kept");
    CacheKey k = computeCacheKey("crash.plt", "t", "");
    std::string dir = subdirPath(*cache_, k.subdir);
    fs::create_directories(dir);
    std::string data = writeFile(dir + keyName(k.key) + "_3e8", "new result");
    std::string tmpManifest = writeFile(dir + keyName(k.key) + ".manifest.tmp", "input_unique_name=cra");
    std::string keptDir = fs::path(kept->getDataFilePath()).parent_path().string() + "/";
    std::string staleOfKept = writeFile(keptDir + keyName(computeCacheKey("kept.plt", "t", "").key) + "_1", "stale");
    backdate(data);
    backdate(tmpManifest);
    backdate(staleOfKept);
    std::string keptData = kept->getDataFilePath();
    kept.reset();
    cache_->shutdown();

    auto c = newCache();
    finishScan(*c);
    EXPECT_FALSE(c->lookup("crash.plt", "t", ""));
    EXPECT_FALSE(exists(data));
    EXPECT_FALSE(exists(tmpManifest));
    EXPECT_FALSE(exists(staleOfKept));
    EntryPtr e = c->lookup("kept.plt", "t", "");
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getDataFilePath(), keptData);
    EXPECT_TRUE(exists(keptData));
}

TEST_F(CacheTest, ManifestCutShortAnywhereIsDroppedOrDescribesItsOwnData) {
    // A power loss can leave a manifest empty or cut at any byte, its data
    // file complete (that is flushed before the manifest is written). Each
    // cut either drops the entry or, once the data file's name is whole,
    // gives back that very data; never another file of the same key.
    EntryPtr e = storeOne(*cache_, "cut.plt", "t", "s", "the result");
    const std::string manifest = e->getManifestPath(), data = e->getDataFilePath();
    const std::string text = readFile(manifest);
    const std::string dataName = fs::path(data).filename().string();
    const size_t whole = text.find("disk_file=" + dataName) + std::string("disk_file=").size() + dataName.size();
    ASSERT_LT(whole, text.size() + 1);
    ASSERT_EQ(text.substr(whole), "\n") << "disk_file is not the last line";
    e.reset();
    cache_->shutdown();
    for (size_t n = 0; n <= text.size(); ++n) {
        SCOPED_TRACE("manifest cut after " + std::to_string(n) + " bytes");
        writeFile(manifest, text.substr(0, n));
        writeFile(data, "the result");
        auto c = newCache();
        finishScan(*c);
        EntryPtr found = c->lookup("cut.plt", "t", "s");
        if (n >= whole) {
            ASSERT_TRUE(found);
            EXPECT_EQ(found->getDataFilePath(), data);
            EXPECT_EQ(readFile(found->getDataFilePath()), "the result");
        } else {
            EXPECT_FALSE(found);
            EXPECT_FALSE(exists(manifest));
        }
        found.reset();
        c->shutdown();
    }
}

TEST_F(CacheTest, LookupBeforeTheInitializerReachesItsSubdirectoryScansItOnce) {
    // Enough manifests in subdirectory 00 to keep the initialiser busy there.
    for (int i = 0; i < 1500; ++i) storeOne(*cache_, nameInSubdir(0x00, i), "t", "", "x");
    std::string late = nameInSubdir(0xff, 1);
    storeOne(*cache_, late, "t", "", "late");
    cache_->shutdown();

    auto c = newCache();
    c->startInitializer();
    EntryPtr e = c->lookup(late, "t", "");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "late");
    joinScan(*c);
    EXPECT_EQ(countLog("Starting initialization of subdirectory ff."), 1u);
    EXPECT_EQ(countLog("Cache subdirectory ff is already initalized."), 1u);
    EXPECT_EQ(c->getEntryCount(), 1501u);
}

TEST_F(CacheTest, LookupRacingTheScanOfItsOwnSubdirectoryWaitsForIt) {
    std::string name;
    for (int i = 0; i < 3000; ++i) {
        name = nameInSubdir(0x00, i);
        storeOne(*cache_, name, "t", "", "x" + std::to_string(i));
    }
    cache_->shutdown();

    auto c = newCache();
    c->startInitializer();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // One reading per round: the state may move on between two readings.
    for (Cache::SubdirState st; (st = c->getSubdirState(0)) != Cache::INITIALIZING;) {
        ASSERT_EQ(st, Cache::NOT_INITIALIZED) << "scan ended before the lookup could race it";
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        std::this_thread::yield();
    }
    EntryPtr e = c->lookup(name, "t", "");
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()), "x2999");
    joinScan(*c);
    EXPECT_EQ(countLog("Starting initialization of subdirectory 00."), 1u);
    EXPECT_GE(countLog("Cache subdirectory 00 is currently initalizing, waiting on the initalization to finish."), 1u);
    EXPECT_EQ(countLog("Wait on initialization of cache subdirectory 00 has finished."), 1u);
    EXPECT_EQ(c->getEntryCount(), 3000u);
}

TEST_F(CacheTest, SubdirectoryThatFailsIsReportedAndTheRestStillWorks) {
    std::string ok = nameInSubdir(0x06, 1);
    storeOne(*cache_, ok, "t", "", "fine");
    cache_->shutdown();
    writeFile(subdirPath(*cache_, 0x05).substr(0, subdirPath(*cache_, 0x05).size() - 1), "not a directory");

    auto c = newCache();
    c->startInitializer();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (countLog("Leaving cache initializer thread.") == 0) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::ostringstream out;
    c->printStatistics(out);
    EXPECT_NE(out.str().find("*** subdirectory initialization status:\n directory 00-04 is initialized.\n"
                             " directory 05 failed to initialize.\n directory 06-ff is initialized.\n"),
              std::string::npos)
        << out.str();
    EXPECT_EQ(countLog("Initialization of cache subdirectory 05 has failed."), 1u);
    EXPECT_EQ(countLog("is no directory."), 1u);

    joinScan(*c);  // joins; eviction is not blocked by the failure
    EXPECT_FALSE(c->isInitializerRunning());
    EXPECT_TRUE(c->lookup(ok, "t", ""));
    try {
        c->lookup(nameInSubdir(0x05, 1), "t", "");
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_STREQ(e.what(), "Initialization of cache subdirectory 05 previously failed.");
    }
}

TEST_F(CacheTest, StatusTableGroupsRunsOfSubdirectoriesInTheSameState) {
    // Subdirectory 80 is scanned on demand before the initialiser starts.
    std::string name = nameInSubdir(0x80, 1);
    for (int i = 0; i < 1500; ++i) storeOne(*cache_, nameInSubdir(0x00, i), "t", "", "x");
    cache_->shutdown();
    auto c = newCache();
    c->startInitializer();
    c->lookup(name, "t", "");
    std::ostringstream out;
    c->printStatistics(out);
    // While the initialiser is still at subdirectory 00 (not yet begun, or
    // reading): 80 done, 01-7f and 81-ff untouched.
    std::string s = out.str();
    if (c->getSubdirState(1) == Cache::NOT_INITIALIZED) {
        EXPECT_NE(s.find("-7f is not initialized.\n directory 80 is initialized.\n"
                         " directory 81-ff is not initialized.\n"),
                  std::string::npos)
            << s;
    }
    c->shutdown();
}

TEST_F(CacheTest, HangUpEndsTheInitializerBetweenSubdirectories) {
    Plume::setHupSignalCatched();
    cache_->startInitializer();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    // The thread ends without having scanned anything; the periodic task
    // notices and joins it.
    while (cache_->isInitializerRunning()) {
        ASSERT_LT(std::chrono::steady_clock::now(), until);
        cache_->periodicTask();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Plume::resetHupSignalCatched();
    EXPECT_EQ(cache_->getSubdirState(0), Cache::NOT_INITIALIZED);
    EXPECT_EQ(countLog("Entering cache initializer thread."), 1u);
    EXPECT_EQ(countLog("Leaving cache initializer thread."), 0u);
    // Lookups still read their subdirectory on demand.
    std::string name = nameInSubdir(0x10, 1);
    EXPECT_FALSE(cache_->lookup(name, "t", ""));
    EXPECT_EQ(cache_->getSubdirState(0x10), Cache::INITIALIZED);
}

TEST_F(CacheTest, ShutdownDuringTheScanStopsAndJoinsTheInitializer) {
    for (int i = 0; i < 300; ++i) storeOne(*cache_, "f" + std::to_string(i), "t", "", "x");
    cache_->shutdown();
    auto c = newCache();
    c->startInitializer();
    c->shutdown();
    EXPECT_FALSE(c->isInitializerRunning());
    EXPECT_EQ(c->getEntryCount(), 0u);
    EXPECT_DOUBLE_EQ(c->getCurrentMBytes(), 0.0);
    c->shutdown();  // twice is harmless
}
