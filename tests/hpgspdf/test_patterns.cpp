// Raster patterns in PDF output: tiling pattern objects, their reuse, and
// their cells where the paint device puts them, in ghostscript, poppler
// and mupdf alike.
#include "helpers.h"

#include "paint_helpers.h"

#include <qpdf/QPDF.hh>

#include <array>
#include <map>
#include <set>
#include <cmath>
#include <fstream>

using namespace testpdf;

namespace {

std::string err() { return hpgs_get_error(); }

void rect(hpgs_device* d, double x1, double y1, double x2, double y2) {
    hpgs_point p[4] = {{x1, y1}, {x2, y1}, {x2, y2}, {x1, y2}};
    hpgs_moveto(d, &p[0]);
    for (int i = 1; i < 4; ++i) hpgs_lineto(d, &p[i]);
    hpgs_closepath(d);
}

// Objects of the document whose dictionary has /Type (or /Subtype) name.
std::vector<QPDFObjectHandle> objectsOfType(QPDF& q, const std::string& key, const std::string& name) {
    std::vector<QPDFObjectHandle> out;
    for (auto& o : q.getAllObjects()) {
        auto d = o.isStream() ? o.getDict() : o;
        if (d.isDictionary() && d.getKey(key).isName() && d.getKey(key).getName() == name) out.push_back(o);
    }
    return out;
}

std::string pageContent(QPDF& q, size_t page) {
    auto p = QPDFObjectHandle(q.getAllPages().at(page));
    auto buf = p.getKey("/Contents").getStreamData(qpdf_dl_generalized);
    return std::string(reinterpret_cast<const char*>(buf->getBuffer()), buf->getSize());
}

size_t count(const std::string& s, const std::string& what) {
    size_t n = 0;
    for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
    return n;
}

// The HP-GL/2 text as a PDF page of exactly the drawing's box (no border),
// as hpgl2png lays out its picture, turned by angle degrees.
void hpglToPdf(const std::string& hpgl, const std::string& path, double angle) {
    hpgs_device* measure = hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE);
    hpgs::UniqueReader reader(hpgs_new_reader(hpgs_new_mem_istream(hpgl.data(), hpgl.size(), 1), measure,
                                              HPGS_FALSE, 0));
    ASSERT_TRUE(reader) << err();
    ASSERT_GE(hpgs_read(reader.get(), HPGS_TRUE), 0) << err();
    hpgs_bbox box;
    ASSERT_EQ(hpgs_getplotsize(measure, 1, &box), 0) << err();
    ASSERT_EQ(hpgs_reader_set_dynamic_page(reader.get(), &box, 72000, 72000, 0, angle), 0) << err();
    hpgs_reader_set_page_asset_func(
        reader.get(), nullptr,
        [](void*, hpgs_device* dev, const hpgs_matrix* m, const hpgs_matrix*, const hpgs_bbox* b, int i) {
            return hpgs_pdf_device_render_page_assets(dev, m, b, i);
        });
    hpgs_device* pdf = hpgs_new_pdf_device(path.c_str(), &box, 6, 1);
    ASSERT_NE(pdf, nullptr) << err();
    ASSERT_EQ(hpgs_reader_imbue(reader.get(), pdf), 0) << err();
    ASSERT_GE(hpgs_read(reader.get(), HPGS_TRUE), 0) << err();
}

// Renders page 1 at dpi with one of the three viewers into a PNG file.
void rasterise(const std::string& viewer, const std::string& pdf, int dpi, const std::string& png) {
    const std::string r = std::to_string(dpi);
    std::string cmd;
    if (viewer == "gs")
        cmd = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=png16m -r" + r + " -o '" + png + "' '" + pdf + "'";
    else if (viewer == "poppler")
        cmd = "pdftoppm -r " + r + " -png -singlefile '" + pdf + "' '" + png.substr(0, png.size() - 4) + "'";
    else
        cmd = "mutool draw -q -r " + r + " -o '" + png + "' '" + pdf + "'";
    ASSERT_EQ(run(cmd), 0) << cmd;
}

hpgs_test::Png hpgl2png(const std::string& hpglFile, int dpi, double angle, const std::string& png) {
    hpgs_test::Png p;
    const std::string cmd = std::string(XAD_BIN_DIR) + "/hpgl2png '" + hpglFile + "' '" + png + "' --dpi " +
                            std::to_string(dpi) + " --angle " + std::to_string(angle);
    EXPECT_EQ(run(cmd), 0) << cmd;
    EXPECT_TRUE(hpgs_test::read_png(png, p)) << png;
    return p;
}

int channel(const hpgs_test::Png& p, int x, int y, int c) { return p.at(x, y, std::min(c, p.channels - 1)); }

// Of the pixels where the reference is neither white nor next to another
// colour, the share that test shows in about the same colour (each channel
// within tol), test laid on the reference shifted by (dx, dy) pixels.
// Viewers interpolate the cells, so the share stays well below 1; a cell
// out of place shows in how it compares with the shifted share.
double patternAgreement(const hpgs_test::Png& ref, const hpgs_test::Png& test, int dx = 0, int dy = 0,
                        int tol = 80) {
    const int w = std::min(ref.width, test.width), h = std::min(ref.height, test.height);
    size_t n = 0, same = 0;
    for (int y = 8; y + 8 < h; ++y)
        for (int x = 8; x + 8 < w; ++x) {
            bool white = true, flat = true;
            for (int c = 0; c < 3; ++c) {
                const int v = channel(ref, x, y, c);
                white = white && v > 240;
                for (int ey = -1; ey <= 1; ++ey)
                    for (int ex = -1; ex <= 1; ++ex) flat = flat && std::abs(channel(ref, x + ex, y + ey, c) - v) < 8;
            }
            if (white || !flat) continue;
            ++n;
            bool ok = true;
            for (int c = 0; c < 3; ++c) ok = ok && std::abs(channel(ref, x, y, c) - channel(test, x + dx, y + dy, c)) <= tol;
            same += ok;
        }
    return n ? static_cast<double>(same) / static_cast<double>(n) : 0.0;
}

// Mean of each channel over the picture.
std::array<double, 3> meanColour(const hpgs_test::Png& p) {
    std::array<double, 3> s{0, 0, 0};
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            for (int c = 0; c < 3; ++c) s[static_cast<size_t>(c)] += channel(p, x, y, c);
    for (double& v : s) v /= static_cast<double>(p.width) * p.height;
    return s;
}

// An inch of drawing: a frame; an opaque raster fill (TR0) anchored off
// the origin; a yellow square with the same pattern over it, clear where
// its cells are white (TR1); a screened line; a second pattern in a wedge.
const char* kPatternDrawing =
    "IN;SP1;PW0.1;PA0,0;PD1016,0,1016,1016,0,1016,0,0;PU;"
    "RF1,3,2,2,0,5,0,3,0;RF2,2,2,1,0,0,6;AC137,251;"
    "TR0;FT11,1;PA60,60;RA480,600;"
    "FT1;SP4;PA540,60;RA956,600;"
    "TR1;SP1;FT11,1;PA540,60;RA956,600;"
    "SV2,2;SP1;PW2;PA60,700;PD956,700;PU;SV0;"
    "FT11,2;PA300,900;WG100,0,150;PU;";

}  // namespace

// Each patterned mark gets a tile of its own that covers it, its edges on a
// grid of 64 cells so that marks close together share one; a mark too
// large for one tile uses the shared repeating tile.
TEST(PdfPatterns, MarksGetTilesCoveringThemSharedNearbyHugeOnesTheRepeatingTile) {
    TempDir tmp;
    const std::string path = tmp.path("patterns.pdf");
    hpgs_bbox box{0, 0, 200, 200};
    DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 6, 1));
    ASSERT_TRUE(dev) << err();
    hpgs_device* d = dev.get();
    ASSERT_TRUE(hpgs_device_capabilities(d) & HPGS_DEVICE_CAP_PATTERN);

    // A: red and clear cells; B: opaque blue and white; C: all clear.
    const uint32_t a[4] = {0xffff0000u, 0u, 0u, 0xffff0000u};
    const uint32_t b[2] = {0xff0000ffu, 0xffffffffu};
    const uint32_t c[1] = {0u};
    const hpgs_pattern pa{2, 2, a, {10, 190, 0.24, 0, 0, -0.24}};
    hpgs_pattern pa2 = pa;
    pa2.to_dev.dx = 11;  // the same cells anchored elsewhere
    const hpgs_pattern pb{2, 1, b, {10, 190, 0.24, 0, 0, -0.24}};
    const hpgs_pattern pc{1, 1, c, {0, 0, 1, 0, 0, 1}};
    hpgs_point l0{10, 100}, l1{190, 100};

    // Page 1: A three times, A moved (even-odd), a stroke with A, then
    // plain green, the all-clear pattern (used up by its fill), green.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(hpgs_setpattern(d, &pa), 0) << err();
        rect(d, 10 + 20 * i, 10, 25 + 20 * i, 60);
        ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0) << err();
    }
    ASSERT_EQ(hpgs_setpattern(d, &pa2), 0);
    rect(d, 100, 10, 150, 60);
    ASSERT_EQ(hpgs_fill(d, HPGS_FALSE), 0);
    ASSERT_EQ(hpgs_setpattern(d, &pa), 0);
    ASSERT_EQ(hpgs_setlinewidth(d, 4), 0);
    hpgs_moveto(d, &l0);
    hpgs_lineto(d, &l1);
    ASSERT_EQ(hpgs_stroke(d), 0);
    hpgs_color green{0, 1, 0};
    ASSERT_EQ(hpgs_setrgbcolor(d, &green), 0);
    rect(d, 10, 150, 60, 190);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_setpattern(d, &pc), 0);
    rect(d, 100, 150, 190, 190);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    rect(d, 150, 10, 190, 60);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);  // green again
    ASSERT_EQ(hpgs_showpage(d, 1), 0) << err();
    // Page 2: B filled, the same stroke with A, two small squares of A in
    // one grid square, and B over 500 points square, more cells than one
    // tile of its own takes.
    ASSERT_EQ(hpgs_setpattern(d, &pb), 0);
    rect(d, 110, 10, 190, 90);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_setpattern(d, &pa), 0);
    ASSERT_EQ(hpgs_setlinewidth(d, 4), 0);
    hpgs_moveto(d, &l0);
    hpgs_lineto(d, &l1);
    ASSERT_EQ(hpgs_stroke(d), 0);
    for (double x : {12.0, 16.0}) {
        ASSERT_EQ(hpgs_setpattern(d, &pa), 0);
        rect(d, x, 12, x + 2, 14);
        ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    }
    ASSERT_EQ(hpgs_setpattern(d, &pb), 0);
    rect(d, -150, -150, 350, 350);
    ASSERT_EQ(hpgs_fill(d, HPGS_TRUE), 0);
    ASSERT_EQ(hpgs_showpage(d, 2), 0);
    ASSERT_EQ(hpgs_device_finish(d), 0) << err();
    EXPECT_EQ(qpdfCheck(path), 0);
    // Soft masks are PDF 1.4.
    EXPECT_EQ(readFile(path).rfind("%PDF-1.4", 0), 0u);

    auto q = QPDF::create();
    q->processFile(path.c_str());
    // Page 1: four fills and the stroke; page 2: B's fill, the stroke's
    // (the same object), the small squares' one and the huge fill's.
    auto patterns = objectsOfType(*q, "/Type", "/Pattern");
    ASSERT_EQ(patterns.size(), 8u);
    for (auto& p : patterns) {
        auto pd = p.getDict();
        EXPECT_EQ(pd.getKey("/PatternType").getIntValue(), 1);
        EXPECT_EQ(pd.getKey("/PaintType").getIntValue(), 1);
        EXPECT_EQ(pd.getKey("/TilingType").getIntValue(), 1);
        auto bbox = pd.getKey("/BBox").getArrayAsRectangle();
        EXPECT_EQ(pd.getKey("/XStep").getNumericValue(), bbox.urx - bbox.llx);
        EXPECT_EQ(pd.getKey("/YStep").getNumericValue(), bbox.ury - bbox.lly);
        ASSERT_EQ(pd.getKey("/Matrix").getArrayNItems(), 6);
        auto image = pd.getKey("/Resources").getKey("/XObject").getKey("/I0");
        const int w = static_cast<int>(image.getDict().getKey("/Width").getIntValue());
        const int h = static_cast<int>(image.getDict().getKey("/Height").getIntValue());
        EXPECT_EQ(static_cast<int>(bbox.urx), w);
        EXPECT_TRUE(image.getDict().getKey("/Interpolate").getBoolValue());
        // Tiles span whole grid squares of 64 cells, their origins on the
        // grid from the anchor (x 10, or 11 for A moved).
        EXPECT_EQ(w % 64, 0);
        EXPECT_EQ(h % 64, 0);
        auto m = pd.getKey("/Matrix");
        EXPECT_NEAR(m.getArrayItem(0).getNumericValue(), 0.24, 1e-9);
        EXPECT_NEAR(m.getArrayItem(3).getNumericValue(), 0.24, 1e-9);
        const double e = m.getArrayItem(4).getNumericValue();
        auto offGrid = [](double d) {
            const double r = std::fmod(std::fabs(d) / (0.24 * 64), 1.0);
            return std::min(r, 1 - r);
        };
        EXPECT_LT(std::min(offGrid(e - 10), offGrid(e - 11)), 1e-6) << e;
    }

    auto p1 = QPDFObjectHandle(q->getAllPages().at(0)).getKey("/Resources").getKey("/Pattern");
    auto p2 = QPDFObjectHandle(q->getAllPages().at(1)).getKey("/Resources").getKey("/Pattern");
    ASSERT_TRUE(p1.isDictionary());
    ASSERT_TRUE(p2.isDictionary());
    EXPECT_EQ(p1.getKeys().size(), 5u);
    EXPECT_EQ(p2.getKeys().size(), 4u);
    EXPECT_EQ(p1.getKey("/P4").getObjGen(), p2.getKey("/P1").getObjGen()) << "the stroke's tile on both pages";

    const std::string c1 = pageContent(*q, 0);
    for (const char* fill : {"/P0 scn", "/P1 scn", "/P2 scn", "/P3 scn"}) EXPECT_EQ(count(c1, fill), 1u) << fill << c1;
    EXPECT_EQ(count(c1, "/Pattern CS /P4 SCN"), 1u) << c1;
    // The colour after the patterns is written again: once for each of
    // the two green fills would be one too many.
    EXPECT_EQ(count(c1, "0 1 0 rg"), 1u) << c1;
    EXPECT_EQ(count(c1, "\nf\n") + count(c1, "\nf*\n"), 6u) << "the clear fill draws nothing";
    const std::string c2 = pageContent(*q, 1);
    EXPECT_EQ(count(c2, "/Pattern cs /P2 scn"), 2u) << "the two small squares share a tile: " << c2;
    EXPECT_EQ(count(c2, "/Pattern cs /P3 scn"), 1u) << c2;
    // The huge fill uses the shared tile: 256 cells repeating from the
    // anchor, its first row on top.
    auto huge = p2.getKey("/P3").getDict();
    EXPECT_EQ(huge.getKey("/XStep").getNumericValue(), 256);
    EXPECT_NEAR(huge.getKey("/Matrix").getArrayItem(4).getNumericValue(), 10, 1e-4);
    EXPECT_NEAR(huge.getKey("/Matrix").getArrayItem(5).getNumericValue(), 190 - 0.24 * 256, 1e-4);

    // Only A's tiles have a soft mask: its four fills, its stroke, its
    // small squares.
    size_t masked = 0;
    for (auto& im : objectsOfType(*q, "/Subtype", "/Image"))
        masked += im.getDict().getKey("/ColorSpace").getName() == "/DeviceRGB" && im.getDict().hasKey("/SMask");
    EXPECT_EQ(masked, 6u);

    // Page 1 in ghostscript at 72 dpi: cells are smaller than a pixel, so
    // A shows its tone, half red over white; the green comes back.
    Image img = render(path, 1);
    ASSERT_GT(img.width, 0);
    EXPECT_TRUE(img.near(17, 35, 255, 128, 128, 40)) << "A's tone";
    EXPECT_TRUE(img.near(35, 170, 0, 255, 0)) << "green after the patterns";
    EXPECT_TRUE(img.near(170, 35, 0, 255, 0)) << "green after the clear pattern";
    EXPECT_TRUE(img.white(150, 170)) << "the clear pattern painted";
}

// Patterned fills of even tone (blue and white or clear columns of cells,
// half a pixel each at 150 dpi) anchored between device pixels: every
// viewer shows the tone evenly across them. Tiles that met inside a fill
// showed in mupdf as a seam at each tile's edge, every 128 pixels. Poppler
// scales a tile's image to whole pixels, so one column of it may take one
// cell more or less than the others: that once per fill is let pass.
TEST(PdfPatterns, PatternedFillShowsNoSeamsInAnyViewer) {
    TempDir tmp;
    const std::string path = tmp.path("seams.pdf");
    hpgs_bbox box{0, 0, 200, 200};
    {
        DevicePtr dev(hpgs_new_pdf_device(path.c_str(), &box, 6, 1));
        ASSERT_TRUE(dev) << err();
        const uint32_t cells[2] = {0xff0000ffu, 0xffffffffu};
        const hpgs_pattern p{2, 1, cells, {10.1234, 190.0567, 0.24, 0, 0, -0.24}};
        ASSERT_EQ(hpgs_setpattern(dev.get(), &p), 0) << err();
        rect(dev.get(), 20, 20, 180, 95);
        ASSERT_EQ(hpgs_fill(dev.get(), HPGS_TRUE), 0) << err();
        const uint32_t clear[2] = {0xff0000ffu, 0u};
        const hpgs_pattern q{2, 1, clear, {10.1234, 190.0567, 0.24, 0, 0, -0.24}};
        ASSERT_EQ(hpgs_setpattern(dev.get(), &q), 0) << err();
        rect(dev.get(), 20, 105, 180, 180);
        ASSERT_EQ(hpgs_fill(dev.get(), HPGS_TRUE), 0) << err();
        ASSERT_EQ(hpgs_showpage(dev.get(), 1), 0) << err();
        ASSERT_EQ(hpgs_device_finish(dev.get()), 0) << err();
    }
    for (const char* viewer : {"gs", "poppler", "mupdf"}) {
        SCOPED_TRACE(viewer);
        const std::string png = tmp.path(std::string(viewer) + "_seams.png");
        rasterise(viewer, path, 150, png);
        hpgs_test::Png img;
        ASSERT_TRUE(hpgs_test::read_png(png, img)) << png;
        // Mean red of each column inside the fill (20 to 180 pt: pixels 42
        // to 375, a margin of 8 left out), in pairs of columns: a pair holds
        // two cells of each colour wherever the cells fall.
        // The upper fill is clear where the lower one is white.
        for (int y0 : {50, 220}) {
        SCOPED_TRACE(y0);
        std::vector<double> pairs;
        for (int x = 50; x + 1 < 367; x += 2) {
            double sum = 0;
            for (int y = y0; y < y0 + 140; ++y) sum += channel(img, x, y, 0) + channel(img, x + 1, y, 0);
            pairs.push_back(sum / (2.0 * 140));
        }
        std::vector<double> sorted = pairs;
        std::sort(sorted.begin(), sorted.end());
        const double median = sorted[sorted.size() / 2];
        EXPECT_NEAR(median, 127.5, 16) << "the fill's tone";
        std::vector<size_t> off;
        for (size_t i = 0; i < pairs.size(); ++i)
            if (std::fabs(pairs[i] - median) > 12) off.push_back(50 + 2 * i);
        EXPECT_LE(off.size(), 1u) << "first uneven columns at " << off[0] << (off.size() > 1 ? " and " : "")
                                  << (off.size() > 1 ? std::to_string(off[1]) : std::string());
        }
    }
}

TEST(PdfPatterns, SetPatternNeedsTheCapabilityAndCells) {
    DevicePtr measure(hpgs_new_plotsize_device(HPGS_TRUE, HPGS_TRUE));
    const uint32_t cell = 0xff000000u;
    hpgs_pattern p{1, 1, &cell, {0, 0, 1, 0, 0, 1}};
    EXPECT_EQ(hpgs_setpattern(measure.get(), &p), -1);
    EXPECT_NE(err().find("'hpgs_plotsize_device' takes no raster patterns"), std::string::npos) << err();
    TempDir tmp;
    hpgs_bbox box{0, 0, 10, 10};
    const std::string path = tmp.path("x.pdf");
    DevicePtr pdf(hpgs_new_pdf_device(path.c_str(), &box, 0, 1));
    hpgs_pattern empty{0, 1, &cell, {0, 0, 1, 0, 0, 1}};
    EXPECT_EQ(hpgs_setpattern(pdf.get(), &empty), -1);
    EXPECT_NE(err().find("without cells"), std::string::npos) << err();
    hpgs_pattern singular{1, 1, &cell, {0, 0, 0, 0, 0, 0}};
    ASSERT_EQ(hpgs_setpattern(pdf.get(), &singular), 0);
    rect(pdf.get(), 0, 0, 5, 5);
    EXPECT_EQ(hpgs_fill(pdf.get(), HPGS_TRUE), -1);
    EXPECT_NE(err().find("singular"), std::string::npos) << err();
}

// The drawing at 1200 dpi, where a 300 dpi cell is 4 x 4 pixels: every
// viewer shows the cells where hpgl2png paints them, upright and turned by
// 90 degrees; at 150 dpi (cells of half a pixel) the tone agrees.
TEST(PdfPatterns, CellsLieWhereThePaintDevicePutsThemInEveryViewer) {
    TempDir tmp;
    const std::string hpglFile = tmp.path("patterns.hpgl");
    {
        std::ofstream out(hpglFile, std::ios::binary);
        out << kPatternDrawing;
    }
    for (double angle : {0.0, 90.0}) {
        SCOPED_TRACE(angle);
        const std::string pdf = tmp.path("patterns_" + std::to_string(static_cast<int>(angle)) + ".pdf");
        hpglToPdf(readFile(hpglFile), pdf, angle);
        ASSERT_EQ(qpdfCheck(pdf), 0);
        const hpgs_test::Png ref = hpgl2png(hpglFile, 1200, angle, tmp.path("ref1200.png"));
        const hpgs_test::Png ref150 = hpgl2png(hpglFile, 150, angle, tmp.path("ref150.png"));
        const auto refTone = meanColour(ref150);
        for (const std::string viewer : {"gs", "poppler", "mupdf"}) {
            SCOPED_TRACE(viewer);
            const std::string png = tmp.path(viewer + "1200.png");
            rasterise(viewer, pdf, 1200, png);
            hpgs_test::Png test;
            ASSERT_TRUE(hpgs_test::read_png(png, test));
            EXPECT_NEAR(test.width, ref.width, 1);
            EXPECT_NEAR(test.height, ref.height, 1);
            // Best in place: a cell (4 pixels) off either way agrees less.
            // Poppler lays its tiles up to half a cell away from where the
            // pattern matrix puts them (it starts them on whole pixels), so
            // it is held to the tone only.
            const double here = patternAgreement(ref, test);
            for (auto [dx, dy] : {std::pair{4, 0}, {-4, 0}, {0, 4}, {0, -4}}) {
                if (viewer == "poppler") break;
                const double off = patternAgreement(ref, test, dx, dy);
                EXPECT_GT(here, off + 0.1) << "shifted by " << dx << ", " << dy;
            }

            // At 150 dpi the cells are half a pixel: the tone is the paint
            // device's.
            const std::string png150 = tmp.path(viewer + "150.png");
            rasterise(viewer, pdf, 150, png150);
            hpgs_test::Png t150;
            ASSERT_TRUE(hpgs_test::read_png(png150, t150));
            const auto tone = meanColour(t150);
            // mupdf darkens the seams between tiles a little.
            for (size_t c = 0; c < 3; ++c) EXPECT_NEAR(tone[c], refTone[c], 8.0) << "channel " << c;
        }
    }
}
