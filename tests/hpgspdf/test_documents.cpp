// Documents: opening (sound, damaged, encrypted), page boxes, user unit,
// rotation, prepending, information and writing.
#include "helpers.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFWriter.hh>

#include <cmath>
#include <cstring>

using namespace testpdf;

namespace {

std::shared_ptr<QPDF> reopen(const std::string& path) {
    auto q = QPDF::create();
    q->processFile(path.c_str());
    return q;
}

std::string errorText() { return hpgs_get_error(); }

}  // namespace

TEST(PdfOpen, SoundDocumentsReportTheirPages) {
    auto a4 = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_TRUE(a4) << errorText();
    EXPECT_EQ(hpgs_pdf_file_is_encrypted(a4.get()), 0);
    EXPECT_EQ(hpgs_pdf_file_get_npages(a4.get()), 1);
    auto letter = openPdf(dataPath("pdf/letter_3pages.pdf"));
    ASSERT_TRUE(letter);
    EXPECT_EQ(hpgs_pdf_file_get_npages(letter.get()), 3);
}

TEST(PdfOpen, MalformedInputGivesNullWithAMessage) {
    EXPECT_FALSE(openPdf(dataPath("pdf/truncated.pdf")));
    EXPECT_NE(errorText().find("PDF document"), std::string::npos) << errorText();

    EXPECT_FALSE(openPdfBytes(""));
    EXPECT_NE(errorText().find("empty"), std::string::npos) << errorText();

    EXPECT_FALSE(openPdfBytes("this is not a PDF file at all"));
    EXPECT_FALSE(errorText().empty());

    EXPECT_EQ(hpgs_new_pdf_file(nullptr), nullptr);
    EXPECT_NE(errorText().find("no input stream"), std::string::npos);
}

TEST(PdfOpen, TruncatedTailIsRepairedWhenTheObjectsAreThere) {
    // Cut the cross-reference table and trailer off a sound file: qpdf
    // rebuilds them from the objects.
    std::string bytes = readFile(dataPath("pdf/letter_3pages.pdf"));
    size_t xref = bytes.rfind("xref");
    ASSERT_NE(xref, std::string::npos);
    std::string cut = bytes.substr(0, xref) + "trailer\n<< /Root 1 0 R >>\n";
    auto pdf = openPdfBytes(cut);
    ASSERT_TRUE(pdf) << errorText();
    EXPECT_EQ(hpgs_pdf_file_get_npages(pdf.get()), 3);
}

TEST(PdfOpen, EncryptedDocumentsOpenOnlyToBeRefused) {
    for (const char* name : {"pdf/encrypted_restricted.pdf", "pdf/encrypted_user.pdf"}) {
        auto pdf = openPdf(dataPath(name));
        ASSERT_TRUE(pdf) << name << ": " << errorText();
        EXPECT_NE(hpgs_pdf_file_is_encrypted(pdf.get()), 0) << name;
        EXPECT_EQ(hpgs_pdf_file_get_npages(pdf.get()), -1);
        EXPECT_NE(errorText().find("encrypted"), std::string::npos);
        hpgs_ostream* os = hpgs_new_mem_ostream(64);
        EXPECT_EQ(hpgs_pdf_file_write(pdf.get(), os), -1);
        hpgs_ostream_close(os);
    }
}

TEST(PdfOpen, DocumentEncryptedByQpdfIsRecognised) {
    TempDir tmp;
    std::string out = tmp.path("enc.pdf");
    ASSERT_EQ(run("qpdf --encrypt user owner 256 -- '" + dataPath("pdf/a4_drawing.pdf") + "' '" +
                  out + "'"),
              0);
    auto pdf = openPdf(out);
    ASSERT_TRUE(pdf);
    EXPECT_NE(hpgs_pdf_file_is_encrypted(pdf.get()), 0);
}

TEST(PdfBoxes, CropBoxFallsBackToMediaBoxAndCanBeChanged) {
    auto a4 = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_TRUE(a4);
    hpgs_bbox bb;
    ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(a4.get(), 0, &bb), 0);
    EXPECT_NEAR(bb.urx - bb.llx, 595, 1);
    EXPECT_NEAR(bb.ury - bb.lly, 842, 1);

    auto crop = openPdf(dataPath("pdf/cropbox.pdf"));
    ASSERT_TRUE(crop);
    ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(crop.get(), 0, &bb), 0);
    EXPECT_DOUBLE_EQ(bb.llx, 72);
    EXPECT_DOUBLE_EQ(bb.lly, 144);
    EXPECT_DOUBLE_EQ(bb.urx, 540);
    EXPECT_DOUBLE_EQ(bb.ury, 648);

    hpgs_bbox nb{100, 100, 300, 400};
    ASSERT_EQ(hpgs_pdf_file_set_page_crop_box(a4.get(), 0, &nb), 0);
    ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(a4.get(), 0, &bb), 0);
    EXPECT_DOUBLE_EQ(bb.llx, 100);
    EXPECT_DOUBLE_EQ(bb.ury, 400);

    // A smaller media box also bounds the crop box.
    hpgs_bbox media{0, 0, 200, 200};
    ASSERT_EQ(hpgs_pdf_file_set_page_media_box(a4.get(), 0, &media), 0);
    ASSERT_EQ(hpgs_pdf_file_get_page_crop_box(a4.get(), 0, &bb), 0);
    EXPECT_DOUBLE_EQ(bb.urx, 200);
    EXPECT_DOUBLE_EQ(bb.ury, 200);

    TempDir tmp;
    writePdf(a4.get(), tmp.path("boxes.pdf"));
    EXPECT_EQ(qpdfCheck(tmp.path("boxes.pdf")), 0);
    Image img = render(tmp.path("boxes.pdf"), 1, "-dUseCropBox");
    EXPECT_EQ(img.width, 100);
    EXPECT_EQ(img.height, 100);
}

TEST(PdfBoxes, BadPagesAndBoxesAreRefusedByName) {
    auto a4 = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_TRUE(a4);
    hpgs_bbox bb;
    EXPECT_EQ(hpgs_pdf_file_get_page_crop_box(a4.get(), 1, &bb), -1);
    EXPECT_NE(errorText().find("page 1 does not exist"), std::string::npos) << errorText();
    EXPECT_EQ(hpgs_pdf_file_get_page_crop_box(a4.get(), -1, &bb), -1);
    hpgs_bbox empty{10, 10, 10, 50};
    EXPECT_EQ(hpgs_pdf_file_set_page_crop_box(a4.get(), 0, &empty), -1);
    EXPECT_NE(errorText().find("empty"), std::string::npos);
    hpgs_bbox nan{0, 0, std::nan(""), 5};
    EXPECT_EQ(hpgs_pdf_file_set_page_media_box(a4.get(), 0, &nan), -1);
}

TEST(PdfPages, UserUnitIsReadWithOneAsDefault) {
    double uu = 0;
    auto two = openPdf(dataPath("pdf/userunit2.pdf"));
    ASSERT_TRUE(two);
    ASSERT_EQ(hpgs_pdf_file_get_page_user_unit(two.get(), 0, &uu), 0);
    EXPECT_DOUBLE_EQ(uu, 2.0);
    auto a4 = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_EQ(hpgs_pdf_file_get_page_user_unit(a4.get(), 0, &uu), 0);
    EXPECT_DOUBLE_EQ(uu, 1.0);
}

TEST(PdfPages, NativeAngleHonoursInheritedRotate) {
    int angle = -1;
    auto r90 = openPdf(dataPath("pdf/rotate90.pdf"));
    ASSERT_TRUE(r90);
    ASSERT_EQ(hpgs_pdf_file_get_native_page_angle(r90.get(), 0, &angle), 0);
    EXPECT_EQ(angle, 90);

    // /Rotate on the page tree root only, inherited by every page.
    TempDir tmp;
    {
        auto q = reopen(dataPath("pdf/letter_3pages.pdf"));
        q->getRoot().getKey("/Pages").replaceKey("/Rotate", QPDFObjectHandle::newInteger(-90));
        for (auto p : q->getAllPages()) p.removeKey("/Rotate");
        std::string out = tmp.path("inherit.pdf");  // the writer keeps the pointer
        QPDFWriter w(*q, out.c_str());
        w.write();
    }
    auto inh = openPdf(tmp.path("inherit.pdf"));
    ASSERT_TRUE(inh);
    for (int page = 0; page < 3; ++page) {
        ASSERT_EQ(hpgs_pdf_file_get_native_page_angle(inh.get(), page, &angle), 0);
        EXPECT_EQ(angle, 270) << page;
    }
    // Turning one page leaves the others at the inherited angle.
    ASSERT_EQ(hpgs_pdf_file_rotate_page(inh.get(), 1, 180), 0);
    hpgs_pdf_file_get_native_page_angle(inh.get(), 1, &angle);
    EXPECT_EQ(angle, 90);
    hpgs_pdf_file_get_native_page_angle(inh.get(), 2, &angle);
    EXPECT_EQ(angle, 270);
}

TEST(PdfPages, RotateAddsMultiplesOfNinetyOnly) {
    auto pdf = openPdf(dataPath("pdf/rotate90.pdf"));
    ASSERT_TRUE(pdf);
    int angle = 0;
    ASSERT_EQ(hpgs_pdf_file_rotate_page(pdf.get(), 0, 90), 0);
    hpgs_pdf_file_get_native_page_angle(pdf.get(), 0, &angle);
    EXPECT_EQ(angle, 180);
    ASSERT_EQ(hpgs_pdf_file_rotate_page(pdf.get(), 0, -270), 0);
    hpgs_pdf_file_get_native_page_angle(pdf.get(), 0, &angle);
    EXPECT_EQ(angle, 270);
    EXPECT_EQ(hpgs_pdf_file_rotate_page(pdf.get(), 0, 45), -1);
    EXPECT_NE(errorText().find("45"), std::string::npos);
    hpgs_pdf_file_get_native_page_angle(pdf.get(), 0, &angle);
    EXPECT_EQ(angle, 270);

    TempDir tmp;
    writePdf(pdf.get(), tmp.path("rot.pdf"));
    EXPECT_EQ(qpdfCheck(tmp.path("rot.pdf")), 0);
    auto again = openPdf(tmp.path("rot.pdf"));
    hpgs_pdf_file_get_native_page_angle(again.get(), 0, &angle);
    EXPECT_EQ(angle, 270);
    // A letter page turned to 270 renders landscape.
    Image img = render(tmp.path("rot.pdf"));
    EXPECT_EQ(img.width, 792);
    EXPECT_EQ(img.height, 612);
}

TEST(PdfPrepend, OtherDocumentsPagesComeFirstWithTheirResources) {
    auto letter = openPdf(dataPath("pdf/letter_3pages.pdf"));
    ASSERT_TRUE(letter);
    hpgs_pdf_file* a4 = openPdf(dataPath("pdf/a4_drawing.pdf")).release();
    ASSERT_NE(a4, nullptr);
    ASSERT_EQ(hpgs_pdf_file_prepend_pdf_file(letter.get(), a4), 0) << errorText();
    EXPECT_EQ(hpgs_pdf_file_get_npages(letter.get()), 4);
    hpgs_bbox bb;
    hpgs_pdf_file_get_page_crop_box(letter.get(), 0, &bb);
    EXPECT_NEAR(bb.ury, 842, 1);
    hpgs_pdf_file_get_page_crop_box(letter.get(), 1, &bb);
    EXPECT_NEAR(bb.ury, 792, 1);

    TempDir tmp;
    writePdf(letter.get(), tmp.path("merged.pdf"));
    EXPECT_EQ(qpdfCheck(tmp.path("merged.pdf")), 0);
    // The first page looks like the A4 drawing on its own.
    Image merged = render(tmp.path("merged.pdf"), 1);
    Image alone = render(dataPath("pdf/a4_drawing.pdf"), 1);
    ASSERT_EQ(merged.width, alone.width);
    ASSERT_EQ(merged.height, alone.height);
    EXPECT_TRUE(merged.rgb == alone.rgb);
}

TEST(PdfPrepend, EncryptedOrMissingFrontDocumentFailsAndIsStillUsedUp) {
    auto letter = openPdf(dataPath("pdf/letter_3pages.pdf"));
    hpgs_pdf_file* enc = openPdf(dataPath("pdf/encrypted_restricted.pdf")).release();
    EXPECT_EQ(hpgs_pdf_file_prepend_pdf_file(letter.get(), enc), -1);
    EXPECT_NE(errorText().find("encrypted"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_file_prepend_pdf_file(letter.get(), nullptr), -1);
    EXPECT_EQ(hpgs_pdf_file_get_npages(letter.get()), 3);
}

TEST(PdfInfo, TextKeysGoToInfoAndScriptsToActions) {
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    ASSERT_TRUE(pdf);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 0, "Plan \xC3\x84nderung", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 1, "Ann", "utf-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 4, "caf\xE9", "ISO-8859-1"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 7, "note", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 9, "Say \"hi\"", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 10, "app.alert('open');", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 12, "save();", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 15, "printed();", "UTF-8"), 0);
    hpgs_pdf_timestamp* ts = hpgs_pdf_timestamp_new(86400 * 365, -5400);
    ASSERT_NE(ts, nullptr);
    EXPECT_EQ(hpgs_pdf_file_set_timestamp_info(pdf.get(), 5, ts), 0);
    hpgs_pdf_timestamp_destroy(ts);
    ts = hpgs_pdf_timestamp_now();
    EXPECT_EQ(hpgs_pdf_file_set_timestamp_info(pdf.get(), 6, ts), 0);
    hpgs_pdf_timestamp_destroy(ts);

    TempDir tmp;
    writePdf(pdf.get(), tmp.path("info.pdf"));
    EXPECT_EQ(qpdfCheck(tmp.path("info.pdf")), 0);
    auto q = reopen(tmp.path("info.pdf"));
    auto info = q->getTrailer().getKey("/Info");
    EXPECT_EQ(info.getKey("/Title").getUTF8Value(), "Plan \xC3\x84nderung");
    EXPECT_EQ(info.getKey("/Author").getUTF8Value(), "Ann");
    EXPECT_EQ(info.getKey("/Creator").getUTF8Value(), "caf\xC3\xA9");
    EXPECT_EQ(info.getKey("/Annotation").getUTF8Value(), "note");
    // 1971-01-01 00:00 UTC shown at UTC-01:30.
    EXPECT_EQ(info.getKey("/CreationDate").getUTF8Value(), "D:19701231223000-01'30'");
    EXPECT_TRUE(info.getKey("/ModDate").isString());
    auto root = q->getRoot();
    EXPECT_EQ(root.getKey("/OpenAction").getKey("/S").getName(), "/JavaScript");
    EXPECT_EQ(root.getKey("/OpenAction").getKey("/JS").getUTF8Value(), "app.alert('open');");
    EXPECT_EQ(root.getKey("/AA").getKey("/WS").getKey("/JS").getUTF8Value(), "save();");
    EXPECT_EQ(root.getKey("/AA").getKey("/DP").getKey("/JS").getUTF8Value(), "printed();");
    auto names = root.getKey("/Names").getKey("/JavaScript").getKey("/Names");
    ASSERT_EQ(names.getArrayNItems(), 2);
    EXPECT_EQ(names.getArrayItem(0).getUTF8Value(), "SubmitMessage");
    EXPECT_EQ(names.getArrayItem(1).getKey("/JS").getUTF8Value(),
              "var submitMessage = \"Say \\\"hi\\\"\";");
}

TEST(PdfInfo, EmptyTextRemovesAndReplacingKeepsOneScript) {
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 9, "one", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 9, "two", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 0, "T", "UTF-8"), 0);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 0, "", "UTF-8"), 0);
    TempDir tmp;
    writePdf(pdf.get(), tmp.path("i.pdf"));
    auto q = reopen(tmp.path("i.pdf"));
    EXPECT_FALSE(q->getTrailer().getKey("/Info").hasKey("/Title"));
    auto names = q->getRoot().getKey("/Names").getKey("/JavaScript").getKey("/Names");
    ASSERT_EQ(names.getArrayNItems(), 2);
    EXPECT_NE(names.getArrayItem(1).getKey("/JS").getUTF8Value().find("two"), std::string::npos);
}

TEST(PdfInfo, WrongKeysEncodingsAndOffsetsAreRefused) {
    auto pdf = openPdf(dataPath("pdf/a4_drawing.pdf"));
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 5, "x", "UTF-8"), -1);
    EXPECT_NE(errorText().find("timestamp"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 16, "x", "UTF-8"), -1);
    EXPECT_NE(errorText().find("16"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 0, "x", "EBCDIC"), -1);
    EXPECT_NE(errorText().find("EBCDIC"), std::string::npos);
    EXPECT_EQ(hpgs_pdf_file_set_info(pdf.get(), 0, "bad \xC3", "UTF-8"), -1);
    EXPECT_NE(errorText().find("UTF-8"), std::string::npos);
    hpgs_pdf_timestamp* ts = hpgs_pdf_timestamp_new(0, 0);
    EXPECT_EQ(hpgs_pdf_file_set_timestamp_info(pdf.get(), 0, ts), -1);
    hpgs_pdf_timestamp_destroy(ts);
    EXPECT_EQ(hpgs_pdf_timestamp_new(0, 90000), nullptr);
}

TEST(PdfWrite, OutputIsDeterministicAndChecked) {
    auto pdf = openPdf(dataPath("pdf/cropbox.pdf"));
    ASSERT_TRUE(pdf);
    std::string first, second;
    for (std::string* out : {&first, &second}) {
        hpgs_ostream* os = hpgs_new_mem_ostream(1024);
        ASSERT_EQ(hpgs_pdf_file_write(pdf.get(), os), 0);
        size_t n = 0;
        const unsigned char* d = hpgs_mem_ostream_data(os, &n);
        out->assign(reinterpret_cast<const char*>(d), n);
        hpgs_ostream_close(os);
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(first.compare(0, 5, "%PDF-"), 0);
    EXPECT_EQ(hpgs_pdf_file_write(pdf.get(), nullptr), -1);
}
