// The document behind hpgs_pdf_file and the page and information helpers
// shared by the document functions, the page devices and the annotation
// import.
#ifndef HPGSPDF_DOCUMENT_H
#define HPGSPDF_DOCUMENT_H

#include "common.h"
#include "hpgspdf.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

struct hpgs_pdf_file_st {
    // Null for a document that needs a password: only is_encrypted works.
    std::shared_ptr<QPDF> qpdf;
    bool encrypted = false;
    // Documents whose pages were copied in: qpdf reads their stream data
    // only when this document is written.
    std::vector<std::shared_ptr<QPDF>> sources;
};

struct hpgs_pdf_timestamp_st {
    time_t seconds = 0;
    int utcOffset = 0;  // seconds east of UTC
};

namespace hpgspdf {

// The document's QPDF; throws for an encrypted document.
QPDF& usable(hpgs_pdf_file* pdf);
// Throws std::bad_alloc when qpdf lost memory while it read objects of the
// document or of the documents its copied pages read from (takeWarnings).
void checkRead(hpgs_pdf_file* pdf);

// guarded for a call on a document: it also fails when qpdf, reading the
// document's objects on the way, went on without some of them for lack of
// memory.
template <class Body>
int guardedOn(hpgs_pdf_file* pdf, const char* what, Body&& body) noexcept {
    return guarded(what, [&] {
        const int rc = body();
        checkRead(pdf);
        return rc;
    });
}
// The page object; throws naming the page when it does not exist.
QPDFObjectHandle pageOf(QPDF& qpdf, int page);
// The page's crop box (inherited, else the media box), normalised.
hpgs_bbox cropBoxOf(QPDFObjectHandle page);
// The page's media box (inherited), normalised; US Letter when missing.
hpgs_bbox mediaBoxOf(QPDFObjectHandle page);
QPDFObjectHandle boxArray(const hpgs_bbox& bb);

// Information keys shared by documents and the PDF device.
void setInfo(QPDF& qpdf, int key, const std::string& utf8);
void setTimestamp(QPDF& qpdf, int key, const hpgs_pdf_timestamp& ts);
// "D:YYYYMMDDHHmmSS+HH'mm'"
std::string pdfDate(const hpgs_pdf_timestamp& ts);

}  // namespace hpgspdf

#endif
