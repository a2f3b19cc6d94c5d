// Document information: Info dictionary entries, dates and the document's
// scripts (open action, additional actions, document-level JavaScript).
#include "common.h"
#include "document.h"

#include <cstdlib>

using namespace hpgspdf;

namespace hpgspdf {

static QPDFObjectHandle infoDict(QPDF& qpdf) {
    auto trailer = qpdf.getTrailer();
    auto info = trailer.getKey("/Info");
    if (!info.isDictionary()) {
        info = qpdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
        trailer.replaceKey("/Info", info);
    }
    return info;
}

static QPDFObjectHandle dictUnder(QPDF& qpdf, QPDFObjectHandle parent, const char* key) {
    auto d = parent.getKey(key);
    if (!d.isDictionary()) {
        d = qpdf.makeIndirectObject(QPDFObjectHandle::newDictionary());
        parent.replaceKey(key, d);
    }
    return d;
}

static QPDFObjectHandle javaScriptAction(QPDF& qpdf, const std::string& script) {
    auto action = QPDFObjectHandle::newDictionary();
    action.replaceKey("/Type", QPDFObjectHandle::newName("/Action"));
    action.replaceKey("/S", QPDFObjectHandle::newName("/JavaScript"));
    action.replaceKey("/JS", QPDFObjectHandle::newUnicodeString(script));
    return qpdf.makeIndirectObject(action);
}

// A JavaScript string literal holding text.
static std::string jsString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out + "\"";
}

// Sets or (with an empty script) removes the document-level script name in
// the catalog's /Names /JavaScript tree (kept as a flat /Names array).
static void setDocumentScript(QPDF& qpdf, const std::string& name, const std::string& script) {
    auto root = qpdf.getRoot();
    auto names = dictUnder(qpdf, root, "/Names");
    auto tree = dictUnder(qpdf, names, "/JavaScript");
    auto arr = tree.getKey("/Names");
    auto out = QPDFObjectHandle::newArray();
    if (arr.isArray()) {
        for (int i = 0; i + 1 < arr.getArrayNItems(); i += 2) {
            auto k = arr.getArrayItem(i);
            if (k.isString() && k.getUTF8Value() == name) continue;
            out.appendItem(k);
            out.appendItem(arr.getArrayItem(i + 1));
        }
    }
    if (!script.empty()) {
        out.appendItem(QPDFObjectHandle::newUnicodeString(name));
        out.appendItem(javaScriptAction(qpdf, script));
    }
    // A tree with /Kids is replaced by the flat form: our scripts are few.
    tree.removeKey("/Kids");
    tree.replaceKey("/Names", out);
}

void setInfo(QPDF& qpdf, int key, const std::string& text) {
    static const char* const infoKeys[] = {"/Title", "/Author", "/Subject", "/Keywords",
                                           "/Creator"};
    static const char* const actionKeys[] = {"/WC", "/WS", "/DS", "/WP", "/DP"};
    if (key >= HPGS_PDF_INFO_TITLE && key <= HPGS_PDF_INFO_CREATOR) {
        auto info = infoDict(qpdf);
        if (text.empty())
            info.removeKey(infoKeys[key]);
        else
            info.replaceKey(infoKeys[key], QPDFObjectHandle::newUnicodeString(text));
    } else if (key == HPGS_PDF_INFO_ANNOTATION || key == HPGS_PDF_INFO_SCALE_ANNO) {
        auto info = infoDict(qpdf);
        const char* k = key == HPGS_PDF_INFO_ANNOTATION ? "/Annotation" : "/ScaleAnnotation";
        if (text.empty())
            info.removeKey(k);
        else
            info.replaceKey(k, QPDFObjectHandle::newUnicodeString(text));
    } else if (key == HPGS_PDF_INFO_SUBMIT_MSG) {
        setDocumentScript(qpdf, "SubmitMessage",
                          text.empty() ? "" : "var submitMessage = " + jsString(text) + ";");
    } else if (key == HPGS_PDF_INFO_OPEN_SCRIPT) {
        auto root = qpdf.getRoot();
        if (text.empty())
            root.removeKey("/OpenAction");
        else
            root.replaceKey("/OpenAction", javaScriptAction(qpdf, text));
    } else if (key >= HPGS_PDF_INFO_DC_SCRIPT && key <= HPGS_PDF_INFO_DP_SCRIPT) {
        auto aa = dictUnder(qpdf, qpdf.getRoot(), "/AA");
        const char* k = actionKeys[key - HPGS_PDF_INFO_DC_SCRIPT];
        if (text.empty())
            aa.removeKey(k);
        else
            aa.replaceKey(k, javaScriptAction(qpdf, text));
    } else if (key == HPGS_PDF_INFO_CREATION_DATE || key == HPGS_PDF_INFO_MOD_DATE) {
        fail("key %d takes a timestamp, not a text", key);
    } else {
        fail("unknown information key %d", key);
    }
}

std::string pdfDate(const hpgs_pdf_timestamp& ts) {
    time_t local = ts.seconds + ts.utcOffset;
    struct tm t;
    if (!gmtime_r(&local, &t)) fail("timestamp %lld cannot be represented", (long long)ts.seconds);
    int off = std::abs(ts.utcOffset) / 60;
    char buf[64];
    snprintf(buf, sizeof buf, "D:%04d%02d%02d%02d%02d%02d%c%02d'%02d'", t.tm_year + 1900,
             t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec,
             ts.utcOffset < 0 ? '-' : '+', off / 60, off % 60);
    return buf;
}

void setTimestamp(QPDF& qpdf, int key, const hpgs_pdf_timestamp& ts) {
    if (key != HPGS_PDF_INFO_CREATION_DATE && key != HPGS_PDF_INFO_MOD_DATE)
        fail("key %d takes a text, not a timestamp", key);
    infoDict(qpdf).replaceKey(key == HPGS_PDF_INFO_CREATION_DATE ? "/CreationDate" : "/ModDate",
                              QPDFObjectHandle::newString(pdfDate(ts)));
}

}  // namespace hpgspdf

extern "C" {

int hpgs_pdf_file_set_info(hpgs_pdf_file* pdf, int key, const char* text, const char* encoding) {
    return guardedOn(pdf, "hpgs_pdf_file_set_info", [&] {
        setInfo(usable(pdf), key, toUtf8(text, encoding));
        return 0;
    });
}

int hpgs_pdf_file_set_timestamp_info(hpgs_pdf_file* pdf, int key, const hpgs_pdf_timestamp* ts) {
    return guardedOn(pdf, "hpgs_pdf_file_set_timestamp_info", [&] {
        if (!ts) fail("no timestamp given");
        setTimestamp(usable(pdf), key, *ts);
        return 0;
    });
}

hpgs_pdf_timestamp* hpgs_pdf_timestamp_now(void) {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return hpgs_pdf_timestamp_new(now, static_cast<int>(t.tm_gmtoff));
}

hpgs_pdf_timestamp* hpgs_pdf_timestamp_new(time_t seconds, int utc_offset) {
    if (utc_offset < -86400 || utc_offset > 86400) {
        hpgs_set_error("hpgs_pdf_timestamp_new: UTC offset %d s is beyond 24 hours", utc_offset);
        return nullptr;
    }
    auto* ts = new (std::nothrow) hpgs_pdf_timestamp;
    if (!ts) {
        hpgs_set_error("hpgs_pdf_timestamp_new: out of memory");
        return nullptr;
    }
    ts->seconds = seconds;
    ts->utcOffset = utc_offset;
    return ts;
}

void hpgs_pdf_timestamp_destroy(hpgs_pdf_timestamp* ts) { delete ts; }

}  // extern "C"
