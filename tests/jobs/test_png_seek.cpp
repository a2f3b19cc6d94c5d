#include "jobs/BBoxJobs.h"
#include "jobs/PdfOutputJobs.h"
#include "jobs/PngSeekJob.h"

#include "daemon/Settings.h"
#include "plume/Exception.h"

#include "../daemon/JobFixture.h"

#include <cmath>
#include <cstdlib>
#include <functional>
#include <sstream>

using namespace jobtest;
using namespace Xadra;

namespace {

const std::string kPdf = "application/pdf";
constexpr double kPointsPerUnit = 72.0 / 1016.0;

// A coordinate map applied to every point of a generated drawing (a turn).
using Turn = std::function<std::pair<long, long>(long, long)>;

std::pair<long, long> identity(long x, long y) { return {x, y}; }
// Counter-clockwise quarter turns about the origin.
std::pair<long, long> ccw90(long x, long y) { return {-y, x}; }
std::pair<long, long> ccw180(long x, long y) { return {-x, -y}; }
std::pair<long, long> ccw270(long x, long y) { return {y, -x}; }

class Hpgl {
public:
    explicit Hpgl(Turn t = identity) : t_(std::move(t)) { s_ << "IN;SP1;PW0.5;"; }
    Hpgl& move(long x, long y) {
        auto p = t_(x, y);
        s_ << "PU" << p.first << "," << p.second << ";";
        return *this;
    }
    Hpgl& line(long x, long y) {
        auto p = t_(x, y);
        s_ << "PD" << p.first << "," << p.second << ";";
        return *this;
    }
    Hpgl& circle(long x, long y, long r) {
        move(x, y);
        s_ << "CI" << r << ";";
        return *this;
    }
    Hpgl& filledTriangle(long x0, long y0, long x1, long y1, long x2, long y2) {
        move(x0, y0);
        s_ << "PM0;";
        line(x1, y1).line(x2, y2).line(x0, y0);
        s_ << "PM2;FP;PU;";
        return *this;
    }
    Hpgl& rect(long x0, long y0, long x1, long y1) {
        return move(x0, y0).line(x1, y0).line(x1, y1).line(x0, y1).line(x0, y0);
    }
    // The title-block-like pattern: a frame of 1600 x 800 units with a
    // filled triangle, a circle and a diagonal, drawn with its lower-left
    // corner at (x, y). No two quarter turns of it look alike.
    Hpgl& pattern(long x, long y) {
        rect(x, y, x + 1600, y + 800);
        filledTriangle(x + 100, y + 100, x + 500, y + 100, x + 100, y + 700);
        circle(x + 1200, y + 400, 250);
        move(x + 600, y + 700).line(x + 1500, y + 150);
        move(x + 700, y + 100).line(x + 700, y + 450).line(x + 950, y + 450);
        return *this;
    }
    std::string str() const { return s_.str() + "PU;SP0;"; }

private:
    Turn t_;
    std::ostringstream s_;
};

// A sheet of 12000 x 8000 units with a frame, scattered marks and the
// pattern at (px, py).
std::string sheet(Turn t, long px, long py) {
    Hpgl h(std::move(t));
    h.rect(0, 0, 12000, 8000);
    h.rect(200, 200, 11800, 7800);
    for (int i = 0; i < 12; ++i) h.move(400 + i * 900, 7000).line(900 + i * 700, 2600 + (i % 4) * 900);
    h.circle(3000, 4000, 1200).circle(8000, 5500, 600).circle(9400, 2600, 300);
    h.filledTriangle(1000, 1000, 2500, 1000, 1000, 2000);
    h.rect(6000, 800, 7800, 1900);
    h.pattern(px, py);
    return h.str();
}

ObjPtr<TestStream> hpgl(const std::string& text, const std::string& name, double ts = 100.0) {
    return Plume::makeObj<TestStream>(text, name, ts, "image/hpgl");
}

std::string message(const ObjPtr<Plume::Throwable>& t) {
    auto p = Plume::objCast<PreviewException>(t);
    return p ? p->getDetailMessage() : std::string("(no PreviewException)");
}

class SeekTest : public JobTest {
protected:
    void SetUp() override {
        JobTest::SetUp();
        Xadra::logService().levelThreshold = 6;
        // Small seek images keep the tests quick; the extent still covers
        // the corner the pattern is placed in.
        Settings::setSeekSize(512);
        Settings::setLabelSize(256);
    }
    void TearDown() override {
        Settings::setSeekSize(1024);
        Settings::setLabelSize(0);
        Settings::setCorrelationFactor(1.0);
        JobTest::TearDown();
    }
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
    void make(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

    ObjPtr<PatternSeekResult> seek(const ObjPtr<IMimeInputStream>& in, const ObjPtr<IMimeInputStream>& pattern,
                                   int angle = 0) {
        auto e = seekPattern(in, pattern, angle);
        if (!e) return nullptr;
        return readPatternSeekResult(e->getDataFilePath());
    }
    // The pattern drawing's own box, in points.
    ObjPtr<BoundingBoxWithAngle> boxOf(const std::string& text, const std::string& name) {
        auto e = measureBoundingBox(hpgl(text, name));
        return e ? readBoundingBox(e->getDataFilePath()) : nullptr;
    }
    static PatternParameters& at(const PatternSeekResult& r, int i) { return *r.getParameter(static_cast<size_t>(i)); }
    static int best(const PatternSeekResult& r) {
        int b = 0;
        for (int i = 1; i < 4; ++i)
            if (at(r, i).getCorrelation() > at(r, b).getCorrelation()) b = i;
        return b;
    }
};

}  // namespace

// ------------------------------------------------------------ geometry

TEST(SeekGeometry, ViewRectanglesMapBackOntoTheUnturnedPage) {
    const hpgs_bbox page{10, 20, 110, 220};  // 100 x 200
    // The view's lower-right corner of 30 x 40 for each clockwise turn.
    auto check = [&](int t, hpgs_bbox view, hpgs_bbox expected) {
        hpgs_bbox got = viewToPage(page, view, t);
        EXPECT_DOUBLE_EQ(got.llx, expected.llx) << t;
        EXPECT_DOUBLE_EQ(got.lly, expected.lly) << t;
        EXPECT_DOUBLE_EQ(got.urx, expected.urx) << t;
        EXPECT_DOUBLE_EQ(got.ury, expected.ury) << t;
    };
    check(0, {80, 20, 110, 60}, {80, 20, 110, 60});
    // Turned clockwise by 90 the view is 200 wide and 100 high; the page's
    // top edge becomes the right edge, so the view's lower right corner
    // shows the page's upper right corner.
    check(90, {180, 20, 210, 60}, {70, 190, 110, 220});
    // By 180 the lower right shows the upper left.
    check(180, {80, 20, 110, 60}, {10, 180, 40, 220});
    // By 270 the lower right shows the lower left.
    check(270, {180, 20, 210, 60}, {10, 20, 50, 50});
}

// ------------------------------------------------------------ HP-GL/2

TEST_F(SeekTest, PatternIsFoundAtItsPlaceWithTheFourAnglesInOrder) {
    const long px = 10000, py = 400;
    const std::string drawing = sheet(identity, px, py);
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto patternBox = boxOf(pattern, "pattern-box.plt");
    auto drawingBox = boxOf(drawing, "sheet-box.plt");
    ASSERT_TRUE(patternBox && drawingBox);

    auto r = seek(hpgl(drawing, "sheet.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r);
    ASSERT_TRUE(r->getParameters());
    ASSERT_EQ(r->getParameters()->getSize(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(at(*r, i).getAngle(), i * 90);
    EXPECT_DOUBLE_EQ(r->getBoundingBox()->getLlx(), drawingBox->getLlx());
    EXPECT_DOUBLE_EQ(r->getBoundingBox()->getUry(), drawingBox->getUry());
    EXPECT_EQ(r->getBoundingBox()->getAngle(), 0);

    const double dx = patternBox->getLlx() + px * kPointsPerUnit - drawingBox->getLlx();
    const double dy = patternBox->getLly() + py * kPointsPerUnit - drawingBox->getLly();
    EXPECT_NEAR(at(*r, 0).getDx(), dx, 1.0);
    EXPECT_NEAR(at(*r, 0).getDy(), dy, 1.0);
    EXPECT_EQ(best(*r), 0);
    EXPECT_NEAR(at(*r, 0).getOverlap(), 0.0, 1e-9);
    EXPECT_GT(at(*r, 0).getSeparation(), 0.0);
    EXPECT_LE(at(*r, 0).getSeparation(), 1000.0);
    // An exact copy of the pattern correlates with the sum of its squared
    // ink: pi times that over its plain ink sum, at most pi for ink of at
    // most 1 (anti-aliased edges take a little off).
    EXPECT_GT(at(*r, 0).getCorrelation(), 0.8 * M_PI);
    EXPECT_LE(at(*r, 0).getCorrelation(), M_PI * (1 + 1e-9));
    for (int i = 1; i < 4; ++i) EXPECT_LT(at(*r, i).getCorrelation(), 0.9 * at(*r, 0).getCorrelation());
}

TEST_F(SeekTest, TitleBlockDrawnIntoASampleDrawingIsFoundAtItsPlace) {
    // The plotutils graph with the block drawn in before its page eject,
    // near the lower right corner of the graph's frame.
    std::string graph = readFile(std::string(XAD_TEST_DATA) + "/hpgl/pu_graph_dashed.hpgl");
    const size_t end = graph.rfind("PA0,0;SP0;PG0;");
    ASSERT_NE(end, std::string::npos);
    const long px = 4600, py = 1100;
    const std::string block = "IN;SP1;PW0.5;" + Hpgl().pattern(px, py).str().substr(std::string("IN;SP1;PW0.5;").size());
    const std::string drawing = graph.substr(0, end) + block + "PG0;";
    const std::string pattern = Hpgl().pattern(0, 0).str();
    // Where the block lands, measured alone in the same set-up.
    auto blockBox = boxOf("BP;IN;PS10668;" + block, "block-box.plt");
    auto drawingBox = boxOf(drawing, "graph-box.plt");
    ASSERT_TRUE(blockBox && drawingBox);
    // The block lies inside the graph, in its lower right quarter.
    ASSERT_LT(blockBox->getUrx(), drawingBox->getUrx());
    ASSERT_GT(blockBox->getLlx(), (drawingBox->getLlx() + drawingBox->getUrx()) / 2);
    ASSERT_LT(blockBox->getUry(), (drawingBox->getLly() + drawingBox->getUry()) / 2);

    auto r = seek(hpgl(drawing, "graph.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r);
    EXPECT_EQ(best(*r), 0);
    EXPECT_NEAR(at(*r, 0).getDx(), blockBox->getLlx() - drawingBox->getLlx(), 1.0);
    EXPECT_NEAR(at(*r, 0).getDy(), blockBox->getLly() - drawingBox->getLly(), 1.0);
}

TEST_F(SeekTest, TurnedDrawingsAreFoundAtTheAngleThatTurnsThemBack) {
    const long px = 10000, py = 400;
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto reference = seek(hpgl(sheet(identity, px, py), "upright.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(reference);
    const struct {
        Turn turn;
        const char* name;
        int index;  // the angle (of 0, 90, 180, 270) that undoes the turn
    } cases[] = {{ccw90, "turned90.plt", 3}, {ccw180, "turned180.plt", 2}, {ccw270, "turned270.plt", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto r = seek(hpgl(sheet(c.turn, px, py), c.name), hpgl(pattern, "pattern.plt"));
        ASSERT_TRUE(r);
        EXPECT_EQ(best(*r), c.index);
        EXPECT_NEAR(at(*r, c.index).getDx(), at(*reference, 0).getDx(), 1.0);
        EXPECT_NEAR(at(*r, c.index).getDy(), at(*reference, 0).getDy(), 1.0);
        EXPECT_NEAR(at(*r, c.index).getCorrelation(), at(*reference, 0).getCorrelation(),
                    0.1 * at(*reference, 0).getCorrelation());
    }
}

TEST_F(SeekTest, DrawingSmallerThanTheSearchExtentIsSearchedWhole) {
    // The sheet is 3000 x 1500 units (about 213 x 106 points), inside the
    // extent of 512 pixels at the pattern's resolution (about 227 points).
    Hpgl h;
    h.rect(0, 0, 3000, 1500).circle(2300, 700, 500).pattern(300, 500);
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto patternBox = boxOf(pattern, "pattern-box.plt");
    auto drawingBox = boxOf(h.str(), "small-box.plt");
    auto r = seek(hpgl(h.str(), "small.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r && patternBox && drawingBox);
    EXPECT_NEAR(at(*r, 0).getDx(), patternBox->getLlx() + 300 * kPointsPerUnit - drawingBox->getLlx(), 1.0);
    EXPECT_NEAR(at(*r, 0).getDy(), patternBox->getLly() + 500 * kPointsPerUnit - drawingBox->getLly(), 1.0);
}

TEST_F(SeekTest, PatternCutByTheDrawingsEdgeOverlapsByTheMissingPart) {
    // The input window cuts off the left 300 units of the pattern (half its
    // triangle): the best match sits partly left of the drawing.
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto patternBox = boxOf(pattern, "pattern-box.plt");
    Hpgl h;
    h.pattern(-300, 400).circle(2300, 700, 500).move(1500, 1400).line(2900, 100);
    const std::string text = "IN;IW0,0,3000,1500;" + h.str().substr(3);
    auto drawingBox = boxOf(text, "cut-box.plt");
    auto r = seek(hpgl(text, "cut.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r && patternBox && drawingBox);
    ASSERT_NEAR(drawingBox->getLlx(), 0.0, 1e-9);
    EXPECT_EQ(best(*r), 0);
    EXPECT_NEAR(at(*r, 0).getDx(), patternBox->getLlx() - 300 * kPointsPerUnit, 1.0);
    EXPECT_LT(at(*r, 0).getDx(), 0.0);
    EXPECT_NEAR(at(*r, 0).getOverlap(), -at(*r, 0).getDx(), 1e-9);
}

TEST_F(SeekTest, PatternCutAtTheTopWrapsToANegativeRowAndADyAboveTheBox) {
    // The input window cuts off the pattern's top 300 units: its top-left
    // corner lies above the seek image, where the cyclic correlation puts
    // it in the last rows.
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto patternBox = boxOf(pattern, "pattern-box.plt");
    Hpgl h;
    h.pattern(1000, 1000).circle(600, 600, 400).move(2200, 100).line(2900, 1400);
    const std::string text = "IN;IW0,0,3000,1500;" + h.str().substr(3);
    auto drawingBox = boxOf(text, "top-box.plt");
    auto r = seek(hpgl(text, "top.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r && patternBox && drawingBox);
    EXPECT_EQ(best(*r), 0);
    const double dy = patternBox->getLly() + 1000 * kPointsPerUnit - drawingBox->getLly();
    const double ph = patternBox->getUry() - patternBox->getLly();
    ASSERT_GT(dy + ph, drawingBox->getUry() - drawingBox->getLly() + 10.0);
    EXPECT_NEAR(at(*r, 0).getDy(), dy, 1.0);
    EXPECT_NEAR(at(*r, 0).getDx(), patternBox->getLlx() + 1000 * kPointsPerUnit - drawingBox->getLlx(), 1.0);
    // What sticks out at the top counts as overlap.
    EXPECT_NEAR(at(*r, 0).getOverlap(), dy + ph - (drawingBox->getUry() - drawingBox->getLly()), 1.5);
}

TEST_F(SeekTest, RepeatedSeekComesFromTheCacheAndANewerPatternOutdatesIt) {
    const std::string drawing = sheet(identity, 10000, 400);
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto in = hpgl(drawing, "sheet.plt");
    auto e1 = seekPattern(in, hpgl(pattern, "pattern.plt", 100.0), 0);
    auto in2 = hpgl(drawing, "sheet.plt");
    auto e2 = seekPattern(in2, hpgl(pattern, "pattern.plt", 100.0), 0);
    ASSERT_TRUE(e1 && e2);
    const std::string first = readFile(e1->getDataFilePath());
    EXPECT_EQ(in2->reads.load(), 0);
    EXPECT_EQ(e1->getDataFilePath(), e2->getDataFilePath());
    EXPECT_EQ(e1->getInputUniqueName(), "sheet.plt;pattern.plt");
    EXPECT_EQ(e1->getInputUniqueTag().rfind("seek;", 0), 0u);
    EXPECT_EQ(e1->getOutputUniqueName(), "sheet.plt;pattern.png");

    // The same names with a newer pattern: seeking again, with a new result.
    const std::string moved = Hpgl().pattern(0, 0).move(0, 0).line(1600, 800).str();
    auto in3 = hpgl(drawing, "sheet.plt");
    auto e3 = seekPattern(in3, hpgl(moved, "pattern.plt", 200.0), 0);
    ASSERT_TRUE(e3);
    EXPECT_DOUBLE_EQ(e1->getInputTimestamp(), 100.0);
    EXPECT_DOUBLE_EQ(e3->getInputTimestamp(), 200.0);
    // Sought again: the changed pattern correlates differently.
    EXPECT_NE(readFile(e3->getDataFilePath()), first);
}

TEST_F(SeekTest, CorrelationFactorScalesEveryAngle) {
    const std::string drawing = sheet(identity, 10000, 400);
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto r1 = seek(hpgl(drawing, "a.plt"), hpgl(pattern, "pattern.plt"));
    Settings::setCorrelationFactor(0.5);
    auto r2 = seek(hpgl(drawing, "b.plt"), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(r1 && r2);
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(at(*r2, i).getCorrelation(), 0.5 * at(*r1, i).getCorrelation(),
                    1e-9 * std::fabs(at(*r1, i).getCorrelation()));
}

TEST_F(SeekTest, EmptyDrawingFailsWithAClearMessage) {
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto t = thrownBy([&] { seek(hpgl("IN;SP1;PU0,0;", "empty.plt"), hpgl(pattern, "pattern.plt")); });
    ASSERT_TRUE(t);
    EXPECT_NE(message(t).find("Bounding box is empty."), std::string::npos) << message(t);
}

TEST_F(SeekTest, ResultReaderNamesAMissingKey) {
    const std::string path = tmp("cut.seek");
    {
        std::ofstream out(path);
        out << "correlation_0=1\nseparation_0=2\noverlap_0=0\ndx_0=3\ndy_0=4\nllx=0\nlly=0\nurx=10\nury=10\n";
    }
    try {
        readPatternSeekResult(path);
        FAIL() << "no exception";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("90"), std::string::npos) << e.what();
    }
}

// ------------------------------------------------------------ PDF

TEST_F(SeekTest, PdfDrawingIsFoundThroughGhostscriptAndATurnedCopyAtTheAngleBack) {
    const long px = 10000, py = 400;
    const std::string drawing = sheet(identity, px, py);
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto pdfEntry = renderPdfFromHpgl(hpgl(drawing, "sheet-for-pdf.plt"), nullptr, 0);
    ASSERT_TRUE(pdfEntry);
    const std::string pdf = tmp("sheet.pdf"), turned = tmp("sheet90.pdf");
    make("cp '" + pdfEntry->getDataFilePath() + "' '" + pdf + "'");
    make("qpdf --rotate=+90:1 '" + pdf + "' '" + turned + "'");

    auto hr = seek(hpgl(drawing, "sheet.plt"), hpgl(pattern, "pattern.plt"));
    auto r = seek(Plume::makeObj<TestStream>(readFile(pdf), "sheet.pdf", 100.0, kPdf), hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(hr && r);
    EXPECT_EQ(best(*r), 0);
    // The PDF page is the drawing plus the border on every side.
    const double border = Settings::getPdfBorder();
    EXPECT_NEAR(at(*r, 0).getDx(), at(*hr, 0).getDx() + border, 1.0);
    EXPECT_NEAR(at(*r, 0).getDy(), at(*hr, 0).getDy() + border, 1.0);

    // Shown turned clockwise by 90 degrees; another 270 turns it back.
    auto t = seek(Plume::makeObj<TestStream>(readFile(turned), "sheet90.pdf", 100.0, kPdf),
                  hpgl(pattern, "pattern.plt"));
    ASSERT_TRUE(t);
    EXPECT_EQ(r->getBoundingBox()->getAngle(), 0);
    EXPECT_EQ(t->getBoundingBox()->getAngle(), 270);
    EXPECT_EQ(best(*t), 3);
    EXPECT_NEAR(at(*t, 3).getDx(), at(*r, 0).getDx(), 1.0);
    EXPECT_NEAR(at(*t, 3).getDy(), at(*r, 0).getDy(), 1.0);
    // Job files of the turned copies and renderings are gone.
    for (const auto& f : fs::directory_iterator(base_ + "/jobs"))
        ADD_FAILURE() << "left behind: " << f.path();
}

TEST_F(SeekTest, EncryptedPdfIsADrmError) {
    const std::string pattern = Hpgl().pattern(0, 0).str();
    auto pdfEntry = renderPdfFromHpgl(hpgl(sheet(identity, 10000, 400), "sheet-for-pdf.plt"), nullptr, 0);
    ASSERT_TRUE(pdfEntry);
    const std::string locked = tmp("locked.pdf");
    make("qpdf --encrypt user owner 256 -- '" + pdfEntry->getDataFilePath() + "' '" + locked + "'");
    auto t = thrownBy([&] {
        seek(Plume::makeObj<TestStream>(readFile(locked), "locked.pdf", 100.0, kPdf), hpgl(pattern, "pattern.plt"));
    });
    ASSERT_TRUE(t);
    EXPECT_TRUE(Plume::objCast<DRMError>(t)) << message(t);
    EXPECT_EQ(message(t), "PDF file is encrypted.");
}
