#include "jobs/BBoxJobs.h"
#include "jobs/PageBox.h"
#include "jobs/PngRendererJob.h"

#include "plume/Exception.h"

#include "../daemon/JobFixture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <future>
#include <vector>

using namespace jobtest;

namespace {

const std::string kPdf = "application/pdf";

std::string pdfFile(const std::string& name) { return std::string(XAD_TEST_DATA) + "/pdf/" + name; }

ObjPtr<TestStream> pdfStream(const std::string& path, const std::string& name, double ts = 100.0) {
    return Plume::makeObj<TestStream>(readFile(path), name, ts, kPdf);
}

ObjPtr<TestStream> hpglFile(const std::string& file, const std::string& name, double ts = 100.0) {
    return newStream(readFile(std::string(XAD_TEST_DATA) + "/hpgl/" + file), name, ts);
}

ObjPtr<TestStream> hpglText(const std::string& hpgl, const std::string& name) {
    return Plume::makeObj<TestStream>(hpgl, name, 100.0, "image/hpgl");
}

// Points to plotter units (1016 per inch, 72 points per inch).
long units(double points) { return std::lround(points / 72.0 * 1016.0); }

std::string message(const ObjPtr<Plume::Throwable>& t) {
    auto p = Plume::objCast<PreviewException>(t);
    return p ? p->getDetailMessage() : std::string("(no PreviewException)");
}

void expectBox(const BoundingBoxWithAngle& b, double llx, double lly, double urx, double ury, int angle,
               double userUnit) {
    EXPECT_DOUBLE_EQ(b.getLlx(), llx);
    EXPECT_DOUBLE_EQ(b.getLly(), lly);
    EXPECT_DOUBLE_EQ(b.getUrx(), urx);
    EXPECT_DOUBLE_EQ(b.getUry(), ury);
    EXPECT_EQ(b.getAngle(), angle);
    EXPECT_DOUBLE_EQ(b.getUserUnit(), userUnit);
}

class BBoxJobTest : public JobTest {
protected:
    // Runs a shell command that makes a test file; fails the test when it fails.
    void make(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
};

}  // namespace

// ------------------------------------------------------------ shared rules

TEST(HpglUserUnit, IsTheSmallestWholeFactorBringingEachSideWithin14400) {
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 7200, 3600}), 1.0);
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 20000, 3600}), 2.0);
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 3600, 20000}), 2.0);
    EXPECT_EQ(Xadra::hpglUserUnit({-100, 0, 14300, 10}), 1.0);
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 14400.5, 10}), 2.0);
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 43201, 100}), 4.0);
    EXPECT_EQ(Xadra::hpglUserUnit({0, 0, 0, 0}), 0.0);
}

TEST(PdfNativeAngle, TurnsRotateBackTheOtherWay) {
    EXPECT_EQ(Xadra::nativeAngleOfRotate(0), 0);
    EXPECT_EQ(Xadra::nativeAngleOfRotate(90), 270);
    EXPECT_EQ(Xadra::nativeAngleOfRotate(180), 180);
    EXPECT_EQ(Xadra::nativeAngleOfRotate(270), 90);
    EXPECT_EQ(Xadra::nativeAngleOfRotate(-90), 90);
}

// ------------------------------------------------------ HPGL bounding box

TEST_F(BBoxJobTest, HpglResultFileHasTheSixLinesAndReadsBack) {
    auto e = Xadra::measureBoundingBox(hpglFile("jobs/square_1in.hpgl", "sq.plt"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getMimeType(), "text/plain");
    EXPECT_EQ(e->getOutputUniqueName(), "sq.bbox");
    EXPECT_EQ(e->getOutputPrettyName(), "pretty sq.bbox");
    const std::string content = readFile(e->getDataFilePath());
    // A one-inch square drawn with the default pen: 72 points plus half a pen
    // width on each side, 16 significant digits.
    EXPECT_EQ(content.rfind("llx=", 0), 0u) << content;
    for (const char* key : {"\nlly=", "\nurx=", "\nury=", "\nnative_angle=0\n", "\nuser_unit=1\n"})
        EXPECT_NE(content.find(key), std::string::npos) << key << " in " << content;
    EXPECT_EQ(content.back(), '\n');
    auto b = Xadra::readBoundingBox(e->getDataFilePath());
    EXPECT_NEAR(b->getUrx() - b->getLlx(), 72.0, 1.0);
    EXPECT_NEAR(b->getUry() - b->getLly(), 72.0, 1.0);
    EXPECT_LE(b->getLlx(), 0.0);
    EXPECT_GE(b->getUrx(), 72.0);
    EXPECT_EQ(b->getAngle(), 0);
    EXPECT_EQ(b->getUserUnit(), 1.0);
}

TEST_F(BBoxJobTest, UserUnitFollowsTheDrawingsSize) {
    struct Case {
        double w, h, unit;
    };
    for (Case c : {Case{7200, 3600, 1}, Case{20000, 3600, 2}, Case{3600, 30000, 3}}) {
        // A thin frame, so that the pen width hardly counts.
        std::string hpgl = "IN;SP1;PW0.01;PU0,0;PD" + std::to_string(units(c.w) - 1) + ",0," +
                           std::to_string(units(c.w) - 1) + "," + std::to_string(units(c.h) - 1) + ";";
        auto e = Xadra::measureBoundingBox(hpglText(hpgl, "d" + std::to_string(int(c.w)) + ".plt"));
        auto b = Xadra::readBoundingBox(e->getDataFilePath());
        EXPECT_NEAR(b->getUrx() - b->getLlx(), c.w, 1.0);
        EXPECT_NEAR(b->getUry() - b->getLly(), c.h, 1.0);
        EXPECT_EQ(b->getUserUnit(), c.unit) << c.w << " x " << c.h;
    }
}

TEST_F(BBoxJobTest, EmptyDrawingHasAZeroBoxAndUserUnitZero) {
    auto e = Xadra::measureBoundingBox(hpglText("IN;SP1;PU100,100;", "empty.plt"));
    expectBox(*Xadra::readBoundingBox(e->getDataFilePath()), 0, 0, 0, 0, 0, 0.0);
}

TEST_F(BBoxJobTest, RepeatedRequestIsAnsweredFromTheCacheWithoutReadingTheInput) {
    auto in = hpglFile("jobs/rect_4x2in.hpgl", "rect.plt");
    auto first = Xadra::measureBoundingBox(in);
    const int reads = in->reads;
    auto again = hpglFile("jobs/rect_4x2in.hpgl", "rect.plt");
    auto second = Xadra::measureBoundingBox(again);
    EXPECT_EQ(second->getDataFilePath(), first->getDataFilePath());
    EXPECT_EQ(again->reads, 0);
    EXPECT_GT(reads, 0);
    // A newer input is measured again.
    auto newer = hpglFile("jobs/rect_4x2in.hpgl", "rect.plt", 200.0);
    Xadra::measureBoundingBox(newer);
    EXPECT_GT(newer->reads, 0);
}

TEST_F(BBoxJobTest, NullInputIsRefused) {
    auto t = thrownBy([] { Xadra::measureBoundingBox(nullptr); });
    EXPECT_TRUE(Plume::objCast<IOError>(t));
    t = thrownBy([] { Xadra::measurePageBoundingBoxes(nullptr); });
    EXPECT_TRUE(Plume::objCast<IOError>(t));
}

// -------------------------------------------------------- PDF page boxes

TEST_F(BBoxJobTest, PdfFirstPageBoxHonoursCropBoxUserUnitAndRotation) {
    auto box = [&](const std::string& file) {
        auto e = Xadra::measureBoundingBox(pdfStream(pdfFile(file), file));
        return Xadra::readBoundingBox(e->getDataFilePath());
    };
    expectBox(*box("a4_drawing.pdf"), 0, 0, 595, 842, 0, 1.0);
    expectBox(*box("cropbox.pdf"), 72, 144, 540, 648, 0, 1.0);
    // MediaBox 306 x 396 with /UserUnit 2.
    expectBox(*box("userunit2.pdf"), 0, 0, 612, 792, 0, 2.0);
    expectBox(*box("rotate90.pdf"), 0, 0, 612, 792, 270, 1.0);
}

TEST_F(BBoxJobTest, EncryptedPdfIsADrmErrorForBothJobs) {
    for (const char* file : {"encrypted_user.pdf", "encrypted_restricted.pdf"}) {
        auto t = thrownBy([&] { Xadra::measureBoundingBox(pdfStream(pdfFile(file), file)); });
        ASSERT_TRUE(Plume::objCast<DRMError>(t)) << file << ": " << message(t);
        EXPECT_EQ(message(t), "PDF file is encrypted.");
        t = thrownBy([&] { Xadra::measurePageBoundingBoxes(pdfStream(pdfFile(file), std::string("p") + file)); });
        ASSERT_TRUE(Plume::objCast<DRMError>(t)) << file << ": " << message(t);
        EXPECT_EQ(message(t), "PDF file is encrypted.");
    }
}

TEST_F(BBoxJobTest, DamagedPdfIsAnHpgsErrorNamingTheInput) {
    auto t = thrownBy([&] { Xadra::measureBoundingBox(pdfStream(pdfFile("truncated.pdf"), "cut.pdf")); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << message(t);
    EXPECT_EQ(message(t).rfind("pretty cut.pdf: ", 0), 0u) << message(t);
    EXPECT_NE(message(t).find("trailer"), std::string::npos) << message(t);
    // Not a PDF at all, but labelled as one.
    t = thrownBy([&] { Xadra::measurePageBoundingBoxes(Plume::makeObj<TestStream>("IN;PD;", "fake.pdf", 1, kPdf)); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << message(t);
    EXPECT_EQ(message(t).rfind("pretty fake.pdf: ", 0), 0u) << message(t);
}

TEST_F(BBoxJobTest, ThreePagesGiveNpagesAndEighteenLines) {
    auto e = Xadra::measurePageBoundingBoxes(pdfStream(pdfFile("letter_3pages.pdf"), "letter.pdf"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getOutputUniqueName(), "letter.bboxes");
    EXPECT_EQ(e->getMimeType(), "text/plain");
    const std::string content = readFile(e->getDataFilePath());
    EXPECT_EQ(std::count(content.begin(), content.end(), '\n'), 19);
    EXPECT_EQ(content.rfind("npages=3\nllx_0=0\nlly_0=0\nurx_0=612\nury_0=792\nnative_angle_0=0\nuser_unit_0=1\n", 0),
              0u)
        << content;
    EXPECT_NE(content.find("\nuser_unit_2=1\n"), std::string::npos);
    auto list = Xadra::readPageBoundingBoxes(e->getDataFilePath());
    ASSERT_EQ(list->getSize(), 3u);
    for (size_t i = 0; i < 3; ++i)
        expectBox(*Plume::objCast<BoundingBoxWithAngle>(list->get(i)), 0, 0, 612, 792, 0, 1.0);
}

TEST_F(BBoxJobTest, MixedPagesMadeWithQpdfKeepTheirOwnBoxesAndAngles) {
    const std::string mixed = tmp("mixed.pdf");
    // A4, the cropped Letter page, the user-unit page, then the A4 page
    // again turned by 270 and the rotated page turned on by 90 (to 180).
    make("qpdf --empty --pages " + pdfFile("a4_drawing.pdf") + " " + pdfFile("cropbox.pdf") + " " +
         pdfFile("userunit2.pdf") + " " + pdfFile("a4_drawing.pdf") + " " + pdfFile("rotate90.pdf") + " -- " +
         tmp("joined.pdf"));
    make("qpdf " + tmp("joined.pdf") + " --rotate=+270:4 --rotate=+90:5 " + mixed);
    auto e = Xadra::measurePageBoundingBoxes(pdfStream(mixed, "mixed.pdf"));
    auto list = Xadra::readPageBoundingBoxes(e->getDataFilePath());
    ASSERT_EQ(list->getSize(), 5u);
    auto page = [&](size_t i) { return Plume::objCast<BoundingBoxWithAngle>(list->get(i)); };
    expectBox(*page(0), 0, 0, 595, 842, 0, 1.0);
    expectBox(*page(1), 72, 144, 540, 648, 0, 1.0);
    expectBox(*page(2), 0, 0, 612, 792, 0, 2.0);
    expectBox(*page(3), 0, 0, 595, 842, 90, 1.0);
    expectBox(*page(4), 0, 0, 612, 792, 180, 1.0);
    // The bounding box of a document is its first page's.
    auto first = Xadra::readBoundingBox(Xadra::measureBoundingBox(pdfStream(mixed, "mixed.pdf"))->getDataFilePath());
    expectBox(*first, 0, 0, 595, 842, 0, 1.0);
}

TEST_F(BBoxJobTest, DocumentWithoutPagesGivesAnEmptyList) {
    make("qpdf --empty " + tmp("nopages.pdf"));
    auto e = Xadra::measurePageBoundingBoxes(pdfStream(tmp("nopages.pdf"), "nopages.pdf"));
    EXPECT_EQ(readFile(e->getDataFilePath()), "npages=0\n");
    EXPECT_EQ(Xadra::readPageBoundingBoxes(e->getDataFilePath())->getSize(), 0u);
}

TEST_F(BBoxJobTest, PageBoxesOfAnHpglDrawingFailNamingIt) {
    auto in = hpglFile("jobs/square_1in.hpgl", "sq.plt");
    auto t = thrownBy([&] { Xadra::measurePageBoundingBoxes(in); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t));
    EXPECT_NE(message(t).find("pretty sq.plt"), std::string::npos) << message(t);
    EXPECT_NE(message(t).find("image/hpgl"), std::string::npos) << message(t);
    EXPECT_EQ(in->reads, 0);
}

// -------------------------------------------------------- reading results

TEST_F(BBoxJobTest, ResultReaderAppliesDefaultsAndNamesMissingKeys) {
    const std::string f = tmp("r.bbox");
    std::ofstream(f) << "llx=1.5\nlly=-2\nurx=3e3\nury=4\n";
    expectBox(*Xadra::readBoundingBox(f), 1.5, -2, 3000, 4, 0, 1.0);

    std::ofstream(f) << "llx=1\nlly=2\nury=4\n";
    try {
        Xadra::readBoundingBox(f);
        ADD_FAILURE() << "missing urx accepted";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("urx"), std::string::npos) << e.what();
    }

    std::ofstream(f) << "npages=2\nllx_0=0\nlly_0=0\nurx_0=1\nury_0=1\nllx_1=0\nlly_1=0\nurx_1=2\nury_1=2\n"
                        "native_angle_1=90\nuser_unit_1=3\n";
    auto list = Xadra::readPageBoundingBoxes(f);
    ASSERT_EQ(list->getSize(), 2u);
    expectBox(*Plume::objCast<BoundingBoxWithAngle>(list->get(0)), 0, 0, 1, 1, 0, 1.0);
    expectBox(*Plume::objCast<BoundingBoxWithAngle>(list->get(1)), 0, 0, 2, 2, 90, 3.0);

    // A page count the file does not back up fails on the first missing key
    // instead of taking memory for it.
    std::ofstream(f) << "npages=18446744073709551615\n";
    try {
        Xadra::readPageBoundingBoxes(f);
        ADD_FAILURE() << "missing pages accepted";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("llx_0"), std::string::npos) << e.what();
    }
}

// ------------------------------------------- measured while it downloads

namespace {

// The plot size of a drawing read straight from its file.
hpgs_bbox plotSizeOfFile(const std::string& path) {
    hpgs_bbox box{};
    hpgs_device* measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs_reader* r = hpgs_new_reader(hpgs_new_file_istream(path.c_str()), measure, HPGS_FALSE, 0);
    EXPECT_NE(r, nullptr) << hpgs_get_error();
    if (!r) return box;
    EXPECT_GE(hpgs_read(r, HPGS_TRUE), 0) << hpgs_get_error();
    EXPECT_EQ(hpgs_getplotsize(measure, 1, &box), 0);
    hpgs_destroy_reader(r);
    return box;
}

const char* const kArrived = "plot size measured while the input arrived.";

}  // namespace

// A drawing that the job downloads itself is measured block by block as it
// arrives: the same box as read from the file, for drawings of every kind.
TEST_F(BBoxJobTest, DrawingsMeasuredWhileTheyArriveGiveTheBoxOfTheirFile) {
    const std::vector<std::string> names = {"pu_big_harmonograph.hpgl", "pu_plotfont_gothic.hpgl",
                                            "gp_pcl5_area.hpgl",        "syn_pe_encoded.hpgl",
                                            "syn_rtl_raster.hpgl",      "syn_pjl_frame.hpgl",
                                            "syn_iso_ro90.hpgl"};
    for (size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names[i]);
        const std::string path = std::string(XAD_TEST_DATA) + "/hpgl/" + names[i];
        auto e = Xadra::measureBoundingBox(hpglFile(names[i], "d" + std::to_string(i) + ".plt"));
        ASSERT_TRUE(e);
        EXPECT_EQ(countLog(kArrived), i + 1);
        const hpgs_bbox want = plotSizeOfFile(path);
        auto b = Xadra::readBoundingBox(e->getDataFilePath());
        EXPECT_DOUBLE_EQ(b->getLlx(), want.llx);
        EXPECT_DOUBLE_EQ(b->getLly(), want.lly);
        EXPECT_DOUBLE_EQ(b->getUrx(), want.urx);
        EXPECT_DOUBLE_EQ(b->getUry(), want.ury);
        EXPECT_EQ(b->getUserUnit(), Xadra::hpglUserUnit(want));
    }
    EXPECT_EQ(jobFilesLeft(), 0u);
}

// An input that is already in the cache is read from its file; a stream
// that ends early is measured as the shorter file it leaves.
TEST_F(BBoxJobTest, CachedAndShortenedInputsAreMeasuredAsTheirFiles) {
    auto in = hpglFile("jobs/rect_4x2in.hpgl", "cached.plt");
    ASSERT_TRUE(Xadra::renderPngByPixelSize(in, 16, false, 0, "", nullptr));
    const size_t before = countLog(kArrived);
    auto e = Xadra::measureBoundingBox(hpglFile("jobs/rect_4x2in.hpgl", "cached.plt"));
    EXPECT_EQ(countLog(kArrived), before) << "read from the cached file";
    auto b = Xadra::readBoundingBox(e->getDataFilePath());
    EXPECT_NEAR(b->getUrx() - b->getLlx(), 288, 1.0);

    const std::string whole = "IN;SP1;PA0,0;PD1016,0;PU;PA0,0;PD0,2032;PU;";
    auto shortened = hpglText(whole.substr(0, 22), "short.plt");
    shortened->claimSize(static_cast<int64_t>(whole.size()));
    auto s = Xadra::readBoundingBox(Xadra::measureBoundingBox(shortened)->getDataFilePath());
    EXPECT_NEAR(s->getUrx() - s->getLlx(), 72, 1.0) << "only the first line arrived";
    EXPECT_LT(s->getUry() - s->getLly(), 5.0);
}

// A download that breaks off fails the job as it would without the
// measuring on arrival: the stream's own error and no job file left.
TEST_F(BBoxJobTest, ADownloadBreakingOffFailsTheJobWithTheStreamsError) {
    std::string big = "IN;SP1;PA0,0;";
    while (big.size() < 200000) big += "PD" + std::to_string(big.size() % 7001) + ",300;PU;";
    auto in = hpglText(big, "broken.plt");
    in->failAfter = 20;
    auto t = thrownBy([&] { Xadra::measureBoundingBox(in); });
    ASSERT_TRUE(Plume::objCast<IOError>(t));
    EXPECT_EQ(message(t), "Connection to the client lost.");
    EXPECT_EQ(jobFilesLeft(), 0u);
    EXPECT_EQ(countLog(kArrived), 0u);
    auto whole = hpglText(big, "whole.plt");
    auto b = Xadra::readBoundingBox(Xadra::measureBoundingBox(whole)->getDataFilePath());
    EXPECT_GT(b->getUrx() - b->getLlx(), 400.0);
    EXPECT_EQ(countLog(kArrived), 1u);
}

// Stopping the workers while a slow download is being measured ends both
// at once.
TEST_F(BBoxJobTest, StoppingTheWorkersEndsAMeasurementWaitingForTheDownload) {
    std::string big = "IN;SP1;PA0,0;";
    while (big.size() < 400000) big += "PD" + std::to_string(big.size() % 7001) + ",300;PU;";
    auto in = hpglText(big, "slow.plt");
    in->delayMs = 5;
    auto pending = std::async(std::launch::async, [&] { return thrownBy([&] { Xadra::measureBoundingBox(in); }); });
    while (in->reads < 10) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    auto start = std::chrono::steady_clock::now();
    Xadra::stopWorkers();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(pending.get());
    EXPECT_LT(in->reads.load(), 100) << "the download went on";
    EXPECT_EQ(jobFilesLeft(), 0u);
}
