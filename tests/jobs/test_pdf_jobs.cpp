#include "jobs/PdfOutputJobs.h"
#include "jobs/PageBox.h"

#include "cache/CacheKey.h"
#include "daemon/Settings.h"
#include "hpgspdf.h"

#include "../daemon/JobFixture.h"
#include "../hpgs/ink_compare.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace jobtest;

namespace {

const std::string kPdf = "application/pdf";
const std::string kData = XAD_TEST_DATA;

std::string pdfFile(const std::string& name) { return kData + "/pdf/" + name; }

ObjPtr<TestStream> pdfStream(const std::string& path, const std::string& name, double ts = 100.0) {
    return Plume::makeObj<TestStream>(readFile(path), name, ts, kPdf);
}
ObjPtr<TestStream> hpglStream(const std::string& file, const std::string& name, double ts = 100.0) {
    return newStream(readFile(kData + "/hpgl/" + file), name, ts);
}

ObjPtr<Plume::List> props(std::initializer_list<std::pair<int, std::string>> entries) {
    auto l = Plume::List::newInstance();
    for (auto& [ordinal, value] : entries) l->add(PDFProperty::newInstance(PDFPropertyType::valueOf(ordinal), value));
    return l;
}

ObjPtr<Annotation> annotation(const std::string& fdfFile, int mode, const std::string& colour = "#0000ff") {
    auto a = Annotation::newInstance();
    a->setMode(mode);
    a->setTitle("t-" + fdfFile);
    a->setOwner("tester");
    a->setColor(Plume::String::newInstance(colour));
    a->setFdf(Plume::makeObj<TestStream>(readFile(kData + "/fdf/" + fdfFile), fdfFile, 7.0, "application/vnd.fdf"));
    return a;
}

// Output of a shell command, or "" when it fails.
std::string shell(const std::string& command, int* status = nullptr) {
    std::unique_ptr<FILE, int (*)(FILE*)> p(popen(command.c_str(), "r"), pclose);
    std::string out;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p.get())) > 0) out.append(buf.data(), n);
    const int st = pclose(p.release());
    if (status) *status = st;
    return out;
}

// The document in qpdf's uncompressed form, to look for keys and strings.
std::string qdf(const std::string& path) { return shell("qpdf --qdf --object-streams=disable '" + path + "' -"); }

bool qpdfCheckPasses(const std::string& path) {
    int st = 0;
    std::string out = shell("qpdf --check '" + path + "' 2>&1", &st);
    return st == 0 && out.find("No syntax or stream encoding errors") != std::string::npos;
}

std::vector<Xadra::PdfPageBox> pagesOf(const std::string& path) {
    std::vector<Xadra::PdfPageBox> pages;
    EXPECT_EQ(Xadra::pdfPageBoxes(hpgs_new_file_istream(path.c_str()), pages), 0) << hpgs_get_error();
    return pages;
}

size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

std::string message(const ObjPtr<Plume::Throwable>& t) { return t ? t->getDetailMessage() : "(nothing thrown)"; }

class PdfJobTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        ::setenv("SOURCE_DATE_EPOCH", "1700000000", 1);
    }
    void TearDown() override {
        ::unsetenv("SOURCE_DATE_EPOCH");
        JobTest::TearDown();
    }
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
    void make(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
    // Job files left in the jobs directory.
    size_t jobFiles() const {
        size_t n = 0;
        for (auto& e : fs::directory_iterator(base_ + "/jobs")) n += e.is_regular_file();
        return n;
    }
};

}  // namespace

// ------------------------------------------------------------------ tags

TEST(PdfTags, RendererTagTakesInformationPropertiesInOrder) {
    using T = PDFPropertyType;
    auto p = props({{T::TITLE, "Plan"}, {T::SUBMIT_MSG, "go"}, {T::AUTHOR, "me"}, {T::SCALE_ANNO, "1:50"}});
    p->add(Plume::String::newInstance("not a property"));
    EXPECT_EQ(Xadra::pdfRendererTag(p, 90), "TITLE=Plan,AUTHOR=me,SCALE_ANNO=1:50,90deg");
    EXPECT_EQ(Xadra::pdfRendererTag(nullptr, 0), "0deg");
}

TEST(PdfTags, FileAndMergeTagsTakeScriptsByTheirCrc) {
    using T = PDFPropertyType;
    const std::string go = std::to_string(Xadra::crc64we("go", 2));
    EXPECT_EQ(Xadra::pdfFileTag(props({{T::TITLE, "Plan"}, {T::SUBMIT_MSG, "go"}, {T::OPEN_SCRIPT, ""}}), 90, nullptr),
              "SUBMIT_MSG=" + go + ",OPEN_SCRIPT=0,90deg");
    // Equal values, equal checksums; the TITLE does not enter.
    EXPECT_EQ(Xadra::pdfFileTag(props({{T::WS_SCRIPT, "go"}}), 0, nullptr), "WS_SCRIPT=" + go + ",0deg");
    EXPECT_EQ(Xadra::pdfFileTag(props({{T::TITLE, "A"}}), 0, nullptr), Xadra::pdfFileTag(nullptr, 0, nullptr));
    // The published check value of CRC-64/WE.
    EXPECT_EQ(Xadra::crc64we("123456789", 9), 0x62EC59E3F1A4F00AULL);
    auto list = Plume::List::newInstance();
    list->add(annotation("square.fdf", 1));
    EXPECT_EQ(Xadra::pdfMergeTag(props({{T::DP_SCRIPT, "go"}}), 180, "first.plt", 90, list),
              "DP_SCRIPT=" + go + ",180deg,+first.plt,90deg;t-square.fdf:square.fdf:pretty square.fdf:7");
}

TEST(PdfTags, InformationKeysFollowTheLibrarysNumbering) {
    using T = PDFPropertyType;
    EXPECT_EQ(Xadra::pdfInfoKey(T::TITLE), HPGS_PDF_INFO_TITLE);
    EXPECT_EQ(Xadra::pdfInfoKey(T::CREATOR), HPGS_PDF_INFO_CREATOR);
    EXPECT_EQ(Xadra::pdfInfoKey(T::ANNOTATION), HPGS_PDF_INFO_ANNOTATION);
    EXPECT_EQ(Xadra::pdfInfoKey(T::SCALE_ANNO), HPGS_PDF_INFO_SCALE_ANNO);
    EXPECT_EQ(Xadra::pdfInfoKey(T::SUBMIT_MSG), HPGS_PDF_INFO_SUBMIT_MSG);
    EXPECT_EQ(Xadra::pdfInfoKey(T::DP_SCRIPT), HPGS_PDF_INFO_DP_SCRIPT);
    EXPECT_EQ(Xadra::pdfInfoKey(14), -1);
    EXPECT_EQ(Xadra::pdfInfoKey(-1), -1);
}

// ----------------------------------------------------------- HPGL to PDF

TEST_F(PdfJobTest, DrawingBecomesOneValidPageOfItsSizeWithBorderAndInformation) {
    using T = PDFPropertyType;
    auto e = Xadra::renderPdfFromHpgl(hpglStream("jobs/rect_4x2in.hpgl", "rect.plt"),
                                      props({{T::TITLE, "Plan"}, {T::ANNOTATION, "checked"}}), 0);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getMimeType(), "application/pdf");
    EXPECT_EQ(e->getOutputUniqueName(), "rect.pdf");
    EXPECT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
    auto pages = pagesOf(e->getDataFilePath());
    ASSERT_EQ(pages.size(), 1u);
    const double border = Xadra::Settings::getPdfBorder();
    EXPECT_NEAR(pages[0].box.urx - pages[0].box.llx, 288 + 2 * border, 0.5);
    EXPECT_NEAR(pages[0].box.ury - pages[0].box.lly, 144 + 2 * border, 0.5);
    const std::string doc = qdf(e->getDataFilePath());
    EXPECT_NE(doc.find("/Title (Plan)"), std::string::npos) << doc.substr(0, 2000);
    EXPECT_NE(doc.find("checked"), std::string::npos);
    // The render time is the fixed "now"; the creation time is the input's.
    EXPECT_NE(doc.find("/ModDate (D:20231114"), std::string::npos);
    EXPECT_NE(doc.find("/CreationDate (D:19700101"), std::string::npos);

    // Turned by 90 degrees the page is turned, not the page's /Rotate.
    auto turned = Xadra::renderPdfFromHpgl(hpglStream("jobs/rect_4x2in.hpgl", "rect.plt"), nullptr, 90);
    auto tp = pagesOf(turned->getDataFilePath());
    ASSERT_EQ(tp.size(), 1u);
    EXPECT_NEAR(tp[0].box.urx - tp[0].box.llx, 144 + 2 * border, 0.5);
    EXPECT_NEAR(tp[0].box.ury - tp[0].box.lly, 288 + 2 * border, 0.5);
    EXPECT_EQ(tp[0].nativeAngle, 0);
}

TEST_F(PdfJobTest, SameRequestUnderFixedTimeGivesIdenticalBytes) {
    auto a = Xadra::renderPdfFromHpgl(hpglStream("syn_bezier.hpgl", "one.plt"), nullptr, 0);
    auto b = Xadra::renderPdfFromHpgl(hpglStream("syn_bezier.hpgl", "two.plt"), nullptr, 0);
    EXPECT_NE(a->getDataFilePath(), b->getDataFilePath());
    EXPECT_EQ(readFile(a->getDataFilePath()), readFile(b->getDataFilePath()));
}

TEST_F(PdfJobTest, EmptyDrawingFailsAndLeavesNoJobFile) {
    auto t = thrownBy([] { Xadra::renderPdfFromHpgl(newStream("IN;PU;", "empty.plt"), nullptr, 0); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t));
    EXPECT_EQ(message(t), "Bounding box is empty.");
    EXPECT_EQ(jobFiles(), 0u);
}

// The PDF of a drawing looks like its PNG preview: ghostscript, poppler and
// mupdf rasterise it at 150 dpi to pictures whose ink matches hpgl2png's.
TEST_F(PdfJobTest, DrawingsRasteriseInThreeViewersLikeTheirPngPreview) {
    const std::string bin = XAD_BIN_DIR;
    std::vector<std::string> names;
    for (auto& f : fs::directory_iterator(kData + "/hpgl"))
        if (f.path().extension() == ".hpgl")
            names.push_back(f.path().stem().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 18u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string hpgl = kData + "/hpgl/" + name + ".hpgl";
        auto e = Xadra::renderPdfFromHpgl(hpglStream(name + ".hpgl", name + ".plt"), nullptr, 0);
        ASSERT_TRUE(e);
        const std::string pdf = e->getDataFilePath();
        ASSERT_TRUE(qpdfCheckPasses(pdf));
        // Raster fill cells are 300 to the inch: at 150 dpi each pixel
        // holds two, which every viewer resamples its own way (poppler
        // rounds a tile's image to whole pixels, so one column takes a cell
        // more; mupdf and ghostscript interpolate), and the green fill of
        // syn_raster_patterns averages to 127.5, on the ink threshold
        // itself. Where the cells are pixels of their own (2 x 2 at 600
        // dpi) the drawing is compared cell by cell; tone and placement at
        // other resolutions are tests/hpgspdf/test_patterns.cpp's.
        const std::string dpi = name == "syn_raster_patterns" ? "600" : "150";
        make(bin + "/hpgl2png " + hpgl + " " + tmp("ref.png") + " --dpi " + dpi + " >/dev/null 2>&1");
        make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=png16m -r" + dpi + " -o " + tmp("gs.png") + " " + pdf);
        make("pdftoppm -r " + dpi + " -png -singlefile " + pdf + " " + tmp("poppler"));
        make("mutool draw -q -r " + dpi + " -o " + tmp("mupdf.png") + " " + pdf + " 2>/dev/null");
        hpgs_test::Png ref;
        ASSERT_TRUE(hpgs_test::read_png(tmp("ref.png"), ref));
        for (const char* viewer : {"gs", "poppler", "mupdf"}) {
            hpgs_test::Png test;
            ASSERT_TRUE(hpgs_test::read_png(tmp(std::string(viewer) + ".png"), test)) << viewer;
            auto score = hpgs_test::compare_ink(ref, test);
            ASSERT_TRUE(score.ok) << viewer;
            EXPECT_GE(score.f_tol, 0.98) << viewer << " precision " << score.precision << " recall " << score.recall;
        }
    }
}

// ------------------------------------------------------- finishing a PDF

TEST_F(PdfJobTest, PdfInputTurnsOnlyItsFirstPageAndKeepsItsInformation) {
    using T = PDFPropertyType;
    auto e = Xadra::finishPdf(pdfStream(pdfFile("letter_3pages.pdf"), "l3.pdf"), props({{T::TITLE, "Ignored"}}), 90,
                              "", nullptr);
    ASSERT_TRUE(e);
    EXPECT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
    auto pages = pagesOf(e->getDataFilePath());
    ASSERT_EQ(pages.size(), 3u);
    EXPECT_EQ(pages[0].nativeAngle, 270);
    EXPECT_EQ(pages[1].nativeAngle, 0);
    EXPECT_EQ(pages[2].nativeAngle, 0);
    EXPECT_EQ(qdf(e->getDataFilePath()).find("Ignored"), std::string::npos);
    // The TITLE is not part of the file job's identity either: asked without
    // it, the cached document answers.
    auto same = Xadra::finishPdf(pdfStream(pdfFile("letter_3pages.pdf"), "l3.pdf"), nullptr, 90, "", nullptr);
    EXPECT_EQ(same->getDataFilePath(), e->getDataFilePath());
}

TEST_F(PdfJobTest, ScriptPropertiesChangeDocumentAndIdentity) {
    using T = PDFPropertyType;
    auto plain = Xadra::finishPdf(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), nullptr, 0, "", nullptr);
    auto scripted = Xadra::finishPdf(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"),
                                     props({{T::SUBMIT_MSG, "Please check."}, {T::OPEN_SCRIPT, "app.alert('open');"}}),
                                     0, "", nullptr);
    EXPECT_NE(plain->getDataFilePath(), scripted->getDataFilePath());
    const std::string doc = qdf(scripted->getDataFilePath());
    EXPECT_NE(doc.find("Please check."), std::string::npos);
    EXPECT_NE(doc.find("app.alert"), std::string::npos);
    EXPECT_NE(doc.find("/JavaScript"), std::string::npos);
    EXPECT_EQ(qdf(plain->getDataFilePath()).find("Please check."), std::string::npos);
    EXPECT_TRUE(qpdfCheckPasses(scripted->getDataFilePath()));
}

TEST_F(PdfJobTest, DrawingThroughTheFileJobIsTurnedByItsRendererSubjob) {
    using T = PDFPropertyType;
    auto e = Xadra::finishPdf(hpglStream("jobs/rect_4x2in.hpgl", "rect.plt"),
                              props({{T::TITLE, "Drawing"}, {T::SUBMIT_MSG, "m"}}), 90, "COPY", nullptr);
    ASSERT_TRUE(e);
    auto pages = pagesOf(e->getDataFilePath());
    ASSERT_EQ(pages.size(), 1u);
    // Turned while rendering (portrait), not by /Rotate.
    EXPECT_GT(pages[0].box.ury - pages[0].box.lly, pages[0].box.urx - pages[0].box.llx);
    EXPECT_EQ(pages[0].nativeAngle, 0);
    const std::string doc = qdf(e->getDataFilePath());
    EXPECT_NE(doc.find("/Title (Drawing)"), std::string::npos);
    // The renderer's result is cached on its own: the plain conversion with
    // the same information and angle is answered from it.
    auto plain = Xadra::renderPdfFromHpgl(hpglStream("jobs/rect_4x2in.hpgl", "rect.plt"), props({{T::TITLE, "Drawing"}}), 90);
    EXPECT_EQ(pagesOf(plain->getDataFilePath()).size(), 1u);
}

TEST_F(PdfJobTest, ImportedAnnotationsBecomePdfAnnotationsAndDrawnOnesPageContent) {
    auto list = Plume::List::newInstance();
    list->add(annotation("square.fdf", 1));   // imported, locked
    list->add(annotation("circle.fdf", 0));   // imported
    list->add(Plume::String::newInstance("skipped"));
    list->add(annotation("line.fdf", 2));     // drawn
    auto e = Xadra::finishPdf(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), nullptr, 0, "", list);
    ASSERT_TRUE(e);
    EXPECT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
    const std::string doc = qdf(e->getDataFilePath());
    EXPECT_EQ(count(doc, "/Subtype /Square"), 1u);
    EXPECT_EQ(count(doc, "/Subtype /Circle"), 1u);
    EXPECT_EQ(count(doc, "/Subtype /Line"), 0u) << "the drawn line became an annotation";
    EXPECT_GE(count(doc, "/AP"), 2u);
    EXPECT_NE(doc.find("/T (tester)"), std::string::npos);

    // The drawn line shows in the rendering of the page: blue ink where the
    // plain document has none.
    auto plain = Xadra::finishPdf(pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"), nullptr, 0, "", nullptr);
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=png16m -r36 -o " + tmp("a.png") + " " + e->getDataFilePath());
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=png16m -r36 -o " + tmp("p.png") + " " + plain->getDataFilePath());
    hpgs_test::Png annotated, bare;
    ASSERT_TRUE(hpgs_test::read_png(tmp("a.png"), annotated));
    ASSERT_TRUE(hpgs_test::read_png(tmp("p.png"), bare));
    EXPECT_NE(readFile(tmp("a.png")), readFile(tmp("p.png")));
}

TEST_F(PdfJobTest, StampGoesBehindEveryPage) {
    auto e = Xadra::finishPdf(pdfStream(pdfFile("letter_3pages.pdf"), "l3.pdf"), nullptr, 0, "DRAFT", nullptr);
    auto plain = Xadra::finishPdf(pdfStream(pdfFile("letter_3pages.pdf"), "l3.pdf"), nullptr, 0, "", nullptr);
    ASSERT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r20 -o " + tmp("s%d.png") + " " + e->getDataFilePath());
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r20 -o " + tmp("u%d.png") + " " + plain->getDataFilePath());
    for (int page = 1; page <= 3; ++page)
        EXPECT_NE(readFile(tmp("s" + std::to_string(page) + ".png")), readFile(tmp("u" + std::to_string(page) + ".png")))
            << "no stamp on page " << page;
}

TEST_F(PdfJobTest, EncryptedAndDamagedInputsFailCleanly) {
    for (const char* f : {"encrypted_user.pdf", "encrypted_restricted.pdf"}) {
        auto t = thrownBy([&] { Xadra::finishPdf(pdfStream(pdfFile(f), f), nullptr, 90, "S", nullptr); });
        ASSERT_TRUE(Plume::objCast<DRMError>(t)) << f << ": " << message(t);
        EXPECT_EQ(message(t), "PDF file is encrypted.");
    }
    auto t = thrownBy([&] { Xadra::finishPdf(pdfStream(pdfFile("truncated.pdf"), "cut.pdf"), nullptr, 0, "", nullptr); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << message(t);
    EXPECT_EQ(message(t).rfind("pretty cut.pdf: ", 0), 0u) << message(t);
    t = thrownBy([&] {
        Xadra::mergePdf(pdfStream(pdfFile("a4_drawing.pdf"), "ok.pdf"), 0, pdfStream(pdfFile("encrypted_user.pdf"), "e.pdf"),
                        0, nullptr, "", nullptr);
    });
    EXPECT_TRUE(Plume::objCast<DRMError>(t)) << message(t);
    EXPECT_EQ(jobFiles(), 0u);
}

// ---------------------------------------------------------------- merging

TEST_F(PdfJobTest, TwoAndThreePagesMergeIntoFiveWithStampAndDrawnAnnotationsCountedInTheMerge) {
    make("qpdf --empty --pages " + pdfFile("a4_drawing.pdf") + " " + pdfFile("a4_drawing.pdf") + " -- " + tmp("two.pdf"));
    // A drawn annotation for page 3 of the merged document (the first page of
    // the second input): the square's FDF moved to page 2 (from 0).
    std::string fdf = readFile(kData + "/fdf/square.fdf");
    fdf.replace(fdf.find("/Page 0"), 7, "/Page 2");
    auto a = Annotation::newInstance();
    a->setMode(2);
    a->setColor(Plume::String::newInstance("#00ff00"));
    a->setFdf(Plume::makeObj<TestStream>(fdf, "p2.fdf", 7.0, "application/vnd.fdf"));
    auto list = Plume::List::newInstance();
    list->add(a);
    auto e = Xadra::mergePdf(pdfStream(tmp("two.pdf"), "two.pdf"), 0, pdfStream(pdfFile("letter_3pages.pdf"), "l3.pdf"),
                             90, nullptr, "MERGED", list);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getOutputUniqueName(), "l3.pdf");
    ASSERT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
    auto pages = pagesOf(e->getDataFilePath());
    ASSERT_EQ(pages.size(), 5u);
    EXPECT_EQ(pages[0].box.urx, 595);
    EXPECT_EQ(pages[1].box.urx, 595);
    EXPECT_EQ(pages[2].box.urx, 612);
    // The second input's angle turns its own first page, page 3 of the merge.
    EXPECT_EQ(pages[0].nativeAngle, 0);
    EXPECT_EQ(pages[2].nativeAngle, 270);
    EXPECT_EQ(pages[3].nativeAngle, 0);
    // Green ink (the drawn square) only on page 3.
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=png16m -r20 -o " + tmp("m%d.png") + " " + e->getDataFilePath());
    for (int page = 1; page <= 5; ++page) {
        hpgs_test::Png p;
        ASSERT_TRUE(hpgs_test::read_png(tmp("m" + std::to_string(page) + ".png"), p));
        size_t green = 0;
        ASSERT_EQ(p.channels, 3);
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) green += p.at(x, y, 0) < 80 && p.at(x, y, 1) > 180 && p.at(x, y, 2) < 80;
        if (page == 3) EXPECT_GT(green, 5u) << "page " << page;
        else EXPECT_LT(green, 3u) << "page " << page;
    }
}

TEST_F(PdfJobTest, DrawingFirstTakesOnlyAnnotationInformationIntoItsDocument) {
    using T = PDFPropertyType;
    auto e = Xadra::mergePdf(hpglStream("jobs/rect_4x2in.hpgl", "rect.plt"), 0, pdfStream(pdfFile("a4_drawing.pdf"), "a4.pdf"),
                             0, props({{T::TITLE, "Merged"}, {T::SCALE_ANNO, "1:20"}, {T::SUBMIT_MSG, "send"}}), "",
                             nullptr);
    ASSERT_TRUE(e);
    auto pages = pagesOf(e->getDataFilePath());
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_NEAR(pages[0].box.urx - pages[0].box.llx, 288 + 2 * Xadra::Settings::getPdfBorder(), 0.5);
    EXPECT_EQ(pages[1].box.urx, 595);
    const std::string doc = qdf(e->getDataFilePath());
    EXPECT_NE(doc.find("send"), std::string::npos);
    EXPECT_EQ(doc.find("Merged"), std::string::npos) << "TITLE reached a PDF second input";
    EXPECT_TRUE(qpdfCheckPasses(e->getDataFilePath()));
}

// --------------------------------------------------------- large drawings

TEST(PdfPageScale, PagesBeyondTwoHundredInchesGetAUserUnitAndTheMaximumBounds) {
    const double b = 56.69291338582677;
    auto small = Xadra::pdfPageScale({0, 0, 500, 300}, 0, b, 1000);
    EXPECT_EQ(small.userUnit, 1.0);
    EXPECT_EQ(small.maxSide, 14400.0);
    auto wide = Xadra::pdfPageScale({0, 0, 20000, 3600}, 0, b, 1000);
    EXPECT_EQ(wide.userUnit, 2.0);
    EXPECT_NEAR(wide.maxSide, (20000 + 2 * b) / 2, 1e-9);
    EXPECT_NEAR(wide.border, b / 2, 1e-12);
    EXPECT_EQ(small.border, b);
    // Turned, the height is what counts.
    EXPECT_EQ(Xadra::pdfPageScale({0, 0, 3600, 20000}, 90, b, 1000).userUnit, 2.0);
    EXPECT_EQ(Xadra::pdfPageScale({0, 0, 3600, 20000}, 0, b, 1000).userUnit, 2.0);
    // The configured maximum (100 inches) bounds the physical size.
    auto bounded = Xadra::pdfPageScale({0, 0, 20000, 3600}, 0, b, 100);
    EXPECT_EQ(bounded.userUnit, 1.0);
    EXPECT_EQ(bounded.maxSide, 7200.0);
    EXPECT_EQ(bounded.border, b);
    // 1000 inches: a unit of 5 keeps the page within 14400 units.
    auto huge = Xadra::pdfPageScale({0, 0, 1e6, 10}, 0, b, 1000);
    EXPECT_EQ(huge.userUnit, 5.0);
    EXPECT_EQ(huge.maxSide, 14400.0);
}

TEST_F(PdfJobTest, DrawingWiderThanTwoHundredInchesKeepsItsSizeThroughTheUserUnit) {
    // 20000 x 3600 points: a long plot of about 7 metres.
    const long w = std::lround(20000 / 72.0 * 1016.0), h = std::lround(3600 / 72.0 * 1016.0);
    const std::string hpgl = "IN;SP1;PW0.5;PU0,0;PD" + std::to_string(w) + ",0," + std::to_string(w) + "," +
                             std::to_string(h) + ",0," + std::to_string(h) + ",0,0;PU" + std::to_string(w / 2) +
                             ",0;PD" + std::to_string(w / 2) + "," + std::to_string(h) + ";";
    auto e = Xadra::renderPdfFromHpgl(newStream(hpgl, "long.plt"), nullptr, 0);
    ASSERT_TRUE(e);
    const std::string path = e->getDataFilePath();
    EXPECT_TRUE(qpdfCheckPasses(path));
    EXPECT_EQ(readFile(path).rfind("%PDF-1.6", 0), 0u);
    auto pages = pagesOf(path);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].userUnit, 2.0);
    const double border = Xadra::Settings::getPdfBorder();
    // The box in points (the unit applied) is the drawing's real size.
    EXPECT_NEAR(pages[0].box.urx - pages[0].box.llx, 20000 + 2 * border, 2.0);
    EXPECT_NEAR(pages[0].box.ury - pages[0].box.lly, 3600 + 2 * border, 2.0);
    // In its own units no side exceeds what viewers accept.
    const std::string doc = qdf(path);
    EXPECT_NE(doc.find("/UserUnit 2"), std::string::npos);
    // Ghostscript shows the whole drawing, the middle line in the middle.
    make("gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pnggray -r2 -o " + tmp("long.png") + " " + path);
    hpgs_test::Png p;
    ASSERT_TRUE(hpgs_test::read_png(tmp("long.png"), p));
    EXPECT_NEAR(p.width, (20000 + 2 * border) * 2 / 72.0, 3);
}
