#include "jobs/GSHelper.h"
#include "jobs/PdfPngRendererJob.h"
#include "jobs/PngRendererJob.h"

#include "daemon/Settings.h"
#include "plume/Exception.h"

#include "../daemon/JobFixture.h"
#include "../hpgs/ink_compare.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <sys/stat.h>

using namespace jobtest;
using namespace Xadra;

namespace {

const std::string kPdf = "application/pdf";
const std::string kData = XAD_TEST_DATA;

std::string pdfFile(const std::string& name) { return kData + "/pdf/" + name; }

ObjPtr<TestStream> pdfStream(const std::string& path, const std::string& name, double ts = 100.0) {
    return Plume::makeObj<TestStream>(readFile(path), name, ts, kPdf);
}

std::string message(const ObjPtr<Plume::Throwable>& t) { return t ? t->getDetailMessage() : "(nothing thrown)"; }

hpgs_test::Png png(const std::string& path) {
    hpgs_test::Png p;
    EXPECT_TRUE(hpgs_test::read_png(path, p)) << path;
    return p;
}

// Share of pixels whose channels differ by more than 24 between a and b.
double differing(const hpgs_test::Png& a, const hpgs_test::Png& b) {
    if (a.width != b.width || a.height != b.height || a.channels != b.channels) return 1.0;
    size_t n = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < a.channels; ++c)
                if (std::abs(a.at(x, y, c) - b.at(x, y, c)) > 24) {
                    ++n;
                    break;
                }
    return double(n) / (double(a.width) * a.height);
}

ObjPtr<BoundingBoxWithAngle> tile(double llx, double lly, double urx, double ury, int angle) {
    auto b = BoundingBoxWithAngle::newInstance();
    b->setLlx(llx);
    b->setLly(lly);
    b->setUrx(urx);
    b->setUry(ury);
    b->setAngle(angle);
    return b;
}

class GsTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        GSHelper::setGhostscriptPath("");
    }
    void TearDown() override {
        GSHelper::setGhostscriptPath("");
        GSHelper::setHangLimit(0);
        ::unsetenv("FAKE_GS_MODE");
        JobTest::TearDown();
    }
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
    // A stand-in for ghostscript: records its arguments and behaves as
    // FAKE_GS_MODE says.
    std::string fakeGs() {
        const std::string path = tmp("fake-gs");
        std::ofstream(path) << "#!/bin/sh\n"
                               "printf '%s\\n' \"$@\" > \"" << tmp("args") << "\"\n"
                               "case \"$FAKE_GS_MODE\" in\n"
                               "  print) printf 'first line\\nsecond line\\npartial'; printf 'oops' >&2 ;;\n"
                               "  fail) echo 'Error: /syntaxerror in --token--' >&2; exit 3 ;;\n"
                               "  sleep) exec sleep 30 ;;\n"
                               "  stubborn) trap '' TERM; exec sleep 30 ;;\n"
                               "esac\n";
        ::chmod(path.c_str(), 0755);
        return path;
    }
    static bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }
};

}  // namespace

// ------------------------------------------------------------ command line

TEST(GhostscriptArguments, FollowTheFixedOrderAndFormats) {
    auto a = GSHelper::ghostscriptArguments("in.pdf", "out.png", 850, 1100, 100.0, 100.0, 0, true, false);
    const std::vector<std::string> expected = {"[xadrad-gs]", "-dQUIET", "-dBATCH", "-dNOPAUSE", "-dTextAlphaBits=4",
                                               "-dGraphicsAlphaBits=4", "-sDEVICE=png16m", "-dFirstPage=1",
                                               "-dLastPage=1", "-r100x100", "-g850x1100", "-sOutputFile=out.png",
                                               "in.pdf"};
    EXPECT_EQ(a, expected);
    auto g = GSHelper::ghostscriptArguments("i", "o", 3, 4, 85.52, 72.123456789, 4, false, true);
    EXPECT_EQ(g[4], "-dTextAlphaBits=1");
    EXPECT_EQ(g[6], "-sDEVICE=pnggray");
    EXPECT_EQ(g[7], "-dFirstPage=5");
    EXPECT_EQ(g[9], "-r85.52x72.123457");
    // Nothing weakens ghostscript's SAFER mode or adds an output.
    for (const auto& arg : g) {
        EXPECT_EQ(arg.find("SAFER"), std::string::npos) << arg;
        EXPECT_EQ(arg.find("%pipe"), std::string::npos) << arg;
    }
}

TEST(GhostscriptPath, ConfiguredPathWinsAndDiscoveryFallsBackToUsrBinGs) {
    GSHelper::setGhostscriptPath("/opt/my/gs");
    EXPECT_EQ(GSHelper::getGhostscriptPath(), "/opt/my/gs");
    GSHelper::setGhostscriptPath("");
    struct stat st;
    const bool probed = ::stat("/opt/gpl-ghostscript/bin/gs", &st) == 0 || ::stat("/usr/bin/gs-gpl", &st) == 0;
    if (!probed) {
        EXPECT_EQ(GSHelper::getGhostscriptPath(), "/usr/bin/gs");
    }
}

TEST(TileRenderBox, MapsTheTurnedBoxBackIntoThePage) {
    const hpgs_bbox doc{0, 0, 612, 792};
    const hpgs_bbox o{10, 20, 110, 70};
    auto same = tileRenderBox(doc, o, 0);
    EXPECT_EQ(same.llx, 10);
    EXPECT_EQ(same.ury, 70);
    auto q = tileRenderBox(doc, o, 90);  // x' = Y2 - y, y' = x - X1
    EXPECT_EQ(q.llx, 792 - 70);
    EXPECT_EQ(q.urx, 792 - 20);
    EXPECT_EQ(q.lly, 10);
    EXPECT_EQ(q.ury, 110);
    auto h = tileRenderBox(doc, o, -180);
    EXPECT_EQ(h.llx, 612 - 110);
    EXPECT_EQ(h.lly, 792 - 70);
    auto t = tileRenderBox(doc, o, 270);  // x' = y - Y1, y' = X2 - x
    EXPECT_EQ(t.llx, 20);
    EXPECT_EQ(t.lly, 612 - 110);
    EXPECT_EQ(tileRenderBox(doc, o, -90).llx, t.llx);
    EXPECT_EQ(tileRenderBox(doc, o, 45).llx, 10);
}

// ------------------------------------------------------------ the child

TEST_F(GsTest, OutputIsLoggedLineByLineAndAPartialLineIsMarked) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "print", 1);
    logService().levelThreshold = 7;
    testing::internal::CaptureStderr();
    GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false);
    const std::string log = testing::internal::GetCapturedStderr();
    logService().levelThreshold = 2;
    EXPECT_NE(log.find("stdout: first line"), std::string::npos) << log;
    EXPECT_NE(log.find("stdout: second line"), std::string::npos) << log;
    EXPECT_NE(log.find("stdout: partial<eol missing>."), std::string::npos) << log;
    EXPECT_NE(log.find("stderr: oops<eol missing>."), std::string::npos) << log;
    // The end of the output: read as an empty chunk or reported as a hang-up.
    EXPECT_TRUE(log.find("stdout: peer closed connection.") != std::string::npos ||
                log.find("stdout reports hangup.") != std::string::npos)
        << log;
    EXPECT_NE(log.find("process returned status 0."), std::string::npos) << log;
    EXPECT_NE(log.find("Running " + tmp("fake-gs") + " -dQUIET"), std::string::npos) << log;
    // The child saw exactly the documented vector after its name.
    std::string args = readFile(tmp("args"));
    EXPECT_EQ(args.rfind("-dQUIET\n-dBATCH\n-dNOPAUSE\n", 0), 0u) << args;
    EXPECT_NE(args.find("-sOutputFile=out.png\nin.pdf\n"), std::string::npos) << args;
}

TEST_F(GsTest, FailingChildThrowsWithItsStatusAndLastWords) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "fail", 1);
    try {
        GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false);
        ADD_FAILURE() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("fake-gs return non-zero status 3."), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("/syntaxerror"), std::string::npos) << e.what();
    }
    GSHelper::setGhostscriptPath(tmp("no-such-gs"));
    EXPECT_THROW(GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false), Plume::Exception);
}

TEST_F(GsTest, InterruptsSendTermThenKillAndTheChildIsReaped) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "stubborn", 1);
    GSHelper::RunControl control;
    std::string failure;
    const auto started = std::chrono::steady_clock::now();
    std::thread run([&] {
        try {
            GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false, &control);
        } catch (const Plume::Exception& e) {
            failure = e.what();
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    control.interrupt();  // SIGTERM, which the child ignores
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    control.interrupt();  // SIGKILL
    run.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_NE(failure.find("return non-zero status -9."), std::string::npos) << failure;
    // No child of ours is left, not even a zombie.
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(GsTest, ARunInterruptedBeforeItStartsEndsAtOnce) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "sleep", 1);
    GSHelper::RunControl control;
    control.interrupt();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_THROW(GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false, &control),
                 Plume::Exception);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
}

TEST_F(GsTest, HungChildIsKilledAfterTheHangLimit) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "stubborn", 1);
    GSHelper::setHangLimit(1);
    const auto started = std::chrono::steady_clock::now();
    try {
        GSHelper::runGhostscript("in.pdf", "out.png", 10, 20, 72, 72, 0, true, false);
        ADD_FAILURE() << "a hung child ran to its end";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("status -9."), std::string::npos) << e.what();
    }
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, std::chrono::seconds(5));
    EXPECT_LT(took, std::chrono::seconds(12));
}

// --------------------------------------------------- the PDF PNG job, real gs

TEST_F(GsTest, PagesRenderLikeTheReferencesAndLikeGhostscriptItself) {
    struct Case {
        const char* pdf;
        const char* ref;
        int page;
    };
    for (Case c : {Case{"a4_drawing.pdf", "a4_drawing.ref.png", 0}, Case{"cropbox.pdf", "cropbox.ref.png", 0},
                   Case{"rotate90.pdf", "rotate90.ref.png", 0}, Case{"userunit2.pdf", "userunit2.ref.png", 0},
                   Case{"letter_3pages.pdf", "letter_3pages.p3.ref.png", 2},
                   Case{"encrypted_restricted.pdf", nullptr, 0}}) {
        SCOPED_TRACE(c.pdf);
        auto in = pdfStream(pdfFile(c.pdf), c.pdf);
        if (!c.ref) {
            auto t = thrownBy([&] { renderPngPageByResolution(in, c.page, 72, true, 0, "", nullptr); });
            ASSERT_TRUE(Plume::objCast<DRMError>(t)) << message(t);
            EXPECT_EQ(message(t), "PDF file is encrypted.");
            continue;
        }
        auto e = renderPngPageByResolution(in, c.page, 72, true, 0, "", nullptr);
        ASSERT_TRUE(e);
        EXPECT_EQ(e->getMimeType(), "image/png");
        auto got = png(e->getDataFilePath());
        auto ref = png(pdfFile(c.ref));
        EXPECT_EQ(got.width, ref.width);
        EXPECT_EQ(got.height, ref.height);
        EXPECT_LT(differing(got, ref), 0.002);
    }
    // Byte for byte what ghostscript itself gives for the same command line.
    auto e = renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), 100, true, 0, "", nullptr);
    const int w = static_cast<int>(std::floor(595 * 100 / 72.0 + 0.5)), h = static_cast<int>(std::floor(842 * 100 / 72.0 + 0.5));
    std::string cmd = "gs";
    for (auto& a : GSHelper::ghostscriptArguments(pdfFile("a4_drawing.pdf"), tmp("direct.png"), w, h, 72.0 * w / 595,
                                                  72.0 * h / 842, 0, true, false))
        if (a != "[xadrad-gs]") cmd += " '" + a + "'";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    EXPECT_EQ(differing(png(e->getDataFilePath()), png(tmp("direct.png"))), 0.0);
}

TEST_F(GsTest, PixelSizeTurnsAndTilesFollowThePage) {
    // Pixel size 1000 on A4: about 85.52 dpi, 707 x 1000.
    auto e = renderPngByPixelSize(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), 1000, true, 0, "", nullptr);
    auto p = png(e->getDataFilePath());
    EXPECT_EQ(p.width, 707);
    EXPECT_EQ(p.height, 1000);
    // Turned by 90 degrees, a Letter page is shown landscape, whole.
    auto turned = renderPngByResolution(pdfStream(pdfFile("letter_3pages.pdf"), "l.pdf"), 72, true, 90, "", nullptr);
    auto t = png(turned->getDataFilePath());
    EXPECT_EQ(t.width, 792);
    EXPECT_EQ(t.height, 612);
    // ... like the page that carries /Rotate 90 itself, whose reference is it.
    auto r90 = png(renderPngByResolution(pdfStream(pdfFile("rotate90.pdf"), "r.pdf"), 72, true, 0, "", nullptr)
                       ->getDataFilePath());
    EXPECT_LT(differing(r90, png(pdfFile("rotate90.ref.png"))), 0.002);
    // A tile of the page as shown turned: its own rectangle of the picture.
    auto tiled = renderPngTileByResolution(pdfStream(pdfFile("letter_3pages.pdf"), "l.pdf"), 72, true,
                                           tile(100, 50, 400, 250, 90), "", nullptr);
    auto tp = png(tiled->getDataFilePath());
    EXPECT_EQ(tp.width, 300);
    EXPECT_EQ(tp.height, 200);
    // The same pixels as in the turned whole page (rows count from the top).
    size_t diff = 0;
    for (int y = 0; y < tp.height; ++y)
        for (int x = 0; x < tp.width; ++x)
            diff += std::abs(tp.at(x, y, 0) - t.at(100 + x, 612 - 250 + y, 0)) > 40;
    EXPECT_LT(diff, size_t(tp.width * tp.height / 100)) << "tile differs from the turned page";
}

TEST_F(GsTest, DrawnAnnotationsArePaintedOverThePageAndStampsGoBehindIt) {
    auto list = Plume::List::newInstance();
    auto a = Annotation::newInstance();
    a->setMode(2);
    a->setColor(Plume::String::newInstance("#00ff00"));
    a->setFdf(Plume::makeObj<TestStream>(readFile(kData + "/fdf/square.fdf"), "sq.fdf", 7.0, "application/vnd.fdf"));
    list->add(a);
    auto e = renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), 72, false, 0, "", list);
    auto p = png(e->getDataFilePath());
    ASSERT_EQ(p.width, 595);
    // The square's border runs along x = 90 from y = 590 to 710 (PDF
    // coordinates): green there, in image rows 842 - 710 .. 842 - 590.
    size_t green = 0;
    for (int y = 842 - 700; y < 842 - 600; ++y)
        for (int x = 86; x <= 94; ++x) green += p.at(x, y, 0) < 100 && p.at(x, y, 1) > 150 && p.at(x, y, 2) < 100;
    EXPECT_GT(green, 100u);
    auto plain = png(renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), 72, false, 0, "", nullptr)
                         ->getDataFilePath());
    EXPECT_GT(differing(p, plain), 0.001);
    auto stamped = png(renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), 72, false, 0, "DRAFT",
                                             nullptr)
                           ->getDataFilePath());
    EXPECT_GT(differing(stamped, plain), 0.01);
    EXPECT_EQ(stamped.width, 595);
}

TEST_F(GsTest, DamagedPdfIsAnHpgsErrorNamingItAndNoFileIsLeft) {
    auto t = thrownBy([&] { renderPngByResolution(pdfStream(pdfFile("truncated.pdf"), "cut.pdf"), 72, true, 0, "", nullptr); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << message(t);
    EXPECT_NE(message(t).find("trailer"), std::string::npos) << message(t);
    // Ghostscript's own failure comes back in its words.
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "fail", 1);
    t = thrownBy([&] { renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "fail.pdf"), 72, true, 0, "", nullptr); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << message(t);
    EXPECT_EQ(message(t).rfind("pretty fail.pdf: ", 0), 0u) << message(t);
    EXPECT_NE(message(t).find("/syntaxerror"), std::string::npos) << message(t);
    size_t files = 0;
    for (auto& f : fs::directory_iterator(base_ + "/jobs")) files += f.is_regular_file();
    EXPECT_EQ(files, 0u);
}

TEST_F(GsTest, StoppingTheWorkersEndsARunningGhostscript) {
    GSHelper::setGhostscriptPath(fakeGs());
    ::setenv("FAKE_GS_MODE", "sleep", 1);
    Settings::setRenderTimeout(1);
    auto t = thrownBy([&] { renderPngByResolution(pdfStream(pdfFile("a4_drawing.pdf"), "slow.pdf"), 72, true, 0, "", nullptr); });
    EXPECT_TRUE(Plume::objCast<Timeout>(t)) << message(t);
    const auto started = std::chrono::steady_clock::now();
    stopWorkers();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    restartPool(2);
}
