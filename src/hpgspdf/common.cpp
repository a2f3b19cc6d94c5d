#include "common.h"

#include <charconv>

#include <qpdf/QPDFExc.hh>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <strings.h>

namespace hpgspdf {

void fail(const char* fmt, ...) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    throw Error(buf);
}

std::string readAll(hpgs_istream* is, const char* what) {
    std::string data;
    char buf[65536];
    for (;;) {
        size_t n = hpgs_istream_read(buf, 1, sizeof buf, is);
        if (n > 0) {
            if (data.size() + n > kMaxDocumentBytes) fail("%s is larger than 2 GiB", what);
            data.append(buf, n);
        }
        if (n < sizeof buf) break;
    }
    if (hpgs_istream_iserror(is)) fail("read error on %s", what);
    return data;
}

void writeAll(hpgs_ostream* os, const std::string& data, const char* what) {
    if (!data.empty() && hpgs_ostream_write(data.data(), 1, data.size(), os) != data.size())
        fail("write error on %s", what);
    if (hpgs_ostream_flush(os) != 0 || hpgs_ostream_iserror(os)) fail("write error on %s", what);
}

std::vector<QPDFExc> takeWarnings(QPDF& qpdf) {
    auto warnings = qpdf.getWarnings();
    for (const auto& w : warnings)
        if (std::strstr(w.what(), "std::bad_alloc")) throw std::bad_alloc();
    return warnings;
}

std::shared_ptr<QPDF> openQpdf(std::string data, const std::string& description, bool logRepairs) {
    auto pdf = QPDF::create();
    pdf->setSuppressWarnings(true);
    // qpdf reads stream data lazily from the buffer it was given, so the
    // bytes live as long as the returned handle: both sit in one holder and
    // the handle aliases the holder's QPDF.
    auto copy = std::make_shared<std::string>(std::move(data));
    pdf->processMemoryFile(description.c_str(), copy->data(), copy->size());
    auto warnings = takeWarnings(*pdf);
    if (logRepairs && !warnings.empty())
        hpgs_log("%s: damaged file repaired (%zu warnings, the first: %s)\n", description.c_str(),
                 warnings.size(), warnings.front().what());
    struct Holder {
        std::shared_ptr<QPDF> pdf;
        std::shared_ptr<std::string> bytes;
    };
    auto holder = std::make_shared<Holder>(Holder{pdf, copy});
    return std::shared_ptr<QPDF>(holder, holder->pdf.get());
}

static bool validUtf8(const std::string& s) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 6 ? 1 : (c >> 4) == 14 ? 2 : (c >> 3) == 30 ? 3 : 4;
        if (extra == 4 || i + extra >= s.size() + (extra == 0 ? 1 : 0)) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
        i += extra + 1;
    }
    return true;
}

std::string toUtf8(const char* text, const char* encoding) {
    std::string in = text ? text : "";
    if (!encoding || strcasecmp(encoding, "UTF-8") == 0 || strcasecmp(encoding, "UTF8") == 0) {
        if (!validUtf8(in)) fail("text is not valid UTF-8");
        return in;
    }
    if (strcasecmp(encoding, "ISO-8859-1") == 0 || strcasecmp(encoding, "LATIN1") == 0) {
        std::string out;
        for (unsigned char c : in) {
            if (c < 0x80) {
                out += static_cast<char>(c);
            } else {
                out += static_cast<char>(0xC0 | (c >> 6));
                out += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return out;
    }
    fail("unsupported text encoding '%s'", encoding);
}

void appendNum(std::string& out, double v, int decimals) {
    if (!std::isfinite(v)) fail("coordinate or value is not a finite number");
    // Values that round to zero are written as 0 (never "-0").
    static constexpr double kHalfStep[] = {0.5, 0.05, 0.005, 0.0005, 0.00005, 0.000005, 0.0000005};
    static constexpr double kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    if (decimals < 0 || decimals > 6) fail("cannot write %d decimals", decimals);
    if (std::fabs(v) < kHalfStep[decimals]) {
        out += '0';
        return;
    }
    // Coordinates of any page: as whole multiples of the last decimal,
    // written as an integer with the point put in. Below 10^9 the scaled
    // value (under 10^15) is a whole number a double holds exactly, so
    // this rounds as the decimal value does but for values within a
    // rounding error of a half step. A drawing writes hundreds of
    // thousands of these, and floating-point formatting was most of the
    // time of writing it.
    if (std::fabs(v) < 1e9) {
        const long long n = std::llround(v * kScale[decimals]);
        unsigned long long a = n < 0 ? static_cast<unsigned long long>(-n) : static_cast<unsigned long long>(n);
        if (a == 0) {
            out += '0';
            return;
        }
        char buf[32];
        char* end = buf + sizeof buf;
        char* p = end;
        int d = decimals;
        // The decimals, without trailing zeros.
        while (d > 0 && a % 10 == 0) {
            a /= 10;
            --d;
        }
        const bool point = d > 0;
        for (; d > 0; --d) {
            *--p = static_cast<char>('0' + a % 10);
            a /= 10;
        }
        if (point) *--p = '.';
        do {
            *--p = static_cast<char>('0' + a % 10);
            a /= 10;
        } while (a != 0);
        if (n < 0) *--p = '-';
        out.append(p, end);
        return;
    }
    // to_chars: exact, locale-free and without printf's arbitrary-precision
    // work.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) fail("number %g cannot be written", v);
    char* end = r.ptr;
    if (decimals > 0) {
        while (end[-1] == '0') --end;
        if (end[-1] == '.') --end;
    }
    out.append(buf, end);
}

std::string num(double v) {
    std::string s;
    appendNum(s, v, 4);
    return s;
}

}  // namespace hpgspdf
