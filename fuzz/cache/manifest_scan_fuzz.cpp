// Feeds arbitrary bytes to the cache's start-up scan as a manifest: the
// bytes are stored as the manifest of the key their own input names give
// (so that the scan gets past the checksum), next to a data file named as
// their "disk_file" asks where that is a plain name, else by the key alone. Whatever the scan then
// serves must be a regular file of that key in that subdirectory, and files
// elsewhere (in the base directory, the cache directory and the next
// subdirectory) must survive. Nothing may crash, hang or leak. Built with
// libFuzzer (XAD_FUZZ) or as a corpus replayer. Seed corpus:
// fuzz/cache/corpus.

#include "cache/HPGSRendererCache.h"
#include "plume/ConfigOptions.h"
#include "plume/Exception.h"
#include "xadracommon/LogService.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// The base directory of this process, removed at exit.
class Scratch {
public:
    Scratch() {
        char tmpl[] = "/tmp/xadmanifestfuzzXXXXXX";
        if (!::mkdtemp(tmpl)) std::abort();
        base_ = tmpl;
    }
    ~Scratch() {
        std::error_code ec;
        fs::remove_all(base_, ec);
    }
    const std::string& base() const { return base_; }

private:
    std::string base_;
};

void writeFile(const std::string& path, const char* data, size_t size) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data, static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

// The values the scan will read, read the same way; empty where the bytes
// give none.
struct Names {
    std::string unique, tag, stamp, diskFile;
};
Names namesOf(const std::string& path) {
    Names n;
    try {
        auto m = Plume::ConfigOptions::newInstance(path);
        m->load(path, Plume::ConfigOptions::LOAD_MUST_EXIST);
        n.unique = m->getString("input_unique_name", "");
        n.tag = m->getString("input_unique_tag", "");
        n.stamp = m->getString("stamp", "");
        n.diskFile = m->getString("disk_file", "");
    } catch (const Plume::Exception&) {
    }
    return n;
}

bool plainName(const std::string& s) {
    if (s.empty() || s.size() > 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == '_')) return false;
    return true;
}

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "manifest scan: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Scratch scratch;
    static const bool quiet = [] {
        Xadra::logService().levelThreshold = 2;
        return true;
    }();
    (void)quiet;
    const std::string& base = scratch.base();
    std::error_code ec;

    Xadra::HPGSRendererCache cache;
    cache.setSyncWrites(false);
    cache.initialise(100.0, base);
    const std::string probe = base + "/probe";
    writeFile(probe, reinterpret_cast<const char*>(data), size);
    const Names n = namesOf(probe);
    fs::remove(probe, ec);

    const Xadra::CacheKey k = Xadra::computeCacheKey(n.unique, n.tag, n.stamp);
    const std::string dir = cache.getCacheDir() + Xadra::subdirName(k.subdir) + "/";
    const std::string next = cache.getCacheDir() + Xadra::subdirName((k.subdir + 1) & 0xff) + "/";
    fs::create_directories(dir);
    fs::create_directories(next);
    writeFile(dir + Xadra::keyName(k.key) + ".manifest", reinterpret_cast<const char*>(data), size);
    writeFile(dir + (plainName(n.diskFile) ? n.diskFile : Xadra::keyName(k.key)), "data", 4);
    const std::string canaries[] = {base + "/canary", cache.getCacheDir() + "canary", next + "canary"};
    for (const std::string& c : canaries) writeFile(c, "keep", 4);

    cache.startInitializer();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (cache.isInitializerRunning()) {
        require(std::chrono::steady_clock::now() < until, "the scan did not finish");
        cache.periodicTask();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    if (auto e = cache.lookup(n.unique, n.tag, n.stamp)) {
        const fs::path p(e->getDataFilePath());
        require(p.parent_path().string() + "/" == dir, "an entry's data file lies outside its subdirectory");
        require(p.filename().string().rfind(Xadra::keyName(k.key), 0) == 0, "an entry's data file has another key");
        require(fs::is_regular_file(fs::symlink_status(p)), "an entry's data file is no regular file");
    }
    for (const std::string& c : canaries) require(fs::exists(c), "the scan deleted a file outside its entry");
    cache.shutdown();
    // The next input finds an empty cache; the scan makes these two again.
    fs::remove_all(dir, ec);
    fs::remove_all(next, ec);
    return 0;
}

#include "../replay_main.h"
