#include "BBoxJobs.h"

#include "PageBox.h"
#include "PipedReading.h"

#include "plume/ConfigOptions.h"
#include "xadracommon/LogService.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <memory>
#include <vector>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

const char* const kPdfMimeType = "application/pdf";

void appendLine(std::string& out, const char* key, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.16g", value);
    out.append(key).append("=").append(buf).append("\n");
}

void appendLine(std::string& out, const char* key, int32_t value) {
    out.append(key).append("=").append(std::to_string(value)).append("\n");
}

void appendBox(std::string& out, const hpgs_bbox& b, int32_t angle, double userUnit, const std::string& suffix) {
    appendLine(out, ("llx" + suffix).c_str(), b.llx);
    appendLine(out, ("lly" + suffix).c_str(), b.lly);
    appendLine(out, ("urx" + suffix).c_str(), b.urx);
    appendLine(out, ("ury" + suffix).c_str(), b.ury);
    appendLine(out, ("native_angle" + suffix).c_str(), angle);
    appendLine(out, ("user_unit" + suffix).c_str(), userUnit);
}

int writeResult(const RendererJob& job, const std::string& content) {
    return writeResultFile(jobCache().getJobFileName(job.runningWorkerIndex()), content);
}

// Puts the input's name before hpgs's message, so that a document that cannot
// be read is named as the user knows it (not by its cache file).
int failNaming(const RendererJob& job) {
    const std::string reason = hpgs_get_error();
    return hpgs_set_error("%s: %s", job.getPrettyName().c_str(), reason.c_str());
}

struct Request {
    std::string uniqueName, prettyName;
    double timestamp;
};

Request readRequest(const ObjPtr<IMimeInputStream>& input) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No input stream given.");
    Plume::CallsAhead ahead(input, {"getUniqueName", "getPrettyName", "getTimestamp"});
    Request r;
    r.uniqueName = textOf(input->getUniqueName());
    r.prettyName = textOf(input->getPrettyName());
    r.timestamp = input->getTimestamp();
    return r;
}

}  // namespace

int writeResultFile(const std::string& path, const std::string& content) {
    struct Closer {
        void operator()(std::FILE* f) const noexcept { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "wb"));
    if (!f) return hpgs_set_error("Cannot open result file %s for writing: %s.", path.c_str(), std::strerror(errno));
    const bool written = std::fwrite(content.data(), 1, content.size(), f.get()) == content.size();
    const int closed = std::fclose(f.release());
    if (!written || closed != 0)
        return hpgs_set_error("Write error on result file %s: %s.", path.c_str(), std::strerror(errno));
    return 0;
}

ObjPtr<BoundingBoxWithAngle> readBoundingBoxFrom(const Plume::ConfigOptions& o, const std::string& suffix) {
    auto b = BoundingBoxWithAngle::newInstance();
    b->setLlx(o.getDouble("llx" + suffix));
    b->setLly(o.getDouble("lly" + suffix));
    b->setUrx(o.getDouble("urx" + suffix));
    b->setUry(o.getDouble("ury" + suffix));
    b->setAngle(static_cast<int32_t>(o.getInt("native_angle" + suffix, 0)));
    b->setUserUnit(o.getDouble("user_unit" + suffix, 1.0));
    return b;
}

void HPGSBBoxJob::prepareInputs(Plume::Mutex& mutex) {
    PipedReading piped(getPrettyName(), measurePlotSize(*this, mutex, &box_));
    measured_ = fetchReadingOnArrival(*this, mutex, piped);
    fetchAnnotations(mutex);
    if (measured_) log(7, "plot size measured while the input arrived.");
}

int HPGSBBoxJob::render(Plume::Mutex& mutex) {
    hpgs_bbox box{};
    int32_t angle = 0;
    double userUnit = 1.0;
    if (measured_ && getInput()->getMimeType() != kPdfMimeType) {
        std::string out;
        appendBox(out, box_, angle, hpglUserUnit(box_), "");
        return writeResult(*this, out);
    }
    hpgs::UniqueIstream in = getInput()->openHpgsStream();
    if (!in) return -1;
    if (getInput()->getMimeType() != kPdfMimeType) {
        hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
        if (!measuring) return -1;
        hpgs_device* measure = measuring.get();
        // The reader takes stream and device over, also when it cannot be made.
        hpgs::UniqueReader made(hpgs_new_reader(in.release(), measuring.release(), HPGS_FALSE, 1));
        if (!made) return -1;
        hpgs_reader* reader = setReader(*this, mutex, std::move(made));
        if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
        if (hpgs_getplotsize(measure, 1, &box) < 0) return -1;
        clearReader(*this, mutex);
        userUnit = hpglUserUnit(box);
    } else if (pdfPageBox(in.release(), 0, &box, &angle, &userUnit) != 0) {
        return failNaming(*this);
    }
    std::string out;
    appendBox(out, box, angle, userUnit, "");
    return writeResult(*this, out);
}

int HPGSPageBBoxesJob::render(Plume::Mutex&) {
    if (getInput()->getMimeType() != kPdfMimeType)
        return hpgs_set_error("Page bounding boxes need a PDF document; %s is of type %s.", getPrettyName().c_str(),
                              getInput()->getMimeType().c_str());
    hpgs::UniqueIstream in = getInput()->openHpgsStream();
    if (!in) return -1;
    std::vector<PdfPageBox> pages;
    if (pdfPageBoxes(in.release(), pages) != 0) return failNaming(*this);
    std::string out = "npages=" + std::to_string(pages.size()) + "\n";
    for (size_t i = 0; i < pages.size(); ++i)
        appendBox(out, pages[i].box, pages[i].nativeAngle, pages[i].userUnit, "_" + std::to_string(i));
    return writeResult(*this, out);
}

ObjPtr<HPGSRendererCacheEntry> measureBoundingBox(const ObjPtr<IMimeInputStream>& input) {
    Request r = readRequest(input);
    return executeJob(Plume::makeObj<HPGSBBoxJob>(input, r.uniqueName, r.prettyName, "bbox", "", r.timestamp,
                                                  nullptr));
}

ObjPtr<HPGSRendererCacheEntry> measurePageBoundingBoxes(const ObjPtr<IMimeInputStream>& input) {
    Request r = readRequest(input);
    // Refused before the input is fetched: pages are a PDF notion.
    const std::string mimeType = textOf(input->getMimeType());
    if (mimeType != kPdfMimeType)
        throwPreviewf<HPGSError>(CAT_DAEMON, 3, "Page bounding boxes need a PDF document; %s is of type %s.",
                                 r.prettyName.c_str(), mimeType.c_str());
    return executeJob(Plume::makeObj<HPGSPageBBoxesJob>(input, r.uniqueName, r.prettyName, "bboxes", "",
                                                        r.timestamp, nullptr));
}

ObjPtr<BoundingBoxWithAngle> readBoundingBox(const std::string& path) {
    auto o = Plume::ConfigOptions::newInstance(path);
    o->load(path, 0);
    return readBoundingBoxFrom(*o, "");
}

ObjPtr<Plume::List> readPageBoundingBoxes(const std::string& path) {
    auto o = Plume::ConfigOptions::newInstance(path);
    o->load(path, 0);
    const uint64_t n = o->getUInt("npages");
    // The count comes from a file: do not let a damaged one reserve memory
    // for pages it does not list (a missing page key throws below anyway).
    auto list = Plume::List::newInstance(static_cast<size_t>(std::min<uint64_t>(n, 100000)));
    for (uint64_t i = 0; i < n; ++i) list->add(readBoundingBoxFrom(*o, "_" + std::to_string(i)));
    return list;
}

}  // namespace Xadra
