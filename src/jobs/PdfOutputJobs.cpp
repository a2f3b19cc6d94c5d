#include "PdfOutputJobs.h"

#include "daemon/Settings.h"

#include "cache/CacheKey.h"
#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <sstream>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

const char* const kPdfMimeType = "application/pdf";
// Largest page side given to hpgs, in points: 200 inches, what PDF viewers
// accept without a user unit.
constexpr double kMaxPageSide = 14400.0;

// Calls f(key, value) for each property whose key satisfies wanted, in list
// order; entries that are not PDFProperty objects or have no type are skipped.
template <class Wanted, class F>
int forEachProperty(const ObjPtr<Plume::List>& properties, Wanted wanted, F f) {
    for (size_t i = 0; properties && i < properties->getSize(); ++i) {
        auto p = Plume::objCast<PDFProperty>(properties->get(i));
        if (!p || !p->getType()) continue;
        const int key = pdfInfoKey(p->getType()->getOrdinal());
        if (key < 0 || !wanted(key)) continue;
        if (f(key, p->getType()->getName(), textOf(p->getValue())) != 0) return -1;
    }
    return 0;
}

bool isDeviceInfo(int key) { return key <= 4 || key == 7 || key == 8; }
bool isDocumentScript(int key) { return key >= 9 && key <= 15; }

void appendScriptProperties(std::ostream& s, const ObjPtr<Plume::List>& properties) {
    forEachProperty(properties, isDocumentScript, [&](int, const std::string& name, const std::string& value) {
        s << name << '=' << crc64we(value.data(), value.size()) << ',';
        return 0;
    });
}

// "Now" for /ModDate: SOURCE_DATE_EPOCH when it holds a number of seconds.
time_t now() {
    if (const char* fixed = std::getenv("SOURCE_DATE_EPOCH")) {
        char* end = nullptr;
        errno = 0;
        const long long v = std::strtoll(fixed, &end, 10);
        if (errno == 0 && end != fixed && *end == '\0' && v >= 0) return static_cast<time_t>(v);
    }
    return std::time(nullptr);
}

// The local UTC offset, in seconds east of UTC, at the given moment.
int localUtcOffset(time_t t) {
    struct tm local;
    if (!localtime_r(&t, &local)) return 0;
    return static_cast<int>(local.tm_gmtoff);
}

hpgs::UniquePdfTimestamp timestampAt(time_t t) { return hpgs::UniquePdfTimestamp(hpgs_pdf_timestamp_new(t, localUtcOffset(t))); }

int pageAssets(void*, hpgs_device* dev, const hpgs_matrix* pageMatrix, const hpgs_matrix*, const hpgs_bbox* pageBox,
               int page) {
    if (std::string(hpgs_device_rtti(dev)) != "hpgs_pdf_device") return 0;
    return hpgs_pdf_device_render_page_assets(dev, pageMatrix, pageBox, page);
}

// Puts the input's name before hpgs's message.
int failNaming(const std::string& name) {
    const std::string reason = hpgs_get_error();
    if (reason.rfind(name + ": ", 0) == 0) return -1;
    return hpgs_set_error("%s: %s", name.c_str(), reason.c_str());
}

// Writes the document to the job's file; -1 with the reason when the file
// cannot be written completely.
int writeDocument(const RendererJob& job, hpgs_pdf_file* pdf) {
    const std::string path = jobCache().getJobFileName(job.runningWorkerIndex());
    hpgs::UniqueOstream out(hpgs_new_file_ostream(path.c_str()));
    if (!out) return -1;
    if (hpgs_pdf_file_write(pdf, out.get()) != 0) return -1;
    if (hpgs_ostream_close(out.release()) != 0)
        return hpgs_set_error("Write error on result file %s.", path.c_str());
    return 0;
}

struct Identity {
    std::string uniqueName, prettyName;
    double timestamp;
};

Identity identityOf(const ObjPtr<IMimeInputStream>& input, const char* what) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No %s stream given.", what);
    Plume::CallsAhead ahead(input, {"getUniqueName", "getPrettyName", "getTimestamp"});
    Identity id;
    id.uniqueName = textOf(input->getUniqueName());
    id.prettyName = textOf(input->getPrettyName());
    id.timestamp = input->getTimestamp();
    return id;
}

// A device owned for the finishing steps; finish is called explicitly.
int drawOnEveryPage(hpgs_pdf_file* pdf, hpgs_device* (*open)(hpgs_pdf_file*, int),
                    const std::function<int(hpgs_device*, const hpgs_bbox&, int)>& draw,
                    const std::function<bool(const hpgs_bbox&, int)>& wanted) {
    const int n = hpgs_pdf_file_get_npages(pdf);
    if (n < 0) return -1;
    for (int page = 0; page < n; ++page) {
        hpgs_bbox crop;
        if (hpgs_pdf_file_get_page_crop_box(pdf, page, &crop) != 0) return -1;
        if (!wanted(crop, page)) continue;
        hpgs::UniqueDevice dev(open(pdf, page));
        if (!dev) return -1;
        if (draw(dev.get(), crop, page) != 0) return -1;
        if (hpgs_device_finish(dev.get()) != 0) return -1;
    }
    return 0;
}

}  // namespace

int pdfInfoKey(int ordinal) {
    if (ordinal < 0 || ordinal >= PDFPropertyType::COUNT) return -1;
    return ordinal <= PDFPropertyType::CREATOR ? ordinal : ordinal + 2;
}

// ------------------------------------------------------------------- tags

std::string pdfRendererTag(const ObjPtr<Plume::List>& properties, int32_t angle) {
    std::ostringstream s;
    forEachProperty(properties, isDeviceInfo, [&](int, const std::string& name, const std::string& value) {
        s << name << '=' << value << ',';
        return 0;
    });
    s << angle << "deg";
    return s.str();
}

std::string pdfFileTag(const ObjPtr<Plume::List>& properties, int32_t angle, const ObjPtr<Plume::List>& annotations) {
    std::ostringstream s;
    appendScriptProperties(s, properties);
    s << angle << "deg";
    appendAnnotationKey(s, annotations);
    return s.str();
}

std::string pdfMergeTag(const ObjPtr<Plume::List>& properties, int32_t angle2, const std::string& firstUniqueName,
                        int32_t angle1, const ObjPtr<Plume::List>& annotations) {
    std::ostringstream s;
    appendScriptProperties(s, properties);
    s << angle2 << "deg,+" << firstUniqueName << ',' << angle1 << "deg";
    appendAnnotationKey(s, annotations);
    return s.str();
}

// ------------------------------------------------------- HPGL to PDF render

HPGSPdfRendererJob::HPGSPdfRendererJob(const ObjPtr<HPGSDataHolder>& input, std::string uniqueName,
                                       std::string prettyName, std::string tag, double timestamp,
                                       const ObjPtr<Plume::List>& properties, int32_t angle)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), "", timestamp, nullptr),
      properties_(properties),
      angle_(angle) {}

HPGSPdfRendererJob::HPGSPdfRendererJob(const ObjPtr<IMimeInputStream>& input, std::string uniqueName,
                                       std::string prettyName, std::string tag, double timestamp,
                                       const ObjPtr<Plume::List>& properties, int32_t angle)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), "", timestamp, nullptr),
      properties_(properties),
      angle_(angle) {}

int HPGSPdfRendererJob::render(Plume::Mutex& mutex) {
    hpgs::UniqueIstream in = getInput()->openHpgsStream();
    if (!in) return -1;
    hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
    if (!measuring) return -1;
    hpgs_device* measure = measuring.get();
    // The reader takes stream and device over, also when it cannot be made.
    hpgs::UniqueReader made(hpgs_new_reader(in.release(), measuring.release(), HPGS_FALSE, 1));
    if (!made) return -1;
    hpgs_reader* reader = setReader(*this, mutex, std::move(made));
    if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
    hpgs_bbox box;
    if (hpgs_getplotsize(measure, 1, &box) < 0) return -1;
    if (hpgs_bbox_isempty(&box) || !(box.urx > box.llx) || !(box.ury > box.lly))
        return hpgs_set_error("Bounding box is empty.");
    const PdfPageScale scale = pdfPageScale(box, angle_, Settings::getPdfBorder(), Settings::getPdfMaxInchSize());
    if (hpgs_reader_set_dynamic_page(reader, &box, scale.maxSide, scale.maxSide, scale.border,
                                     static_cast<double>(angle_)) < 0)
        return -1;
    hpgs_reader_set_page_asset_func(reader, nullptr, pageAssets);

    const std::string output = jobCache().getJobFileName(runningWorkerIndex());
    hpgs::UniqueDevice pdf(hpgs_new_pdf_device(output.c_str(), &box, 6, 1));
    if (!pdf) return -1;
    if (forEachProperty(properties_, isDeviceInfo, [&](int key, const std::string&, const std::string& value) {
            return hpgs_pdf_device_set_info(pdf.get(), key, value.c_str(), "UTF-8");
        }) != 0)
        return -1;
    hpgs::UniquePdfTimestamp modified = timestampAt(now());
    if (!modified || hpgs_pdf_device_set_timestamp_info(pdf.get(), HPGS_PDF_INFO_MOD_DATE, modified.get()) != 0)
        return -1;
    const time_t created = static_cast<time_t>(getTimestamp() > 0 ? getTimestamp() : 0);
    hpgs::UniquePdfTimestamp creation = timestampAt(created);
    if (!creation || hpgs_pdf_device_set_timestamp_info(pdf.get(), HPGS_PDF_INFO_CREATION_DATE, creation.get()) != 0)
        return -1;
    // The reader takes the device over, also when imbue fails.
    if (hpgs_reader_imbue(reader, pdf.release()) < 0) return -1;
    if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
    if (scale.userUnit == 1.0) return 0;
    // A page beyond what viewers take in points: written in units of
    // userUnit points, and marked so, to show at its real size.
    hpgs::UniquePdfFile written(hpgs_new_pdf_file(hpgs_new_file_istream(output.c_str())));
    if (!written || hpgs_pdf_file_set_page_user_unit(written.get(), 0, scale.userUnit) != 0) return -1;
    return writeDocument(*this, written.get());
}

PdfPageScale pdfPageScale(const hpgs_bbox& box, int32_t angle, double border, double maxInches) {
    const double a = angle * M_PI / 180.0;
    const double w = box.urx - box.llx, h = box.ury - box.lly;
    const double c = std::fabs(std::cos(a)), s = std::fabs(std::sin(a));
    // The page as hpgs lays it out before any scaling, in points; hpgs
    // scales the drawing to fit and adds the border unscaled.
    const double side = std::max(w * c + h * s, w * s + h * c) + 2.0 * border;
    const double physical = std::min(side, maxInches * 72.0);
    PdfPageScale r;
    r.border = border;
    if (physical <= kMaxPageSide) {
        r.maxSide = side <= kMaxPageSide ? kMaxPageSide : physical;
        return r;
    }
    r.userUnit = std::ceil(physical / kMaxPageSide);
    r.maxSide = physical / r.userUnit;
    r.border = border / r.userUnit;
    return r;
}

// -------------------------------------------------------- finishing a PDF

hpgs::UniquePdfFile buildPdfDocument(HPGSRendererJob& job, Plume::Mutex& mutex, const PdfDocumentRequest& r,
                                     hpgs::UniquePdfFile front) {
    const bool pdfInput = r.input->getMimeType() == kPdfMimeType;
    hpgs::UniqueIstream in;
    if (pdfInput) {
        in = r.input->openHpgsStream();
    } else {
        auto renderer = Plume::makeObj<HPGSPdfRendererJob>(r.input, r.uniqueName, r.prettyName,
                                                           pdfRendererTag(r.properties, r.angle), r.timestamp,
                                                           r.properties, r.angle);
        ObjPtr<HPGSRendererCacheEntry> rendered = executeJob(renderer, &mutex, &job);
        if (!rendered) {
            hpgs_set_error("The PDF of %s was not stored.", r.prettyName.c_str());
            return nullptr;
        }
        in.reset(hpgs_new_file_istream(rendered->getDataFilePath().c_str()));
    }
    if (!in) return nullptr;
    hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(in.release()));
    if (!pdf) {
        failNaming(r.prettyName);
        return nullptr;
    }
    if (hpgs_pdf_file_is_encrypted(pdf.get())) {
        pdf.reset();
        front.reset();
        throwPreviewf<DRMError>(CAT_DAEMON, 3, "PDF file is encrypted.");
    }
    if (forEachProperty(r.properties, isDocumentScript, [&](int key, const std::string&, const std::string& value) {
            return hpgs_pdf_file_set_info(pdf.get(), key, value.c_str(), "UTF-8");
        }) != 0)
        return nullptr;
    if (pdfInput && r.angle != 0 && hpgs_pdf_file_rotate_page(pdf.get(), 0, r.angle) != 0) return nullptr;
    // The front document is used up by the call, whatever it returns.
    if (front && hpgs_pdf_file_prepend_pdf_file(pdf.get(), front.release()) != 0) return nullptr;
    hpgs::UniquePdfTimestamp modified = timestampAt(now());
    if (!modified || hpgs_pdf_file_set_timestamp_info(pdf.get(), HPGS_PDF_INFO_MOD_DATE, modified.get()) != 0)
        return nullptr;

    const ObjPtr<Plume::List>& annotations = r.annotations;
    if (annotations && annotations->getSize() > 0) {
        hpgs::UniqueFdfBundle imported, drawn;
        for (size_t i = 0; i < annotations->getSize(); ++i) {
            auto a = Plume::objCast<Annotation>(annotations->get(i));
            if (!a) continue;
            ObjPtr<HPGSDataHolder> holder = getAnnotationInput(job, i);
            if (!holder) continue;
            const int mode = a->getMode() == 1 ? HPGS_PDF_FDF_IMPORT_LOCKED
                             : a->getMode() == 2 ? HPGS_PDF_FDF_DRAW
                                                 : HPGS_PDF_FDF_IMPORT;
            hpgs::UniqueFdfBundle& bundle = mode == HPGS_PDF_FDF_DRAW ? drawn : imported;
            if (!bundle) bundle.reset(hpgs_pdf_new_fdf_bundle());
            if (!bundle) return nullptr;
            hpgs::UniqueIstream fdf = holder->openHpgsStream();
            if (!fdf) return nullptr;
            const std::string colourText = textOf(a->getColor());
            const RgbColor c = parseColor(colourText);
            const double colour[3] = {c.r, c.g, c.b};
            // The import closes the stream, also when it fails.
            if (hpgs_pdf_fdf_bundle_import_fdf(bundle.get(), fdf.release(), textOf(a->getOwner()).c_str(),
                                               textOf(a->getTitle()).c_str(), "UTF-8",
                                               colourText.empty() ? nullptr : colour, mode) != 0)
                return nullptr;
        }
        if (imported && hpgs_pdf_file_import_fdf_bundle(pdf.get(), imported.get(), Settings::getPdfBorder()) != 0)
            return nullptr;
        if (drawn) {
            const double offset[2] = {0.0, 0.0};
            hpgs_pdf_fdf_bundle* b = drawn.get();
            if (drawOnEveryPage(
                    pdf.get(), hpgs_pdf_file_new_anno_device,
                    [&](hpgs_device* dev, const hpgs_bbox& crop, int page) {
                        return hpgs_pdf_fdf_bundle_render(b, dev, offset, &crop, page);
                    },
                    [&](const hpgs_bbox& crop, int page) {
                        int count = 0;
                        return hpgs_pdf_fdf_bundle_count_annotations(b, &count, offset, &crop, page) == 0 &&
                               count != 0;
                    }) != 0)
                return nullptr;
        }
    }
    if (!r.stamp.empty() &&
        drawOnEveryPage(
            pdf.get(), hpgs_pdf_file_new_background_device,
            [&](hpgs_device* dev, const hpgs_bbox& crop, int) {
                return hpgs_device_stamp(dev, &crop, r.stamp.c_str(), "UTF-8", Settings::getStampSize());
            },
            [](const hpgs_bbox&, int) { return true; }) != 0)
        return nullptr;
    return pdf;
}

HPGSPdfFileJob::HPGSPdfFileJob(const ObjPtr<IMimeInputStream>& input, std::string uniqueName, std::string prettyName,
                               std::string tag, std::string stamp, double timestamp,
                               const ObjPtr<Plume::List>& annotations, const ObjPtr<Plume::List>& properties,
                               int32_t angle)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      properties_(properties),
      angle_(angle) {}

HPGSPdfFileJob::HPGSPdfFileJob(const ObjPtr<HPGSDataHolder>& input, std::string uniqueName, std::string prettyName,
                               std::string tag, std::string stamp, double timestamp,
                               const ObjPtr<Plume::List>& annotations, const ObjPtr<Plume::List>& properties,
                               int32_t angle)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      properties_(properties),
      angle_(angle) {}

int HPGSPdfFileJob::render(Plume::Mutex& mutex) {
    PdfDocumentRequest r{getInput(), getUniqueName(), getPrettyName(), getTimestamp(), angle_,
                         getStamp(), properties_, getAnnotations()};
    hpgs::UniquePdfFile pdf = buildPdfDocument(*this, mutex, r, nullptr);
    if (!pdf) return -1;
    return writeDocument(*this, pdf.get());
}

// ---------------------------------------------------------------- merging

HPGSPdfMergeJob::HPGSPdfMergeJob(const ObjPtr<IMimeInputStream>& input2, std::string uniqueName,
                                 std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                 const ObjPtr<Plume::List>& annotations, const ObjPtr<Plume::List>& properties,
                                 int32_t angle2, MergeInput first)
    : HPGSRendererJob(input2, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      properties_(properties),
      angle2_(angle2),
      first_(std::move(first)) {}

void HPGSPdfMergeJob::prepareInputs(Plume::Mutex& mutex) {
    HPGSRendererJob::prepareInputs(mutex);
    first_.fetch(*this, mutex);
}

void HPGSPdfMergeJob::releaseInputs() {
    first_.release();
    HPGSRendererJob::releaseInputs();
}

int HPGSPdfMergeJob::render(Plume::Mutex& mutex) {
    // Of the properties, only those the renderer puts into a drawing's
    // document information apply to the first input.
    auto firstProperties = Plume::List::newInstance();
    for (size_t i = 0; properties_ && i < properties_->getSize(); ++i) {
        auto p = Plume::objCast<PDFProperty>(properties_->get(i));
        if (!p || !p->getType()) continue;
        const int o = p->getType()->getOrdinal();
        if (o == PDFPropertyType::ANNOTATION || o == PDFPropertyType::SCALE_ANNO) firstProperties->add(p);
    }
    PdfDocumentRequest first{first_.holder(), first_.uniqueName(), first_.prettyName(), first_.timestamp(),
                             first_.angle(),  "",                   firstProperties,       nullptr};
    hpgs::UniquePdfFile front = buildPdfDocument(*this, mutex, first, nullptr);
    if (!front) return -1;
    PdfDocumentRequest second{getInput(), getUniqueName(), getPrettyName(), getTimestamp(), angle2_,
                              getStamp(), properties_,     getAnnotations()};
    hpgs::UniquePdfFile pdf = buildPdfDocument(*this, mutex, second, std::move(front));
    if (!pdf) return -1;
    return writeDocument(*this, pdf.get());
}

// -------------------------------------------------------------- factories

ObjPtr<HPGSRendererCacheEntry> renderPdfFromHpgl(const ObjPtr<IMimeInputStream>& input,
                                                 const ObjPtr<Plume::List>& properties, int32_t angle) {
    Identity id = identityOf(input, "input");
    return executeJob(Plume::makeObj<HPGSPdfRendererJob>(input, id.uniqueName, id.prettyName,
                                                         pdfRendererTag(properties, angle), id.timestamp, properties,
                                                         angle));
}

ObjPtr<HPGSRendererCacheEntry> finishPdf(const ObjPtr<IMimeInputStream>& input, const ObjPtr<Plume::List>& properties,
                                         int32_t angle, const std::string& stamp,
                                         const ObjPtr<Plume::List>& annotations) {
    Identity id = identityOf(input, "input");
    return executeJob(Plume::makeObj<HPGSPdfFileJob>(input, id.uniqueName, id.prettyName,
                                                     pdfFileTag(properties, angle, annotations), stamp, id.timestamp,
                                                     annotations, properties, angle));
}

ObjPtr<HPGSRendererCacheEntry> mergePdf(const ObjPtr<IMimeInputStream>& input1, int32_t angle1,
                                        const ObjPtr<IMimeInputStream>& input2, int32_t angle2,
                                        const ObjPtr<Plume::List>& properties, const std::string& stamp,
                                        const ObjPtr<Plume::List>& annotations) {
    Identity second = identityOf(input2, "second input");
    MergeInput first(input1, angle1);
    const std::string tag = pdfMergeTag(properties, angle2, first.uniqueName(), angle1, annotations);
    return executeJob(Plume::makeObj<HPGSPdfMergeJob>(input2, second.uniqueName, second.prettyName, tag, stamp,
                                                      second.timestamp, annotations, properties, angle2,
                                                      std::move(first)));
}

}  // namespace Xadra
