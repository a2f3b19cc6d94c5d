// The real xadrad for benchmarks: one daemon process with its own
// directories on a free loopback port, stopped and removed with the object.
#pragma once

#include "plume/Remoting.h"

#include "BenchDir.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include <sys/wait.h>
#include <unistd.h>

namespace benchdaemon {

using namespace Plume;

inline int freePort() {
    auto d = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
    d->bind();
    return d->getBoundPort();
}

class DaemonProcess {
public:
    explicit DaemonProcess(unsigned workers = 2) {
        dir_ = makeBenchDir("xadrad-bench-");
        port_ = freePort();
        pid_ = fork();
        if (pid_ == 0) {
            // XAD_BENCH_DAEMON_LOG names a file for the daemon's full log
            // (level 7), to see where a run spends its time.
            const char* log = getenv("XAD_BENCH_DAEMON_LOG");
            const bool logged = log && *log;
            freopen(logged ? log : "/dev/null", "w", stderr);
            const char* level = logged ? "--log-level=7" : "--log-level=2";
            setenv("XAD_CONF_DIR", dir_.c_str(), 1);
            std::string a1 = "--xadrad_cache_baseDir=" + dir_ + "/base";
            std::string a2 = "--xadrad_listen_address=127.0.0.1:" + std::to_string(port_);
            std::string a3 = "--xadrad_job_nWorkers=" + std::to_string(workers);
            std::string bin = std::string(XAD_BIN_DIR) + "/xadrad";
            // A listen backlog of 64: the default of 4 drops the connection
            // requests of a burst of more than five new clients, which then
            // wait a second to ask again; the benchmarks measure the work.
            execl(bin.c_str(), bin.c_str(), "-n", a1.c_str(), a2.c_str(), a3.c_str(), "--xadrad_cache_mbytes=2000",
                  "--xadrad_job_renderTimeout=120", "--xadrad_suUser=root", "--xadrad_listen_backlog=64", level,
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 500; ++i) {
            try {
                Sock::DeviceFactory f;
                close(f.connect(*Sock::Address::newInstance("127.0.0.1:" + std::to_string(port_)), 100));
                break;
            } catch (const std::exception&) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
    }
    ~DaemonProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        std::system(("rm -rf " + dir_).c_str());
    }
    int port() const { return port_; }
    pid_t pid() const { return pid_; }

private:
    std::string dir_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace benchdaemon
