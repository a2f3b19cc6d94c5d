// Shared plumbing of the PDF layer: the error convention (exceptions inside,
// hpgs error slot at the C boundary), whole-stream I/O over hpgs streams,
// text encodings and number formatting for content streams.
#ifndef HPGSPDF_COMMON_H
#define HPGSPDF_COMMON_H

#include "hpgs.h"
#include "hpgs_ptr.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFExc.hh>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace hpgspdf {

// A failure with a message meant for the user (it names the file or value).
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

[[noreturn]] void fail(const char* fmt, ...) HPGS_PRINTF_ARGS(1, 2);

// Runs body and turns every exception into -1 with the message in the hpgs
// error slot, prefixed by what; the C functions are noexcept at the edge.
template <class Body>
int guarded(const char* what, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return hpgs_set_error("%s: out of memory", what);
    } catch (const std::exception& e) {
        return hpgs_set_error("%s: %s", what, e.what());
    } catch (...) {
        return hpgs_set_error("%s: unknown failure", what);
    }
}

// Upper bound for one PDF or FDF document read into memory.
inline constexpr size_t kMaxDocumentBytes = size_t(1) << 31;

// Reads is to its end; throws on a read error or an oversized input.
std::string readAll(hpgs_istream* is, const char* what);
// Writes all bytes; throws naming what on a write error.
void writeAll(hpgs_ostream* os, const std::string& data, const char* what);

// The warnings qpdf collected since the last call (it clears them). qpdf
// turns some failures while it reads objects, a failed allocation among
// them, into warnings and goes on with what it could read ("repairing" a
// sound file into one without pages, say): what it then holds is not the
// input. A failed allocation among the warnings therefore throws
// std::bad_alloc.
std::vector<QPDFExc> takeWarnings(QPDF& qpdf);

// Opens a PDF (or FDF) held in memory, taking the bytes over. Damaged files
// are repaired as far as qpdf can (with logRepairs one log line tells; FDF
// files lack a PDF header and cross-reference table by nature), and what
// cannot be repaired throws.
std::shared_ptr<QPDF> openQpdf(std::string data, const std::string& description, bool logRepairs);

// Converts text in encoding ("UTF-8" in any case, NULL, or "ISO-8859-1")
// to checked UTF-8.
std::string toUtf8(const char* text, const char* encoding);

// Number for a content stream: at most 4 decimals, no exponent; throws for
// values that are not finite.
std::string num(double v);
// Appends v with at most decimals digits after the point (trailing zeros
// dropped); num uses 4. Throws (through fail) for a value that is not finite.
void appendNum(std::string& out, double v, int decimals);
// Path coordinates in points: a thousandth of a point is 70 times finer than
// a plotter's 0.025 mm step.
constexpr int kCoordinateDecimals = 3;

}  // namespace hpgspdf

#endif
