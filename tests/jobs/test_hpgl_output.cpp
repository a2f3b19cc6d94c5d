#include "jobs/HpglAssetDevice.h"
#include "jobs/HpglOutputJobs.h"
#include "jobs/PngRendererJob.h"

#include "daemon/Settings.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"

#include "../daemon/JobFixture.h"
#include "../hpgs/ink_compare.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <thread>

using namespace jobtest;
using namespace Xadra;

namespace {

const std::string kData = XAD_TEST_DATA;
const std::string kBin = XAD_BIN_DIR;

std::string pe(int64_t n) {
    std::string s;
    appendPeNumber(s, n);
    return s;
}

// What an hpgs memory stream holds.
std::string memText(hpgs_ostream* os) {
    size_t n = 0;
    const unsigned char* d = hpgs_mem_ostream_data(os, &n);
    return std::string(reinterpret_cast<const char*>(d), n);
}

struct MemOut {
    hpgs::UniqueOstream os{hpgs_new_mem_ostream(256)};
    std::string text() { return memText(os.get()); }
};

// A drawn square annotation whose rectangle lies dx, dy points inside the
// drawing's lower-left corner (FDF coordinates are those of the drawing's
// PDF page, which has the PDF border round it).
std::string squareFdf(double dx, double dy, double w, double h, int page = 0) {
    const double b = Settings::getPdfBorder();
    char rect[128];
    std::snprintf(rect, sizeof rect, "[%g %g %g %g]", b + dx, b + dy, b + dx + w, b + dy + h);
    return std::string("%FDF-1.2\n1 0 obj\n<< /FDF << /Annots [2 0 R] >> >>\nendobj\n") +
           "2 0 obj\n<< /Type /Annot /Subtype /Square /Page " + std::to_string(page) + " /Rect " + rect +
           " /C [0 0 1] /BS << /W 3 >> >>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n";
}

ObjPtr<Annotation> drawnAnnotation(const std::string& fdf, const std::string& name = "sq.fdf") {
    auto a = Annotation::newInstance();
    a->setMode(2);
    a->setColor(Plume::String::newInstance("#0000ff"));
    a->setFdf(Plume::makeObj<TestStream>(fdf, name, 7.0, "application/vnd.fdf"));
    return a;
}

ObjPtr<Annotation> drawnSquare(double dx, double dy, double w, double h, const std::string& name = "sq.fdf") {
    return drawnAnnotation(squareFdf(dx, dy, w, h), name);
}

bool isSubsequence(const std::string& small, const std::string& big) {
    size_t j = 0;
    for (size_t i = 0; i < big.size() && j < small.size(); ++i)
        if (big[i] == small[j]) ++j;
    return j == small.size();
}

class HpglOutputTest : public JobTest {
protected:
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
    void make(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }
};

}  // namespace

// -------------------------------------------------------------- encoding

TEST(HpglPeNumbers, EncodeInSixBitDigitsWithTheLastMarked) {
    EXPECT_EQ(pe(0), "\xbf");          // 191
    EXPECT_EQ(pe(1), "\xc1");          // 193
    EXPECT_EQ(pe(-1), "\xc2");         // 194
    EXPECT_EQ(pe(32), "\x3f\xc0");     // 63, 192
    EXPECT_EQ(pe(-32), "\x40\xc0");    // v = 65: 64, 192
    EXPECT_EQ(pe(100000).size(), 3u);  // v = 200000: 18 bits, three digits
    EXPECT_EQ(static_cast<unsigned char>(pe(INT64_MIN).back()) >= 191, true);
}

TEST(HpglAssetDevice, OneClosedFilledPolygonGivesTheDocumentedBytes) {
    MemOut out;
    hpgs::UniqueDevice dev(newHpglAssetDevice(out.os.get(), 0));
    ASSERT_TRUE(dev);
    EXPECT_STREQ(hpgs_device_rtti(dev.get()), "hpgs_hpgl_asset_device");
    EXPECT_EQ(hpgs_device_capabilities(dev.get()), 636);
    // The drawing's own colour and raster operation, outside any asset:
    // remembered, not written.
    hpgs_color drawing{0.2, 0.4, 0.6};
    ASSERT_EQ(hpgs_setrgbcolor(dev.get(), &drawing), 0);
    ASSERT_EQ(hpgs_setrop3(dev.get(), 238, HPGS_FALSE, HPGS_TRUE), 0);
    hpgs_point p{5, 5};
    ASSERT_EQ(hpgs_moveto(dev.get(), &p), 0);
    ASSERT_EQ(hpgs_lineto(dev.get(), &p), 0);
    EXPECT_EQ(out.text(), "");

    const hpgs_matrix identity{0, 0, 1, 0, 0, 1};
    ASSERT_EQ(startAsset(dev.get(), 2, identity), 0);
    hpgs_color c{1.0, 0.5, 0.0};
    ASSERT_EQ(hpgs_setrgbcolor(dev.get(), &c), 0);
    hpgs_point a{10, 20}, b{30, 20}, d{30, 40};
    ASSERT_EQ(hpgs_moveto(dev.get(), &a), 0);
    ASSERT_EQ(hpgs_lineto(dev.get(), &b), 0);
    ASSERT_EQ(hpgs_lineto(dev.get(), &d), 0);
    ASSERT_EQ(hpgs_closepath(dev.get()), 0);
    ASSERT_EQ(hpgs_fill(dev.get(), HPGS_TRUE), 0);
    ASSERT_EQ(finishAsset(dev.get()), 0);
    const std::string expected = "IW" "PC2,255,128,0" "PUPA10,20PM0PE" + pe(0) + pe(0) + pe(20) + pe(0) + pe(0) +
                                 pe(20) + ";PM1" ";PM2FP1" "PC2,51,102,153" "\x1b%1A\x1b*v1N\x1b*v0O\x1b*l238O\x1b%1B";
    EXPECT_EQ(out.text(), expected);
}

TEST(HpglAssetDevice, FractionBitsOnlyWhenAllowedAndStrokesEndTheirPath) {
    // Asset units eight times finer than the device's.
    const hpgs_matrix fine{0, 0, 0.125, 0, 0, 0.125};
    for (int maxBits : {0, 8}) {
        MemOut out;
        hpgs::UniqueDevice dev(newHpglAssetDevice(out.os.get(), maxBits));
        ASSERT_EQ(startAsset(dev.get(), 1, fine), 0);
        hpgs_point a{1.5625, 2}, b{2, 2};
        hpgs_moveto(dev.get(), &a);
        hpgs_lineto(dev.get(), &b);
        ASSERT_EQ(hpgs_stroke(dev.get()), 0);
        const std::string s = out.text();
        std::string shown;
        for (unsigned char ch : s) shown += ch >= 32 && ch < 127 ? std::string(1, char(ch)) : "<" + std::to_string(ch) + ">";
        SCOPED_TRACE(shown);
        // The start point with one fraction digit (12.5 asset units).
        EXPECT_EQ(s.rfind("IWPUPA12.5,16.0PM0PE", 0), 0u) << s;
        if (maxBits == 0) {
            EXPECT_EQ(s.find('>'), std::string::npos);
            // 16 - round(12.5) = 3 whole units.
            EXPECT_NE(s.find(pe(0) + pe(0) + pe(3) + pe(0) + ";PM2EP"), std::string::npos);
        } else {
            // Three fraction bits (log2 8): units of 1/8, 128 - 100.
            EXPECT_NE(s.find(">" + pe(3) + pe(0) + pe(0) + pe(28) + pe(0) + ";PM2EP"), std::string::npos);
        }
    }
}

TEST(HpglCopyStream, PassesEveryByteOnInOrder) {
    for (const char* f : {"syn_bezier.hpgl", "pu_graph_dashed.hpgl", "gp_pcl5_response.hpgl", "syn_rtl_raster.hpgl"}) {
        const std::string input = readFile(kData + "/hpgl/" + f);
        MemOut out;
        hpgs_istream* in = hpgs_new_mem_istream(input.data(), input.size(), HPGS_FALSE);
        hpgs::UniqueIstream copy(newHpglCopyStream(in, out.os.get()));
        ASSERT_TRUE(copy);
        while (hpgs_getc(copy.get()) != EOF) {
        }
        EXPECT_EQ(out.text(), input) << f;
    }
    // PG and FR with their argument are held back until what follows.
    const std::string text = "PA0,0;FR 12 ;PD1,1;PG2;";
    MemOut out;
    hpgs::UniqueIstream copy(newHpglCopyStream(hpgs_new_mem_istream(text.data(), text.size(), HPGS_FALSE), out.os.get()));
    std::string seen;
    for (int c; (c = hpgs_getc(copy.get())) != EOF;) {
        seen += static_cast<char>(c);
        // What a frame-asset callback would see: the copy written so far.
        if (seen == "PA0,0;FR 12 ;") {
            ASSERT_EQ(flushHpglCopyStream(copy.get()), 0);
            EXPECT_EQ(out.text(), "PA0,0;") << "FR passed on before its end";
        }
        if (seen == "PA0,0;FR 12 ;PD1,1;PG2;") {
            ASSERT_EQ(flushHpglCopyStream(copy.get()), 0);
            EXPECT_EQ(out.text(), "PA0,0;FR 12 ;PD1,1;") << "PG passed on before its end";
        }
    }
    EXPECT_EQ(out.text(), text);
}

namespace {

// The reader reads the copy stream's input in place (a file, so that the
// buffer is refilled); each frame's end writes an empty asset through the
// asset device. The positions of the assets in the input are returned.
std::vector<size_t> assetPositions(const std::string& path, bool multipage, std::string* rest) {
    MemOut out;
    hpgs_istream* copy = newHpglCopyStream(hpgs_new_file_istream(path.c_str()), out.os.get());
    hpgs_device* dev = newHpglAssetDevice(out.os.get(), 0);
    setBeforeWrite(dev, [](void* c) { return flushHpglCopyStream(static_cast<hpgs_istream*>(c)); }, copy);
    hpgs::UniqueReader reader(hpgs_new_reader(copy, dev, multipage ? HPGS_TRUE : HPGS_FALSE, 0));
    hpgs_reader_set_frame_asset_func(reader.get(), reader.get(),
                                     [](void* r, hpgs_device* d, const hpgs_matrix*, const hpgs_matrix* xf,
                                        const hpgs_bbox*, int) {
                                         if (startAsset(d, hpgs_reader_get_current_pen(static_cast<hpgs_reader*>(r)), *xf) != 0)
                                             return -1;
                                         return finishAsset(d);
                                     });
    EXPECT_EQ(hpgs_read(reader.get(), HPGS_TRUE), 0) << hpgs_get_error();
    reader.reset();
    std::string text = out.text();
    std::vector<size_t> at;
    for (size_t k; (k = text.find("IWPC")) != std::string::npos;) {
        at.push_back(k);
        text.erase(k, text.find("\x1b%1B", k) + 4 - k);
    }
    *rest = text;
    return at;
}

}  // namespace

TEST_F(HpglOutputTest, CopyStreamReadInPlaceInsertsWhereAByteByByteCopyDid) {
    // Positions as a copy fed one getc per byte puts them: PG and FR are
    // held back with their number and blanks (up to 32 bytes), a frame
    // ended otherwise gets its asset before the last two bytes read.
    struct Case {
        std::string text;
        std::vector<size_t> single, multi;
    } cases[] = {
        {"IN;PA0,0;PD100,100;PG1SP1;PD0,0;", {19}, {19, 32}},
        {"IN;PA0,0;PD100,100;PG 1 ;PU;", {19}, {19}},
        {"IN;PD100,100;FR12 ;PD0,0;PG;", {13}, {13, 25}},
        {"IN;PD100,100;BP;PD1,1;", {14}, {14, 22}},
        {"\x1b" "E\x1b%1BIN;PD100,100;\x1b" "E\x1b%1BPD5,5;", {19}, {19, 31}},
        {"\x1b" "E\x1b%1BIN;PD100,100;\x1b%0A\f more", {22}, {22}},
        {"IN;PA0,0;PD100,100;PG1eS;PD3,3;", {23}, {23, 31}},
        {"IN;PD100,100", {12}, {12}},
        {"IN;PD100,100;PGPG;PD2,2;", {13}, {13, 24}},
        {"IN;PD100,100;PG" + std::string(40, ' ') + ";PD4,4;", {54}, {54, 62}},
        {"IN;PD10,10PG1PD3,3", {10}, {10, 18}},
        {"IN;PD10,10;PPG;PD1,1;PG2,3;", {25}, {25}},
        {"IN;PD10,10;PG\"x\";PD1,1", {15}, {15, 22}},
    };
    std::string rest;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::ofstream(tmp("c.plt"), std::ios::binary) << c.text;
        EXPECT_EQ(assetPositions(tmp("c.plt"), false, &rest), c.single);
        EXPECT_EQ(rest, c.text);
        EXPECT_EQ(assetPositions(tmp("c.plt"), true, &rest), c.multi);
        EXPECT_EQ(rest, c.text);
    }
    // A PG on either side of the end of the input stream's 64 KiB buffer.
    for (int off = -6; off <= 2; ++off) {
        SCOPED_TRACE(off);
        const size_t at = static_cast<size_t>(65536 + off);
        std::string text = "IN;SP1;PA0,0;PD100,100;";
        while (text.size() < at - 12) text += "PD1,1;";
        text.append(at - text.size(), ';');
        text += "PG0;PD5,5;SP0;";
        std::ofstream(tmp("w.plt"), std::ios::binary) << text;
        EXPECT_EQ(assetPositions(tmp("w.plt"), false, &rest), std::vector<size_t>{at});
        EXPECT_EQ(rest, text);
    }
}

// ----------------------------------------------------------------- jobs

TEST_F(HpglOutputTest, InsertedAnnotationKeepsTheInputAndLandsWhereThePngPutsIt) {
    // A new list each time: a test stream hands its bytes out once.
    auto annotations = [] {
        auto list = Plume::List::newInstance();
        list->add(drawnSquare(12, 12, 24, 12));
        return list;
    };
    std::vector<std::string> names;
    for (auto& f : fs::directory_iterator(kData + "/hpgl"))
        if (f.path().extension() == ".hpgl") names.push_back(f.path().stem().string());
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 19u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string file = kData + "/hpgl/" + name + ".hpgl";
        const std::string input = readFile(file);
        ObjPtr<HPGSRendererCacheEntry> e;
        auto t = thrownBy([&] { e = insertHpglAnnotations(newStream(input, std::string(name) + ".plt"), 0, "", annotations()); });
        ASSERT_FALSE(t) << t->getDetailMessage();
        ASSERT_TRUE(e);
        EXPECT_EQ(e->getMimeType(), "image/hpgl");
        EXPECT_EQ(e->getOutputUniqueName(), std::string(name) + ".plt");
        const std::string output = readFile(e->getDataFilePath());
        EXPECT_GT(output.size(), input.size());
        // The input's bytes, untouched up to the insertion, all of them in order.
        size_t same = 0;
        while (same < input.size() && input[same] == output[same]) ++same;
        EXPECT_NE(output.find("IW", same > 0 ? same - 1 : 0), std::string::npos);
        EXPECT_TRUE(isSubsequence(input, output));
        // Read back by our own reader, it looks like the PNG preview of the
        // input with the annotation.
        std::ofstream(tmp("out.plt"), std::ios::binary) << output;
        make(kBin + "/hpgl2png " + tmp("out.plt") + " " + tmp("out.png") + " --dpi 150 >/dev/null 2>&1");
        auto ref = renderPngByResolution(newStream(input, std::string(name) + ".plt"), 150, true, 0, "", annotations());
        if (const char* keep = std::getenv("XAD_TEST_KEEP"))
            std::system(("cp " + ref->getDataFilePath() + " " + std::string(keep) + "/" + name + ".ref.png; cp " + tmp("out.png") +
                         " " + keep + "/" + name + ".out.png; cp " + tmp("out.plt") + " " + keep + "/" + name + ".plt")
                            .c_str());
        hpgs_test::Png a, b;
        ASSERT_TRUE(hpgs_test::read_png(ref->getDataFilePath(), a));
        ASSERT_TRUE(hpgs_test::read_png(tmp("out.png"), b));
        auto score = hpgs_test::compare_ink(a, b);
        ASSERT_TRUE(score.ok);
        EXPECT_GE(score.f_tol, 0.98) << "precision " << score.precision << " recall " << score.recall;
        EXPECT_EQ(a.width, b.width);
        EXPECT_EQ(a.height, b.height);
        // The annotation in the same place: blue ink round (12, 12) points
        // inside the lower-left corner in both (150 dpi, rows from the top).
        // Inserted, it is drawn with the drawing's pen width, which may be a
        // hairline blended with the paper: blue is what dominates.
        auto blueNear = [](const hpgs_test::Png& p) {
            int n = 0;
            for (int y = p.height - 1 - 60; y < p.height - 1 - 10; ++y)
                for (int x = 10; x < 90 && x < p.width; ++x)
                    n += p.at(x, y, 2) > 180 && p.at(x, y, 2) - p.at(x, y, 0) > 60 && p.at(x, y, 2) - p.at(x, y, 1) > 60;
            return n;
        };
        EXPECT_GT(blueNear(a), 20);
        EXPECT_GT(blueNear(b), 20);
        // hp2xx takes the output wherever it takes the input.
        const int before = std::system(("hp2xx -q -m pbm -f /dev/null " + file + " >/dev/null 2>&1").c_str());
        const int after = std::system(("hp2xx -q -m pbm -f /dev/null " + tmp("out.plt") + " >/dev/null 2>&1").c_str());
        EXPECT_EQ(before, after);
    }
}

namespace {

// The insertion done in two reads, the way that needs no reader support:
// the drawing measured on its own first, then read again through the copy
// stream into the asset device, with the page set before that read.
struct TwoPassFrame {
    hpgs_reader* reader;
    hpgs_pdf_fdf_bundle* bundle;
};

int twoPassAssets(void* ctxt, hpgs_device* dev, const hpgs_matrix* pageMatrix, const hpgs_matrix* xform,
                  const hpgs_bbox* pageBox, int index) {
    if (std::string(hpgs_device_rtti(dev)) != "hpgs_hpgl_asset_device") return 0;
    auto* c = static_cast<TwoPassFrame*>(ctxt);
    const double offset[2] = {-Settings::getPdfBorder(), -Settings::getPdfBorder()};
    hpgs_bbox box;
    hpgs_matrix_xform_bbox(&box, pageMatrix, pageBox);
    int count = 0;
    if (hpgs_pdf_fdf_bundle_count_annotations(c->bundle, &count, offset, &box, index) != 0) return -1;
    if (count == 0) return 0;
    if (startAsset(dev, hpgs_reader_get_current_pen(c->reader), *xform) != 0) return -1;
    if (hpgs_pdf_fdf_bundle_render(c->bundle, dev, offset, &box, index) != 0) return -1;
    return finishAsset(dev);
}

std::string twoPassInsert(const std::string& drawing, int angle, const std::string& fdf) {
    auto open = [&] { return hpgs_new_mem_istream(drawing.data(), drawing.size(), HPGS_FALSE); };
    hpgs::UniqueFdfBundle bundle(hpgs_pdf_new_fdf_bundle());
    const double blue[3] = {0, 0, 1};
    EXPECT_EQ(hpgs_pdf_fdf_bundle_import_fdf(bundle.get(), hpgs_new_mem_istream(fdf.data(), fdf.size(), HPGS_FALSE),
                                             "", "", "utf-8", blue, HPGS_PDF_FDF_DRAW),
              0);
    hpgs_device* measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs::UniqueReader reader(hpgs_new_reader(open(), measure, HPGS_FALSE, 0));
    EXPECT_EQ(hpgs_read(reader.get(), HPGS_TRUE), 0) << hpgs_get_error();
    hpgs_bbox box;
    EXPECT_EQ(hpgs_getplotsize(measure, 1, &box), 0);
    if (!hpgs_bbox_isempty(&box)) {
        EXPECT_EQ(hpgs_reader_set_dynamic_page(reader.get(), &box, 72000.0, 72000.0, 0.0, angle), 0);
    }
    MemOut out;
    TwoPassFrame frame{reader.get(), bundle.get()};
    hpgs_reader_set_frame_asset_func(reader.get(), &frame, twoPassAssets);
    hpgs_istream* copy = newHpglCopyStream(open(), out.os.get());
    hpgs_device* dev = newHpglAssetDevice(out.os.get(), Settings::getHpglMaxFractBits());
    setBeforeWrite(dev, [](void* c) { return flushHpglCopyStream(static_cast<hpgs_istream*>(c)); }, copy);
    EXPECT_EQ(hpgs_reader_imbue(reader.get(), dev), 0);
    EXPECT_EQ(hpgs_reader_attach(reader.get(), copy), 0);
    EXPECT_EQ(hpgs_read(reader.get(), HPGS_TRUE), 0) << hpgs_get_error();
    reader.reset();
    return out.text();
}

std::string insertOnce(const std::string& drawing, int angle, const std::string& fdf) {
    auto list = Plume::List::newInstance();
    list->add(drawnAnnotation(fdf));
    static int n = 0;
    auto e = insertHpglAnnotations(newStream(drawing, "once" + std::to_string(n++) + ".plt"), angle, "", list);
    return readFile(e->getDataFilePath());
}

}  // namespace

TEST_F(HpglOutputTest, OneReadInsertsWhatMeasuringFirstAndReadingAgainDid) {
    // The page comes from the first page's box, measured while it is read;
    // for a drawing whose raster images the asset device does not take the
    // drawing is measured once more on its own.
    std::vector<std::pair<std::string, std::string>> drawings;
    for (auto& f : fs::directory_iterator(kData + "/hpgl"))
        if (f.path().extension() == ".hpgl") drawings.push_back({f.path().filename().string(), readFile(f.path().string())});
    std::sort(drawings.begin(), drawings.end());
    const std::string raster = "\x1b%0A\x1b*t75R\x1b*r8S\x1b*r1A\x1b*b1W\xf0\x1b*b1W\x0f\x1b*rC\x1b%0B";
    const std::pair<std::string, std::string> edges[] = {
        {"no input", ""},
        {"no marks", "IN;PU100,100;SP1;"},
        {"first frame empty", "IN;PG;SP1;PD1000,1000;PG;"},
        {"three frames", "IN;SP1;PA0,0;PD1000,1000;PG;SP2;PD3000,0;FR12 ;SP3;PD5,5;"},
        {"turned and scaled", "IN;RO90;IP0,0,4000,4000;SC0,10,0,10;SP2;PD5,5;PG;PD1,1;"},
        {"declared size", "IN;PS10000,5000;SP1;PA1000,1000;PD2000,3000;"},
        {"input window", "IN;IW0,0,500,500;SP1;PD1000,1000;"},
        {"white pen only", "IN;SP0;PD100,100;"},
        {"raster in the first frame", "\x1b" "E\x1b%1BIN;SP1;PD2000,2000;" + raster + "PG;PD50,50;"},
        {"raster frame before a drawn one", "\x1b" "E" + raster + "IN;PG;SP1;PD2000,2000;PG;"},
        {"raster after the first frame", "IN;SP1;PD2000,2000;PG;\x1b" "E" + raster},
        {"printer reset", "IN;SP1;PD2000,2000;\x1b" "E\x1b%1BSP2;PD5,5;"},
    };
    for (const auto& e : edges) drawings.push_back(e);
    const std::string first = squareFdf(12, 12, 24, 12), second = squareFdf(12, 12, 24, 12, 1);
    for (const auto& [name, drawing] : drawings) {
        for (int angle : {0, 90, 180, 270}) {
            SCOPED_TRACE(name + " at " + std::to_string(angle));
            const std::string expected = twoPassInsert(drawing, angle, first);
            // The page of a raster frame measured before the drawn frame is
            // the image's few points, which the annotation misses.
            if (name != "raster frame before a drawn one") {
                EXPECT_GT(expected.size(), drawing.size());
            }
            EXPECT_TRUE(insertOnce(drawing, angle, first) == expected);
            // Only the first page is drawn: an annotation of the second
            // leaves the input as it was.
            EXPECT_TRUE(insertOnce(drawing, angle, second) == drawing);
            EXPECT_EQ(twoPassInsert(drawing, angle, second), drawing);
        }
    }
}

TEST_F(HpglOutputTest, AMeasureOfItsOwnGivesThePlotSizeAndStopsWithTheJobsReader) {
    // The measure of a drawing whose raster images the asset device does not
    // take runs inside the job's read: an interrupt of the job's reader ends it.
    const std::string file = kData + "/hpgl/pu_big_harmonograph.hpgl";
    auto holder = Plume::makeObj<HPGSFileDataHolder>(file, "image/hpgl", false);
    hpgs_device* plotsize = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs::UniqueReader alone(hpgs_new_reader(hpgs_new_file_istream(file.c_str()), plotsize, HPGS_FALSE, 0));
    ASSERT_EQ(hpgs_read(alone.get(), HPGS_TRUE), 0);
    hpgs_bbox expected, box;
    ASSERT_EQ(hpgs_getplotsize(plotsize, 1, &expected), 0);
    ASSERT_EQ(measureHpglFirstPage(holder, nullptr, &box), 0) << hpgs_get_error();
    EXPECT_EQ(std::memcmp(&box, &expected, sizeof box), 0);
    const std::string none;
    hpgs::UniqueReader job(hpgs_new_reader(hpgs_new_mem_istream(none.data(), 0, HPGS_FALSE),
                                           hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE), HPGS_FALSE, 0));
    EXPECT_FALSE(hpgs_reader_is_interrupted(job.get()));
    ASSERT_EQ(measureHpglFirstPage(holder, job.get(), &box), 0) << hpgs_get_error();
    EXPECT_EQ(std::memcmp(&box, &expected, sizeof box), 0);
    hpgs_reader_interrupt(job.get());
    EXPECT_TRUE(hpgs_reader_is_interrupted(job.get()));
    EXPECT_EQ(measureHpglFirstPage(holder, job.get(), &box), -1);
    EXPECT_STREQ(hpgs_get_error(), "Interrupted.");
    EXPECT_FALSE(hpgs_reader_is_interrupted(nullptr));
    // It ends early: within the first blocks, not after the 2 MB (the best
    // of three runs each).
    auto fastest = [&](hpgs_reader* follow) {
        auto best = std::chrono::steady_clock::duration::max();
        for (int i = 0; i < 3; ++i) {
            const auto start = std::chrono::steady_clock::now();
            measureHpglFirstPage(holder, follow, &box);
            best = std::min(best, std::chrono::steady_clock::now() - start);
        }
        return best;
    };
    EXPECT_LT(fastest(job.get()) * 4, fastest(nullptr));
}

TEST_F(HpglOutputTest, TwoDrawingsMergeIntoTwoPagesWithTheAnnotationsOnTheSecond) {
    // The first drawing wrapped in PCL (it starts with ESC E).
    const std::string first = readFile(kData + "/hpgl/syn_arcs_relative.hpgl");
    const std::string second = readFile(kData + "/hpgl/pu_graph_dashed.hpgl");
    auto list = Plume::List::newInstance();
    auto a = drawnSquare(10, 10, 60, 30);
    list->add(a);
    auto e = mergeHpgl(newStream(first, "a.plt"), 0, newStream(second, "b.plt"), 90, "", list);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getOutputUniqueName(), "b.plt");
    const std::string out = readFile(e->getDataFilePath());
    EXPECT_EQ(out.rfind(first.substr(0, 20), 0), 0u) << out.substr(0, 40);
    EXPECT_EQ(out.substr(out.size() - 3), "PG;");
    EXPECT_TRUE(isSubsequence(first + "\x1b%1BPG;" + second + "\x1b%1BPG;", out));
    // The annotation is on page 0 of the FDF: drawn into the first drawing only.
    const size_t split = out.find(second.substr(0, 40));
    ASSERT_NE(split, std::string::npos);
    EXPECT_NE(out.substr(0, split).find("IW"), std::string::npos);
    std::ofstream(tmp("m.plt"), std::ios::binary) << out;
    make(kBin + "/hpgl-info -m " + tmp("m.plt") + " > " + tmp("info.txt"));
    EXPECT_NE(readFile(tmp("info.txt")).find("pages: 2"), std::string::npos) << readFile(tmp("info.txt"));
    // The tag names both inputs and angles.
    EXPECT_EQ(hpglMergeTag(90, "a.plt", 0, nullptr), "90deg,+a.plt,0deg,hpgl");
    EXPECT_EQ(hpglInsertTag(180, nullptr), "180deg,hpgl");
}

TEST_F(HpglOutputTest, WithoutAnnotationsTheOutputIsTheInput) {
    for (const char* f : {"syn_arcs_relative.hpgl", "pu_pcl_spectrum.hpgl", "syn_pjl_frame.hpgl"}) {
        const std::string input = readFile(kData + "/hpgl/" + f);
        auto e = insertHpglAnnotations(newStream(input, f), 90, "stamp", nullptr);
        EXPECT_EQ(readFile(e->getDataFilePath()), input) << f;
    }
}

TEST_F(HpglOutputTest, FailedInsertLeavesNoJobFile) {
    auto list = Plume::List::newInstance();
    auto a = Annotation::newInstance();
    a->setMode(2);
    a->setFdf(Plume::makeObj<TestStream>("not an FDF", "bad.fdf", 7.0, "application/vnd.fdf"));
    list->add(a);
    auto t = thrownBy([&] { insertHpglAnnotations(newStream("IN;PA0,0;PD100,100;", "d.plt"), 0, "", list); });
    EXPECT_TRUE(Plume::objCast<HPGSError>(t));
    size_t files = 0;
    for (auto& f : fs::directory_iterator(base_ + "/jobs")) files += f.is_regular_file();
    EXPECT_EQ(files, 0u);
}

TEST_F(HpglOutputTest, AnInsertStoppedWhileReadingEndsPromptlyAndLeavesNoJobFile) {
    // The copy stream holds bytes for the output when the read is stopped:
    // they must go before the output closes. 200000 circles of 720 chords
    // each keep the read busy for a long time.
    std::string big = "IN;SP1;PU5000,5000;";
    for (int i = 0; i < 200000; ++i) big += "CI" + std::to_string(100 + i % 2000) + ",0.5;";
    auto in = newStream(big, "endless.plt");
    auto list = Plume::List::newInstance();
    list->add(drawnSquare(12, 12, 24, 12));
    auto pending = std::async(std::launch::async, [&] {
        return thrownBy([&] { insertHpglAnnotations(in, 0, "", list); });
    });
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!cache_->lookup("endless.plt", "endless.plt", "") && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(pending.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
        << "the insert ended before the stop";
    auto start = std::chrono::steady_clock::now();
    Xadra::stopWorkers();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_TRUE(pending.get());
    EXPECT_GE(countLog("hpgs error: Interrupted."), 1u);
    EXPECT_EQ(jobFilesLeft(), 0u);
}

// ------------------------------------------------ inserted while arriving

// A drawing the job downloads itself is copied with its annotations while
// it arrives: the same bytes as an insert from the input's cached file.
TEST_F(HpglOutputTest, InsertOnArrivalGivesTheBytesOfAnInsertFromTheCachedFile) {
    for (const char* name : {"pu_big_harmonograph", "gp_pcl5_area", "syn_pjl_frame", "syn_rtl_raster"}) {
        SCOPED_TRACE(name);
        const std::string input = readFile(std::string(XAD_TEST_DATA) + "/hpgl/" + name + ".hpgl");
        const size_t before = countLog("annotations inserted while the input arrived.");
        auto first = Plume::List::newInstance();
        first->add(drawnSquare(12, 12, 24, 12, "a.fdf"));
        auto arrived = insertHpglAnnotations(newStream(input, std::string(name) + ".plt"), 90, "", first);
        // A drawing whose first frame holds raster images is measured
        // again, from its file.
        const bool raster = std::string(name) == "syn_rtl_raster";
        EXPECT_EQ(countLog("annotations inserted while the input arrived."), before + (raster ? 0 : 1));
        auto second = Plume::List::newInstance();
        second->add(drawnSquare(12, 12, 24, 12, "b.fdf"));
        auto cached = insertHpglAnnotations(newStream(input, std::string(name) + ".plt"), 90, "", second);
        EXPECT_NE(arrived->getDataFilePath(), cached->getDataFilePath());
        EXPECT_EQ(readFile(arrived->getDataFilePath()), readFile(cached->getDataFilePath()));
    }
    EXPECT_EQ(jobFilesLeft(), 0u);
}

// A drawing whose first frame holds a raster image needs a measure of its
// own, which reading on arrival cannot make: it is read from its file.
TEST_F(HpglOutputTest, ARasterImageInTheFirstFrameIsInsertedFromTheFile) {
    const std::string input = "IN;SP1;PA0,0;PD2000,0,2000,2000,0,2000,0,0;PU;\x1b%0A\x1b*t75R\x1b*r2S\x1b*r1A"
                              "\x1b*b1W\xff\x1b*b1W\xff\x1b*rC\x1b%0BPA100,100;PD300,300;PU;";
    const size_t before = countLog("annotations inserted while the input arrived.");
    auto list = Plume::List::newInstance();
    list->add(drawnSquare(12, 12, 24, 12));
    auto e = insertHpglAnnotations(newStream(input, "raster.plt"), 0, "", list);
    ASSERT_TRUE(e);
    EXPECT_EQ(readFile(e->getDataFilePath()).rfind(input.substr(0, 20), 0), 0u);
    EXPECT_EQ(countLog("annotations inserted while the input arrived."), before);
    EXPECT_EQ(jobFilesLeft(), 0u);
}

TEST_F(HpglOutputTest, ADownloadBreakingOffFailsTheInsertAndLeavesNoFile) {
    std::string big = "IN;SP1;PA0,0;";
    while (big.size() < 300000) big += "PD" + std::to_string(big.size() % 7001) + ",300;PU;";
    auto in = newStream(big, "broken.plt");
    in->failAfter = 30;
    auto list = Plume::List::newInstance();
    list->add(drawnSquare(12, 12, 24, 12));
    auto t = thrownBy([&] { insertHpglAnnotations(in, 0, "", list); });
    ASSERT_TRUE(Plume::objCast<IOError>(t));
    EXPECT_EQ(countLog("annotations inserted while the input arrived."), 0u);
    EXPECT_EQ(jobFilesLeft(), 0u);
}
