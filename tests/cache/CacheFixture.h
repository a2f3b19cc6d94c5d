// Shared fixture: a fresh cache on a temporary base directory, helpers to
// write job files and to read the recent-message ring, which records every
// level, so tests can check what the cache logged.
#pragma once

#include "cache/HPGSRendererCache.h"
#include "xadracommon/LogService.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

class CacheTest : public ::testing::Test {
protected:
    using Cache = Xadra::HPGSRendererCache;
    using EntryPtr = Plume::ObjPtr<Xadra::HPGSRendererCacheEntry>;

    void SetUp() override {
        char tmpl[] = "/tmp/xadcacheXXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        base_ = tmpl;
        Xadra::ringResize(0);
        Xadra::ringResize(200000);
        // Everything is in the ring; keep the test output to real errors.
        Xadra::logService().levelThreshold = 2;
        cache_ = newCache();
    }
    void TearDown() override {
        cache_.reset();
        Xadra::ringResize(0);
        fs::remove_all(base_);
    }

    std::unique_ptr<Cache> newCache(double mbytes = 100.0) {
        auto c = std::make_unique<Cache>();
        c->setSyncWrites(false);
        c->initialise(mbytes, base_);
        return c;
    }

    static std::string writeFile(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        return path;
    }
    static std::string readFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool exists(const std::string& path) { return fs::exists(fs::symlink_status(path)); }

    EntryPtr storeOne(Cache& c, const std::string& name, const std::string& tag, const std::string& stamp,
                      const std::string& content, double timestamp = 100.0, int worker = 0) {
        std::string job = writeFile(c.getJobFileName(worker), content);
        return c.store(name, "pretty " + name, tag, stamp, timestamp, job, name + ".png", "pretty " + name + ".png",
                       "image/png");
    }

    // Runs the initialiser to its end and lets the periodic task join it.
    static void finishScan(Cache& c) {
        c.startInitializer();
        joinScan(c);
    }
    // Waits for an initialiser already started and lets the periodic task join it.
    static void joinScan(Cache& c) {
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (c.isInitializerRunning()) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << "initializer did not finish";
            c.periodicTask();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    static std::string log() {
        std::ostringstream out;
        Xadra::ringReport(out);
        return out.str();
    }
    static size_t countLog(const std::string& text) {
        std::string l = log();
        size_t n = 0;
        for (size_t p = l.find(text); p != std::string::npos; p = l.find(text, p + 1)) ++n;
        return n;
    }

    // A unique name whose key falls into the given subdirectory.
    static std::string nameInSubdir(unsigned subdir, int seed, const std::string& tag = "t", const std::string& stamp = "") {
        for (int i = 0;; ++i) {
            std::string name = "n" + std::to_string(seed) + "_" + std::to_string(i) + ".plt";
            if (Xadra::computeCacheKey(name, tag, stamp).subdir == subdir) return name;
        }
    }

    std::string subdirPath(const Cache& c, unsigned subdir) const {
        return c.getCacheDir() + Xadra::subdirName(subdir) + "/";
    }

    std::string base_;
    std::unique_ptr<Cache> cache_;
};
