// FDF bundles: import of every annotation kind and of malformed files,
// counting, drawing through any device (with offset and page clip), and the
// import into PDF documents as real annotations.
#include "helpers.h"

#include <qpdf/QPDF.hh>

#include <cmath>

using namespace testpdf;

namespace {

std::string err() { return hpgs_get_error(); }

// Records the points a device receives, after the offset.
struct Recorder {
    hpgs_device base;
    std::vector<hpgs_point> moves, lines;
    int curves = 0, clips = 0, fills = 0, strokes = 0;
    bool withCurves = true;
    static Recorder& of(hpgs_device* d) { return *reinterpret_cast<Recorder*>(d); }
    static hpgs_device_vtable table() {
        hpgs_device_vtable v{};
        v.rtti = "recorder";
        v.moveto = [](hpgs_device* d, const hpgs_point* p) { of(d).moves.push_back(*p); return 0; };
        v.lineto = [](hpgs_device* d, const hpgs_point* p) { of(d).lines.push_back(*p); return 0; };
        v.curveto = [](hpgs_device* d, const hpgs_point*, const hpgs_point*, const hpgs_point*) {
            ++of(d).curves;
            return 0;
        };
        v.clip = [](hpgs_device* d, hpgs_bool) { ++of(d).clips; return 0; };
        v.fill = [](hpgs_device* d, hpgs_bool) { ++of(d).fills; return 0; };
        v.stroke = [](hpgs_device* d) { ++of(d).strokes; return 0; };
        v.capabilities = [](hpgs_device* d) { return of(d).withCurves ? HPGS_DEVICE_CAP_CURVES : 0; };
        return v;
    }
};
const hpgs_device_vtable kRecorderTable = Recorder::table();

// A blank A4 page made by this layer's own PDF device.
std::string blankPage(const TempDir& tmp) {
    std::string path = tmp.path("blank.pdf");
    hpgs_bbox a4{0, 0, 595, 842};
    hpgs_device* dev = hpgs_new_pdf_device(path.c_str(), &a4, 6, 1);
    EXPECT_NE(dev, nullptr) << err();
    EXPECT_EQ(hpgs_showpage(dev, 0), 0);
    EXPECT_EQ(hpgs_device_finish(dev), 0) << err();
    hpgs_device_destroy(dev);
    return path;
}

// Draws the bundle's page over the document's page and writes the result.
void drawOver(hpgs_pdf_file* pdf, hpgs_pdf_fdf_bundle* b, int page, const std::string& out) {
    hpgs_bbox crop;
    ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(pdf, page, &crop), 0);
    double offset[2] = {0, 0};
    hpgs_device* dev = hpgs_pdf_file_new_anno_device(pdf, page);
    ASSERT_NE(dev, nullptr) << err();
    EXPECT_EQ(hpgs_pdf_fdf_bundle_render(b, dev, offset, &crop, page), 0) << err();
    EXPECT_EQ(hpgs_device_finish(dev), 0) << err();
    hpgs_device_destroy(dev);
    writePdf(pdf, out);
}

// Some pixel within radius points of (x, y) has the colour.
bool seen(const Image& img, double x, double y, int r, int g, int b, int radius = 2, int tol = 40) {
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (img.near(x + dx, y + dy, r, g, b, tol)) return true;
    return false;
}

int countColour(const Image& img, const hpgs_bbox& area, int r, int g, int b) {
    int n = 0;
    for (int y = static_cast<int>(area.lly); y < static_cast<int>(area.ury); ++y)
        for (int x = static_cast<int>(area.llx); x < static_cast<int>(area.urx); ++x)
            if (img.near(x, y, r, g, b, 50)) ++n;
    return n;
}

const char* kKinds[] = {"square", "circle", "line", "polygon", "ink",
                        "freetext", "highlight", "text_note"};

}  // namespace

TEST(FdfImport, EveryKindIsReadAndCountedOnItsPage) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    for (const char* k : kKinds)
        ASSERT_EQ(importFdf(b.get(), dataPath(std::string("fdf/") + k + ".fdf"), 2), 0) << k << ": " << err();
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/multi_page.fdf"), 2), 0) << err();
    hpgs_bbox a4{0, 0, 595, 842};
    double zero[2] = {0, 0};
    int n = -1;
    ASSERT_EQ(hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, zero, &a4, 0), 0);
    EXPECT_EQ(n, 8 + 5);
    ASSERT_EQ(hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, zero, &a4, 1), 0);
    EXPECT_EQ(n, 4);
    ASSERT_EQ(hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, zero, &a4, 2), 0);
    EXPECT_EQ(n, 0);
}

TEST(FdfImport, CountHonoursOffsetPageBoxAndMode) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 2), 0);  // Rect 90 590 260 710
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/circle.fdf"), 0), 0);  // not drawn
    int n = -1;
    double zero[2] = {0, 0}, away[2] = {-1000, 0}, near[2] = {-250, -580};
    hpgs_bbox small{0, 0, 100, 100};
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, zero, &small, 0);
    EXPECT_EQ(n, 0);
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, near, &small, 0);
    EXPECT_EQ(n, 1);
    hpgs_bbox a4{0, 0, 595, 842};
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, away, &a4, 0);
    EXPECT_EQ(n, 0);
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, zero, &a4, 0);
    EXPECT_EQ(n, 1);
}

TEST(FdfImport, MalformedFilesFailWithTheirFaultAndLeaveTheBundleAlone) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 2), 0);
    EXPECT_EQ(importFdf(b.get(), dataPath("fdf/malformed.fdf"), 2), -1);
    EXPECT_NE(err().find("FDF"), std::string::npos) << err();

    struct Case {
        const char* body;
        const char* expect;
    } cases[] = {
        {"", "empty"},
        {"hello world", "no %FDF- header"},
        {"%FDF-1.2\n1 0 obj << /Type /Catalog >> endobj\ntrailer << /Root 1 0 R >>\n", "/FDF"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots 5 >> >> endobj\ntrailer << /Root 1 0 R >>\n",
         "/Annots"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n2 0 obj << /Subtype /Square "
         "/Rect [1 2 3] >> endobj\ntrailer << /Root 1 0 R >>\n",
         "annotation 1 (object 2 0): /Rect has 3 numbers"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n2 0 obj << /Subtype /Polygon "
         "/Rect [0 0 9 9] /Vertices [1 2 3] >> endobj\ntrailer << /Root 1 0 R >>\n",
         "/Vertices"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n2 0 obj << /Subtype /Ink "
         "/Rect [0 0 9 9] /InkList [[1 2 99999999999 4]] >> endobj\ntrailer << /Root 1 0 R >>\n",
         "out of range"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n2 0 obj << /Subtype /Square "
         "/Rect [0 0 9 9] /C [1 0] >> endobj\ntrailer << /Root 1 0 R >>\n",
         "/C has 2 components"},
        {"%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n2 0 obj << /Subtype /Square "
         "/Rect [0 0 9 9] /Page -3 >> endobj\ntrailer << /Root 1 0 R >>\n",
         "/Page"},
    };
    for (const auto& c : cases) {
        std::string body = c.body;
        int rc = hpgs_pdf_fdf_bundle_import_fdf(b.get(), hpgs_new_mem_istream(body.data(), body.size(), 1),
                                                "a", "t", "utf-8", nullptr, 2);
        EXPECT_EQ(rc, -1) << c.body;
        EXPECT_NE(err().find(c.expect), std::string::npos) << c.expect << " in: " << err();
    }
    hpgs_bbox a4{0, 0, 595, 842};
    int n = -1;
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, nullptr, &a4, 0);
    EXPECT_EQ(n, 1);
}

TEST(FdfImport, BadArgumentsAreRefused) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    EXPECT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 1), -1);
    EXPECT_NE(err().find("mode 1"), std::string::npos);
    double bad[3] = {1.5, 0, 0};
    EXPECT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 2, bad), -1);
    EXPECT_NE(err().find("1.5"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_fdf_bundle_import_fdf(b.get(), nullptr, "a", "t", "utf-8", nullptr, 2), -1);
    EXPECT_EQ(hpgs_pdf_fdf_bundle_import_fdf(b.get(), hpgs_new_file_istream(dataPath("fdf/square.fdf").c_str()),
                                             "bad \xFF", "t", "utf-8", nullptr, 2),
              -1);
}

TEST(FdfImport, UnsupportedKindsAndPopupsAreSkipped) {
    std::string body =
        "%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R 3 0 R 4 0 R] >> >> endobj\n"
        "2 0 obj << /Subtype /Link /Rect [0 0 9 9] >> endobj\n"
        "3 0 obj << /Subtype /Popup /Rect [0 0 9 9] >> endobj\n"
        "4 0 obj << /Subtype /Square /Rect [0 0 9 9] >> endobj\n"
        "trailer << /Root 1 0 R >>\n";
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(hpgs_pdf_fdf_bundle_import_fdf(b.get(), hpgs_new_mem_istream(body.data(), body.size(), 1),
                                             nullptr, nullptr, nullptr, nullptr, 2),
              0)
        << err();
    int n = -1;
    hpgs_pdf_fdf_bundle_count_annotations(b.get(), &n, nullptr, nullptr, 0);
    EXPECT_EQ(n, 1);
}

TEST(FdfRender, PointsAreMovedByTheOffsetAndClippedToThePage) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 2), 0);  // width 3
    Recorder rec;
    rec.base.vtable = &kRecorderTable;
    double offset[2] = {10, -20};
    hpgs_bbox box{0, 0, 1000, 1000};
    ASSERT_EQ(hpgs_pdf_fdf_bundle_render(b.get(), &rec.base, offset, &box, 0), 0) << err();
    ASSERT_GE(rec.moves.size(), 2u);
    EXPECT_DOUBLE_EQ(rec.moves[0].x, 0);  // the clip rectangle comes first
    EXPECT_EQ(rec.clips, 1);
    EXPECT_DOUBLE_EQ(rec.moves[1].x, 90 + 1.5 + 10);
    EXPECT_DOUBLE_EQ(rec.moves[1].y, 590 + 1.5 - 20);
    EXPECT_EQ(rec.strokes, 1);
    // Nothing on other pages.
    Recorder other;
    other.base.vtable = &kRecorderTable;
    ASSERT_EQ(hpgs_pdf_fdf_bundle_render(b.get(), &other.base, offset, &box, 1), 0);
    EXPECT_TRUE(other.moves.empty());
}

TEST(FdfRender, CurvesAreFlattenedForDevicesWithoutThem) {
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/circle.fdf"), 2), 0);
    Recorder curvy, flat;
    curvy.base.vtable = flat.base.vtable = &kRecorderTable;
    flat.withCurves = false;
    ASSERT_EQ(hpgs_pdf_fdf_bundle_render(b.get(), &curvy.base, nullptr, nullptr, 0), 0);
    ASSERT_EQ(hpgs_pdf_fdf_bundle_render(b.get(), &flat.base, nullptr, nullptr, 0), 0);
    EXPECT_EQ(curvy.curves, 4);
    EXPECT_EQ(flat.curves, 0);
    EXPECT_EQ(flat.lines.size(), 64u);
    // Every flattened point lies on the circle of radius 74 round 400,650.
    for (const auto& p : flat.lines) EXPECT_NEAR(std::hypot(p.x - 400, p.y - 650), 74, 0.5);
}

TEST(FdfRender, EveryKindAppearsWhereItsFdfPutsIt) {
    TempDir tmp;
    auto pdf = openPdf(blankPage(tmp));
    ASSERT_TRUE(pdf);
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    for (const char* k : kKinds) ASSERT_EQ(importFdf(b.get(), dataPath(std::string("fdf/") + k + ".fdf"), 2), 0);
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/multi_page.fdf"), 2), 0);
    std::string out = tmp.path("kinds.pdf");
    drawOver(pdf.get(), b.get(), 0, out);
    EXPECT_EQ(qpdfCheck(out), 0);
    Image img = render(out);
    ASSERT_EQ(img.width, 595);
    EXPECT_TRUE(seen(img, 91.5, 650, 255, 0, 0)) << "square border";
    EXPECT_TRUE(img.white(175, 650)) << "square inside";
    EXPECT_TRUE(seen(img, 326, 650, 0, 153, 0)) << "circle";
    EXPECT_TRUE(img.white(400, 650)) << "circle inside";
    EXPECT_TRUE(seen(img, 300, 315, 0, 0, 255)) << "line";
    EXPECT_TRUE(seen(img, 180, 450, 204, 230, 255, 1, 20)) << "polygon inside";
    EXPECT_TRUE(seen(img, 90.5, 430, 0, 128, 255)) << "polygon edge";
    EXPECT_TRUE(seen(img, 100, 200, 204, 0, 204)) << "ink";
    EXPECT_TRUE(seen(img, 200, 95, 255, 255, 0, 1, 20)) << "highlight";
    EXPECT_TRUE(seen(img, 295, 765, 255, 255, 204, 1, 20)) << "free text background";
    EXPECT_GT(countColour(img, {294, 762, 496, 793}, 0, 0, 255), 60) << "free text letters";
    EXPECT_TRUE(seen(img, 515, 770, 255, 209, 0, 4)) << "note icon";
    EXPECT_TRUE(seen(img, 383, 650, 0, 128, 0)) << "stamp frame";
    EXPECT_GT(countColour(img, {390, 630, 550, 670}, 0, 128, 0), 60) << "stamp letters";
    EXPECT_TRUE(seen(img, 200, 714, 0, 0, 255)) << "underline";
    EXPECT_TRUE(seen(img, 460, 240, 153, 0, 153)) << "polyline";

    drawOver(pdf.get(), b.get(), 0, out);  // page 0 again does no harm
    auto two = openPdf(dataPath("pdf/letter_3pages.pdf"));
    std::string out2 = tmp.path("page2.pdf");
    drawOver(two.get(), b.get(), 1, out2);
    EXPECT_EQ(qpdfCheck(out2), 0);
    Image p2 = render(out2, 2);
    EXPECT_TRUE(seen(p2, 200, 723.7, 255, 0, 0)) << "strike out";
    EXPECT_TRUE(seen(p2, 300, 60, 0, 0, 0)) << "dimension line";
}

TEST(FdfRender, GivenColourOverridesTheAnnotationsOwn) {
    TempDir tmp;
    auto pdf = openPdf(blankPage(tmp));
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    double blue[3] = {0, 0, 1};
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 2, blue), 0);
    drawOver(pdf.get(), b.get(), 0, tmp.path("blue.pdf"));
    Image img = render(tmp.path("blue.pdf"));
    EXPECT_TRUE(seen(img, 91.5, 650, 0, 0, 255));
    EXPECT_FALSE(seen(img, 91.5, 650, 255, 0, 0));
}

TEST(FdfPdfImport, AnnotationsBecomePrintableWithAppearances) {
    TempDir tmp;
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    double green[3] = {0, 1, 0};
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/square.fdf"), 0, nullptr, "Owner", "Title 1"), 0);
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/line.fdf"), 3, green, "Owner", "Title 2"), 0);
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/text_note.fdf"), 0), 0);
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/circle.fdf"), 2), 0);  // drawn only
    ASSERT_EQ(hpgs_pdf_file_import_fdf_bundle(pdf.get(), b.get(), 56.7), 0) << err();
    std::string out = tmp.path("imported.pdf");
    writePdf(pdf.get(), out);
    EXPECT_EQ(qpdfCheck(out), 0);

    auto q = QPDF::create();
    q->processFile(out.c_str());
    auto annots = QPDFObjectHandle(q->getAllPages()[0]).getKey("/Annots");
    ASSERT_TRUE(annots.isArray());
    ASSERT_EQ(annots.getArrayNItems(), 3);
    auto square = annots.getArrayItem(0), line = annots.getArrayItem(1);
    EXPECT_EQ(square.getKey("/Subtype").getName(), "/Square");
    EXPECT_TRUE(square.getKey("/AP").getKey("/N").isStream());
    EXPECT_EQ(square.getKey("/F").getIntValue(), 4);
    EXPECT_EQ(square.getKey("/T").getUTF8Value(), "Owner");
    EXPECT_EQ(square.getKey("/Subj").getUTF8Value(), "Title 1");
    EXPECT_EQ(square.getKey("/Contents").getUTF8Value(), "Frame round the red rectangle");
    EXPECT_EQ(line.getKey("/F").getIntValue(), 4 | 64 | 128 | 512);
    EXPECT_EQ(line.getKey("/C").getArrayItem(1).getNumericValue(), 1.0);
    EXPECT_TRUE(line.getKey("/P").isPageObject());

    Image img = render(out);
    EXPECT_TRUE(seen(img, 91.5, 650, 255, 0, 0)) << "square drawn by its appearance";
    EXPECT_TRUE(seen(img, 300, 315, 0, 255, 0)) << "line in the given colour";
    Image printed = render(out, 1, "-dPrinted");
    EXPECT_TRUE(seen(printed, 91.5, 650, 255, 0, 0)) << "printing shows it too";
}

TEST(FdfPdfImport, AnnotationsOfMissingPagesOrFarOffAreSkipped) {
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(importFdf(b.get(), dataPath("fdf/multi_page.fdf"), 0), 0);
    std::string far = "%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n"
                      "2 0 obj << /Subtype /Square /Rect [5000 5000 5100 5100] >> endobj\n"
                      "trailer << /Root 1 0 R >>\n";
    ASSERT_EQ(hpgs_pdf_fdf_bundle_import_fdf(b.get(), hpgs_new_mem_istream(far.data(), far.size(), 1),
                                             nullptr, nullptr, nullptr, nullptr, 0),
              0);
    ASSERT_EQ(hpgs_pdf_file_import_fdf_bundle(pdf.get(), b.get(), 56.7), 0) << err();
    TempDir tmp;
    writePdf(pdf.get(), tmp.path("skip.pdf"));
    auto q = QPDF::create();
    q->processFile(tmp.path("skip.pdf").c_str());
    EXPECT_EQ(QPDFObjectHandle(q->getAllPages()[0]).getKey("/Annots").getArrayNItems(), 5);
    EXPECT_EQ(hpgs_pdf_file_import_fdf_bundle(pdf.get(), b.get(), -1), -1);
}

TEST(FdfPdfImport, SelfReferencingAnnotationIsCopiedOnceNotExponentially) {
    // Every array entry refers back to the annotation: a copy that follows
    // references blindly grows as 8^depth.
    std::string refs = "[2 0 R 2 0 R 2 0 R 2 0 R 2 0 R 2 0 R 2 0 R 2 0 R]";
    std::string body = "%FDF-1.2\n1 0 obj << /FDF << /Annots [2 0 R] >> >> endobj\n"
                       "2 0 obj << /Subtype /Square /Rect [10 10 50 50] /A " + refs + " /B " + refs +
                       " >> endobj\ntrailer << /Root 1 0 R >>\n";
    BundlePtr b(hpgs_pdf_new_fdf_bundle());
    ASSERT_EQ(hpgs_pdf_fdf_bundle_import_fdf(b.get(), hpgs_new_mem_istream(body.data(), body.size(), 1),
                                             nullptr, nullptr, nullptr, nullptr, 0),
              0)
        << err();
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_EQ(hpgs_pdf_file_import_fdf_bundle(pdf.get(), b.get(), 0), 0) << err();
    TempDir tmp;
    writePdf(pdf.get(), tmp.path("cycle.pdf"));
    EXPECT_EQ(qpdfCheck(tmp.path("cycle.pdf")), 0);
    auto q = QPDF::create();
    q->processFile(tmp.path("cycle.pdf").c_str());
    auto annot = QPDFObjectHandle(q->getAllPages()[0]).getKey("/Annots").getArrayItem(0);
    ASSERT_EQ(annot.getKey("/A").getArrayNItems(), 8);
    EXPECT_TRUE(annot.getKey("/A").getArrayItem(0).isNull());
}
