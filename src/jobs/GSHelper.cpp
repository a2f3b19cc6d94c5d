#include "GSHelper.h"

#include "daemon/DataHolders.h"
#include "daemon/Settings.h"

#include "hpgs/hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"
#include "plume/Process.h"
#include "xadracommon/LogService.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/XadraException.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <sys/stat.h>

using namespace xad::preview::api;
using Plume::ObjPtr;

namespace Xadra {

namespace {

std::atomic<unsigned> g_hangLimit{0};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string s = Plume::vformat(fmt, ap);
    va_end(ap);
    return s;
}

bool isRegularFile(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

namespace GSHelper {

void setGhostscriptPath(const std::string& configured) {
    std::string chosen;
    if (!configured.empty()) {
        chosen = configured;
        logCategory(CAT_GS, 6, "Using user-configured ghostscript from path [%s].", chosen.c_str());
    } else {
        chosen = "/usr/bin/gs";
        for (const char* probe : {"/opt/gpl-ghostscript/bin/gs", "/usr/bin/gs-gpl"})
            if (isRegularFile(probe)) {
                chosen = probe;
                break;
            }
        logCategory(CAT_GS, 6, "Using auto-discovered ghostscript from path [%s].", chosen.c_str());
    }
    Settings::setGsPath(chosen);
}

std::string getGhostscriptPath() {
    std::string path = Settings::getGsPath();
    return path.empty() ? "/usr/bin/gs" : path;
}

void setHangLimit(unsigned seconds) { g_hangLimit = seconds; }

void RunControl::interrupt() {
    Plume::MutexLock lock(mutex_);
    interrupted_ = true;
    if (poller_) poller_->interrupt();
}

void RunControl::attach(Plume::ChannelPoller* poller) {
    Plume::MutexLock lock(mutex_);
    poller_ = poller;
    if (poller && interrupted_) poller->interrupt();
}

void LoggingEventHandler::handleEvent(Plume::ChannelPoller& poller, const ObjPtr<Plume::Channel>& channel,
                                      int events) {
    if (events & POLLIN) {
        char buf[2048];
        const ssize_t n = channel->read(buf, sizeof buf);
        if (n < 0 && errno == EAGAIN) return;
        if (n <= 0) {
            logCategory(CAT_GS, 6, "%s: peer closed connection.", name_.c_str());
            channel->close();
            poller.unregisterChannel(channel);
            return;
        }
        const char* p = buf;
        const char* end = buf + n;
        while (p < end) {
            const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
            if (nl) {
                logCategory(CAT_GS, 7, "%s: %.*s", name_.c_str(), static_cast<int>(nl - p), p);
                if (nl > p) lastLine_.assign(p, nl);
                p = nl + 1;
            } else {
                logCategory(CAT_GS, 7, "%s: %.*s<eol missing>.", name_.c_str(), static_cast<int>(end - p), p);
                lastLine_.assign(p, end);
                p = end;
            }
        }
        return;
    }
    if (events & POLLHUP) {
        logCategory(CAT_GS, 7, "%s reports hangup.", name_.c_str());
    } else if (events & (POLLERR | POLLNVAL)) {
        logCategory(CAT_GS, 7, "%s reports an error.", name_.c_str());
    } else {
        return;
    }
    channel->close();
    poller.unregisterChannel(channel);
}

std::vector<std::string> ghostscriptArguments(const std::string& input, const std::string& output, int width,
                                              int height, double xres, double yres, int page, bool antialias,
                                              bool gray) {
    const int alpha = antialias ? 4 : 1;
    return {"[xadrad-gs]",
            "-dQUIET",
            "-dBATCH",
            "-dNOPAUSE",
            format("-dTextAlphaBits=%d", alpha),
            format("-dGraphicsAlphaBits=%d", alpha),
            gray ? "-sDEVICE=pnggray" : "-sDEVICE=png16m",
            format("-dFirstPage=%d", page + 1),
            format("-dLastPage=%d", page + 1),
            format("-r%.8lgx%.8lg", xres, yres),
            format("-g%dx%d", width, height),
            format("-sOutputFile=%s", output.c_str()),
            input};
}

void runGhostscript(const std::string& input, const std::string& output, int width, int height, double xres,
                    double yres, int page, bool antialias, bool gray, RunControl* control) {
    const std::string path = getGhostscriptPath();
    const std::vector<std::string> args =
        ghostscriptArguments(input, output, width, height, xres, yres, page, antialias, gray);
    logCategory(CAT_GS, 7, "Running %s %s %s %s %s %s %s %s %s %s %s %s %s.", path.c_str(), args[1].c_str(),
                args[2].c_str(), args[3].c_str(), args[4].c_str(), args[5].c_str(), args[6].c_str(), args[7].c_str(),
                args[8].c_str(), args[9].c_str(), args[10].c_str(), args[11].c_str(), args[12].c_str());

    auto process = Plume::Process::newInstance();
    process->start(path, args);
    auto poller = Plume::ChannelPoller::newInstance();
    auto out = Plume::makeObj<LoggingEventHandler>("stdout");
    auto err = Plume::makeObj<LoggingEventHandler>("stderr");
    // Ghostscript reads no standard input: closed at once, it cannot wait
    // for any.
    process->getStdin()->close();
    poller->registerChannel(process->getStdout(), out, POLLIN);
    poller->registerChannel(process->getStderr(), err, POLLIN);

    struct Detach {
        RunControl* control;
        ~Detach() {
            if (control) control->attach(nullptr);
        }
    } detach{control};
    if (control) control->attach(poller.get());

    const unsigned limit = g_hangLimit ? g_hangLimit.load() : Settings::getRenderTimeout() + 120;
    const auto started = std::chrono::steady_clock::now();
    int interrupts = 0;
    bool termSent = false, killSent = false;
    std::chrono::steady_clock::time_point termAt{};
    while (process->getStdout()->isOpen() || process->getStderr()->isOpen()) {
        try {
            poller->poll(1000);
        } catch (const Plume::CException& e) {
            if (!e.isInterrupt()) throw;
            if (interrupts++ == 0) {
                logCategory(CAT_GS, 4, "Sending signal 15 upon interrupt.");
                process->sendSignal(SIGTERM);
            } else {
                logCategory(CAT_GS, 4, "Sending signal 9 upon repeated interrupt.");
                process->sendSignal(SIGKILL);
            }
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!termSent && now - started >= std::chrono::seconds(limit)) {
            logCategory(CAT_GS, 3, "%s has run for %u s on %s: sending signal 15.", path.c_str(), limit,
                        input.c_str());
            process->sendSignal(SIGTERM);
            termSent = true;
            termAt = now;
        } else if (termSent && !killSent && now - termAt >= std::chrono::seconds(5)) {
            logCategory(CAT_GS, 3, "%s still runs 5 s after signal 15: sending signal 9.", path.c_str());
            process->sendSignal(SIGKILL);
            killSent = true;
        }
    }
    const int status = process->waitFor();
    logCategory(CAT_GS, 7, "process returned status %d.", status);
    if (status != 0) {
        const std::string& reason = !err->lastLine().empty() ? err->lastLine() : out->lastLine();
        if (reason.empty()) throw Exception(CAT_GS, 3, "%s return non-zero status %d.", path.c_str(), status);
        throw Exception(CAT_GS, 3, "%s return non-zero status %d. %s", path.c_str(), status, reason.c_str());
    }
}

void renderPdfPage(const std::string& input, const std::string& temporary, const std::string& output, int width,
                   int height, int page, const hpgs_bbox& box, bool antialias, bool gray, bool quarterTurned,
                   RunControl* control) {
    // Removed however the run ends (kept with --no-remove).
    struct Remove {
        const std::string& file;
        ~Remove() { removeJobFile(file); }
    } remove{temporary};
    hpgs_istream* in = hpgs_new_file_istream(input.c_str());
    if (!in || writePdfPageCrop(temporary, in, box, 0, page) != 0) {
        const std::string reason = hpgs_get_error();
        throwPreviewf<HPGSError>(CAT_GS, 3, "%s", reason.c_str());
    }
    const double bw = box.urx - box.llx, bh = box.ury - box.lly;
    const double xres = 72.0 * width / (quarterTurned ? bh : bw);
    const double yres = 72.0 * height / (quarterTurned ? bw : bh);
    runGhostscript(temporary, output, width, height, xres, yres, page, antialias, gray, control);
}

}  // namespace GSHelper

int writePdfPageCrop(const std::string& output, hpgs_istream* in, const hpgs_bbox& given, int angle, int page) {
    hpgs::UniquePdfFile pdf(hpgs_new_pdf_file(in));
    if (!pdf) return -1;
    if (hpgs_pdf_file_is_encrypted(pdf.get())) {
        pdf.reset();
        throwPreviewf<DRMError>(CAT_GS, 3, "PDF file is encrypted.");
    }
    double uu = 1.0;
    if (hpgs_pdf_file_get_page_user_unit(pdf.get(), page, &uu) != 0) return -1;
    hpgs_bbox box = given;
    if (uu != 1.0) {
        box.llx /= uu;
        box.lly /= uu;
        box.urx /= uu;
        box.ury /= uu;
    }
    if (hpgs_pdf_file_set_page_crop_box(pdf.get(), page, &box) != 0) hpgs_clear_error();
    if (hpgs_pdf_file_set_page_media_box(pdf.get(), page, &box) != 0) return -1;
    if (hpgs_pdf_file_rotate_page(pdf.get(), page, angle) != 0) return -1;
    hpgs::UniqueOstream out(hpgs_new_file_ostream(output.c_str()));
    if (!out) return -1;
    if (hpgs_pdf_file_write(pdf.get(), out.get()) != 0) return -1;
    if (hpgs_ostream_close(out.release()) != 0) return hpgs_set_error("Write error on %s.", output.c_str());
    return 0;
}

}  // namespace Xadra
