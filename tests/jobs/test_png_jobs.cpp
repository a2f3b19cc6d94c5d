#include "jobs/PngRendererJob.h"

#include "daemon/Settings.h"
#include "hpgspdf.h"

#include "../daemon/JobFixture.h"

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <vector>

#include <unistd.h>

using namespace jobtest;
using Xadra::PngPageGeometry;

namespace {

std::string dataFile(const std::string& name) { return std::string(XAD_TEST_DATA) + "/hpgl/" + name; }

ObjPtr<TestStream> hpglStream(const std::string& file, const std::string& name, double ts = 100.0) {
    return newStream(readFile(dataFile(file)), name, ts);
}

// Records which of its identity getters a factory calls, in order.
class RecordingStream : public TestStream {
public:
    using TestStream::TestStream;
    double getTimestamp() override { calls += "T"; return TestStream::getTimestamp(); }
    ObjPtr<Plume::String> getMimeType() override { calls += "M"; return TestStream::getMimeType(); }
    ObjPtr<Plume::String> getPrettyName() override { calls += "P"; return TestStream::getPrettyName(); }
    ObjPtr<Plume::String> getUniqueName() override { calls += "U"; return TestStream::getUniqueName(); }
    std::string calls;
};

ObjPtr<BoundingBoxWithAngle> box(double llx, double lly, double urx, double ury, int angle) {
    auto b = BoundingBoxWithAngle::newInstance();
    b->setLlx(llx);
    b->setLly(lly);
    b->setUrx(urx);
    b->setUry(ury);
    b->setAngle(angle);
    return b;
}

ObjPtr<Plume::List> oneAnnotation(int mode) {
    auto list = Plume::List::newInstance();
    auto a = Annotation::newInstance();
    a->setMode(mode);
    a->setTitle("note");
    a->setFdf(Plume::makeObj<TestStream>("%FDF-1.2\n", "n1.fdf", 7.5, "application/vnd.fdf"));
    list->add(a);
    return list;
}

// Width and height from a PNG file's header.
std::pair<uint32_t, uint32_t> pngSize(const std::string& path) {
    std::string s = readFile(path);
    if (s.size() < 24 || s.compare(1, 3, "PNG") != 0) return {0, 0};
    auto be = [&](size_t o) {
        return (uint32_t(uint8_t(s[o])) << 24) | (uint32_t(uint8_t(s[o + 1])) << 16) |
               (uint32_t(uint8_t(s[o + 2])) << 8) | uint32_t(uint8_t(s[o + 3]));
    };
    return {be(16), be(20)};
}

}  // namespace

// --------------------------------------------------------- parameter strings

TEST(PngJobTag, FollowsTheDocumentedOrderAndFormatting) {
    EXPECT_EQ(Xadra::pngJobTag(0, 0, 150, nullptr, true, 90, nullptr), "150dpi,antialias,90deg");
    EXPECT_EQ(Xadra::pngJobTag(0, 800, 0.0, nullptr, false, 0, nullptr), "800px,0deg");
    EXPECT_EQ(Xadra::pngJobTag(2, 0, 72.5, nullptr, false, 180, nullptr), "2p,72.5dpi,180deg");
    auto b = box(1.5, -2, 300.125, 4000000, 45);
    EXPECT_EQ(Xadra::pngJobTag(0, 0, 100, b.get(), true, 90, nullptr),
              "100dpi,1.5llx,-2lly,300.125urx,4e+06ury,antialias,45deg");
    // Annotations of every mode enter the string, with 16 digits.
    EXPECT_EQ(Xadra::pngJobTag(0, 0, 150, nullptr, false, 0, oneAnnotation(1)),
              "150dpi,0deg;note:n1.fdf:pretty n1.fdf:7.5");
    EXPECT_NE(Xadra::pngJobTag(0, 0, 150, nullptr, true, 0, nullptr),
              Xadra::pngJobTag(0, 0, 150, nullptr, false, 0, nullptr));
    EXPECT_NE(Xadra::pngJobTag(0, 0, 150, nullptr, true, 0, nullptr),
              Xadra::pngJobTag(0, 0, 150, nullptr, true, 90, nullptr));
}

// ------------------------------------------------------------- factories

class PngJobTest : public JobTest {
protected:
    // Fetches the input and places the page as the render would.
    PngPageGeometry place(const ObjPtr<IMimeInputStream>& in, int pixelSize, double dpi, int angle,
                          const ObjPtr<BoundingBoxWithAngle>& b = nullptr,
                          const ObjPtr<Plume::List>& annotations = nullptr, std::string* error = nullptr) {
        auto job = Plume::makeObj<Xadra::HPGSHpglPngRendererJob>(
            in, "u", "p", "tag", "", in->getTimestamp(), annotations, pixelSize, dpi, false, angle, 0, b);
        Plume::Mutex m;
        job->prepareInputs(m);
        PngPageGeometry g{};
        hpgs_reader* r = job->placePage(m, g);
        if (error) *error = r ? "" : hpgs_get_error();
        EXPECT_TRUE(r || error) << hpgs_get_error();
        Xadra::clearReader(*job, m);
        job->releaseInputs();
        return g;
    }
};

TEST_F(PngJobTest, FactoryReadsTheIdentityInOrder) {
    auto in = Plume::makeObj<RecordingStream>(readFile(dataFile("jobs/square_1in.hpgl")), "sq.plt");
    thrownBy([&] { Xadra::renderPngByResolution(in, 72, false, 0, "", nullptr); });
    EXPECT_EQ(in->calls.substr(0, 4), "UPTM");
}

// Every PNG method takes a PDF input to the ghostscript job; one that only
// claims to be a PDF fails there, naming what went wrong, whatever the method.
TEST_F(PngJobTest, PdfInputGoesToThePdfJobInEveryMethod) {
    auto in = Plume::makeObj<TestStream>("%PDF-1.4", "doc.pdf", 1.0, "application/pdf");
    for (int method = 0; method < 4; ++method) {
        auto t = Plume::objCast<HPGSError>(thrownBy([&] {
            if (method == 0) Xadra::renderPngByResolution(in, 72, false, 0, "", nullptr);
            if (method == 1) Xadra::renderPngByPixelSize(in, 100, false, 0, "", nullptr);
            if (method == 2) Xadra::renderPngTileByResolution(in, 72, false, box(0, 0, 10, 10, 0), "", nullptr);
            if (method == 3) Xadra::renderPngPageByResolution(in, 1, 72, false, 0, "", nullptr);
        }));
        ASSERT_TRUE(t) << method;
        EXPECT_NE(t->getDetailMessage().find("PDF"), std::string::npos) << t->getDetailMessage();
    }
    // An HPGL drawing asked for by page goes to the PDF job too, which
    // cannot read it.
    auto hpgl = hpglStream("jobs/square_1in.hpgl", "sq.plt");
    EXPECT_TRUE(Plume::objCast<HPGSError>(thrownBy([&] { Xadra::renderPngPageByResolution(hpgl, 0, 72, false, 0, "", nullptr); })));
}

// Draws the job's drawing with its drawn annotations through the PDF device
// (a vector stand-in for the paint device) and renders that page with
// ghostscript at 72 dpi.
struct AnnotatedPage {
    std::string error;
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    bool red(int x, int y) const {  // x from the left, y from the bottom
        if (x < 0 || y < 0 || x >= width || y >= height) return false;
        const unsigned char* p = &rgb[(static_cast<size_t>(height - 1 - y) * width + x) * 3];
        return p[0] > 200 && p[1] < 80 && p[2] < 80;
    }
};

// The annotation square of png_square.fdf: a red outline round 25,35
// (pixels from the lower left at 72 dpi), nothing inside or beyond it.
void expectRedSquareOutline(const AnnotatedPage& page, int angle) {
    EXPECT_TRUE(page.red(11, 35)) << angle << ": left edge";
    EXPECT_TRUE(page.red(39, 35)) << angle << ": right edge";
    EXPECT_TRUE(page.red(25, 21)) << angle << ": bottom edge";
    EXPECT_TRUE(page.red(25, 49)) << angle << ": top edge";
    EXPECT_FALSE(page.red(25, 35)) << angle << ": inside";
    EXPECT_FALSE(page.red(50, 35)) << angle << ": outside";
}

class PngAnnotationTest : public PngJobTest {
protected:
    ObjPtr<Plume::List> drawn(const std::string& fdf, const char* colour) {
        auto list = Plume::List::newInstance();
        auto a = Annotation::newInstance();
        a->setMode(2);
        a->setTitle("xadrac 0");
        a->setOwner("xadrac");
        if (colour) a->setColor(colour);
        a->setFdf(Plume::makeObj<TestStream>(fdf, "sq.fdf", 3.0, "application/vnd.fdf"));
        list->add(a);
        return list;
    }

    AnnotatedPage draw(const ObjPtr<Plume::List>& annotations, int angle) {
        AnnotatedPage out;
        auto in = hpglStream("jobs/square_1in.hpgl", "a.plt");
        auto job = Plume::makeObj<Xadra::HPGSHpglPngRendererJob>(in, "u", "p", "tag", "", 1.0, annotations, 0, 72.0,
                                                                 false, angle, 0, nullptr);
        Plume::Mutex m;
        job->prepareInputs(m);
        PngPageGeometry g{};
        hpgs_reader* r = job->placePage(m, g);
        // Test processes run in parallel and share the temporary directory.
        std::string pdf = ::testing::TempDir() + "annotated_" + std::to_string(getpid()) + "_" + std::to_string(angle) + ".pdf";
        std::string ppm = pdf + ".ppm";
        if (r) {
            auto layer = job->attachAnnotations(r, g);
            if (!layer) {
                out.error = hpgs_get_error();
            } else if (hpgs_reader_imbue(r, hpgs_new_pdf_device(pdf.c_str(), &g.pageBox, 6, 1)) < 0 ||
                       hpgs_read(r, HPGS_TRUE) < 0) {
                out.error = hpgs_get_error();
            }
        } else {
            out.error = hpgs_get_error();
        }
        Xadra::clearReader(*job, m);
        job->releaseInputs();
        if (!out.error.empty()) return out;
        std::string cmd = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -sOutputFile='" + ppm + "' '" + pdf +
                          "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) {
            out.error = "ghostscript failed";
            return out;
        }
        std::ifstream f(ppm, std::ios::binary);
        auto token = [&f] {
            std::string t;
            while (f >> t && t[0] == '#') std::getline(f, t);
            return t;
        };
        token();
        out.width = std::stoi(token());
        out.height = std::stoi(token());
        token();
        f.get();
        out.rgb.resize(static_cast<size_t>(out.width) * out.height * 3);
        f.read(reinterpret_cast<char*>(out.rgb.data()), static_cast<std::streamsize>(out.rgb.size()));
        std::remove(pdf.c_str());
        std::remove(ppm.c_str());
        return out;
    }
};

TEST_F(PngAnnotationTest, DrawnSquareSitsOnTheDrawingAtZeroAndNinetyDegrees) {
    const double border = Xadra::Settings::getPdfBorder();
    Xadra::Settings::setPdfBorder(20.0);
    // FDF square 30,40 .. 60,70 on the PDF page with a 20 pt border: 10,20
    // .. 40,50 from the drawing's lower left corner, whatever the angle
    // (the FDF refers to the page as turned).
    std::string fdf = readFile(std::string(XAD_TEST_DATA) + "/fdf/png_square.fdf");
    for (int angle : {0, 90}) {
        AnnotatedPage page = draw(drawn(fdf, "#ff0000"), angle);
        ASSERT_EQ(page.error, "") << angle;
        expectRedSquareOutline(page, angle);
    }
    Xadra::Settings::setPdfBorder(border);
}

TEST_F(PngAnnotationTest, PngPreviewShowsTheDrawnSquareAtZeroAndNinetyDegrees) {
    const double border = Xadra::Settings::getPdfBorder();
    Xadra::Settings::setPdfBorder(20.0);
    std::string fdf = readFile(std::string(XAD_TEST_DATA) + "/fdf/png_square.fdf");
    for (int angle : {0, 90}) {
        auto entry = Xadra::renderPngByResolution(hpglStream("jobs/square_1in.hpgl", "sq.plt"), 72, false, angle, "",
                                                  drawn(fdf, "#ff0000"));
        ASSERT_TRUE(entry);
        png_image img{};
        img.version = PNG_IMAGE_VERSION;
        ASSERT_NE(png_image_begin_read_from_file(&img, entry->getDataFilePath().c_str()), 0);
        img.format = PNG_FORMAT_RGB;
        AnnotatedPage page;
        page.width = static_cast<int>(img.width);
        page.height = static_cast<int>(img.height);
        page.rgb.resize(PNG_IMAGE_SIZE(img));
        ASSERT_NE(png_image_finish_read(&img, nullptr, page.rgb.data(), 0, nullptr), 0);
        expectRedSquareOutline(page, angle);
    }
    Xadra::Settings::setPdfBorder(border);
}

TEST_F(PngAnnotationTest, UnreadableColourIsRedAndOtherModesAreNotDrawn) {
    const double border = Xadra::Settings::getPdfBorder();
    Xadra::Settings::setPdfBorder(20.0);
    std::string fdf = readFile(std::string(XAD_TEST_DATA) + "/fdf/png_square.fdf");
    AnnotatedPage page = draw(drawn(fdf, "blue"), 0);
    ASSERT_EQ(page.error, "");
    EXPECT_TRUE(page.red(11, 35));
    auto imported = drawn(fdf, "#ff0000");
    Plume::objCast<Annotation>(imported->get(0))->setMode(1);
    page = draw(imported, 0);
    ASSERT_EQ(page.error, "");
    EXPECT_FALSE(page.red(11, 35));
    Xadra::Settings::setPdfBorder(border);
}

TEST_F(PngAnnotationTest, MalformedFdfEndsTheRenderNamingIt) {
    AnnotatedPage page = draw(drawn("%FDF-1.2\nnot really\n", "#ff0000"), 0);
    EXPECT_NE(page.error.find("FDF"), std::string::npos) << page.error;
}

TEST_F(PngJobTest, ImageSizeFollowsResolutionAndPixelSize) {
    auto sq = hpglStream("jobs/square_1in.hpgl", "sq.plt");
    auto g72 = place(sq, 0, 72, 0);
    EXPECT_EQ(g72.width, 72);
    EXPECT_EQ(g72.height, 72);
    auto g150 = place(sq, 0, 150, 0);
    EXPECT_EQ(g150.width, 150);
    EXPECT_EQ(g150.height, 150);
    auto rect = hpglStream("jobs/rect_4x2in.hpgl", "rect.plt");
    auto px = place(rect, 800, 0.0, 0);
    EXPECT_NEAR(px.resolution, 200.0, 1e-9);
    EXPECT_EQ(px.width, 800);
    EXPECT_EQ(px.height, 400);
    // Turned by 90 degrees the page is 2 x 4 inches.
    auto turned = place(rect, 800, 0.0, 90);
    EXPECT_EQ(turned.width, 400);
    EXPECT_EQ(turned.height, 800);
}

TEST_F(PngJobTest, TooSmallOrEmptyDrawingsReportAnEmptyBoundingBox) {
    std::string error;
    place(hpglStream("jobs/sliver.hpgl", "sliver.plt"), 0, 72, 0, nullptr, nullptr, &error);
    EXPECT_EQ(error, "Bounding box is empty.");
    place(newStream("IN;SP1;PU100,100;", "blank.plt"), 0, 150, 0, nullptr, nullptr, &error);
    EXPECT_EQ(error, "Bounding box is empty.");
    auto t = Plume::objCast<HPGSError>(thrownBy([&] {
        Xadra::renderPngByResolution(hpglStream("jobs/sliver.hpgl", "s2.plt"), 72, true, 0, "", nullptr);
    }));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->getDetailMessage(), "Bounding box is empty.");
}

TEST_F(PngJobTest, HugeImagesAreRefusedBeforeAllocation) {
    std::string error;
    auto a0 = hpglStream("jobs/a0_sheet.hpgl", "a0.plt");
    place(a0, 0, 2400, 0, nullptr, nullptr, &error);
    EXPECT_EQ(error.rfind("Image of 112346 x 79465 pixels at 2400 dpi exceeds the limit of 400000000 pixels", 0), 0u)
        << error;
    const auto saved = Xadra::Settings::getPngMaxPixels();
    Xadra::Settings::setPngMaxPixels(150 * 150);
    auto sq = hpglStream("jobs/square_1in.hpgl", "sq2.plt");
    EXPECT_EQ(place(sq, 0, 150, 0).width, 150);  // exactly at the limit
    place(sq, 0, 151, 0, nullptr, nullptr, &error);
    EXPECT_NE(error.find("xadrad_png_max_pixels"), std::string::npos);
    Xadra::Settings::setPngMaxPixels(saved);
    place(sq, 0, -5, 0, nullptr, nullptr, &error);
    EXPECT_EQ(error, "Invalid resolution -5 dpi.");
}

TEST_F(PngJobTest, TileWithoutAnnotationsIsPlacedWithoutMeasuringTheDrawing) {
    auto rect = hpglStream("jobs/rect_4x2in.hpgl", "rect.plt");
    auto tile = place(rect, 0, 72, 0, box(10, 20, 82, 56, 0));
    EXPECT_EQ(tile.plotBox.llx, 10);
    EXPECT_EQ(tile.plotBox.ury, 56);
    EXPECT_EQ(tile.width, 72);
    EXPECT_EQ(tile.height, 36);
    // With annotations the drawing is measured once for them.
    auto annotated = place(rect, 0, 72, 0, box(10, 20, 82, 56, 0), oneAnnotation(1));
    EXPECT_NEAR(annotated.plotBox.urx - annotated.plotBox.llx, 288.0, 1e-6);
    EXPECT_EQ(annotated.width, 72);
}

TEST_F(PngJobTest, OutputNamesTakeThePngExtension) {
    auto job = Plume::makeObj<Xadra::HPGSHpglPngRendererJob>(newStream("", "drawing.plt"), "drawing.plt",
                                                             "Drawing.plt", "t", "", 1.0, nullptr, 0, 72, false, 0, 0,
                                                             nullptr);
    EXPECT_EQ(job->getResultUniqueName(), "drawing.png");
    EXPECT_EQ(job->getResultPrettyName(), "Drawing.png");
    EXPECT_EQ(job->getResultMimeType(), "image/png");
    auto plain = Plume::makeObj<Xadra::HPGSHpglPngRendererJob>(newStream("", "drawing"), "drawing", "drawing", "t",
                                                              "", 1.0, nullptr, 0, 72, false, 0, 0, nullptr);
    EXPECT_EQ(plain->getResultUniqueName(), "drawing");
}

// ----------------------------------------------------- rendered images

TEST_F(PngJobTest, RenderedImagesHaveTheComputedSizeAndAreCached) {
    auto sq = hpglStream("jobs/square_1in.hpgl", "sq.plt");
    auto e72 = Xadra::renderPngByResolution(sq, 72, true, 0, "", nullptr);
    EXPECT_EQ(pngSize(e72->getDataFilePath()), std::make_pair(72u, 72u));
    EXPECT_EQ(e72->getOutputUniqueName(), "sq.png");
    EXPECT_EQ(e72->getInputUniqueTag(), "72dpi,antialias,0deg");
    auto e150 = Xadra::renderPngByResolution(sq, 150, false, 0, "DRAFT", nullptr);
    EXPECT_EQ(pngSize(e150->getDataFilePath()), std::make_pair(150u, 150u));
    auto px = Xadra::renderPngByPixelSize(hpglStream("jobs/rect_4x2in.hpgl", "r.plt"), 800, true, 0, "", nullptr);
    EXPECT_EQ(pngSize(px->getDataFilePath()), std::make_pair(800u, 400u));
    auto again = Xadra::renderPngByResolution(sq, 72, true, 0, "", nullptr);
    EXPECT_EQ(again->getDataFilePath(), e72->getDataFilePath());
    EXPECT_EQ(jobFilesLeft(), 0u);
}

// ------------------------------------------------------------- shutdown

TEST_F(PngJobTest, StoppingTheWorkersEndsALongRenderPromptly) {
    // 200000 circles of 720 chords each keep the measuring pass busy for a
    // long time.
    std::string big = "IN;SP1;PU5000,5000;";
    for (int i = 0; i < 200000; ++i) big += "CI" + std::to_string(100 + i % 2000) + ",0.5;";
    auto in = newStream(big, "endless.plt");
    auto pending = std::async(std::launch::async, [&] {
        return thrownBy([&] { Xadra::renderPngByResolution(in, 72, false, 0, "", nullptr); });
    });
    // Wait until the input has been downloaded and the job renders.
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!cache_->lookup("endless.plt", "endless.plt", "") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "the render ended before the stop";
    auto start = std::chrono::steady_clock::now();
    Xadra::stopWorkers();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(pending.get());
    EXPECT_GE(countLog("endless.plt(72dpi,0deg;): hpgs error: Interrupted."), 1u);
    EXPECT_EQ(jobFilesLeft(), 0u);
}

// ----------------------------------------------------------------- stress

class PngStressTest : public PngJobTest {
protected:
    void SetUp() override { setUpWith(8); }
};

TEST_F(PngStressTest, ConcurrentMixedRequestsMatchSingleThreadedRenders) {
    const std::vector<std::string> files = {"syn_bezier.hpgl", "syn_hatch_fill.hpgl", "gp_hpgl_polar.hpgl",
                                            "syn_iso_ro90.hpgl"};
    struct Kind {
        int method;  // 0 by resolution, 1 by pixel size, 2 tile
        double dpi;
        int px;
        bool aa;
        int angle;
    };
    const std::vector<Kind> kinds = {{0, 50, 0, true, 0}, {0, 30, 0, false, 90}, {1, 0, 300, true, 0},
                                     {1, 0, 200, false, 270}, {2, 60, 0, true, 0}};
    auto render = [&](size_t f, size_t k, const std::vector<ObjPtr<TestStream>>& in) {
        const Kind& kd = kinds[k];
        if (kd.method == 0) return Xadra::renderPngByResolution(in[f], kd.dpi, kd.aa, kd.angle, "", nullptr);
        if (kd.method == 1) return Xadra::renderPngByPixelSize(in[f], kd.px, kd.aa, kd.angle, "", nullptr);
        return Xadra::renderPngTileByResolution(in[f], kd.dpi, kd.aa, box(0, 0, 200, 150, 0), "", nullptr);
    };
    auto streams = [&](const std::string& prefix) {
        std::vector<ObjPtr<TestStream>> v;
        for (auto& f : files) v.push_back(hpglStream(f, prefix + f));
        return v;
    };
    // Reference: one thread, one worker at a time.
    std::map<std::pair<size_t, size_t>, std::string> expected;
    auto ref = streams("ref_");
    for (size_t f = 0; f < files.size(); ++f)
        for (size_t k = 0; k < kinds.size(); ++k) expected[{f, k}] = readFile(render(f, k, ref)->getDataFilePath());

    auto in = streams("");
    std::atomic<int> next{0}, mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 16; ++t)
        threads.emplace_back([&] {
            for (int n = next++; n < 200; n = next++) {
                size_t f = n % files.size(), k = (n / files.size()) % kinds.size();
                for (;;) {
                    try {
                        if (readFile(render(f, k, in)->getDataFilePath()) != expected.at({f, k})) ++mismatches;
                        break;
                    } catch (const Plume::ThrowableException& e) {
                        ASSERT_TRUE(Plume::objCast<Timeout>(e.getThrowable())) << e.what();
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    }
                }
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches, 0);
    for (auto& s : in) EXPECT_EQ(s->reads, (s->getStreamSize() + 4095) / 4096) << "downloaded once";
    EXPECT_EQ(jobFilesLeft(), 0u);
}
