#include "jobs/PngCompareJob.h"
#include "jobs/PngRendererJob.h"

#include "daemon/Settings.h"
#include "imaging/PngWriter.h"

#include "../daemon/JobFixture.h"
#include "../hpgs/ink_compare.h"

#include <chrono>
#include <functional>
#include <thread>

using namespace jobtest;
using namespace Xadra;

namespace {

// Writes a width x height 8-bit PNG (or 16-bit) whose byte i of row y is
// value(x byte index, y).
void writePng(const std::string& path, uint32_t w, uint32_t h, int colorType,
              const std::function<unsigned char(uint32_t, uint32_t)>& value, int depth = 8) {
    PngWriter out;
    out.open(path, w, h, depth, colorType, 0, nullptr, 0, 1);
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t i = 0; i < out.getRowBytes(); ++i) out.getRowBuffer()[i] = value(i, y);
        out.writeRows();
    }
    out.close();
}

ObjPtr<HPGSRendererCacheEntry> entry(const std::string& path, const std::string& name, const std::string& tag) {
    return Plume::makeObj<HPGSRendererCacheEntry>(name, name, tag, "", 1.0, path, path + ".manifest", name, name,
                                                  "image/png", 1.0, 0);
}

unsigned char mix(uint32_t i, uint32_t y) { return static_cast<unsigned char>((i * 37 + y * 11) % 256); }
unsigned char other(uint32_t i, uint32_t y) { return static_cast<unsigned char>((i * 13 + y * 7 + 99) % 256); }
unsigned char b60(unsigned char v) { return static_cast<unsigned char>(v * 60 / 100); }
unsigned char diff(unsigned char a, unsigned char b) {
    const int d = b * 60 / 100 - a;
    return static_cast<unsigned char>(d < 0 ? -d : d);
}

class CompareTest : public JobTest {
protected:
    std::string tmp(const std::string& name) const { return base_ + "/" + name; }
    ObjPtr<HPGSRendererCacheEntry> run(const ObjPtr<HPGSRendererCacheEntry>& a,
                                       const ObjPtr<HPGSRendererCacheEntry>& b, uint32_t w = 0, uint32_t h = 0) {
        return executeJob(Plume::makeObj<HPGSPngCompareJob>(a, b, w, h));
    }
    hpgs_test::Png read(const ObjPtr<HPGSRendererCacheEntry>& e) {
        hpgs_test::Png p;
        EXPECT_TRUE(hpgs_test::read_png(e->getDataFilePath(), p));
        return p;
    }
};

}  // namespace

TEST_F(CompareTest, IdenticalImagesGiveFortyPercentOfEachByte) {
    writePng(tmp("a.png"), 40, 30, 2, mix);
    auto e = run(entry(tmp("a.png"), "a.png", "ta"), entry(tmp("a.png"), "b.png", "tb"));
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getOutputUniqueName(), "a-b.png");
    EXPECT_EQ(e->getInputUniqueTag(), "ta;tb");
    auto p = read(e);
    ASSERT_EQ(p.width, 40);
    ASSERT_EQ(p.height, 30);
    ASSERT_EQ(p.channels, 3);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 120; ++x) ASSERT_EQ(p.pixels[y * 120 + x], diff(mix(x, y), mix(x, y))) << x << "," << y;
    EXPECT_EQ(diff(255, 255), 102);
    EXPECT_EQ(diff(0, 0), 0);
}

TEST_F(CompareTest, ImagesAreAlignedAtTheirBottomRightCorners) {
    // A: 100 x 50; B: 100 x 80. The top 30 rows are B alone at 60 %.
    writePng(tmp("a.png"), 100, 50, 2, mix);
    writePng(tmp("b.png"), 100, 80, 2, other);
    auto p = read(run(entry(tmp("a.png"), "a.png", "ta"), entry(tmp("b.png"), "b.png", "tb")));
    ASSERT_EQ(p.width, 100);
    ASSERT_EQ(p.height, 80);
    for (int y = 0; y < 80; ++y)
        for (int i = 0; i < 300; i += 7) {
            const unsigned char got = p.pixels[y * 300 + i];
            if (y < 30)
                ASSERT_EQ(got, b60(other(i, y))) << i << "," << y;
            else
                ASSERT_EQ(got, diff(mix(i, y - 30), other(i, y))) << i << "," << y;
        }
    // Narrower A: the left part of the shared rows is B alone.
    writePng(tmp("n.png"), 60, 20, 2, mix);
    writePng(tmp("w.png"), 100, 20, 2, other);
    auto q = read(run(entry(tmp("n.png"), "n.png", "tn"), entry(tmp("w.png"), "w.png", "tw")));
    ASSERT_EQ(q.width, 100);
    for (int i = 0; i < 120; ++i) ASSERT_EQ(q.pixels[5 * 300 + i], b60(other(i, 5))) << i;
    for (int i = 120; i < 300; ++i) ASSERT_EQ(q.pixels[5 * 300 + i], diff(mix(i - 120, 5), other(i, 5))) << i;
}

TEST_F(CompareTest, OnlyTheSecondSideGivesItAtSixtyPercentOnBlack) {
    writePng(tmp("b.png"), 30, 20, 2, other);
    auto e = run(nullptr, entry(tmp("b.png"), "b.png", "tb"), 50, 40);
    EXPECT_EQ(e->getInputUniqueTag(), ";tb(w=50,h=40)");
    EXPECT_EQ(e->getOutputUniqueName(), "null-b.png");
    auto p = read(e);
    ASSERT_EQ(p.width, 50);
    ASSERT_EQ(p.height, 40);
    EXPECT_EQ(p.at(0, 0, 0), 0);
    EXPECT_EQ(p.at(19, 39, 2), 0);  // left of B
    EXPECT_EQ(p.at(20, 20, 0), b60(other(0, 0)));
    EXPECT_EQ(p.at(49, 39, 2), b60(other(89, 19)));
}

TEST_F(CompareTest, IncompatibleOrWideRenderingsAndHugeOutputsAreRefused) {
    writePng(tmp("g.png"), 10, 10, 0, mix);
    writePng(tmp("c.png"), 10, 10, 2, mix);
    auto t = thrownBy([&] { run(entry(tmp("g.png"), "g.png", "tg"), entry(tmp("c.png"), "c.png", "tc")); });
    ASSERT_TRUE(t);
    EXPECT_NE(t->getDetailMessage().find("Input files have incompatible color types."), std::string::npos)
        << t->getDetailMessage();
    writePng(tmp("d.png"), 10, 10, 2, mix, 16);
    t = thrownBy([&] { run(entry(tmp("d.png"), "d.png", "td"), entry(tmp("c.png"), "c.png", "tc")); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t)) << (t ? t->getDetailMessage() : "");
    EXPECT_NE(t->getDetailMessage().find("only 8-bit"), std::string::npos);
    Settings::setPngMaxPixels(1000);
    t = thrownBy([&] { run(entry(tmp("c.png"), "c.png", "tc"), nullptr, 100, 100); });
    Settings::setPngMaxPixels(400000000ull);
    ASSERT_TRUE(Plume::objCast<HPGSError>(t));
    EXPECT_NE(t->getDetailMessage().find("xadrad_png_max_pixels"), std::string::npos);
}

TEST_F(CompareTest, AnInterruptedComparisonStopsAtTheNextRow) {
    writePng(tmp("a.png"), 20, 20, 2, mix);
    auto job = Plume::makeObj<HPGSPngCompareJob>(entry(tmp("a.png"), "a.png", "t"), entry(tmp("a.png"), "b.png", "t"),
                                                 0, 0);
    Plume::Mutex m;
    job->interrupt(m);
    try {
        job->compare(tmp("out.png"), m);
        ADD_FAILURE() << "compared though interrupted";
    } catch (const Plume::Exception& e) {
        EXPECT_NE(std::string(e.what()).find("Comparison of Png files has been interrupted."), std::string::npos);
    }
}

TEST_F(CompareTest, DrawingsAreComparedFromTheirCachedRenderingsAndANewerOneOutdatesTheComparison) {
    auto in = [&](const char* file, double ts = 100.0) {
        return newStream(readFile(std::string(XAD_TEST_DATA) + "/hpgl/" + file), file, ts);
    };
    auto e = comparePngByResolution(in("syn_bezier.hpgl"), 0, in("syn_bezier.hpgl"), 180, 50, false);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->getMimeType(), "image/png");
    auto again = comparePngByResolution(in("syn_bezier.hpgl"), 0, in("syn_bezier.hpgl"), 180, 50, false);
    EXPECT_EQ(again->getDataFilePath(), e->getDataFilePath());
    // A newer second input: a new rendering, so a new comparison.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    auto newer = comparePngByResolution(in("syn_bezier.hpgl"), 0, in("syn_bezier.hpgl", 200.0), 180, 50, false);
    EXPECT_GT(newer->getInputTimestamp(), e->getInputTimestamp());
    // Pixel sizes: both sides fitted into 300 pixels.
    auto px = comparePngByPixelSize(in("syn_bezier.hpgl"), 0, in("pu_graph_dashed.hpgl"), 0, 300, true);
    hpgs_test::Png p;
    ASSERT_TRUE(hpgs_test::read_png(px->getDataFilePath(), p));
    EXPECT_EQ(std::max(p.width, p.height), 300);
    // Two empty tiles: refused before anything is read.
    auto s1 = in("syn_bezier.hpgl");
    auto t = thrownBy([&] { comparePngTileByResolution(s1, nullptr, s1, BoundingBoxWithAngle::newInstance(), 72, true, 10, 10); });
    ASSERT_TRUE(Plume::objCast<HPGSError>(t));
    EXPECT_EQ(t->getDetailMessage(), "Both bounding boxes are empty.");
    EXPECT_EQ(s1->reads, 0);
}
