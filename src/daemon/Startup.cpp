#include "Startup.h"

#include "xadracommon/LogService.h"
#include "xadracommon/Version.h"
#include "xadracommon/XadraException.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "JobRegistry.h"
#include "cache/HPGSRendererCache.h"

namespace Xadra {

std::string configurationDirectory() {
    const char* d = std::getenv("XAD_CONF_DIR");
    return d && *d ? std::string(d) : std::string("/etc/xad");
}

std::string StartupOptions::globalConfigFile() const { return configurationDirectory() + "/xad.conf"; }

std::string StartupOptions::applicationConfigFile() const {
    return configurationDirectory() + "/" + applicationName + "/xad.conf";
}

StartupOptions parseStartupOptions(int argc, char** argv) {
    StartupOptions o;
    logMessage(7, "Entering main, argc=%d", argc);
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        logMessage(7, "Entering main, argv[%d]=%s", i, a);
        if (!std::strcmp(a, "-a")) {
            if (i + 1 >= argc) throw Exception(CAT_DAEMON, 3, "No application name for option -a given.");
            o.applicationName = argv[++i];
            logMessage(7, "Entering main, argv[%d]=%s", i, argv[i]);
        } else if (!std::strncmp(a, "-a", 2)) {
            o.applicationName = a + 2;
        } else if (!std::strcmp(a, "-n")) {
            o.fork = false;
        } else if (!std::strcmp(a, "-k")) {
            o.stopRequest = true;
        } else if (!std::strcmp(a, "-s")) {
            o.statusRequest = true;
        } else if (!std::strcmp(a, "--no-remove")) {
            o.removeJobFiles = false;
        } else if (!std::strncmp(a, "--", 2)) {
            // configuration keys (--key=value) and other long options
        } else {
            throw Exception(CAT_DAEMON, 3, "Unknown option %s specified.", a);
        }
    }
    return o;
}

int computeLoadFactor(const std::string& cpuinfo) {
    FILE* f = std::fopen(cpuinfo.c_str(), "r");
    if (!f) throw CException(CAT_REMOTING, 3, "Error opening %s", cpuinfo.c_str());
    char line[1024];
    double sum = 0.0;
    while (std::fgets(line, sizeof line, f)) {
        double v;
        if (std::sscanf(line, "bogomips : %lf", &v) == 1) {
            logCategory(CAT_REMOTING, 7, "bogomips=%lf.", v);
            sum += v;
        }
    }
    std::fclose(f);
    int factor = static_cast<int>(sum / 56.0);
    if (factor < 1) throw Exception(CAT_REMOTING, 3, "Could not find bogomips in %s", cpuinfo.c_str());
    return factor;
}

void MyDaemonStateful::printState(std::ostream& out) {
    out << "xadrad " << VERSION << " (" << BUILD_STAMP << ")\n";
    out.flush();
    if (!running_) return;
    ringReport(out);
    printWorkerReport(out);
    HPGSRendererCache::instance().printStatistics(out);
    out.flush();
}

}  // namespace Xadra
