#include "PngSeekJob.h"

#include "BBoxJobs.h"
#include "PageBox.h"
#include "PngRendererJob.h"

#include "daemon/Settings.h"
#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"
#include "imaging/FFTImage.h"
#include "imaging/PngReader.h"
#include "plume/ConfigOptions.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

const char* const kPdfMimeType = "application/pdf";
const int kAngles[4] = {0, 90, 180, 270};

// The job file of sub-index k (the naming of the data holders' fetch).
std::string subJobFile(int worker, int k) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "_%04d", k);
    return jobCache().getJobFileName(worker) + suffix;
}

// Removes a job file when the scope ends, however it ends.
struct RemoveOnExit {
    std::string file;
    ~RemoveOnExit() {
        if (!file.empty()) removeJobFile(file);
    }
};

void appendLine(std::string& out, const std::string& key, double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.16g", value);
    out.append(key).append("=").append(buf).append("\n");
}

// Puts the input's name before hpgs's message, so that a document that cannot
// be read is named as the user knows it.
int failNaming(const std::string& name) {
    const std::string reason = hpgs_get_error();
    return hpgs_set_error("%s: %s", name.c_str(), reason.c_str());
}

// The part of box the seek image covers, its lower right corner of at most
// S x S pixels at the pattern's resolution, and its size in pixels.
struct SearchRaster {
    hpgs_bbox r;
    int w, h;
};

// Logs the boxes and the size; -1 with "Bounding box is empty." when the
// raster is less than 2 pixels on a side.
int searchRaster(const hpgs_bbox& box, double xres, double yres, SearchRaster& out) {
    const double S = Settings::getSeekSize();
    const double ex = S * 72.0 / xres, ey = S * 72.0 / yres;
    hpgs_bbox r = box;
    if (r.urx - r.llx > ex) r.llx = r.urx - ex;
    if (r.ury - r.lly > ey) r.ury = r.lly + ey;
    out.r = r;
    out.w = static_cast<int>(std::floor((r.urx - r.llx) * xres / 72.0 + 0.5));
    out.h = static_cast<int>(std::floor((r.ury - r.lly) * yres / 72.0 + 0.5));
    logCategory(CAT_FFT, 7, "bbox:   %lf %lf %lf %lf.", box.llx, box.lly, box.urx, box.ury);
    logCategory(CAT_FFT, 7, "r_bbox: %lf %lf %lf %lf.", r.llx, r.lly, r.urx, r.ury);
    logCategory(CAT_FFT, 7, "w,h:  %d %d.", out.w, out.h);
    if (out.w < 2 || out.h < 2) return hpgs_set_error("Bounding box is empty.");
    return 0;
}

}  // namespace

hpgs_bbox viewToPage(const hpgs_bbox& page, const hpgs_bbox& v, int t) {
    const double W = page.urx - page.llx, H = page.ury - page.lly;
    auto map = [&](double u, double w) -> hpgs_point {
        const double du = u - page.llx, dv = w - page.lly;
        switch (((t % 360) + 360) % 360) {
            case 90: return {page.llx + W - dv, page.lly + du};
            case 180: return {page.llx + W - du, page.lly + H - dv};
            case 270: return {page.llx + dv, page.lly + H - du};
            default: return {u, w};
        }
    };
    const hpgs_point a = map(v.llx, v.lly), b = map(v.urx, v.ury);
    return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

HPGSPngSeekJob::HPGSPngSeekJob(const ObjPtr<IMimeInputStream>& input, const ObjPtr<HPGSRendererCacheEntry>& pattern,
                               std::string uniqueName, std::string prettyName, std::string tag, double timestamp)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), "", timestamp, nullptr),
      pattern_(pattern) {}

void HPGSPngSeekJob::releaseInputs() {
    HPGSRendererJob::releaseInputs();
    pattern_.reset();
}

void HPGSPngSeekJob::interrupt(Plume::Mutex& mutex) {
    HPGSRendererJob::interrupt(mutex);
    control_.interrupt();
}

int HPGSPngSeekJob::renderHpglCorner(hpgs_reader* reader, const hpgs_bbox& r, int w, int h, FFTImage& seek) {
    hpgs::UniqueImage made(hpgs_new_png_image(w, h, 8, HPGS_FALSE, HPGS_TRUE));
    if (!made) return -1;
    hpgs_png_image* image = made.get();
    // The device takes the image over, also when it cannot be made; the
    // reader takes the device over. The pixels stay readable after the
    // read, until the reader draws its next page.
    hpgs::UniquePaintDevice paint(hpgs_new_paint_device(made.release(), "", &r, HPGS_TRUE));
    if (!paint) return -1;
    if (hpgs_paint_device_set_thin_alpha(paint.get(), Settings::getThinAlpha()) < 0) return -1;
    if (hpgs_reader_imbue(reader, hpgs::as_device(paint.release())) < 0) return -1;
    if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
    seek.init(Settings::getSeekSize(), Settings::getSeekSize());
    seek.loadImage(image);
    return 0;
}

int HPGSPngSeekJob::renderPdfCorner(int angle, int worker, double xres, double yres, hpgs_bbox& view,
                                    hpgs_bbox& r, int& w, int& h, FFTImage& seek) {
    const int k = angle / 90 * 3;
    std::string turned = getInput()->getFileName();
    RemoveOnExit removeTurned;
    if (angle != 0) {
        turned = subJobFile(worker, k);
        removeTurned.file = turned;
        hpgs::UniqueIstream in = getInput()->openHpgsStream();
        if (!in) return -1;
        hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(in.release()));
        if (!pdf) return failNaming(getPrettyName());
        if (hpgs_pdf_file_is_encrypted(pdf.get())) {
            pdf.reset();
            throwPreviewf<DRMError>(CAT_FFT, 3, "PDF file is encrypted.");
        }
        if (hpgs_pdf_file_rotate_page(pdf.get(), 0, angle) != 0) return -1;
        hpgs::UniqueOstream out(hpgs_new_file_ostream(turned.c_str()));
        if (!out) return -1;
        if (hpgs_pdf_file_write(pdf.get(), out.get()) != 0) return -1;
        if (hpgs_ostream_close(out.release()) != 0) return hpgs_set_error("Write error on %s.", turned.c_str());
    }
    // The page as ghostscript shows it: its crop box (with the user unit)
    // turned clockwise by its /Rotate, the lower-left corner kept.
    hpgs_bbox page{};
    int32_t native = 0;
    hpgs_istream* pin = hpgs_new_file_istream(turned.c_str());
    if (!pin) return -1;
    if (pdfPageBox(pin, 0, &page, &native, nullptr) != 0) return failNaming(getPrettyName());
    const int rotate = (360 - native) % 360;
    const bool quarter = rotate == 90 || rotate == 270;
    view = page;
    if (quarter) {
        view.urx = page.llx + (page.ury - page.lly);
        view.ury = page.lly + (page.urx - page.llx);
    }
    SearchRaster sr{};
    if (searchRaster(view, xres, yres, sr) != 0) return -1;
    r = sr.r;
    w = sr.w;
    h = sr.h;
    const unsigned S = Settings::getSeekSize();

    const std::string png = subJobFile(worker, k + 1);
    RemoveOnExit removePng{png};
    const hpgs_bbox onPage = viewToPage(page, r, rotate);
    try {
        GSHelper::renderPdfPage(turned, subJobFile(worker, k + 2), png, w, h, 0, onPage, true, true, quarter,
                                &control_);
    } catch (const Plume::ThrowableException&) {
        throw;  // DRMError, HPGSError: already the caller's
    } catch (const Plume::Exception& e) {
        return hpgs_set_error("%s: %s", getPrettyName().c_str(), e.what());
    }
    seek.init(S, S);
    PngReader reader(Settings::getPngMaxPixels());
    reader.open(png, true);
    seek.loadPng(reader);
    return 0;
}

int HPGSPngSeekJob::checkAngle(hpgs_reader* reader, const FFTImage& pattern, double pw, double ph, hpgs_bbox box,
                               int angle, double xres, double yres, int worker, SeekFinding& found) {
    logCategory(CAT_FFT, 7, "checkAngle: angle = %d.", angle);
    if (isInterrupted()) return hpgs_set_error("Interrupted.");
    const double S = Settings::getSeekSize();
    FFTImage seek;
    hpgs_bbox r{};
    int w = 0, h = 0;
    if (reader) {
        // The turned page: on return box is (0, 0, width, height) in points.
        if (hpgs_reader_set_dynamic_page(reader, &box, 72000.0, 72000.0, 0.0, angle) < 0) return -1;
        SearchRaster sr{};
        if (searchRaster(box, xres, yres, sr) != 0) return -1;
        r = sr.r;
        w = sr.w;
        h = sr.h;
        if (renderHpglCorner(reader, r, w, h, seek) != 0) return -1;
    } else if (renderPdfCorner(angle, worker, xres, yres, box, r, w, h, seek) != 0) {
        return -1;
    }
    if (isInterrupted()) return hpgs_set_error("Interrupted.");

    logCategory(CAT_FFT, 7, "checkAngle: transforming seek_img...");
    seek.transform();
    logCategory(CAT_FFT, 7, "checkAngle: correlating images...");
    seek.correlate(pattern);
    logCategory(CAT_FFT, 7, "checkAngle: inverse transformation...");
    seek.inverseTransform();
    double peak[4];
    seek.findMaximum(peak);
    double row = peak[0], column = peak[1];
    // The correlation is cyclic: a peak beyond the drawn part is a shift to
    // the left of (or above) the seek image.
    if (column > w) column -= S;
    if (row > h) row -= S;

    found.correlation = peak[2];
    found.separation = peak[3];
    found.dx = (r.llx - box.llx) + column * 72.0 / xres;
    found.dy = r.ury - row * 72.0 / yres - ph;
    double o = 0.0;
    if (found.dx < 0) o -= found.dx;
    if (found.dy < 0) o -= found.dy;
    const double right = (pw + found.dx) - (box.urx - box.llx);
    if (right > 0) o += right;
    const double top = (ph + found.dy) - (box.ury - box.lly);
    if (top > 0) o += top;
    found.overlap = o;
    logCategory(CAT_FFT, 7,
                "checkAngle: finish: ipos,offset,correlation,separation,overlap=(%lg,%lg),(%lg,%lg),%lg,%lg,%lg.",
                column, row, found.dx, found.dy, found.correlation, found.separation, found.overlap);
    return 0;
}

int HPGSPngSeekJob::render(Plume::Mutex& mutex) {
    if (!pattern_) return hpgs_set_error("Pattern rendering of %s is missing.", getPrettyName().c_str());
    const unsigned S = Settings::getSeekSize();
    FFTImage pat;
    double xres = 0.0, yres = 0.0, pw = 0.0, ph = 0.0;
    {
        PngReader reader(Settings::getPngMaxPixels());
        reader.open(pattern_->getDataFilePath(), true);
        xres = reader.getXResolution();
        yres = reader.getYResolution();
        if (!(xres > 0.0) || !(yres > 0.0))
            throw Exception(CAT_FFT, 3, "PNG Image %s(%s) has no resolution information.",
                            pattern_->getOutputUniqueName().c_str(), pattern_->getOutputPrettyName().c_str());
        pw = reader.getWidth() * 72.0 / xres;
        ph = reader.getHeight() * 72.0 / yres;
        pat.init(S, S);
        pat.loadPng(reader);
    }
    const double a = pat.autoCorrelation();
    logCategory(CAT_FFT, 7, "HPGSPngSeekJob::render: pat_image.autoCorrelation() = %lg.", a);
    // A pattern without ink correlates with nothing; its correction would
    // divide by zero.
    if (!(a > 0.0)) return hpgs_set_error("Pattern %s has no ink to seek.", pattern_->getOutputPrettyName().c_str());
    logCategory(CAT_FFT, 7, "HPGSPngSeekJob::render: transforming pat_image...");
    pat.transform();

    hpgs_bbox box{};
    int32_t nativeAngle = 0;
    double userUnit = 1.0;
    hpgs_reader* reader = nullptr;
    const bool pdf = getInput()->getMimeType() == kPdfMimeType;
    hpgs::UniqueIstream in = getInput()->openHpgsStream();
    if (!in) return -1;
    if (!pdf) {
        hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
        if (!measuring) return -1;
        hpgs_device* measure = measuring.get();
        // The reader takes stream and device over, also when it cannot be made.
        hpgs::UniqueReader made(hpgs_new_reader(in.release(), measuring.release(), HPGS_FALSE, 1));
        if (!made) return -1;
        reader = setReader(*this, mutex, std::move(made));
        if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
        if (hpgs_getplotsize(measure, 1, &box) < 0) return -1;
        userUnit = hpglUserUnit(box);
        logCategory(CAT_FFT, 7, "HPGL: o_bbox: %lf %lf %lf %lf.\n", box.llx, box.lly, box.urx, box.ury);
    } else {
        if (pdfPageBox(in.release(), 0, &box, &nativeAngle, &userUnit) != 0) return failNaming(getPrettyName());
        logCategory(CAT_FFT, 7, "PDF: o_bbox,o_angle: %lf %lf %lf %lf, %d.\n", box.llx, box.lly, box.urx, box.ury,
                    nativeAngle);
    }

    const int worker = runningWorkerIndex();
    SeekFinding found[4];
    for (int i = 0; i < 4; ++i)
        if (checkAngle(reader, pat, pw, ph, box, kAngles[i], xres, yres, worker, found[i]) != 0) return -1;
    if (reader) clearReader(*this, mutex);

    const double q = Settings::getCorrelationFactor();
    std::string out;
    for (int i = 0; i < 4; ++i) {
        SeekFinding& f = found[i];
        f.correlation = 2.0 * M_PI * q / a * f.correlation;
        logCategory(CAT_FFT, 6, "%s(%s;%s): angle,correlation,separation,offset,overlap=%d,%lf,%lf,(%lf,%lf),%lf.",
                    getUniqueName().c_str(), getTag().c_str(), getStamp().c_str(), kAngles[i], f.correlation,
                    f.separation, f.dx, f.dy, f.overlap);
        const std::string suffix = "_" + std::to_string(kAngles[i]);
        appendLine(out, "correlation" + suffix, f.correlation);
        appendLine(out, "separation" + suffix, f.separation);
        appendLine(out, "overlap" + suffix, f.overlap);
        appendLine(out, "dx" + suffix, f.dx);
        appendLine(out, "dy" + suffix, f.dy);
    }
    appendLine(out, "llx", box.llx);
    appendLine(out, "lly", box.lly);
    appendLine(out, "urx", box.urx);
    appendLine(out, "ury", box.ury);
    out.append("native_angle=").append(std::to_string(nativeAngle)).append("\n");
    appendLine(out, "user_unit", userUnit);
    return writeResultFile(jobCache().getJobFileName(worker), out);
}

ObjPtr<HPGSRendererCacheEntry> seekPattern(const ObjPtr<IMimeInputStream>& input,
                                           const ObjPtr<IMimeInputStream>& pattern, int angle) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No input stream given.");
    if (!pattern) throwPreviewf<IOError>(CAT_DAEMON, 3, "No pattern stream given.");
    ObjPtr<HPGSRendererCacheEntry> e =
        renderPngByPixelSize(pattern, static_cast<int>(Settings::getLabelSize()), true, angle, "", nullptr);
    if (!e) throwPreviewf<IOError>(CAT_DAEMON, 3, "Application error: job ended without saving file to cache.");
    const std::string uniqueName = textOf(input->getUniqueName()) + ";" + e->getInputUniqueName();
    const std::string prettyName = textOf(input->getPrettyName()) + ";" + e->getInputPrettyName();
    const double timestamp = std::max(input->getTimestamp(), e->getInputTimestamp());
    return executeJob(Plume::makeObj<HPGSPngSeekJob>(input, e, uniqueName, prettyName, "seek;" + e->getInputUniqueTag(),
                                                     timestamp));
}

ObjPtr<PatternSeekResult> readPatternSeekResult(const std::string& path) {
    auto o = Plume::ConfigOptions::newInstance(path);
    o->load(path, 0);
    auto result = PatternSeekResult::newInstance();
    result->setBoundingBox(readBoundingBoxFrom(*o, ""));
    auto params = PatternSeekResult::newParametersArray(4);
    for (int i = 0; i < 4; ++i) {
        const std::string suffix = "_" + std::to_string(kAngles[i]);
        auto p = PatternParameters::newInstance();
        p->setAngle(kAngles[i]);
        p->setDx(o->getDouble("dx" + suffix));
        p->setDy(o->getDouble("dy" + suffix));
        p->setCorrelation(o->getDouble("correlation" + suffix));
        p->setSeparation(o->getDouble("separation" + suffix));
        p->setOverlap(o->getDouble("overlap" + suffix));
        params->set(static_cast<size_t>(i), p);
    }
    result->setParameters(params);
    return result;
}

}  // namespace Xadra
