// Where the benchmarks keep their caches and job files: a fresh folder
// under $XAD_BENCH_DIR, or under /tmp when that is not set.
//
// The place matters for the jobs that create several files per request. On
// an ext4 file system without a journal, the kernel looks at every inode
// deleted in the last minute or so before it hands out a new one, so a run
// that follows the deletions of an earlier run gets slower with each file
// it creates; with a journal (the usual set-up) that scan does not happen.
// Pointing XAD_BENCH_DIR at a journaled file system, or at a tmpfs, measures
// the jobs instead of that scan.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace benchdaemon {

// A new folder "<root>/<prefix>XXXXXX"; throws std::runtime_error naming
// the template when it cannot be made.
inline std::string makeBenchDir(const std::string& prefix) {
    const char* root = std::getenv("XAD_BENCH_DIR");
    std::string tmpl = std::string(root && *root ? root : "/tmp") + "/" + prefix + "XXXXXX";
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("cannot make the benchmark folder " + tmpl);
    return tmpl;
}

}  // namespace benchdaemon
