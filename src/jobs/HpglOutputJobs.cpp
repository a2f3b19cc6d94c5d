#include "HpglOutputJobs.h"

#include "HpglAssetDevice.h"
#include "PipedReading.h"

#include "daemon/Settings.h"
#include "hpgs/hpgs_observed.h"
#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <sstream>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

// Ends the stream it observes once the reader it follows is interrupted.
class FollowInterrupt : public hpgs::ByteObserver {
public:
    explicit FollowInterrupt(hpgs_reader* reader) : reader_(reader) {}
    int taken(const unsigned char*, size_t) override { return hpgs_reader_is_interrupted(reader_) ? -1 : 0; }
    int flush() override { return 0; }
    bool give_back() override { return true; }
    void drop_kept() override {}
    int finish() override { return 0; }

private:
    hpgs_reader* reader_;
};

struct FrameContext {
    hpgs_reader* reader;
    hpgs_device* tee;      // the reader's device: asset device and measure
    hpgs_device* asset;    // the HP-GL/2 asset device
    hpgs_device* measure;  // plot-size device, measuring what the reader draws
    const ObjPtr<HPGSDataHolder>& input;
    int32_t angle;
    hpgs_pdf_fdf_bundle* bundle;
    int pageOffset;
    bool onArrival;  // the drawing is read as it arrives: input has no file yet
    bool placed = false;
};

// The page the annotations are placed on is the box of the drawing's first
// page, turned by the angle. It is known when the first frame ends: the
// reader then gets that page (from this frame on) and reports the matrices
// it would have passed, had the page been set before the read. The reader
// draws as into the asset device alone, which takes no raster images; when
// it skipped some, a measure of the input alone would have taken them, and
// the drawing is measured once more on its own.
int placePage(FrameContext& c, hpgs_matrix* pageMatrix, hpgs_matrix* xform, hpgs_bbox* pageBox) {
    hpgs_bbox box;
    const bool skipped = hpgs_reader_get_skipped_images(c.reader) != 0;
    // Reading on arrival the input has no file to measure yet: the job
    // then reads it again from its file.
    if (skipped && c.onArrival)
        return hpgs_set_error("The drawing's raster images need a measure of their own.");
    if (!skipped ? hpgs_getplotsize(c.measure, 1, &box) < 0 : measureHpglFirstPage(c.input, c.reader, &box) != 0)
        return -1;
    // A drawing without marks has no page to place: the reader's own page
    // stays.
    if (hpgs_bbox_isempty(&box)) return 0;
    if (hpgs_reader_set_dynamic_page(c.reader, &box, 72000.0, 72000.0, 0.0, static_cast<double>(c.angle)) < 0)
        return -1;
    return hpgs_reader_get_asset_frame(c.reader, pageMatrix, xform, pageBox);
}

int drawFrameAssets(void* ctxt, hpgs_device* dev, const hpgs_matrix* pageMatrix, const hpgs_matrix* xform,
                    const hpgs_bbox* pageBox, int index) {
    auto* c = static_cast<FrameContext*>(ctxt);
    if (dev != c->tee) return 0;
    hpgs_matrix pm = *pageMatrix, xf = *xform;
    hpgs_bbox pb = *pageBox;
    if (!c->placed) {
        c->placed = true;
        if (placePage(*c, &pm, &xf, &pb) != 0) return -1;
    }
    const double border = Settings::getPdfBorder();
    const double offset[2] = {-border, -border};
    hpgs_bbox box;
    hpgs_matrix_xform_bbox(&box, &pm, &pb);
    // A frame without annotations is left exactly as it was: no IW (which
    // would reset the drawing's input window) and no restoring sequence.
    int count = 0;
    if (hpgs_pdf_fdf_bundle_count_annotations(c->bundle, &count, offset, &box, index + c->pageOffset) != 0)
        return -1;
    if (count == 0) return 0;
    if (startAsset(c->asset, hpgs_reader_get_current_pen(c->reader), xf) != 0) return -1;
    if (hpgs_pdf_fdf_bundle_render(c->bundle, c->asset, offset, &box, index + c->pageOffset) != 0) return -1;
    return finishAsset(c->asset);
}

// Opens an ostream on the job's file; on a failed render the file goes.
struct JobOutput {
    explicit JobOutput(const RendererJob& job) : path(jobCache().getJobFileName(job.runningWorkerIndex())) {
        out.reset(hpgs_new_file_ostream(path.c_str()));
    }
    // Closes the stream; -1 when it could not be completed.
    int close() { return hpgs_ostream_close(out.release()) == 0 ? 0 : hpgs_set_error("Write error on %s.", path.c_str()); }
    int fail() {
        out.reset();
        removeJobFile(path);
        return -1;
    }
    std::string path;
    hpgs::UniqueOstream out;
};

int putText(hpgs_ostream* out, const char* s) {
    const size_t n = std::strlen(s);
    return hpgs_ostream_write(s, 1, n, out) == n ? 0 : hpgs_set_error("Cannot write \"%s\" to the output.", s);
}

}  // namespace

int importAnnotations(HPGSRendererJob& job, hpgs_pdf_fdf_bundle* bundle) {
    const ObjPtr<Plume::List>& annotations = job.getAnnotations();
    for (size_t i = 0; annotations && i < annotations->getSize(); ++i) {
        auto a = Plume::objCast<Annotation>(annotations->get(i));
        if (!a || a->getMode() != 2) continue;
        ObjPtr<HPGSDataHolder> holder = getAnnotationInput(job, i);
        if (!holder) continue;
        hpgs::UniqueIstream fdf = holder->openHpgsStream();
        if (!fdf) return -1;
        const RgbColor c = parseColor(a->getColor());
        const double colour[3] = {c.r, c.g, c.b};
        if (hpgs_pdf_fdf_bundle_import_fdf(bundle, fdf.release(), textOf(a->getOwner()).c_str(),
                                           textOf(a->getTitle()).c_str(), "utf-8", colour, HPGS_PDF_FDF_DRAW) != 0)
            return -1;
    }
    return 0;
}

int drawHpglWithAnnotations(HPGSRendererJob& job, Plume::Mutex& mutex, const ObjPtr<HPGSDataHolder>& input,
                            int32_t angle, int pageOffset, hpgs_ostream* out) {
    hpgs::UniqueFdfBundle bundle(hpgs_pdf_new_fdf_bundle());
    if (!bundle || importAnnotations(job, bundle.get()) != 0) return -1;
    return drawHpglFrom(job, mutex, input->openHpgsStream().release(), input, angle, pageOffset, out, bundle.get(),
                        false);
}

int drawHpglFrom(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs_istream* in, const ObjPtr<HPGSDataHolder>& input,
                 int32_t angle, int pageOffset, hpgs_ostream* out, hpgs_pdf_fdf_bundle* bundle, bool onArrival) {
    // One read: the copy stream passes the input's bytes on to out, the
    // asset device writes the annotations in between, and a plot-size
    // device measures the drawing beside it for the page.
    hpgs::UniqueIstream copy(newHpglCopyStream(in, out));
    if (!copy) return -1;
    hpgs::UniqueDevice assetDevice(newHpglAssetDevice(out, Settings::getHpglMaxFractBits()));
    if (!assetDevice) return -1;
    // The input's bytes read so far go out before an inserted annotation.
    setBeforeWrite(assetDevice.get(), [](void* c) { return flushHpglCopyStream(static_cast<hpgs_istream*>(c)); },
                   copy.get());
    hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
    if (!measuring) return -1;
    hpgs_device* asset = assetDevice.get();
    hpgs_device* measure = measuring.get();
    // The tee and the reader take devices and stream over, also when they fail.
    hpgs::UniqueDevice tee(hpgs_new_tee_device(assetDevice.release(), measuring.release()));
    if (!tee) return -1;
    // The asset device draws only what the frame callback draws into it,
    // never the reader's paths (it drops them): those go to the measure
    // alone. It still follows the colour and raster operation, which it
    // restores after an asset.
    if (hpgs_tee_device_paths_to_listener_only(tee.get()) != 0) return -1;
    hpgs_device* teeDevice = tee.get();
    hpgs::UniqueReader made(hpgs_new_reader(copy.release(), tee.release(), HPGS_FALSE, 1));
    if (!made) return -1;
    FrameContext context{nullptr, teeDevice, asset, measure, input, angle, bundle, pageOffset, onArrival};
    // The reader is registered (so that the job can interrupt it) until this
    // returns, also after a failure: its copy stream and asset device write
    // into out, which closes after this, and the callback's context lives
    // on this frame. Closing the copy stream may touch the error slot, so a
    // failure's text is kept.
    struct Registered {
        HPGSRendererJob& job;
        Plume::Mutex& mutex;
        bool failed = true;
        ~Registered() {
            const std::string text = failed ? hpgs_get_error() : "";
            clearReader(job, mutex);
            if (failed) hpgs_set_error("%s", text.c_str());
        }
    } registered{job, mutex};
    hpgs_reader* reader = setReader(job, mutex, std::move(made));
    context.reader = reader;
    hpgs_reader_set_frame_asset_func(reader, &context, drawFrameAssets);
    if (hpgs_read(reader, HPGS_TRUE) < 0) return -1;
    registered.failed = false;
    return 0;
}

int measureHpglFirstPage(const ObjPtr<HPGSDataHolder>& input, hpgs_reader* follow, hpgs_bbox* box) {
    hpgs::UniqueIstream in(hpgs::new_observed_istream(input->openHpgsStream().release(),
                                                      std::make_unique<FollowInterrupt>(follow)));
    if (!in) return -1;
    hpgs::UniqueDevice measuring(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
    if (!measuring) return -1;
    hpgs_device* measure = measuring.get();
    hpgs::UniqueReader reader(hpgs_new_reader(in.release(), measuring.release(), HPGS_FALSE, 1));
    if (!reader || hpgs_read(reader.get(), HPGS_TRUE) < 0) return -1;
    if (hpgs_reader_is_interrupted(follow)) return hpgs_set_error("Interrupted.");
    return hpgs_getplotsize(measure, 1, box) < 0 ? -1 : 0;
}

std::string hpglInsertTag(int32_t angle, const ObjPtr<Plume::List>& annotations) {
    std::ostringstream s;
    // ",hpgl" keeps the key apart from the PDF of the same drawing ("0deg").
    s << angle << "deg,hpgl";
    appendAnnotationKey(s, annotations);
    return s.str();
}

std::string hpglMergeTag(int32_t angle2, const std::string& firstUniqueName, int32_t angle1,
                         const ObjPtr<Plume::List>& annotations) {
    std::ostringstream s;
    // ",hpgl" keeps the key apart from the PDF merge of the same inputs.
    s << angle2 << "deg,+" << firstUniqueName << ',' << angle1 << "deg,hpgl";
    appendAnnotationKey(s, annotations);
    return s.str();
}

HPGSInsertRendererJob::HPGSInsertRendererJob(const ObjPtr<IMimeInputStream>& input, std::string uniqueName,
                                             std::string prettyName, std::string tag, std::string stamp,
                                             double timestamp, const ObjPtr<Plume::List>& annotations, int32_t angle)
    : HPGSRendererJob(input, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      angle_(angle) {}

void HPGSInsertRendererJob::prepareInputs(Plume::Mutex& mutex) {
    // Only a download of the job's own can be read on arrival.
    if (!dynamic_cast<HPGSMimeDownloadDataHolder*>(getInput().get())) return HPGSRendererJob::prepareInputs(mutex);
    fetchAnnotations(mutex);
    hpgs::UniqueFdfBundle bundle(hpgs_pdf_new_fdf_bundle());
    // An annotation that cannot be read fails the render as it would.
    if (!bundle || importAnnotations(*this, bundle.get()) != 0) return fetchMainInput(mutex);
    const ObjPtr<Plume::List>& annotations = getAnnotations();
    const int k = static_cast<int>(annotations ? annotations->getSize() : 0) + 1;
    const std::string path = jobCache().getSubJobFileName(runningWorkerIndex(), k);
    hpgs::UniqueOstream out(hpgs_new_file_ostream(path.c_str()));
    if (!out) return fetchMainInput(mutex);
    bool written = false;
    {
        PipedReading reading(getPrettyName(), [&](hpgs_istream* in) {
            if (drawHpglFrom(*this, mutex, in, getInput(), angle_, 0, out.get(), bundle.get(), true) != 0)
                return false;
            return hpgs_ostream_close(out.release()) == 0;
        });
        try {
            written = fetchReadingOnArrival(*this, mutex, reading);
        } catch (...) {
            out.reset();
            removeJobFile(path);
            throw;
        }
    }
    out.reset();
    if (!written) {
        removeJobFile(path);
        return;
    }
    piped_ = path;
    log(7, "annotations inserted while the input arrived.");
}

int HPGSInsertRendererJob::render(Plume::Mutex& mutex) {
    if (!piped_.empty()) {
        const std::string path = std::exchange(piped_, std::string());
        const std::string target = jobCache().getJobFileName(runningWorkerIndex());
        if (::rename(path.c_str(), target.c_str()) == 0) return 0;
        const int e = errno;
        removeJobFile(path);
        return hpgs_set_error("Cannot move %s to %s: %s.", path.c_str(), target.c_str(), std::strerror(e));
    }
    JobOutput o(*this);
    if (!o.out) return -1;
    if (drawHpglWithAnnotations(*this, mutex, getInput(), angle_, 0, o.out.get()) != 0) return o.fail();
    return o.close() == 0 ? 0 : o.fail();
}

HPGSHpglMergeJob::HPGSHpglMergeJob(const ObjPtr<IMimeInputStream>& input2, std::string uniqueName,
                                   std::string prettyName, std::string tag, std::string stamp, double timestamp,
                                   const ObjPtr<Plume::List>& annotations, int32_t angle2, MergeInput first)
    : HPGSRendererJob(input2, std::move(uniqueName), std::move(prettyName), std::move(tag), std::move(stamp),
                      timestamp, annotations),
      angle2_(angle2),
      first_(std::move(first)) {}

void HPGSHpglMergeJob::prepareInputs(Plume::Mutex& mutex) {
    HPGSRendererJob::prepareInputs(mutex);
    first_.fetch(*this, mutex);
}

void HPGSHpglMergeJob::releaseInputs() {
    first_.release();
    HPGSRendererJob::releaseInputs();
}

int HPGSHpglMergeJob::render(Plume::Mutex& mutex) {
    JobOutput o(*this);
    if (!o.out) return -1;
    // Each drawing ends with "PG;". A drawing wrapped in PCL ends in PCL
    // mode, where a plotter ignores HP-GL/2 (the second drawing would be
    // lost): ESC %1B goes back to HP-GL/2 first, and does nothing there.
    const char* const endOfPage = "\x1b%1BPG;";
    if (drawHpglWithAnnotations(*this, mutex, first_.holder(), first_.angle(), 0, o.out.get()) != 0 ||
        putText(o.out.get(), endOfPage) != 0 ||
        drawHpglWithAnnotations(*this, mutex, getInput(), angle2_, 1, o.out.get()) != 0 ||
        putText(o.out.get(), endOfPage) != 0)
        return o.fail();
    return o.close() == 0 ? 0 : o.fail();
}

ObjPtr<HPGSRendererCacheEntry> insertHpglAnnotations(const ObjPtr<IMimeInputStream>& input, int32_t angle,
                                                     const std::string& stamp, const ObjPtr<Plume::List>& annotations) {
    if (!input) throwPreviewf<IOError>(CAT_DAEMON, 3, "No input stream given.");
    Plume::CallsAhead ahead(input, {"getUniqueName", "getPrettyName", "getTimestamp"});
    const std::string unique = textOf(input->getUniqueName()), pretty = textOf(input->getPrettyName());
    const double ts = input->getTimestamp();
    return executeJob(Plume::makeObj<HPGSInsertRendererJob>(input, unique, pretty, hpglInsertTag(angle, annotations),
                                                            stamp, ts, annotations, angle));
}

ObjPtr<HPGSRendererCacheEntry> mergeHpgl(const ObjPtr<IMimeInputStream>& input1, int32_t angle1,
                                         const ObjPtr<IMimeInputStream>& input2, int32_t angle2,
                                         const std::string& stamp, const ObjPtr<Plume::List>& annotations) {
    if (!input2) throwPreviewf<IOError>(CAT_DAEMON, 3, "No second input stream given.");
    Plume::CallsAhead ahead(input2, {"getUniqueName", "getPrettyName", "getTimestamp"});
    const std::string unique2 = textOf(input2->getUniqueName()), pretty2 = textOf(input2->getPrettyName());
    const double ts2 = input2->getTimestamp();
    MergeInput first(input1, angle1);
    const std::string tag = hpglMergeTag(angle2, first.uniqueName(), angle1, annotations);
    return executeJob(Plume::makeObj<HPGSHpglMergeJob>(input2, unique2, pretty2, tag, stamp, ts2, annotations, angle2,
                                                       std::move(first)));
}

}  // namespace Xadra
