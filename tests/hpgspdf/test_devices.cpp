// The PDF output device (directly and behind the hpgs reader) and the page
// devices drawing over and behind existing pages.
#include "helpers.h"

#include <qpdf/QPDF.hh>

using namespace testpdf;

namespace {

std::string err() { return hpgs_get_error(); }

void square(hpgs_device* d, double x1, double y1, double x2, double y2, bool reverse = false) {
    hpgs_point p[4] = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
    if (reverse) std::swap(p[1], p[3]);
    hpgs_moveto(d, &p[0]);
    for (int i = 1; i < 4; ++i) hpgs_lineto(d, &p[i]);
    hpgs_closepath(d);
}

void colour(hpgs_device* d, double r, double g, double b) {
    hpgs_color c{r, g, b};
    ASSERT_EQ(hpgs_setrgbcolor(d, &c), 0);
}

QPDFObjectHandle pageOf(const std::shared_ptr<QPDF>& q, size_t i) {
    return QPDFObjectHandle(q->getAllPages().at(i));
}

}  // namespace

TEST(PdfDevice, PathsFillsDashesClipsAndImagesReachThePages) {
    TempDir tmp;
    std::string path = tmp.path("device.pdf");
    hpgs_bbox box{0, 0, 200, 200};
    DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 6, 1));
    ASSERT_TRUE(dev) << err();
    hpgs_device* d = dev.get();
    EXPECT_STREQ(hpgs_device_rtti(d), "hpgs_pdf_device");

    // Page 1: a square with a same-direction inner square, non-zero rule:
    // no hole. A clip to the left half, then a colour that must survive
    // the clip's end.
    colour(d, 1, 0, 0);
    square(d, 20, 20, 180, 180);
    square(d, 60, 60, 140, 140);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_showpage(d, 1), 0) << err();

    // Page 2: even-odd leaves the hole; a dashed line; a clipped fill.
    colour(d, 0, 0, 1);
    square(d, 20, 20, 180, 180);
    square(d, 60, 60, 140, 140);
    ASSERT_EQ(hpgs_fill(d, HPGS_FALSE), 0);
    colour(d, 0, 0, 0);
    float dash[2] = {10, 10};
    ASSERT_EQ(hpgs_setdash(d, dash, 2, 0), 0);
    ASSERT_EQ(hpgs_setlinewidth(d, 2), 0);
    hpgs_point a{0, 10}, b{200, 10};
    hpgs_moveto(d, &a);
    hpgs_lineto(d, &b);
    ASSERT_EQ(hpgs_stroke(d), 0);
    ASSERT_EQ(hpgs_setdash(d, nullptr, 0, 0), 0);
    ASSERT_EQ(hpgs_clipsave(d), 0);
    colour(d, 0, 1, 0);
    square(d, 0, 185, 100, 200);
    ASSERT_EQ(hpgs_clip(d, HPGS_TRUE), 0);
    square(d, 0, 185, 200, 200);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_cliprestore(d), 0);
    square(d, 185, 100, 200, 120);  // still green after the clip ended
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    // A 2x2 image: red, green on the top row; white, blue below.
    unsigned char px[12] = {255, 0, 0, 0, 255, 0, 255, 255, 255, 0, 0, 255};
    hpgs_image img{2, 2, 24, 6, px};
    hpgs_point ll{150, 150}, lr{190, 150}, ur{190, 190};
    ASSERT_EQ(hpgs_drawimage(d, &img, &ll, &lr, &ur), 0) << err();
    ASSERT_EQ(hpgs_showpage(d, 2), 0);

    ASSERT_EQ(hpgs_pdf_device_set_info(d, 0, "Device test", "UTF-8"), 0) << err();
    hpgs_pdf_timestamp* ts = hpgs_pdf_timestamp_new(1700000000, 3600);
    ASSERT_EQ(hpgs_pdf_device_set_timestamp_info(d, 5, ts), 0);
    hpgs_pdf_timestamp_destroy(ts);
    ASSERT_EQ(hpgs_device_finish(d), 0) << err();
    EXPECT_EQ(qpdfCheck(path), 0);

    auto q = QPDF::create();
    q->processFile(path.c_str());
    ASSERT_EQ(q->getAllPages().size(), 2u);
    auto info = q->getTrailer().getKey("/Info");
    EXPECT_EQ(info.getKey("/Title").getUTF8Value(), "Device test");
    EXPECT_EQ(info.getKey("/CreationDate").getUTF8Value(), "D:20231114231320+01'00'");

    Image p1 = render(path, 1);
    ASSERT_EQ(p1.width, 200);
    EXPECT_TRUE(p1.near(100, 100, 255, 0, 0)) << "non-zero rule fills the middle";
    EXPECT_TRUE(p1.white(10, 10));
    Image p2 = render(path, 2);
    EXPECT_TRUE(p2.white(100, 100)) << "even-odd rule leaves the hole";
    EXPECT_TRUE(p2.near(40, 100, 0, 0, 255));
    EXPECT_TRUE(p2.near(5, 10, 0, 0, 0)) << "dash on";
    EXPECT_TRUE(p2.white(15, 10)) << "dash off";
    EXPECT_TRUE(p2.near(50, 192, 0, 255, 0)) << "inside the clip";
    EXPECT_TRUE(p2.white(150, 192)) << "outside the clip";
    EXPECT_TRUE(p2.near(192, 110, 0, 255, 0)) << "colour kept after the clip";
    EXPECT_TRUE(p2.near(155, 185, 255, 0, 0)) << "image top left";
    EXPECT_TRUE(p2.near(185, 155, 0, 0, 255)) << "image bottom right";
}

TEST(PdfDevice, PageAssetsSetTheMediaBoxOfTheirPage) {
    TempDir tmp;
    std::string path = tmp.path("assets.pdf");
    hpgs_bbox box{0, 0, 200, 200};
    DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 0, 1));
    ASSERT_TRUE(dev);
    hpgs_matrix m{10, 20, 1, 0, 0, 1};
    hpgs_bbox pb{0, 0, 300, 100};
    ASSERT_EQ(hpgs_pdf_device_render_page_assets(dev.get(), &m, &pb, 0), 0) << err();
    ASSERT_EQ(hpgs_showpage(dev.get(), 1), 0);
    ASSERT_EQ(hpgs_showpage(dev.get(), 2), 0);
    ASSERT_EQ(hpgs_device_finish(dev.get()), 0);
    EXPECT_EQ(qpdfCheck(path), 0);
    auto q = QPDF::create();
    q->processFile(path.c_str());
    auto r1 = pageOf(q, 0).getKey("/MediaBox").getArrayAsRectangle();
    EXPECT_DOUBLE_EQ(r1.llx, 10);
    EXPECT_DOUBLE_EQ(r1.urx, 310);
    EXPECT_DOUBLE_EQ(r1.ury, 120);
    auto r2 = pageOf(q, 1).getKey("/MediaBox").getArrayAsRectangle();
    EXPECT_DOUBLE_EQ(r2.urx, 200);
}

namespace {
int pageAsset(void*, hpgs_device* dev, const hpgs_matrix* m, const hpgs_matrix*, const hpgs_bbox* box,
              int index) {
    if (std::string(hpgs_device_rtti(dev)) != "hpgs_pdf_device") return 0;
    return hpgs_pdf_device_render_page_assets(dev, m, box, index);
}
}  // namespace

TEST(PdfDevice, HpglDrawingBecomesAPdfPageWithItsBorder) {
    TempDir tmp;
    std::string path = tmp.path("hpgl.pdf");
    // A 100 mm square drawn with pen 1.
    std::string hpgl = "IN;SP1;PA0,0;PD4000,0,4000,4000,0,4000,0,0;PU;";
    hpgs_bbox plot;
    hpgs_reader* reader = hpgs_new_reader(hpgs_new_mem_istream(hpgl.data(), hpgl.size(), 1),
                             hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE), HPGS_FALSE, 0);
    ASSERT_NE(reader, nullptr);
    hpgs_device* measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    ASSERT_EQ(hpgs_reader_imbue(reader, measure), 0);
    ASSERT_GE(hpgs_read(reader, HPGS_TRUE), 0) << err();
    ASSERT_EQ(hpgs_getplotsize(measure, 1, &plot), 0) << err();
    ASSERT_EQ(hpgs_reader_set_dynamic_page(reader, &plot, 14400, 14400, 20, 0), 0) << err();
    hpgs_reader_set_page_asset_func(reader, nullptr, pageAsset);
    hpgs_device* dev = hpgs_new_pdf_device(path.c_str(), &plot, 6, 1);
    ASSERT_NE(dev, nullptr) << err();
    ASSERT_EQ(hpgs_reader_imbue(reader, dev), 0);
    ASSERT_GE(hpgs_read(reader, HPGS_TRUE), 0) << err();
    hpgs_destroy_reader(reader);

    EXPECT_EQ(qpdfCheck(path), 0);
    Image img = render(path);
    // 100 mm = 283.5 pt plus a line width, with 20 pt of border each side.
    EXPECT_NEAR(img.width, 324, 3);
    EXPECT_NEAR(img.height, 324, 3);
    int dark = 0;
    for (int y = 15; y < 25; ++y)
        if (img.near(160, y, 0, 0, 0, 120)) ++dark;
    EXPECT_GT(dark, 0) << "bottom edge of the square 20 pt up";
    EXPECT_TRUE(img.white(160, 160));
    EXPECT_TRUE(img.white(5, 160)) << "border stays empty";
}

TEST(PdfDevice, BadArgumentsAndUnwritableFilesFailByName) {
    hpgs_bbox box{0, 0, 100, 100}, empty{0, 0, 0, 100};
    EXPECT_EQ(hpgs_new_pdf_device(nullptr, &box, 6, 1), nullptr);
    EXPECT_EQ(hpgs_new_pdf_device("/tmp/x.pdf", &empty, 6, 1), nullptr);
    EXPECT_EQ(hpgs_new_pdf_device("/tmp/x.pdf", &box, 6, 2), nullptr);
    EXPECT_NE(err().find("version"), std::string::npos);
    EXPECT_EQ(hpgs_new_pdf_device("/tmp/x.pdf", &box, 10, 1), nullptr);

    DevicePtr dev(hpgs_new_pdf_device("/nonexistent-dir/out.pdf", &box, 6, 1));
    ASSERT_TRUE(dev);
    EXPECT_EQ(hpgs_device_finish(dev.get()), -1);
    EXPECT_NE(err().find("/nonexistent-dir/out.pdf"), std::string::npos) << err();
    EXPECT_EQ(hpgs_pdf_device_set_info(dev.get(), 5, "x", "UTF-8"), -1);

    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    DevicePtr anno(hpgs_pdf_file_new_anno_device(pdf.get(), 0));
    ASSERT_TRUE(anno);
    EXPECT_STREQ(hpgs_device_rtti(anno.get()), "hpgs_pdf_anno_device");
    EXPECT_EQ(hpgs_pdf_device_set_info(anno.get(), 0, "x", "UTF-8"), -1);
    EXPECT_NE(err().find("not an hpgs_pdf_device"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_file_new_anno_device(pdf.get(), 3), nullptr);
    EXPECT_NE(err().find("page 3"), std::string::npos);
    auto enc = openPdf(dataPath("pdf/encrypted_restricted.pdf"));
    EXPECT_EQ(hpgs_pdf_file_new_background_device(enc.get(), 0), nullptr);
    // Unbalanced clip nesting is a caller error, not a broken stream.
    EXPECT_EQ(hpgs_cliprestore(anno.get()), -1);
}

TEST(PageDevices, BackgroundGoesBehindAndAnnotationLayerOverTheContent) {
    TempDir tmp;
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_TRUE(pdf);
    DevicePtr back(hpgs_pdf_file_new_background_device(pdf.get(), 0));
    ASSERT_TRUE(back);
    EXPECT_STREQ(hpgs_device_rtti(back.get()), "hpgs_pdf_background_device");
    colour(back.get(), 0.8, 0.8, 0.8);
    square(back.get(), 0, 0, 595, 842);
    ASSERT_EQ(hpgs_fill(back.get(), HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_device_finish(back.get()), 0) << err();

    DevicePtr over(hpgs_pdf_file_new_anno_device(pdf.get(), 0));
    colour(over.get(), 0, 1, 0);
    square(over.get(), 380, 630, 420, 670);
    ASSERT_EQ(hpgs_fill(over.get(), HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_device_finish(over.get()), 0) << err();

    std::string out = tmp.path("layers.pdf");
    writePdf(pdf.get(), out);
    EXPECT_EQ(qpdfCheck(out), 0);
    Image img = render(out);
    EXPECT_TRUE(img.near(300, 450, 204, 204, 204, 10)) << "background where the page is empty";
    EXPECT_TRUE(img.near(175, 650, 220, 30, 30, 60)) << "the drawing's red rectangle stays on top";
    EXPECT_TRUE(img.near(400, 650, 0, 255, 0, 10)) << "annotation layer over the blue disc";
    EXPECT_TRUE(img.near(440, 650, 30, 70, 200, 80)) << "rest of the disc";
}

TEST(PageDevices, StampBehindEveryPageOfAMergedDocument) {
    // The finishing of PDF results: a front document, then a stamp drawn
    // behind each page's content through the background device.
    auto pdf = openPdf(dataPath("pdf/letter_3pages.pdf"));
    ASSERT_EQ(hpgs_pdf_file_prepend_pdf_file(pdf.get(), openPdf(dataPath("pdf/a4_drawing.pdf")).release()), 0);
    int n = hpgs_pdf_file_get_npages(pdf.get());
    ASSERT_EQ(n, 4);
    for (int page = 0; page < n; ++page) {
        hpgs_bbox crop;
        ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(pdf.get(), page, &crop), 0);
        DevicePtr dev(hpgs_pdf_file_new_background_device(pdf.get(), page));
        ASSERT_TRUE(dev) << err();
        ASSERT_EQ(hpgs_device_stamp(dev.get(), &crop, "DRAFT", "UTF-8", 500.0), 0) << err();
        ASSERT_EQ(hpgs_device_finish(dev.get()), 0) << err();
    }
    TempDir tmp;
    std::string out = tmp.path("stamped.pdf");
    writePdf(pdf.get(), out);
    EXPECT_EQ(qpdfCheck(out), 0);
    for (int page = 1; page <= n; ++page) {
        Image img = render(out, page);
        int pink = 0;
        for (int y = 0; y < img.height; y += 2)
            for (int x = 0; x < img.width; x += 2)
                if (img.near(x, y, 255, 153, 153, 30)) ++pink;
        EXPECT_GT(pink, 100) << "stamp on page " << page;
    }
}

// A plotter's dot is a mark of the pen's width. PDF draws nothing for a
// zero-length dash with butt caps, so the device gives such dashes the
// line's width; dots closer than that merge into a line.
TEST(PdfDevice, ZeroLengthDashesShowAsDotsOfTheLineWidthOrMergeIntoALine) {
    TempDir tmp;
    std::string path = tmp.path("dots.pdf");
    hpgs_bbox box{0, 0, 200, 100};
    DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 0, 1));
    ASSERT_TRUE(dev);
    hpgs_device* d = dev.get();
    ASSERT_EQ(hpgs_setlinewidth(d, 4), 0);
    ASSERT_EQ(hpgs_setlinecap(d, hpgs_cap_butt), 0);
    float dots[2] = {0, 20};
    ASSERT_EQ(hpgs_setdash(d, dots, 2, 0), 0);
    hpgs_point a{10, 75}, b{190, 75};
    hpgs_moveto(d, &a);
    hpgs_lineto(d, &b);
    ASSERT_EQ(hpgs_stroke(d), 0);
    // Far below the width: one line.
    float dense[2] = {0, 0.01f};
    ASSERT_EQ(hpgs_setdash(d, dense, 2, 0), 0);
    hpgs_point c{10, 25}, e{190, 25};
    hpgs_moveto(d, &c);
    hpgs_lineto(d, &e);
    ASSERT_EQ(hpgs_stroke(d), 0);
    ASSERT_EQ(hpgs_showpage(d, 1), 0);
    ASSERT_EQ(hpgs_device_finish(d), 0) << err();
    EXPECT_EQ(qpdfCheck(path), 0);

    Image p = render(path, 1);
    int dotsSeen = 0;
    bool inDot = false;
    for (int x = 0; x < p.width; ++x) {
        const bool ink = !p.white(x, 75);
        if (ink && !inDot) ++dotsSeen;
        inDot = ink;
    }
    EXPECT_EQ(dotsSeen, 9) << "dots every 20 points from 10 up to 170";
    for (int x = 12; x < 188; x += 3) EXPECT_FALSE(p.white(x, 25)) << "merged line broken at " << x;
}
