// The programs' log service: the shared category table, the program-level log
// call and the ring of recent messages that status reports show.
//
// Thread-safety: every function may be called from any thread. The ring has
// one process-wide mutex; formatting into the ring happens under it.
#pragma once

#include "plume/Log.h"

#include <ostream>

namespace Xadra {

enum LogCategoryBit : unsigned {
    CAT_REMOTING = 1,  // "xadraremoting"
    CAT_STREAM = 2,    // "xadrastream"
    CAT_HPGS = 4,      // "xadrahpgs"
    CAT_PNG = 8,       // "xadrapng"
    CAT_DAEMON = 16,   // "xadrad"
    CAT_CLIENT = 32,   // "xadrac"
    CAT_FFT = 64,      // "xadrafft"
    CAT_GS = 128,      // "xadrags"
};

// The log service record ("xad"): mask 0, threshold 6, the eight categories.
Plume::LogService& logService();

// Logs in category "xadrad" through the framework logger when the filter lets
// it pass, and records it in the ring (when the ring is on) in any case.
void logMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void vlogMessage(int level, const char* format, va_list args);

// Logs under any category of the table (no ring).
void logCategory(unsigned categoryBit, int level, const char* format, ...) __attribute__((format(printf, 3, 4)));

// Discards every entry and makes the ring hold count empty slots; 0 turns it off.
void ringResize(unsigned count);

// Writes "***** Latest job information" and the recorded messages, oldest
// first, one per line: local time, level word (ERROR, WARN, INFO), text.
void ringReport(std::ostream& out);

}  // namespace Xadra
