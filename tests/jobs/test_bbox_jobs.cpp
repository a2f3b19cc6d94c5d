#include "jobs/BBoxJobs.h"
#include "jobs/PageBox.h"

#include "plume/Exception.h"

#include "../daemon/JobFixture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>

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
