// The job machinery for in-process benchmarks: a result cache in a fresh
// temporary folder (without fsync, so that the disk does not dominate), two
// started workers and a generous render time-out; all undone by the
// destructor.
#pragma once

#include "cache/HPGSRendererCache.h"
#include "daemon/JobRegistry.h"
#include "daemon/Settings.h"
#include "xadracommon/LogService.h"

#include "BenchDir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace benchdaemon {

struct JobBenchEnv {
    // prefix: the start of the folder's name (see BenchDir.h).
    explicit JobBenchEnv(const std::string& prefix) {
        base = makeBenchDir(prefix);
        Xadra::logService().levelThreshold = 2;
        cache.setSyncWrites(false);
        cache.initialise(100000.0, base);
        Xadra::setJobCache(&cache);
        Xadra::Settings::setRenderTimeout(600);
        Xadra::setNWorkers(2);
        Xadra::startWorkers();
    }
    ~JobBenchEnv() {
        Xadra::stopWorkers();
        Xadra::setJobCache(nullptr);
        std::filesystem::remove_all(base);
    }
    JobBenchEnv(const JobBenchEnv&) = delete;
    JobBenchEnv& operator=(const JobBenchEnv&) = delete;

    std::string base;
    Xadra::HPGSRendererCache cache;
};

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace benchdaemon
