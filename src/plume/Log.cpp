#include "Log.h"

#include "Exception.h"
#include "Thread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

namespace Plume {

const char* LogService::categoryName(unsigned categoryBit) const {
    for (const LogCategory* c = categories; c && c->name; ++c)
        if (c->bit == categoryBit) return c->name;
    return name ? name : "?";
}

std::string vformat(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return format;
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<size_t>(n));
    return out;
}

}  // namespace Plume

namespace {

Plume::Mutex g_mutex;
std::string g_identity GUARDED_BY(g_mutex) = "plume";
bool g_syslog GUARDED_BY(g_mutex) = false;
int g_fd GUARDED_BY(g_mutex) = 2;

const char* levelWord(int level) {
    switch (level) {
        case 0: return "EMERG";
        case 1: return "ALERT";
        case 2: return "CRIT";
        case 3: return "ERROR";
        case 4: return "WARN";
        case 5: return "NOTICE";
        case 6: return "INFO";
        default: return "DEBUG";
    }
}

// Removes argv[i] by shifting the rest down.
void dropArg(int* argc, char** argv, int i) {
    for (int j = i; j < *argc - 1; ++j) argv[j] = argv[j + 1];
    --*argc;
    argv[*argc] = nullptr;
}

}  // namespace

void plumelog_init(int flag, const char* identity, int, char**) {
    Plume::MutexLock lock(g_mutex);
    g_identity = identity ? identity : "plume";
    g_syslog = false;
    (void)flag;
}

void plumelog_parse_arg(int pass, int* argc, char** argv, Plume::LogService* service) {
    for (int i = 1; i < *argc;) {
        const char* a = argv[i];
        bool used = false;
        if (pass == 0 && std::strncmp(a, "--log-level=", 12) == 0) {
            char* end = nullptr;
            long v = std::strtol(a + 12, &end, 10);
            if (!*(a + 12) || *end || v < 0 || v > 7)
                throw Plume::Exception(1, 3, "Invalid log level [%s] in option %s (expected 0..7).", a + 12, a);
            service->levelThreshold = static_cast<int>(v);
            used = true;
        } else if (pass == 1 && std::strncmp(a, "--log-mask=", 11) == 0) {
            const char* v = a + 11;
            char* end = nullptr;
            unsigned long num = std::strtoul(v, &end, 0);
            if (*v && !*end) {
                service->categoryMask = static_cast<unsigned>(num);
            } else {
                unsigned mask = 0;
                std::string list(v);
                size_t start = 0;
                while (start <= list.size()) {
                    size_t comma = list.find(',', start);
                    std::string name = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                    bool found = false;
                    for (const Plume::LogCategory* c = service->categories; c && c->name; ++c)
                        if (name == c->name) { mask |= c->bit; found = true; }
                    if (!found && name != "all")
                        throw Plume::Exception(1, 3, "Unknown log category [%s] in option %s.", name.c_str(), a);
                    if (name == "all") mask = ~0u;
                    if (comma == std::string::npos) break;
                    start = comma + 1;
                }
                service->categoryMask = mask;
            }
            used = true;
        } else if (pass == 2 && std::strcmp(a, "--log-syslog") == 0) {
            plumelog_use_syslog(true);
            used = true;
        } else if (pass == 2 && std::strcmp(a, "--log-stderr") == 0) {
            plumelog_use_syslog(false);
            used = true;
        }
        if (used) dropArg(argc, argv, i);
        else ++i;
    }
}

void plumelog_write(const char* category, int level, const std::string& text) {
    Plume::MutexLock lock(g_mutex);
    if (g_syslog) {
        int prio = level < 0 ? 0 : (level > 7 ? 7 : level);
        syslog(prio, "[%s] %s: %s", levelWord(level), category, text.c_str());
        return;
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tm;
    localtime_r(&tv.tv_sec, &tm);
    char stamp[40];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    char head[128];
    int n = std::snprintf(head, sizeof head, "%s.%03ld %s[%d] %s %s: ", stamp,
                          static_cast<long>(tv.tv_usec / 1000), g_identity.c_str(),
                          static_cast<int>(getpid()), levelWord(level), category);
    std::string line(head, n > 0 ? static_cast<size_t>(n) : 0);
    line += text;
    line += '\n';
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t w = ::write(g_fd, p, left);
        if (w <= 0) break;
        p += w;
        left -= static_cast<size_t>(w);
    }
}

void vplumelog_impl(int level, const char* format, va_list args) {
    std::string text = Plume::vformat(format, args);
    std::string category;
    {
        Plume::MutexLock lock(g_mutex);
        category = g_identity;
    }
    plumelog_write(category.c_str(), level, text);
}

void plumelog_impl(int level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    vplumelog_impl(level, format, ap);
    va_end(ap);
}

void plumelog_use_syslog(bool on) {
    Plume::MutexLock lock(g_mutex);
    if (on && !g_syslog) openlog(g_identity.c_str(), LOG_PID, LOG_DAEMON);
    if (!on && g_syslog) closelog();
    g_syslog = on;
}

void plumelog_closelog() {
    Plume::MutexLock lock(g_mutex);
    if (g_syslog) closelog();
    g_syslog = false;
}

void plumelog_set_fd(int fd) {
    Plume::MutexLock lock(g_mutex);
    g_fd = fd < 0 ? 2 : fd;
}
