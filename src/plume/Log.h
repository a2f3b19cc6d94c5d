// The framework's log backend.
//
// Lines go to standard error (time, program identity, level word, category,
// text) while the process runs in the foreground, and to syslog once
// plumelog_use_syslog(true) has been called (the daemon support does so after
// detaching). All functions are thread-safe; one line is written atomically.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace Plume {

struct LogCategory {
    const char* name;  // null ends a table
    unsigned bit;
};

// One record per program: the categories it logs under and the filters that
// apply to them. A message of a category passes when its level is at most
// levelThreshold, or when the category's bit is set in categoryMask.
struct LogService {
    const char* name;
    unsigned categoryMask;
    int levelThreshold;
    const LogCategory* categories;

    bool enabled(unsigned categoryBit, int level) const {
        return level <= levelThreshold || (categoryMask & categoryBit) != 0;
    }
    // Name of the category with the given bit, or the service's name when unknown.
    const char* categoryName(unsigned categoryBit) const;
};

// printf-style formatting into a string (used by the log and the exceptions).
std::string vformat(const char* format, va_list args);

enum LogLevel { LOG_ERROR = 3, LOG_WARN = 4, LOG_NOTICE = 5, LOG_INFO = 6, LOG_DEBUG = 7 };

}  // namespace Plume

// Initialises logging for the process. flag 1 logs to standard error until
// syslog is switched on; identity names the program in every line.
void plumelog_init(int flag, const char* identity, int argc, char** argv);

// The three argument passes: each removes the log options it recognises from
// argv (compacting it, updating *argc) and applies them to the service.
//   pass 0: "--log-level=N"          level threshold (0..7)
//   pass 1: "--log-mask=LIST"        category mask: category names separated
//                                    by commas, or a number (decimal or 0x..)
//   pass 2: "--log-syslog" / "--log-stderr"  destination
// Throws Plume::Exception naming the option when a value is malformed.
void plumelog_parse_arg(int pass, int* argc, char** argv, Plume::LogService* service);

// Writes one message at a level under the identity's default category.
void vplumelog_impl(int level, const char* format, va_list args);
void plumelog_impl(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes one message under a named category; the filter is the caller's.
void plumelog_write(const char* category, int level, const std::string& text);

void plumelog_use_syslog(bool on);
void plumelog_closelog();

// Where lines go when not on syslog: -1 restores standard error. Tests use it
// to capture log output.
void plumelog_set_fd(int fd);
