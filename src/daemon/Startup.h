// The daemon's command line, its load factor and its state report.
#pragma once

#include "plume/Daemon.h"

#include <atomic>
#include <ostream>
#include <string>

namespace Xadra {

struct StartupOptions {
    std::string applicationName = "xad";
    bool fork = true;        // "-n" clears it
    bool stopRequest = false;    // "-k"
    bool statusRequest = false;  // "-s"
    bool removeJobFiles = true;  // "--no-remove" clears it

    // "xad/" + application name + "_xadrad"
    std::string daemonName() const { return "xad/" + applicationName + "_xadrad"; }
    // The two configuration files, in load order, under the configuration
    // directory (XAD_CONF_DIR when set, else "/etc/xad").
    std::string globalConfigFile() const;
    std::string applicationConfigFile() const;
};

// The configuration directory: XAD_CONF_DIR when set and not empty, else "/etc/xad".
std::string configurationDirectory();

// Scans argv[1..] (log options already removed). Logs each argument at debug
// level. Throws Xadra::Exception (category xadrad, level 3):
// "No application name for option -a given." / "Unknown option %s specified.".
StartupOptions parseStartupOptions(int argc, char** argv);

// Sum of the "bogomips" values in a cpuinfo file divided by 56, truncated.
// Throws Xadra::CException "Error opening /proc/cpuinfo" or Xadra::Exception
// "Could not find bogomips in /proc/cpuinfo" when the result is below 1.
int computeLoadFactor(const std::string& cpuinfo = "/proc/cpuinfo");

// The state report of the daemon: the version line, and once this process
// became the running daemon the recent messages and the cache statistics.
class MyDaemonStateful : public Plume::Sock::Stateful {
public:
    void printState(std::ostream& out) override;
    void setRunning(bool r) { running_ = r; }
    bool isRunning() const { return running_; }

private:
    std::atomic<bool> running_{false};
};

}  // namespace Xadra
