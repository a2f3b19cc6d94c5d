// HP-GL/2 results: the input drawing's own bytes with the request's drawn
// (mode 2) FDF annotations inserted as HP-GL/2 at the end of each frame
// (HPGSInsertRendererJob), or two drawings joined as two pages of one file,
// each followed by ESC %1B "PG;" (HPGSHpglMergeJob; the escape brings a
// PCL-wrapped drawing back to HP-GL/2).
//
// Tags: insert "<angle>deg,hpgl" and the annotation keys; merge "<angle2>deg,+
// <input1 unique name>,<angle1>deg,hpgl" and the annotation keys (",hpgl"
// keeps them apart from the PDF jobs' "<angle>deg" and merge forms). The stamp is
// part of the identity but not drawn.
//
// Errors: the factories fail as executeJob; hpgs failures arrive as
// HPGSError with hpgs's message. A failed render leaves no job file.
// Thread-safety: factories may be called from any number of threads.
#pragma once

#include "MergeInput.h"

#include "daemon/JobRegistry.h"

#include "hpgspdf.h"
#include "xadracommon/PreviewApi.h"

#include <cstdint>
#include <string>

namespace Xadra {

class HPGSInsertRendererJob : public HPGSRendererJob {
public:
    HPGSInsertRendererJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, std::string uniqueName,
                          std::string prettyName, std::string tag, std::string stamp, double timestamp,
                          const Plume::ObjPtr<Plume::List>& annotations, int32_t angle);
    // A drawing this job downloads itself is copied with its annotations
    // while it arrives (PipedReading), into a sub-job file that render()
    // then makes the job's file. For that the annotations are fetched
    // before the drawing. Otherwise render() reads the fetched file.
    void prepareInputs(Plume::Mutex& mutex) override;
    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "image/hpgl"; }
    std::string getResultUniqueName() override { return getUniqueName(); }
    std::string getResultPrettyName() override { return getPrettyName(); }

private:
    const int32_t angle_;
    std::string piped_;  // the output written on arrival, or empty
};

class HPGSHpglMergeJob : public HPGSRendererJob {
public:
    HPGSHpglMergeJob(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2, std::string uniqueName,
                     std::string prettyName, std::string tag, std::string stamp, double timestamp,
                     const Plume::ObjPtr<Plume::List>& annotations, int32_t angle2, MergeInput first);
    void prepareInputs(Plume::Mutex& mutex) override;
    void releaseInputs() override;
    int render(Plume::Mutex& mutex) override;
    std::string getResultMimeType() override { return "image/hpgl"; }
    std::string getResultUniqueName() override { return getUniqueName(); }
    std::string getResultPrettyName() override { return getPrettyName(); }

private:
    const int32_t angle2_;
    MergeInput first_;
};

// The box of the first page of input's drawing as a plot-size device
// measures it in a read of its own: the part of the drawing that the
// annotations' page shows. The read stops, failing with "Interrupted.", once
// follow (the job's reader, may be null) is interrupted. 0, or -1 with
// hpgs's error.
int measureHpglFirstPage(const Plume::ObjPtr<HPGSDataHolder>& input, hpgs_reader* follow, hpgs_bbox* box);

// Copies the drawing of input to out with the job's drawn annotations
// inserted at each frame's end, their page indexes counted from pageOffset.
// 0, or -1 with hpgs's error.
int drawHpglWithAnnotations(HPGSRendererJob& job, Plume::Mutex& mutex, const Plume::ObjPtr<HPGSDataHolder>& input,
                            int32_t angle, int pageOffset, hpgs_ostream* out);
// The same from in (owned; the copy reads the drawing from it), with the
// annotations in bundle. input is the holder in's bytes come from; read on
// arrival (onArrival) it has no file yet, and a drawing whose raster images
// need a measure of their own (from the file) fails.
int drawHpglFrom(HPGSRendererJob& job, Plume::Mutex& mutex, hpgs_istream* in,
                 const Plume::ObjPtr<HPGSDataHolder>& input, int32_t angle, int pageOffset, hpgs_ostream* out,
                 hpgs_pdf_fdf_bundle* bundle, bool onArrival);
// Imports the job's drawn (mode 2) annotations into bundle. 0, or -1 with
// hpgs's error.
int importAnnotations(HPGSRendererJob& job, hpgs_pdf_fdf_bundle* bundle);

std::string hpglInsertTag(int32_t angle, const Plume::ObjPtr<Plume::List>& annotations);
std::string hpglMergeTag(int32_t angle2, const std::string& firstUniqueName, int32_t angle1,
                         const Plume::ObjPtr<Plume::List>& annotations);

Plume::ObjPtr<HPGSRendererCacheEntry> insertHpglAnnotations(
    const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input, int32_t angle, const std::string& stamp,
    const Plume::ObjPtr<Plume::List>& annotations);
Plume::ObjPtr<HPGSRendererCacheEntry> mergeHpgl(const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input1,
                                                int32_t angle1,
                                                const Plume::ObjPtr<xad::preview::api::IMimeInputStream>& input2,
                                                int32_t angle2, const std::string& stamp,
                                                const Plume::ObjPtr<Plume::List>& annotations);

}  // namespace Xadra
