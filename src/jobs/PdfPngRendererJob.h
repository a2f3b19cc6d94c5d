// PNG previews of PDF pages: a page (or a rectangle of a page given with its
// own angle) rendered by ghostscript, after an optional rotation and stamp
// (an HPGSPdfFileJob subjob), with the request's drawn FDF annotations
// painted over the picture.
//
// Thread-safety: as every job; interrupt() may come from any thread and
// reaches the running ghostscript (SIGTERM, then SIGKILL).
#pragma once

#include "GSHelper.h"
#include "PngRendererJob.h"

namespace Xadra {

class HPGSPdfPngRendererJob : public HPGSPngRendererJob {
public:
    using HPGSPngRendererJob::HPGSPngRendererJob;

    int render(Plume::Mutex& mutex) override;
    // Forwards to the subjob and the running ghostscript.
    void interrupt(Plume::Mutex& mutex) override;

private:
    GSHelper::RunControl control_;
};

// The rectangle of a page to render for a tile: box o (points, in the page
// as shown turned by angle) mapped back into the unturned document box doc.
hpgs_bbox tileRenderBox(const hpgs_bbox& doc, const hpgs_bbox& o, int angle);

}  // namespace Xadra
