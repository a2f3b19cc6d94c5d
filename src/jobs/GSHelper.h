// Ghostscript as a child process: PDF pages to PNG files.
//
// runGhostscript starts the executable chosen at start-up with a fixed
// argument vector (quiet, batch, no pause, one page, png16m or pnggray, the
// given resolution and pixel size, the output file), logs everything the
// child prints (category xadrags, one message per line) and waits for it.
// While it waits, an interrupt of the run (RunControl::interrupt, for a job
// that is interrupted or a daemon that stops) sends SIGTERM, every further
// one SIGKILL. A child still running when the hang limit has passed since
// the start is sent SIGTERM, and SIGKILL five seconds later: a hung
// ghostscript must not hold a worker for ever. The child is always reaped.
//
// Ghostscript reads untrusted PDFs: nothing in the argument vector weakens
// its SAFER mode (the default of Debian's ghostscript), and the only file it
// writes is the output path given.
//
// Thread-safety: the path and the hang limit are set at start-up (or in a
// test before any run); runs on different threads share nothing else.
#pragma once

#include "hpgs/hpgs.h"
#include "plume/ChannelPoller.h"
#include "plume/Thread.h"

#include <string>

namespace Xadra {

namespace GSHelper {

// Chooses the executable: the configured path when not empty, else the first
// regular file of /opt/gpl-ghostscript/bin/gs and /usr/bin/gs-gpl, else
// /usr/bin/gs untested. Logs the choice (xadrags, 6).
void setGhostscriptPath(const std::string& configured);
std::string getGhostscriptPath();

// Seconds after its start at which a child that still runs counts as hung
// (default: the render time-out plus 120 s, read when a run starts; 0
// restores that default).
void setHangLimit(unsigned seconds);

// Lets another thread interrupt a run: the run attaches its poller while it
// waits; interrupt() may come from any thread, also before the run starts
// (the run then starts interrupted).
class RunControl {
public:
    void interrupt();
    // Called by the run with its poller, then with null when it ends.
    void attach(Plume::ChannelPoller* poller);

private:
    Plume::Mutex mutex_;
    Plume::ChannelPoller* poller_ GUARDED_BY(mutex_) = nullptr;
    bool interrupted_ GUARDED_BY(mutex_) = false;
};

// Logs what a child prints on one of its channels, line by line ("stdout:
// text"); a rest without a line end is logged at once with "<eol missing>.".
// The last line read is kept as the child's last word for error messages.
class LoggingEventHandler : public Plume::PollEventHandler {
public:
    explicit LoggingEventHandler(std::string name) : name_(std::move(name)) {}
    void handleEvent(Plume::ChannelPoller& poller, const Plume::ObjPtr<Plume::Channel>& channel, int events) override;
    const std::string& lastLine() const { return lastLine_; }

private:
    std::string name_;
    std::string lastLine_;
};

// One child run. Throws Xadra::Exception (xadrags, 3) "%s return non-zero
// status %d." (followed by ghostscript's last message, when it printed one)
// when the child fails or is killed, and Plume::CException when it cannot be
// started.
void runGhostscript(const std::string& input, const std::string& output, int width, int height, double xres,
                    double yres, int page, bool antialias, bool gray, RunControl* control = nullptr);

// The argument vector of a run (argv[0] "[xadrad-gs]" first), as
// runGhostscript passes it.
std::vector<std::string> ghostscriptArguments(const std::string& input, const std::string& output, int width,
                                              int height, double xres, double yres, int page, bool antialias,
                                              bool gray);

// Renders page (from 0) of the PDF at input into a width x height PNG of the
// box (points): the page is written to temporary with box as its crop and
// media box, then ghostscript runs on it. quarterTurned tells that the page
// is shown turned by 90 or 270 degrees (its /Rotate), so that width goes
// along the box's height. The temporary file is removed
// afterwards (unless job files are kept). Throws ThrowableException (16, 3)
// with an HPGSError naming hpgs's message when the page cannot be written,
// DRMError for an encrypted PDF, and what runGhostscript throws.
void renderPdfPage(const std::string& input, const std::string& temporary, const std::string& output, int width,
                   int height, int page, const hpgs_bbox& box, bool antialias, bool gray, bool quarterTurned = false,
                   RunControl* control = nullptr);

}  // namespace GSHelper

// Writes the PDF document read from in (consumed) to output with page's crop
// and media box set to box (given in points: divided by the page's user
// unit) and the page turned by angle. 0, or -1 with hpgs's error; throws
// ThrowableException (16, 3) with a DRMError for an encrypted document.
int writePdfPageCrop(const std::string& output, hpgs_istream* in, const hpgs_bbox& box, int angle, int page);

}  // namespace Xadra
