#include "LogService.h"

#include "plume/Thread.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace Xadra {

namespace {

const Plume::LogCategory kCategories[] = {
    {"xadraremoting", CAT_REMOTING}, {"xadrastream", CAT_STREAM}, {"xadrahpgs", CAT_HPGS},
    {"xadrapng", CAT_PNG},           {"xadrad", CAT_DAEMON},      {"xadrac", CAT_CLIENT},
    {"xadrafft", CAT_FFT},           {"xadrags", CAT_GS},         {nullptr, 0},
};

Plume::LogService g_service = {"xad", 0, 6, kCategories};

struct Slot {
    time_t time = 0;
    int level = 0;
    bool used = false;
    std::unique_ptr<char[]> text;  // null when formatting failed
};

Plume::Mutex g_ringMutex;
std::vector<Slot> g_slots GUARDED_BY(g_ringMutex);
unsigned g_next GUARDED_BY(g_ringMutex) = 0;
// How many slots hold a message; the ring is listed oldest first from
// (next - filled) so that a ring that has not yet filled shows its messages too.
unsigned g_filled GUARDED_BY(g_ringMutex) = 0;

std::unique_ptr<char[]> formatText(const char* format, va_list args) {
    size_t size = 1024;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::unique_ptr<char[]> buf(new (std::nothrow) char[size]);
        if (!buf) return nullptr;
        va_list copy;
        va_copy(copy, args);
        int n = std::vsnprintf(buf.get(), size, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < size) return buf;
        size = n >= 0 ? static_cast<size_t>(n) + 1 : size * 2;
    }
    return nullptr;
}

const char* levelWord(int level) {
    if (level == 3) return "ERROR";
    if (level == 4) return "WARN";
    return "INFO";
}

}  // namespace

Plume::LogService& logService() { return g_service; }

void vlogMessage(int level, const char* format, va_list args) {
    if (g_service.enabled(CAT_DAEMON, level)) {
        va_list copy;
        va_copy(copy, args);
        char small[1024];
        int n = std::vsnprintf(small, sizeof small, format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < sizeof small) {
            plumelog_write("xadrad", level, std::string(small, static_cast<size_t>(n)));
        } else {
            std::unique_ptr<char[]> text = formatText(format, args);
            plumelog_write("xadrad", level, text ? text.get() : format);
        }
    }
    Plume::MutexLock lock(g_ringMutex);
    if (g_slots.empty()) return;
    Slot& s = g_slots[g_next];
    s.text = formatText(format, args);
    s.time = std::time(nullptr);
    s.level = level;
    s.used = true;
    g_next = (g_next + 1) % g_slots.size();
    if (g_filled < g_slots.size()) ++g_filled;
}

void logMessage(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vlogMessage(level, format, ap);
    va_end(ap);
}

void logCategory(unsigned categoryBit, int level, const char* format, ...) {
    if (!g_service.enabled(categoryBit, level)) return;
    va_list ap;
    va_start(ap, format);
    std::unique_ptr<char[]> text = formatText(format, ap);
    va_end(ap);
    plumelog_write(g_service.categoryName(categoryBit), level, text ? text.get() : format);
}

void ringResize(unsigned count) {
    Plume::MutexLock lock(g_ringMutex);
    g_slots.clear();
    g_slots.shrink_to_fit();
    g_slots.resize(count);
    g_next = 0;
    g_filled = 0;
}

void ringReport(std::ostream& out) {
    out << "***** Latest job information\n";
    Plume::MutexLock lock(g_ringMutex);
    size_t cap = g_slots.size();
    if (cap == 0) return;
    size_t start = (g_next + cap - g_filled) % cap;
    for (size_t i = 0; i < g_filled; ++i) {
        const Slot& s = g_slots[(start + i) % cap];
        if (!s.used) break;
        struct tm tm;
        localtime_r(&s.time, &tm);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
        out << stamp << ' ' << levelWord(s.level) << ' ';
        if (s.text) out << s.text.get();
        out << '\n';
    }
}

}  // namespace Xadra
