#include "System.h"

#include "Exception.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <sys/time.h>

namespace Plume {

namespace {
std::atomic<bool> g_hup{false};

extern "C" void onTerminationSignal(int) { g_hup.store(true); }
extern "C" void onInterruptSignal(int) {}
}  // namespace

void installSignalHandlers() {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: blocking calls return EINTR
    sa.sa_handler = onTerminationSignal;
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onInterruptSignal;
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &sa, nullptr);
}

bool getHupSignalCatched() { return g_hup.load(); }
void resetHupSignalCatched() { g_hup.store(false); }
void setHupSignalCatched() { g_hup.store(true); }

int64_t getCurrentTimeMillis() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

ObjPtr<FileHandle> FileHandle::newInstance(const std::string& path, const char* mode) {
    FILE* f = std::fopen(path.c_str(), mode);
    if (!f) throw CException(2, 3, "Cannot open file %s", path.c_str());
    return makeObj<FileHandle>(f, path);
}

FileHandle::~FileHandle() {
    if (f_) std::fclose(f_);
}

void FileHandle::close() {
    if (!f_) return;
    FILE* f = f_;
    f_ = nullptr;
    if (std::fclose(f) != 0) throw CException(2, 3, "Error closing file %s", path_.c_str());
}

}  // namespace Plume
