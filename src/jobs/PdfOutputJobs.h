// PDF results: an HPGL/2 drawing as a one-page vector PDF
// (HPGSPdfRendererJob), a finished PDF document - properties, scripts,
// rotation, time stamps, FDF annotations imported or drawn, a text stamp
// behind every page (HPGSPdfFileJob) - and two inputs, PDF or HPGL in any
// mix, joined into one finished PDF with the first input's pages first
// (HPGSPdfMergeJob).
//
// Tags (part of the cache key):
//   renderer: "TITLE=Plan,AUTHOR=me,90deg" (info properties, then the angle)
//   file:     "SUBMIT_MSG=<crc64>,90deg;<annotation keys>" (script
//             properties by the CRC-64/WE of their value, 0 when empty)
//   merge:    the file form's properties, "<angle2>deg,+<input1 unique
//             name>,<angle1>deg", then the annotation keys
// Properties that are not PDFProperty objects are skipped everywhere.
//
// Time stamps: /ModDate is the time of the render, /CreationDate the
// input's time with the local UTC offset of that moment. When the variable
// SOURCE_DATE_EPOCH holds a number of seconds, that time stands for "now",
// so that the same request gives byte-identical PDFs (the document ID is
// derived from the content).
//
// Errors: the factories fail as executeJob (ThrowableException 16, 3 with a
// PreviewException): DRMError "PDF file is encrypted." for an encrypted
// input, HPGSError with hpgs's message (naming the input) otherwise.
//
// Thread-safety: factories may be called from any number of threads; each
// job owns its reader, devices, documents and bundles.
#pragma once

#include "MergeInput.h"

#include "daemon/JobRegistry.h"

#include "hpgspdf_ptr.h"
#include "xadracommon/PreviewApi.h"

#include <cstdint>
#include <string>

namespace Xadra {

// Renders an HPGL/2 drawing into a PDF page of the drawing's size (turned by
// angle, with the PDF border round it; see PdfPageScale for large drawings).
class HPGSPdfRendererJob : public HPGSRendererJob {
public:
    HPGSPdfRendererJob(const Plume::ObjPtr<HPGSDataHolder>& input, std::string uniqueName, std::string prettyName,
                       std::string tag, double timestamp, const Plume::ObjPtr<Plume::List>& properties,
                       int32_t angle);
    HPGSPdfRendererJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, std::string uniqueName,
                       std::string prettyName, std::string tag, double timestamp,
                       const Plume::ObjPtr<Plume::List>& properties, int32_t angle);

    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "application/pdf"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".pdf"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".pdf"); }

private:
    const Plume::ObjPtr<Plume::List> properties_;
    const int32_t angle_;
};

// Finishes a PDF input, or the PDF of an HPGL input rendered first.
class HPGSPdfFileJob : public HPGSRendererJob {
public:
    // On an input another job has fetched already (the PDF PNG job's turn).
    HPGSPdfFileJob(const Plume::ObjPtr<HPGSDataHolder>& input, std::string uniqueName, std::string prettyName,
                   std::string tag, std::string stamp, double timestamp,
                   const Plume::ObjPtr<Plume::List>& annotations, const Plume::ObjPtr<Plume::List>& properties,
                   int32_t angle);
    HPGSPdfFileJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, std::string uniqueName,
                   std::string prettyName, std::string tag, std::string stamp, double timestamp,
                   const Plume::ObjPtr<Plume::List>& annotations, const Plume::ObjPtr<Plume::List>& properties,
                   int32_t angle);

    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "application/pdf"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".pdf"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".pdf"); }

private:
    const Plume::ObjPtr<Plume::List> properties_;
    const int32_t angle_;
};

// Joins two inputs; the job's own input (names, result names) is the second.
class HPGSPdfMergeJob : public HPGSRendererJob {
public:
    HPGSPdfMergeJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2, std::string uniqueName,
                    std::string prettyName, std::string tag, std::string stamp, double timestamp,
                    const Plume::ObjPtr<Plume::List>& annotations, const Plume::ObjPtr<Plume::List>& properties,
                    int32_t angle2, MergeInput first);

    void prepareInputs(Plume::Mutex& mutex) override;
    void releaseInputs() override;
    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "application/pdf"; }
    std::string getResultUniqueName() override { return replaceExtension(getUniqueName(), ".pdf"); }
    std::string getResultPrettyName() override { return replaceExtension(getPrettyName(), ".pdf"); }

private:
    const Plume::ObjPtr<Plume::List> properties_;
    const int32_t angle2_;
    MergeInput first_;
};

// What buildPdfDocument works on: one input with its identity and the
// finishing asked for. annotations and annotationOf may be empty/null.
struct PdfDocumentRequest {
    Plume::ObjPtr<HPGSDataHolder> input;
    std::string uniqueName, prettyName;
    double timestamp = 0.0;
    int32_t angle = 0;
    std::string stamp;
    Plume::ObjPtr<Plume::List> properties;
    Plume::ObjPtr<Plume::List> annotations;
};

// Opens the input as a PDF document (an HPGL input is rendered by an
// HPGSPdfRendererJob subjob of job, with the properties and the angle) and
// finishes it: script properties, rotation of the first page of a PDF input,
// the front document's pages put first (front is used up in every case),
// /ModDate, FDF annotations (modes 1 and 3 imported locked, 0 imported, 2
// drawn into the pages they fall on), the stamp behind every page. Returns
// the document, or null with the reason in hpgs's error slot. Throws the
// DRMError of an encrypted input; failures of the subjob pass through.
hpgs::UniquePdfFile buildPdfDocument(HPGSRendererJob& job, Plume::Mutex& mutex, const PdfDocumentRequest& request,
                                     hpgs::UniquePdfFile front);

// How a drawing's PDF page is sized. Pages up to 14400 points (200 inches,
// what viewers take in points) are written in points, larger ones in units
// of userUnit points (/UserUnit) so that they keep their real size; beyond
// maxInches (xadrad_pdf_max_inch_size) a page is scaled down to it. maxSide
// is the largest page side to give hpgs and border the border, both in page
// units (the border keeps its size in points).
struct PdfPageScale {
    double userUnit = 1.0;
    double maxSide = 14400.0;
    double border = 0.0;
};
PdfPageScale pdfPageScale(const hpgs_bbox& box, int32_t angle, double border, double maxInches);

// The tags of the three jobs (see above).
std::string pdfRendererTag(const Plume::ObjPtr<Plume::List>& properties, int32_t angle);
std::string pdfFileTag(const Plume::ObjPtr<Plume::List>& properties, int32_t angle,
                       const Plume::ObjPtr<Plume::List>& annotations);
std::string pdfMergeTag(const Plume::ObjPtr<Plume::List>& properties, int32_t angle2,
                        const std::string& firstUniqueName, int32_t angle1,
                        const Plume::ObjPtr<Plume::List>& annotations);

// The hpgspdf information key of a property type (TITLE 0 ... CREATOR 4,
// ANNOTATION 7 ... DP_SCRIPT 15).
int pdfInfoKey(int propertyOrdinal);

// The factories. A null input is refused with an IOError.
Plume::ObjPtr<HPGSRendererCacheEntry> renderPdfFromHpgl(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, const Plume::ObjPtr<Plume::List>& properties,
    int32_t angle);
Plume::ObjPtr<HPGSRendererCacheEntry> finishPdf(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input,
                                                const Plume::ObjPtr<Plume::List>& properties, int32_t angle,
                                                const std::string& stamp,
                                                const Plume::ObjPtr<Plume::List>& annotations);
Plume::ObjPtr<HPGSRendererCacheEntry> mergePdf(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input1,
                                               int32_t angle1,
                                               const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2,
                                               int32_t angle2, const Plume::ObjPtr<Plume::List>& properties,
                                               const std::string& stamp,
                                               const Plume::ObjPtr<Plume::List>& annotations);

}  // namespace Xadra
