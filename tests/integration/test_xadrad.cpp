// The real xadrad and xadrac programs on a free loopback port, with a
// temporary base, configuration and runtime directory.

#include "plume/Remoting.h"
#include "xadracommon/PreviewApi.h"
#include "xadracommon/RendererClient.h"

#include "../hpgs/ink_compare.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace Plume;
using namespace xad::preview::api;

namespace {

const std::string kBin = XAD_BIN_DIR;
const std::string kData = std::string(XAD_TEST_DATA) + "/hpgl";

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int freePort() {
    auto d = Sock::Device::newInstance(Sock::Address::newInstance("127.0.0.1:0"));
    d->bind();
    return d->getBoundPort();
}

// Runs a program with stdout and stderr into files; returns the pid.
pid_t launch(const std::vector<std::string>& args, const std::string& out, const std::string& err,
             const std::string& in = "/dev/null") {
    pid_t pid = fork();
    if (pid == 0) {
        freopen(in.c_str(), "r", stdin);
        freopen(out.c_str(), "w", stdout);
        freopen(err.c_str(), "w", stderr);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid, int timeoutMs = 30000) {
    for (int i = 0; i < timeoutMs / 10; ++i) {
        int ws = 0;
        pid_t r = waitpid(pid, &ws, WNOHANG);
        if (r == pid) return WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

class Xadrad : public ::testing::Test {
protected:
    std::string dir, base, conf, runtime, app;
    int port = 0;
    pid_t pid = -1;

    void SetUp() override {
        char d[] = "/tmp/xadrad-test-XXXXXX";
        dir = mkdtemp(d);
        base = dir + "/base";
        conf = dir + "/conf";
        runtime = dir + "/run";
        mkdir(conf.c_str(), 0755);
        mkdir(runtime.c_str(), 0755);
        app = "t" + std::to_string(getpid());
        setenv("XAD_CONF_DIR", conf.c_str(), 1);
        setenv("XAD_RUNTIME_DIR", runtime.c_str(), 1);
        port = freePort();
        std::ofstream(conf + "/xad.conf") << "xadrad_cache_baseDir=" << base << "\n"
                                          << "xadrad_suUser=root\n"
                                          << "xadrad_job_nWorkers=2\n"
                                          << "xadrad_listen_address=127.0.0.1:" << port << "\n";
    }
    void TearDown() override {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        unsetenv("XAD_CONF_DIR");
        unsetenv("XAD_RUNTIME_DIR");
        std::system(("rm -rf " + dir).c_str());
    }
    std::vector<std::string> daemonArgs(std::vector<std::string> extra = {}) {
        std::vector<std::string> a = {kBin + "/xadrad", "-a", app, "--xadrad_no_fork=true", "--log-level=7"};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    // Starts the daemon in the foreground and waits until it accepts calls.
    void start(std::vector<std::string> extra = {}) {
        pid = launch(daemonArgs(extra), dir + "/daemon.out", dir + "/daemon.log");
        for (int i = 0; i < 500; ++i) {
            if (readFile(dir + "/daemon.log").find("listening to [") != std::string::npos &&
                access((runtime + "/xad/" + app + "_xadrad.sock").c_str(), F_OK) == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    int stopWithHup() {
        kill(pid, SIGHUP);
        int st = waitFor(pid, 15000);
        pid = -1;
        return st;
    }
    std::string log() const { return readFile(dir + "/daemon.log"); }
    // Runs xadrad once more with extra arguments (e.g. -s or -k); returns its status.
    int request(const std::vector<std::string>& extra, std::string* out, std::string* err = nullptr) {
        std::vector<std::string> a = {kBin + "/xadrad", "-a", app};
        a.insert(a.end(), extra.begin(), extra.end());
        pid_t p = launch(a, dir + "/req.out", dir + "/req.err");
        int st = waitFor(p);
        if (out) *out = readFile(dir + "/req.out");
        if (err) *err = readFile(dir + "/req.err");
        return st;
    }
};

struct Client {
    RendererClient renderer;
    explicit Client(int port) : renderer("tcp://127.0.0.1:" + std::to_string(port)) {}
};

std::string readStream(IMimeInputStream& s) {
    std::string out;
    for (;;) {
        auto b = s.readBlock(65536);
        if (!b || b->getSize() == 0) break;
        out.append(reinterpret_cast<const char*>(b->getData()), b->getSize());
    }
    s.close();
    return out;
}

// Width and height from a PNG header.
std::pair<uint32_t, uint32_t> pngSize(const std::string& png) {
    if (png.size() < 24 || png.compare(1, 3, "PNG") != 0) return {0, 0};
    auto be = [&](size_t o) {
        return (uint32_t(uint8_t(png[o])) << 24) | (uint32_t(uint8_t(png[o + 1])) << 16) |
               (uint32_t(uint8_t(png[o + 2])) << 8) | uint32_t(uint8_t(png[o + 3]));
    };
    return {be(16), be(20)};
}

ObjPtr<IMimeInputStream> fileStream(const std::string& name) {
    return preview::FileMimeInputStream::newInstance(name, name, kData + "/" + name, "image/hpgl");
}

}  // namespace

TEST_F(Xadrad, RendersByResolutionPixelSizeAndTileAndAnswersRepeatsFromTheCache) {
    start();
    Client c(port);
    auto r = c.renderer->renderPngByResolution(fileStream("syn_bezier.hpgl"), 72, true, 0, nullptr, nullptr);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->getMimeType()->str(), "image/png");
    std::string png = readStream(*r);
    auto size72 = pngSize(png);
    EXPECT_GT(size72.first, 10u);
    auto px = c.renderer->renderPngByPixelSize(fileStream("syn_bezier.hpgl"), 400, true, 0, nullptr, nullptr);
    auto sizePx = pngSize(readStream(*px));
    EXPECT_EQ(std::max(sizePx.first, sizePx.second), 400u);
    auto tile = BoundingBoxWithAngle::newInstance();
    tile->setUrx(144);
    tile->setUry(72);
    auto t = c.renderer->renderPngTileByResolution(fileStream("syn_bezier.hpgl"), 72, false, tile, nullptr, nullptr);
    EXPECT_EQ(pngSize(readStream(*t)), (std::pair<uint32_t, uint32_t>(144, 72)));
    // The same request again comes from the cache.
    auto again = c.renderer->renderPngByResolution(fileStream("syn_bezier.hpgl"), 72, true, 0, nullptr, nullptr);
    EXPECT_EQ(readStream(*again), png);
    EXPECT_NE(log().find("cached file"), std::string::npos);
    EXPECT_NE(log().find(" found."), std::string::npos);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, EveryTestDrawingRendersThroughXadrac) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::string lines;
    for (const char* f : {"syn_arcs_relative", "syn_pe_encoded", "pu_graph_dashed", "ps_parts_hpgl2",
                          "fig_ibmgl_bracket_ro90", "gp_pcl5_response"}) {
        std::system(("cp " + kData + "/" + f + ".hpgl " + work + "/" + f + ".plt").c_str());
        lines += std::string(f) + ".plt 0 png\n";
    }
    std::ofstream(work + "/requests") << lines;
    pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(c, 120000), 0);
    std::string err = readFile(dir + "/c.err");
    for (const char* f : {"syn_arcs_relative", "syn_pe_encoded", "pu_graph_dashed", "ps_parts_hpgl2",
                          "fig_ibmgl_bracket_ro90", "gp_pcl5_response"}) {
        EXPECT_NE(err.find(std::string("File ") + f + ".png successfully written."), std::string::npos) << err;
        EXPECT_GT(pngSize(readFile(work + "/" + f + ".png")).first, 10u) << f;
    }
    EXPECT_EQ(stopWithHup(), 0);
}

// What a user sees for bad input: xadrac reports the daemon's reason and
// ends its run, writing nothing; the daemon's log names the file; the daemon
// serves the next run.
TEST_F(Xadrad, BadDrawingsThroughXadracAreReportedAndTheDaemonServesOn) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::ofstream(work + "/empty.plt") << "";
    std::ofstream(work + "/garbage.plt") << "this is not a plot file\n";
    std::system(("cp " + kData + "/syn_bezier.hpgl " + work + "/good.plt").c_str());
    auto run = [&](const std::string& file) {
        std::ofstream(work + "/requests") << file << " 0 png\n";
        pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                         dir + "/c.out", dir + "/c.err");
        EXPECT_EQ(waitFor(c, 120000), 0) << file;
        return readFile(dir + "/c.out") + readFile(dir + "/c.err");
    };
    for (const std::string f : {"empty", "garbage"}) {
        std::string said = run(f + ".plt");
        EXPECT_NE(said.find("HPGSError: Bounding box is empty."), std::string::npos) << said;
        EXPECT_NE(access((work + "/" + f + ".png").c_str(), F_OK), 0) << f;
        EXPECT_NE(log().find(f + ".plt("), std::string::npos) << log();
    }
    std::string said = run("good.plt");
    EXPECT_NE(said.find("File good.png successfully written."), std::string::npos) << said;
    EXPECT_GT(pngSize(readFile(work + "/good.png")).first, 10u);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, StatusAndStopRequestsReachTheRunningInstance) {
    start();
    std::string out, err;
    EXPECT_EQ(request({"-s"}, &out, &err), 0) << err;
    EXPECT_EQ(out.rfind("xadrad 5.0.1-1 (2013-09-04 14:19:29+0000)\n", 0), 0u) << out;
    EXPECT_NE(out.find("***** Latest job information"), std::string::npos) << out;
    EXPECT_NE(out.find("***** Cache statistics"), std::string::npos) << out;
    EXPECT_EQ(request({"-k"}, &out, &err), 0) << err;
    EXPECT_EQ(waitFor(pid, 15000), 0);
    pid = -1;
    EXPECT_NE(log().find("finished with status [0]."), std::string::npos);
    // Nothing runs any more.
    EXPECT_EQ(request({"-s"}, &out, &err), 1);
    EXPECT_NE(err.find("No running instance of xad/" + app + "_xadrad"), std::string::npos) << err;
}

TEST_F(Xadrad, HangUpShutsDownInOrder) {
    start();
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stopWithHup(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    std::string l = log();
    size_t a = l.find("sending signal 15 to server thread.");
    size_t b = l.find("waiting for server thread...");
    size_t c = l.find("server thread finished.");
    size_t d = l.find("Interrupting worker [0] upon shutdown...");
    size_t e = l.find("Worker [1] has finished.");
    size_t f = l.find("xadrad 5.0.1-1 (2013-09-04 14:19:29+0000) finished with status [0].");
    ASSERT_NE(a, std::string::npos) << l;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, d);
    EXPECT_LT(d, e);
    EXPECT_LT(e, f);
    EXPECT_NE(f, std::string::npos);
}

TEST_F(Xadrad, BadOptionsAndValuesExitWithTheirMessage) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    std::vector<Case> cases = {
        {{"-x"}, "Unknown option -x specified."},
        {{"-n", "-a"}, "No application name for option -a given."},
        {{"--xadrad_png_thin_alpha=2"}, "Thin alpha 2 does not lie in the interval [0.001,1.0]."},
        {{"--xadrad_pdf_max_inch_size=99.5"}, "xadrad_pdf_max_inch_size is smaller than 100.0"},
        {{"--xadrad_seek_size=1000"}, "Dimension 1000 is not a power of 2."},
        {{"--xadrad_seek_size=1024", "--xadrad_label_size=1024"}, "label_render_size is greater than render_size."},
        {{"--xadrad_cache_mbytes=lots"}, "[xadrad_cache_mbytes]"},
        {{"--xadrad_listen_address=nowhere"}, "nowhere"},
        {{"--xadrad_cache_baseDir=/proc/forbidden"}, "/proc/forbidden"},
        {{"--xadrad_suUser=no-such-user-xyz"}, "no-such-user-xyz"},
    };
    for (auto& c : cases) {
        std::vector<std::string> a = {"-n"};
        a.insert(a.end(), c.args.begin(), c.args.end());
        if (c.args[0] == "--xadrad_suUser=no-such-user-xyz") a.erase(a.begin());  // needs the daemon support
        std::string err;
        std::vector<std::string> full = {"--xadrad_no_fork=true"};
        full.insert(full.end(), a.begin(), a.end());
        int st = request(full, nullptr, &err);
        if (c.args[0] == "--xadrad_suUser=no-such-user-xyz" && geteuid() != 0) continue;  // no switch attempted
        EXPECT_EQ(st, 1) << c.message;
        size_t m = err.find(c.message);
        EXPECT_NE(m, std::string::npos) << c.message << "\n" << err;
        size_t fin = err.find("finished with status [1].");
        EXPECT_NE(fin, std::string::npos) << err;
        EXPECT_LT(m, fin);
    }
}

TEST_F(Xadrad, RestartedDaemonFindsItsCache) {
    start();
    {
        Client c(port);
        auto r = c.renderer->renderPngByResolution(fileStream("syn_pe_encoded.hpgl"), 50, true, 0, nullptr, nullptr);
        readStream(*r);
    }
    EXPECT_EQ(stopWithHup(), 0);
    start();
    {
        Client c(port);
        auto r = c.renderer->renderPngByResolution(fileStream("syn_pe_encoded.hpgl"), 50, true, 0, nullptr, nullptr);
        EXPECT_GT(pngSize(readStream(*r)).first, 10u);
    }
    std::string l = log();
    EXPECT_NE(l.find("found."), std::string::npos);
    EXPECT_EQ(l.find("Starting in worker thread"), std::string::npos) << "the second run rendered again";
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, TellsSystemdWhenItServes) {
    std::string sockPath = dir + "/notify.sock";
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", sockPath.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    setenv("NOTIFY_SOCKET", sockPath.c_str(), 1);
    start();
    unsetenv("NOTIFY_SOCKET");
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    char buf[256] = {0};
    ssize_t n = recv(fd, buf, sizeof buf - 1, 0);
    close(fd);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buf, static_cast<size_t>(n)).find("READY=1"), std::string::npos);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, DetachesAndIsReachedThroughItsName) {
    std::vector<std::string> a = {kBin + "/xadrad", "-a", app};
    pid_t launcher = launch(a, dir + "/launch.out", dir + "/launch.err");
    // The starting process returns once the detached daemon serves.
    EXPECT_EQ(waitFor(launcher, 30000), 0) << readFile(dir + "/launch.err");
    std::string out, err;
    EXPECT_EQ(request({"-s"}, &out, &err), 0) << err;
    EXPECT_NE(out.find("***** Cache statistics"), std::string::npos) << out;
    // A second daemon of the same name is refused.
    EXPECT_EQ(request({"--xadrad_no_fork=true"}, &out, &err), 1);
    EXPECT_NE(err.find("is already running"), std::string::npos) << err;
    EXPECT_EQ(request({"-k"}, &out, &err), 0) << err;
    EXPECT_NE(out.find("Stopped xad/" + app + "_xadrad"), std::string::npos) << out;
    EXPECT_EQ(request({"-k"}, &out, &err), 1);
}

TEST_F(Xadrad, EveryTestDrawingRendersByResolutionPixelSizeAndTile) {
    start();
    Client c(port);
    const char* files[] = {"fig_ibmgl_bracket_ro90", "gp_hpgl_polar",    "gp_pcl5_area",       "gp_pcl5_response",
                           "ps_parts_hpgl2",         "pu_big_harmonograph", "pu_graph_dashed", "pu_pcl_spectrum",
                           "pu_pic2plot_states",     "pu_plotfont_gothic", "syn_arcs_relative", "syn_bezier",
                           "syn_hatch_fill",         "syn_iso_ro90",     "syn_pe_encoded",     "syn_pjl_frame",
                           "syn_pw_metric_caps",     "syn_rtl_raster"};
    auto tile = BoundingBoxWithAngle::newInstance();
    tile->setUrx(200);
    tile->setUry(100);
    tile->setAngle(90);
    for (const char* f : files) {
        std::string name = std::string(f) + ".hpgl";
        auto byDpi = pngSize(readStream(*c.renderer->renderPngByResolution(fileStream(name), 36, true, 0, nullptr, nullptr)));
        EXPECT_GT(byDpi.first, 10u) << f;
        auto byPx = pngSize(readStream(*c.renderer->renderPngByPixelSize(fileStream(name), 300, false, 90, nullptr, nullptr)));
        EXPECT_EQ(std::max(byPx.first, byPx.second), 300u) << f;
        // A tile turned by 90 degrees: 100 x 200 points at 36 dpi.
        auto byTile = pngSize(readStream(*c.renderer->renderPngTileByResolution(fileStream(name), 36, true, tile, nullptr, nullptr)));
        EXPECT_EQ(byTile, (std::pair<uint32_t, uint32_t>(50, 100))) << f;
    }
    EXPECT_EQ(stopWithHup(), 0);
}

namespace {

const std::string kPdfData = std::string(XAD_TEST_DATA) + "/pdf";

ObjPtr<IMimeInputStream> pdfFileStream(const std::string& name) {
    return preview::FileMimeInputStream::newInstance(name, name, kPdfData + "/" + name, "application/pdf");
}

// The detail message of a remote error of type E, or "" when f threw none.
template <class E, class F>
std::string remoteError(F&& f) {
    try {
        f();
    } catch (const ThrowableException& e) {
        auto t = objCast<E>(e.getThrowable());
        return t ? t->getDetailMessage() : "(another error) " + std::string(e.what());
    }
    return "";
}

}  // namespace

TEST_F(Xadrad, BoundingBoxesOfDrawingsAndPdfPagesThroughTheDaemon) {
    start();
    Client c(port);
    auto b = c.renderer->getBoundingBox(fileStream("syn_bezier.hpgl"));
    ASSERT_TRUE(b);
    EXPECT_LT(b->getLlx(), b->getUrx());
    EXPECT_LT(b->getLly(), b->getUry());
    EXPECT_EQ(b->getAngle(), 0);
    EXPECT_EQ(b->getUserUnit(), 1.0);
    // The PNG preview at 72 dpi is the box, one pixel a point.
    auto png = pngSize(readStream(*c.renderer->renderPngByResolution(fileStream("syn_bezier.hpgl"), 72, false, 0,
                                                                       nullptr, nullptr)));
    EXPECT_NEAR(png.first, b->getUrx() - b->getLlx(), 1.0);
    EXPECT_NEAR(png.second, b->getUry() - b->getLly(), 1.0);

    auto r = c.renderer->getBoundingBox(pdfFileStream("rotate90.pdf"));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->getUrx(), 612);
    EXPECT_EQ(r->getUry(), 792);
    EXPECT_EQ(r->getAngle(), 270);
    auto pages = c.renderer->getPageBoundingBoxes(pdfFileStream("letter_3pages.pdf"));
    ASSERT_TRUE(pages);
    ASSERT_EQ(pages->getSize(), 3u);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(pages->get(2))->getUry(), 792);
    auto uu = c.renderer->getPageBoundingBoxes(pdfFileStream("userunit2.pdf"));
    ASSERT_EQ(uu->getSize(), 1u);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(uu->get(0))->getUrx(), 612);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(uu->get(0))->getUserUnit(), 2.0);

    // Failures reach the caller as the service's errors, and it serves on.
    EXPECT_EQ(remoteError<DRMError>([&] { c.renderer->getBoundingBox(pdfFileStream("encrypted_user.pdf")); }),
              "PDF file is encrypted.");
    EXPECT_NE(remoteError<HPGSError>([&] { c.renderer->getPageBoundingBoxes(fileStream("syn_bezier.hpgl")); })
                  .find("need a PDF document"),
              std::string::npos);
    EXPECT_NE(remoteError<HPGSError>([&] { c.renderer->getBoundingBox(pdfFileStream("truncated.pdf")); })
                  .find("truncated.pdf: "),
              std::string::npos);
    // Asked again, the answer comes from the cache.
    auto again = c.renderer->getBoundingBox(pdfFileStream("rotate90.pdf"));
    EXPECT_EQ(again->getAngle(), 270);
    EXPECT_NE(log().find("rotate90.pdf(bbox;"), std::string::npos) << log();
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, XadracPrintsTheBoundingBoxOfADrawingAndOfAPdf) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::system(("cp " + kData + "/jobs/rect_4x2in.hpgl " + work + "/rect.plt").c_str());
    std::system(("cp " + kPdfData + "/cropbox.pdf " + work + "/crop.pdf").c_str());
    std::ofstream(work + "/requests") << "rect.plt 0 bbox\ncrop.pdf 0 bbox\n";
    pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(c, 120000), 0);
    const std::string out = readFile(dir + "/c.out");
    // Two requests, five lines each; the cropped page as its crop box says.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 10) << out << readFile(dir + "/c.err");
    EXPECT_NE(out.find("llx = 72.\nlly = 144.\nurx = 540.\nury = 648.\nangle = 0.\n"), std::string::npos) << out;
    // The filled 4 x 2 inch rectangle: 288 x 144 points.
    double llx = 0, lly = 0, urx = 0, ury = 0;
    int angle = -1;
    // "%lg." would read the final dot as part of the number.
    std::string lines = out;
    for (size_t at; (at = lines.find(".\n")) != std::string::npos;) lines.replace(at, 2, "\n");
    ASSERT_EQ(std::sscanf(lines.c_str(), "llx = %lg\nlly = %lg\nurx = %lg\nury = %lg\nangle = %d", &llx, &lly, &urx,
                          &ury, &angle),
              5)
        << out;
    EXPECT_NEAR(urx - llx, 288.0, 1.0);
    EXPECT_NEAR(ury - lly, 144.0, 1.0);
    EXPECT_EQ(angle, 0);
    // Nothing is written next to the inputs.
    EXPECT_NE(access((work + "/rect.png").c_str(), F_OK), 0);
    EXPECT_NE(access((work + "/crop.png").c_str(), F_OK), 0);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, XadracWritesPdfsOfADrawingWithAnnotationsAndScripts) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::system(("cp " + kData + "/ps_parts_hpgl2.hpgl " + work + "/parts.plt").c_str());
    std::system(("cp " + kData + "/syn_bezier.hpgl " + work + "/bez.plt").c_str());
    std::system(("cp " + kData + "/syn_arcs_relative.hpgl " + work + "/arcs.plt").c_str());
    const std::string fdf = std::string(XAD_TEST_DATA) + "/fdf/";
    // The sample annotations, moved onto the small drawing's page.
    for (const char* f : {"square.fdf", "circle.fdf"}) {
        std::string text = readFile(fdf + f);
        const size_t at = text.find("/Rect [");
        text.replace(at, text.find(']', at) - at + 1, "/Rect [20 20 60 60]");
        std::ofstream(work + "/" + f, std::ios::binary) << text;
    }
    std::ofstream(work + "/requests") << "parts.plt 90 pdf\nbez.plt 0 pdf,square.fdf,circle.fdf\narcs.plt 0 pdfa\n";
    pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(c, 120000), 0);
    const std::string err = readFile(dir + "/c.err");
    for (const char* name : {"parts", "bez", "arcs"}) {
        const std::string pdf = work + "/" + name + ".pdf";
        EXPECT_NE(err.find(std::string("File ") + name + ".pdf successfully written."), std::string::npos) << err;
        EXPECT_EQ(readFile(pdf).rfind("%PDF-", 0), 0u) << name;
        EXPECT_EQ(std::system(("qpdf --check " + pdf + " >/dev/null").c_str()), 0) << name;
    }
    auto plain = [&](const std::string& name) {
        std::system(("qpdf --qdf --object-streams=disable " + work + "/" + name + ".pdf " + work + "/" + name +
                     ".qdf.pdf")
                        .c_str());
        return readFile(work + "/" + name + ".qdf.pdf");
    };
    // The author property, the annotations imported (xadrac gives mode 1 to
    // the first, 0 to the others), the submission scripts.
    EXPECT_NE(plain("parts").find("/Author (xadrac)"), std::string::npos);
    const std::string bez = plain("bez");
    EXPECT_NE(bez.find("/Subtype /Square"), std::string::npos);
    EXPECT_NE(bez.find("/Subtype /Circle"), std::string::npos);
    EXPECT_NE(bez.find("xadrac 0"), std::string::npos);
    const std::string arcs = plain("arcs");
    EXPECT_NE(arcs.find("postAnnotations"), std::string::npos);
    EXPECT_NE(arcs.find("Test activation by xadrac."), std::string::npos);
    // The turned drawing is portrait: the parts sheet is landscape.
    Client cl(port);
    auto pages = cl.renderer->getPageBoundingBoxes(
        preview::FileMimeInputStream::newInstance("parts.pdf", "parts.pdf", work + "/parts.pdf", "application/pdf"));
    ASSERT_EQ(pages->getSize(), 1u);
    auto p = objCast<BoundingBoxWithAngle>(pages->get(0));
    EXPECT_GT(p->getUry() - p->getLly(), p->getUrx() - p->getLlx());
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, PdfInputsAreFinishedAndMergedThroughTheService) {
    start();
    Client c(port);
    auto stamp = String::newInstance("COPY");
    auto out = c.renderer->insertAnnotations(pdfFileStream("letter_3pages.pdf"), 90, stamp, nullptr);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->getMimeType()->str(), "application/pdf");
    std::ofstream(dir + "/finished.pdf", std::ios::binary) << readStream(*out);
    EXPECT_EQ(std::system(("qpdf --check " + dir + "/finished.pdf >/dev/null").c_str()), 0);
    auto boxes = c.renderer->getPageBoundingBoxes(preview::FileMimeInputStream::newInstance(
        "finished.pdf", "finished.pdf", dir + "/finished.pdf", "application/pdf"));
    ASSERT_EQ(boxes->getSize(), 3u);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(boxes->get(0))->getAngle(), 270);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(boxes->get(1))->getAngle(), 0);

    // A drawing and a PDF, either order: the first input's pages first.
    auto merged = c.renderer->mergeWithAnnotations(fileStream("syn_bezier.hpgl"), 0, pdfFileStream("letter_3pages.pdf"),
                                                   0, nullptr, nullptr);
    std::ofstream(dir + "/merged.pdf", std::ios::binary) << readStream(*merged);
    auto mb = c.renderer->getPageBoundingBoxes(
        preview::FileMimeInputStream::newInstance("merged.pdf", "merged.pdf", dir + "/merged.pdf", "application/pdf"));
    ASSERT_EQ(mb->getSize(), 4u);
    EXPECT_NE(objCast<BoundingBoxWithAngle>(mb->get(0))->getUrx(), 612);
    EXPECT_EQ(objCast<BoundingBoxWithAngle>(mb->get(1))->getUrx(), 612);
    auto props = List::newInstance();
    props->add(PDFProperty::newInstance(PDFPropertyType::valueOf(PDFPropertyType::SUBMIT_MSG), "Sent."));
    auto both = c.renderer->mergePdfWithAnnotations(pdfFileStream("letter_3pages.pdf"), 0, pdfFileStream("a4_drawing.pdf"),
                                                    0, nullptr, nullptr, props);
    const std::string doc = readStream(*both);
    EXPECT_EQ(doc.rfind("%PDF-", 0), 0u);
    EXPECT_EQ(remoteError<DRMError>([&] {
                  c.renderer->renderPdf(pdfFileStream("encrypted_user.pdf"), nullptr, 0, nullptr, nullptr);
              }),
              "PDF file is encrypted.");
    // Two drawings: one HP-GL/2 file of both, the input's bytes first.
    auto hpgl = c.renderer->mergeWithAnnotations(fileStream("syn_arcs_relative.hpgl"), 0, fileStream("syn_bezier.hpgl"),
                                                 0, nullptr, nullptr);
    ASSERT_TRUE(hpgl);
    EXPECT_EQ(hpgl->getMimeType()->str(), "image/hpgl");
    const std::string joined = readStream(*hpgl);
    const std::string arcs = readFile(kData + "/syn_arcs_relative.hpgl");
    size_t same = 0;
    while (same < arcs.size() && same < joined.size() && arcs[same] == joined[same]) ++same;
    // Without annotations nothing is inserted: the first drawing's bytes,
    // then the end of its page.
    EXPECT_EQ(same, arcs.size()) << "differs at byte " << same;
    EXPECT_EQ(joined.compare(arcs.size(), 7, "\x1b%1BPG;"), 0);
    auto inserted = c.renderer->insertAnnotations(fileStream("syn_bezier.hpgl"), 0, nullptr, nullptr);
    EXPECT_EQ(readStream(*inserted), readFile(kData + "/syn_bezier.hpgl"));
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, DrawnAnnotationsGoIntoADrawingAsHpglAndReadBackLikeThePreview) {
    start();
    Client c(port);
    // A blue square drawn (mode 2) inside the small drawing's lower-left
    // corner: FDF coordinates are those of the drawing's PDF page, which has
    // the default border of 20 mm (56.7 points) round the drawing.
    std::string fdf = readFile(std::string(XAD_TEST_DATA) + "/fdf/square.fdf");
    const size_t at = fdf.find("/Rect [");
    fdf.replace(at, fdf.find(']', at) - at + 1, "/Rect [70 70 110 100]");
    std::ofstream(dir + "/square.fdf", std::ios::binary) << fdf;
    auto annotations = [&] {
        auto a = Annotation::newInstance();
        a->setMode(2);
        a->setColor(String::newInstance("#0000ff"));
        a->setFdf(preview::FileMimeInputStream::newInstance("square.fdf", "square.fdf", dir + "/square.fdf",
                                                            "application/vnd.fdf"));
        auto list = List::newInstance();
        list->add(a);
        return list;
    };
    auto inserted = c.renderer->insertAnnotations(fileStream("syn_bezier.hpgl"), 0, nullptr, annotations());
    ASSERT_TRUE(inserted);
    EXPECT_EQ(inserted->getMimeType()->str(), "image/hpgl");
    const std::string input = readFile(kData + "/syn_bezier.hpgl");
    const std::string output = readStream(*inserted);
    ASSERT_GT(output.size(), input.size());
    // Every byte of the input, in order, with the annotation in between.
    size_t j = 0;
    for (size_t i = 0; i < output.size() && j < input.size(); ++i)
        if (output[i] == input[j]) ++j;
    EXPECT_EQ(j, input.size());
    EXPECT_NE(output.find("PM2"), std::string::npos);
    // The daemon reads its own output back: the preview of the output looks
    // like the preview of the input with the annotation drawn in.
    std::ofstream(dir + "/inserted.plt", std::ios::binary) << output;
    auto back = c.renderer->renderPngByResolution(
        preview::FileMimeInputStream::newInstance("inserted.plt", "inserted.plt", dir + "/inserted.plt", "image/hpgl"),
        150, true, 0, nullptr, nullptr);
    auto ref = c.renderer->renderPngByResolution(fileStream("syn_bezier.hpgl"), 150, true, 0, nullptr, annotations());
    std::ofstream(dir + "/back.png", std::ios::binary) << readStream(*back);
    std::ofstream(dir + "/ref.png", std::ios::binary) << readStream(*ref);
    hpgs_test::Png a, b;
    ASSERT_TRUE(hpgs_test::read_png(dir + "/ref.png", a));
    ASSERT_TRUE(hpgs_test::read_png(dir + "/back.png", b));
    EXPECT_EQ(a.width, b.width);
    EXPECT_EQ(a.height, b.height);
    auto score = hpgs_test::compare_ink(a, b);
    ASSERT_TRUE(score.ok);
    EXPECT_GE(score.f_tol, 0.98) << "precision " << score.precision << " recall " << score.recall;
    // More blue ink in both than in the plain preview (which has blue pens).
    auto blue = [](const hpgs_test::Png& p) {
        int n = 0;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                n += p.at(x, y, 2) > 180 && p.at(x, y, 2) - p.at(x, y, 0) > 60 && p.at(x, y, 2) - p.at(x, y, 1) > 60;
        return n;
    };
    auto plain = c.renderer->renderPngByResolution(fileStream("syn_bezier.hpgl"), 150, true, 0, nullptr, nullptr);
    std::ofstream(dir + "/plain.png", std::ios::binary) << readStream(*plain);
    hpgs_test::Png p;
    ASSERT_TRUE(hpgs_test::read_png(dir + "/plain.png", p));
    EXPECT_GT(blue(a), blue(p) + 100);
    EXPECT_GT(blue(b), blue(p) + 100);
    if (const char* keep = std::getenv("XAD_TEST_KEEP"))
        std::system(("cp " + dir + "/ref.png " + dir + "/back.png " + dir + "/plain.png " + keep).c_str());
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, PdfPagesBecomePngPreviewsThroughGhostscript) {
    start();
    Client c(port);
    auto page = c.renderer->renderPngPageByResolution(pdfFileStream("letter_3pages.pdf"), 1, 72, true, 0, nullptr,
                                                      nullptr);
    ASSERT_TRUE(page);
    const std::string p2 = readStream(*page);
    EXPECT_EQ(pngSize(p2), (std::pair<uint32_t, uint32_t>(612, 792)));
    auto first = c.renderer->renderPngPageByResolution(pdfFileStream("letter_3pages.pdf"), 0, 72, true, 0, nullptr,
                                                       nullptr);
    EXPECT_NE(readStream(*first), p2);
    auto bySize = c.renderer->renderPngByPixelSize(pdfFileStream("a4_drawing.pdf"), 1000, true, 0, nullptr, nullptr);
    EXPECT_EQ(pngSize(readStream(*bySize)), (std::pair<uint32_t, uint32_t>(707, 1000)));
    auto turned = c.renderer->renderPngByResolution(pdfFileStream("a4_drawing.pdf"), 72, true, 90,
                                                    String::newInstance("COPY"), nullptr);
    EXPECT_EQ(pngSize(readStream(*turned)), (std::pair<uint32_t, uint32_t>(842, 595)));
    EXPECT_EQ(remoteError<DRMError>([&] {
                  c.renderer->renderPngByResolution(pdfFileStream("encrypted_user.pdf"), 72, true, 0, nullptr, nullptr);
              }),
              "PDF file is encrypted.");
    // Through xadrac, a PDF's first page next to it.
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::system(("cp " + kPdfData + "/cropbox.pdf " + work + "/crop.pdf").c_str());
    std::ofstream(work + "/requests") << "crop.pdf 0 png\n";
    pid_t x = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(x, 120000), 0);
    EXPECT_EQ(pngSize(readFile(work + "/crop.png")), (std::pair<uint32_t, uint32_t>(468, 504)))
        << readFile(dir + "/c.err");
    // No ghostscript of this daemon's is left behind (other tests running
    // at the same time have their own).
    EXPECT_EQ(std::system(("pgrep -P " + std::to_string(pid) + " -f '^\\[xadrad-gs\\]' >/dev/null").c_str()), 256);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, XadracComparesADrawingAndAPdfWithThemselvesTurned) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    std::system(("cp " + kData + "/ps_parts_hpgl2.hpgl " + work + "/parts.plt").c_str());
    std::system(("cp " + kPdfData + "/a4_drawing.pdf " + work + "/a4.pdf").c_str());
    std::ofstream(work + "/requests") << "parts.plt 0 cmp\na4.pdf 0 cmp\n";
    pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(c, 120000), 0);
    const std::string err = readFile(dir + "/c.err");
    EXPECT_NE(err.find("File parts.png successfully written."), std::string::npos) << err;
    EXPECT_NE(err.find("File a4.png successfully written."), std::string::npos) << err;
    // The drawing against itself turned by 180 degrees: the size of the
    // rendering at 72 dpi; the A4 page likewise.
    EXPECT_GT(pngSize(readFile(work + "/parts.png")).first, 100u);
    EXPECT_EQ(pngSize(readFile(work + "/a4.png")), (std::pair<uint32_t, uint32_t>(595, 842)));
    Client cl(port);
    auto diff = cl.renderer->comparePngByResolution(fileStream("syn_bezier.hpgl"), 0, fileStream("syn_arcs_relative.hpgl"),
                                                    0, 72, true);
    EXPECT_GT(pngSize(readStream(*diff)).first, 100u);
    EXPECT_EQ(stopWithHup(), 0);
}

TEST_F(Xadrad, XadracSeeksATitleBlockInADrawingAndInAPdf) {
    start();
    std::string work = dir + "/work";
    mkdir(work.c_str(), 0755);
    // A title block of 1600 x 800 units, and a sheet with the block drawn at
    // (10000, 400) near its lower right corner.
    auto block = [](long x, long y) {
        std::ostringstream s;
        s << "PU" << x << "," << y << ";PD" << x + 1600 << "," << y << "," << x + 1600 << "," << y + 800 << "," << x
          << "," << y + 800 << "," << x << "," << y << ";PU" << x + 1200 << "," << y + 400 << ";CI250;PU"
          << x + 100 << "," << y + 100 << ";PM0;PD" << x + 500 << "," << y + 100 << "," << x + 100 << "," << y + 700
          << "," << x + 100 << "," << y + 100 << ";PM2;FP;PU" << x + 600 << "," << y + 700 << ";PD" << x + 1500
          << "," << y + 150 << ";PU;";
        return s.str();
    };
    std::ofstream(work + "/block.plt") << "IN;SP1;PW0.5;" << block(0, 0) << "SP0;";
    std::ofstream(work + "/sheet.plt") << "IN;SP1;PW0.5;PU0,0;PD12000,0,12000,8000,0,8000,0,0;PU3000,4000;CI1200;"
                                       << "PU500,7000;PD9000,2500;PU;" << block(10000, 400) << "SP0;";
    // The sheet's PDF through the daemon, then both searched through xadrac.
    std::ofstream(work + "/requests") << "sheet.plt 0 pdf\nsheet.plt 0 block.plt\nsheet.pdf 0 block.plt\n";
    pid_t c = launch({kBin + "/xadrac", "-h", "127.0.0.1:" + std::to_string(port), "-c", work, "-i", "requests"},
                     dir + "/c.out", dir + "/c.err");
    EXPECT_EQ(waitFor(c, 180000), 0);
    const std::string out = readFile(dir + "/c.out");
    // Two seeks of 5 + 4 x 5 lines each.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 50) << out << readFile(dir + "/c.err");
    auto value = [&](const std::string& key, size_t from) {
        size_t at = out.find(key + " = ", from);
        return at == std::string::npos ? std::nan("") : std::atof(out.c_str() + at + key.size() + 3);
    };
    const size_t second = out.find("angle = ", out.find("overlap[270]"));
    ASSERT_NE(second, std::string::npos) << out;
    // The block's own box starts a quarter line width inside its frame; at
    // angle 0 the HP-GL/2 sheet (box from its frame's outer edge) and the PDF
    // page (the border of 20 mm added) both place it where it was drawn.
    const double dx = 10000 * 72.0 / 1016, dy = 400 * 72.0 / 1016;
    EXPECT_NEAR(value("dx[0]", 0), dx, 1.5) << out;
    EXPECT_NEAR(value("dy[0]", 0), dy, 1.5) << out;
    EXPECT_NEAR(value("dx[0]", second), dx + 56.69291338582677, 1.5) << out;
    EXPECT_NEAR(value("dy[0]", second), dy + 56.69291338582677, 1.5) << out;
    for (size_t from : {size_t(0), second}) {
        const double c0 = value("correlation[0]", from);
        for (const char* other : {"correlation[90]", "correlation[180]", "correlation[270]"})
            EXPECT_GT(c0, value(other, from)) << other << "\n" << out;
    }
    EXPECT_NE(log().find("sheet.plt;block.plt(seek;"), std::string::npos) << log();
    EXPECT_EQ(stopWithHup(), 0);
}

namespace {

// A file stream that counts the daemon's calls on it.
class AskedStream : public IMimeInputStream {
public:
    explicit AskedStream(ObjPtr<IMimeInputStream> inner) : inner_(std::move(inner)) {}
    std::atomic<int> uniqueNames{0}, prettyNames{0}, timestamps{0}, mimeTypes{0}, sizes{0}, reads{0};
    void close() override { inner_->close(); }
    double getTimestamp() override {
        ++timestamps;
        return inner_->getTimestamp();
    }
    int64_t getStreamSize() override {
        ++sizes;
        return inner_->getStreamSize();
    }
    ObjPtr<String> getMimeType() override {
        ++mimeTypes;
        return inner_->getMimeType();
    }
    ObjPtr<String> getPrettyName() override {
        ++prettyNames;
        return inner_->getPrettyName();
    }
    ObjPtr<String> getUniqueName() override {
        ++uniqueNames;
        return inner_->getUniqueName();
    }
    ObjPtr<ByteArray> readBlock(int32_t n) override {
        ++reads;
        return inner_->readBlock(n);
    }

private:
    ObjPtr<IMimeInputStream> inner_;
};

}  // namespace

TEST_F(Xadrad, AnInputIsAskedForEachPropertyOnceAStep) {
    start();
    Client c(port);
    auto in = makeObj<AskedStream>(fileStream("syn_bezier.hpgl"));
    auto r = c.renderer->renderPngByResolution(in, 72, true, 0, nullptr, nullptr);
    ASSERT_TRUE(r);
    EXPECT_GT(pngSize(readStream(*r)).first, 10u);
    // The request's four getters, the download's three and its type and
    // size, then the blocks.
    EXPECT_EQ(in->uniqueNames.load(), 2);
    EXPECT_EQ(in->prettyNames.load(), 2);
    EXPECT_EQ(in->timestamps.load(), 2);
    EXPECT_EQ(in->mimeTypes.load(), 2);
    EXPECT_EQ(in->sizes.load(), 1);
    EXPECT_GE(in->reads.load(), 1);
    // A repeat is answered from the cache after the four getters alone.
    auto again = makeObj<AskedStream>(fileStream("syn_bezier.hpgl"));
    readStream(*c.renderer->renderPngByResolution(again, 72, true, 0, nullptr, nullptr));
    EXPECT_EQ(again->uniqueNames.load() + again->prettyNames.load() + again->timestamps.load() +
                  again->mimeTypes.load(),
              4);
    EXPECT_EQ(again->sizes.load() + again->reads.load(), 0);
    EXPECT_EQ(stopWithHup(), 0);
}
