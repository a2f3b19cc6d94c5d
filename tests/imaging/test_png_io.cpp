// PngReader, PngWriter and loadPngAsHpgsImage against files made and read
// with libpng directly.
#include "imaging/PngHpgsImage.h"
#include "imaging/PngReader.h"
#include "imaging/PngWriter.h"

#include "PngTestFiles.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <dirent.h>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

using pngtest::Image;
using pngtest::TempDir;
using Xadra::PngReader;
using Xadra::PngWriter;

namespace {

// The message of the exception f throws (fails the test when none is thrown).
std::string messageOf(const std::function<void()>& f, unsigned* category = nullptr) {
    try {
        f();
    } catch (const Plume::Exception& e) {
        if (category) *category = e.getCategory();
        return e.getMessage();
    }
    ADD_FAILURE() << "no exception";
    return {};
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }


// The bytes the reader must hand out for pixel x of row y of img.
std::vector<unsigned> expectedPixel(const Image& img, uint32_t x, uint32_t y, bool expandPalette) {
    std::vector<unsigned> out;
    switch (img.colorType) {
    case PNG_COLOR_TYPE_PALETTE: {
        unsigned index = img.sample(x, y, 0);
        if (!expandPalette) return {index};
        const png_color& c = img.palette[index];
        return {c.red, c.green, c.blue};
    }
    case PNG_COLOR_TYPE_GRAY:
    case PNG_COLOR_TYPE_GRAY_ALPHA:
    case PNG_COLOR_TYPE_RGB:
    case PNG_COLOR_TYPE_RGB_ALPHA: {
        int colourChannels = (img.colorType & PNG_COLOR_MASK_COLOR) ? 3 : 1;
        for (int c = 0; c < colourChannels; ++c) {
            unsigned v = img.sample(x, y, c);
            if (img.bitDepth == 16) {
                out.push_back(v >> 8);
                out.push_back(v & 0xff);
            } else if (img.bitDepth < 8) {
                out.push_back(v * 255 / ((1u << img.bitDepth) - 1));
            } else {
                out.push_back(v);
            }
        }
        return out;
    }
    }
    return out;
}

// Reads every row with the reader and compares it with img; returns the
// number of mismatching bytes (the first few are reported).
int compareRows(PngReader& reader, const Image& img, bool expandPalette) {
    int mismatches = 0;
    for (uint32_t y = 0; y < img.height; ++y) {
        reader.readRow();
        const unsigned char* row = reader.getRowBuffer();
        size_t pos = 0;
        for (uint32_t x = 0; x < img.width; ++x) {
            for (unsigned v : expectedPixel(img, x, y, expandPalette)) {
                if (row[pos] != v && ++mismatches <= 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << " byte " << pos << ": " << int(row[pos])
                                  << " != " << v;
                ++pos;
            }
        }
        if (pos != reader.getRowBytes()) {
            ADD_FAILURE() << "row bytes " << reader.getRowBytes() << ", expected " << pos;
            return mismatches + 1;
        }
    }
    return mismatches;
}

// Colour type, bit depth, interlace method, palette expansion.
using Format = std::tuple<int, int, int, bool>;

class ReaderFormats : public ::testing::TestWithParam<Format> {};

TEST_P(ReaderFormats, RowsHoldTheNormalisedPixels) {
    auto [colorType, depth, interlace, expand] = GetParam();
    TempDir dir;
    // Odd sizes leave partial 8x8 blocks in every pass; the tiny ones leave some passes empty.
    for (auto [w, h] : {std::pair<uint32_t, uint32_t>{37, 23}, {1, 1}, {3, 2}, {9, 1}}) {
        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
        Image img = pngtest::patterned(w, h, depth, colorType, interlace);
        std::string path = dir.file("in.png");
        pngtest::write(path, img);

        PngReader reader;
        reader.open(path, expand);
        ASSERT_TRUE(reader.isOpen());
        EXPECT_EQ(reader.getWidth(), w);
        EXPECT_EQ(reader.getHeight(), h);
        EXPECT_EQ(reader.getBitDepth(), depth);
        EXPECT_EQ(reader.getColorType(), colorType);
        EXPECT_EQ(reader.getInterlaceMethod(), interlace);
        EXPECT_EQ(reader.getFileName(), path);
        int bytesPerPixel = static_cast<int>(expectedPixel(img, 0, 0, expand).size());
        EXPECT_EQ(reader.getRowBytes(), w * bytesPerPixel);
        EXPECT_EQ(compareRows(reader, img, expand), 0);
        reader.close();
        EXPECT_FALSE(reader.isOpen());
    }
}

std::vector<Format> allFormats() {
    std::vector<Format> out;
    const std::vector<std::pair<int, std::vector<int>>> depths = {
        {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}}, {PNG_COLOR_TYPE_RGB, {8, 16}},
        {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}}, {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
        {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}}};
    for (const auto& [type, list] : depths)
        for (int depth : list)
            for (int interlace : {PNG_INTERLACE_NONE, PNG_INTERLACE_ADAM7})
                for (bool expand : {false, true}) out.emplace_back(type, depth, interlace, expand);
    return out;
}

std::string formatName(const ::testing::TestParamInfo<Format>& info) {
    auto [type, depth, interlace, expand] = info.param;
    return "type" + std::to_string(type) + "_depth" + std::to_string(depth) + (interlace ? "_adam7" : "_plain") +
           (expand ? "_expand" : "_indices");
}

INSTANTIATE_TEST_SUITE_P(AllColourTypesAndDepths, ReaderFormats, ::testing::ValuesIn(allFormats()), formatName);

TEST(PngReader, LayoutOfTheEdgeFormats) {
    TempDir dir;
    std::string path = dir.file("a.png");
    PngReader reader;

    // 1-bit gray: one byte per pixel, 0 or 255 only.
    pngtest::write(path, pngtest::patterned(20, 4, 1, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE));
    reader.open(path, false);
    EXPECT_EQ(reader.getRowBytes(), 20u);
    bool sawBlack = false, sawWhite = false;
    for (uint32_t y = 0; y < 4; ++y) {
        reader.readRow();
        for (uint32_t x = 0; x < 20; ++x) {
            unsigned v = reader.getRowBuffer()[x];
            EXPECT_TRUE(v == 0 || v == 255) << v;
            sawBlack |= v == 0;
            sawWhite |= v == 255;
        }
    }
    EXPECT_TRUE(sawBlack && sawWhite);

    // Palette: indices without expansion, RGB with it.
    pngtest::write(path, pngtest::patterned(11, 2, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE));
    reader.open(path, false);
    EXPECT_EQ(reader.getRowBytes(), 11u);
    reader.open(path, true);
    EXPECT_EQ(reader.getRowBytes(), 33u);

    // RGBA: alpha stripped; 16-bit: two bytes per sample.
    pngtest::write(path, pngtest::patterned(5, 2, 8, PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE));
    reader.open(path, true);
    EXPECT_EQ(reader.getRowBytes(), 15u);
    pngtest::write(path, pngtest::patterned(5, 2, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE));
    reader.open(path, true);
    EXPECT_EQ(reader.getRowBytes(), 30u);
    pngtest::write(path, pngtest::patterned(5, 2, 16, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_INTERLACE_NONE));
    reader.open(path, true);
    EXPECT_EQ(reader.getRowBytes(), 10u);
}

TEST(PngReader, ResolutionFromThePhysChunk) {
    TempDir dir;
    std::string path = dir.file("r.png");
    Image img = pngtest::patterned(4, 4, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE);
    PngReader reader;

    pngtest::write(path, img);
    reader.open(path, false);
    EXPECT_EQ(reader.getXResolution(), 0.0);
    EXPECT_EQ(reader.getYResolution(), 0.0);

    img.hasPhys = true;
    img.physX = 2835;
    img.physY = 5906;
    pngtest::write(path, img);
    reader.open(path, false);
    EXPECT_NEAR(reader.getXResolution(), 72.009, 1e-9);
    EXPECT_NEAR(reader.getYResolution(), 5906 * 0.0254, 1e-9);
    reader.close();
    EXPECT_EQ(reader.getXResolution(), 0.0);

    img.physUnit = PNG_RESOLUTION_UNKNOWN;
    pngtest::write(path, img);
    reader.open(path, false);
    EXPECT_EQ(reader.getXResolution(), 0.0);
    EXPECT_EQ(reader.getYResolution(), 0.0);
}

TEST(PngReader, NewAndClosedReadersAreEmpty) {
    PngReader reader;
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.getWidth(), 0u);
    EXPECT_EQ(reader.getRowBytes(), 0u);
    EXPECT_EQ(reader.getRowBuffer(), nullptr);
    EXPECT_TRUE(reader.getFileName().empty());
    reader.close();
    reader.close();
    EXPECT_EQ(messageOf([&] { reader.readRow(); }), "Png-Error reading row data from file : the reader is not open.");

    TempDir dir;
    std::string path = dir.file("c.png");
    pngtest::write(path, pngtest::patterned(6, 3, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE));
    reader.open(path, false);
    reader.readRow();
    reader.close();  // after part of the image
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.getWidth(), 0u);
    EXPECT_EQ(reader.getHeight(), 0u);
    EXPECT_EQ(reader.getBitDepth(), 0);
    EXPECT_EQ(reader.getColorType(), 0);
    EXPECT_EQ(reader.getRowBytes(), 0u);
    EXPECT_EQ(reader.getRowBuffer(), nullptr);
    EXPECT_TRUE(reader.getFileName().empty());
}

TEST(PngReader, ReadingPastTheLastRowThrows) {
    TempDir dir;
    std::string path = dir.file("p.png");
    for (int interlace : {PNG_INTERLACE_NONE, PNG_INTERLACE_ADAM7}) {
        pngtest::write(path, pngtest::patterned(6, 2, 8, PNG_COLOR_TYPE_RGB, interlace));
        PngReader reader;
        reader.open(path, false);
        reader.readRow();
        reader.readRow();
        EXPECT_EQ(messageOf([&] { reader.readRow(); }),
                  "Png-Error reading row data from file " + path + ": all 2 rows have been read.");
        EXPECT_TRUE(reader.isOpen());
    }
}

TEST(PngReader, MissingAndNonPngFilesFailToOpen) {
    TempDir dir;
    PngReader reader;
    std::string missing = dir.file("missing.png");
    unsigned category = 0;
    EXPECT_EQ(messageOf([&] { reader.open(missing, false); }, &category),
              "Error opening file " + missing + " for reading: " + std::strerror(ENOENT));
    EXPECT_EQ(category, Xadra::CAT_PNG);
    EXPECT_FALSE(reader.isOpen());

    for (const std::string& content : {std::string(), std::string("GIF89a not a png at all"),
                                       std::string("\x89PNG\r\n\x1a\n", 8)}) {
        std::string path = dir.file("bad.png");
        pngtest::spit(path, content);
        std::string m = messageOf([&] { reader.open(path, false); }, &category);
        EXPECT_TRUE(startsWith(m, "Png-Error reading file " + path + ": ")) << m;
        EXPECT_EQ(m.back(), '.');
        EXPECT_GT(m.size(), ("Png-Error reading file " + path + ": .").size()) << "libpng's message is missing";
        EXPECT_EQ(category, Xadra::CAT_PNG);
        EXPECT_FALSE(reader.isOpen());
        EXPECT_TRUE(reader.getFileName().empty());
        EXPECT_EQ(reader.getRowBuffer(), nullptr);
    }
}

TEST(PngReader, TruncatedFilesFailInReadRowAndStayClosable) {
    TempDir dir;
    std::string whole = dir.file("whole.png");
    std::string cut = dir.file("cut.png");
    pngtest::write(whole, pngtest::noise(120, 100, 8, PNG_COLOR_TYPE_RGB, 1));
    std::string data = pngtest::slurp(whole);
    pngtest::spit(cut, data.substr(0, data.size() / 2));

    PngReader reader;
    reader.open(cut, false);
    uint32_t rows = 0;
    std::string m;
    try {
        for (; rows < reader.getHeight(); ++rows) reader.readRow();
    } catch (const Xadra::Exception& e) {
        m = e.getMessage();
        EXPECT_EQ(e.getCategory(), Xadra::CAT_PNG);
        EXPECT_EQ(e.getLevel(), 3);
    }
    EXPECT_GT(rows, 0u);
    EXPECT_LT(rows, 100u);
    EXPECT_EQ(m, "Png-Error reading row data from file " + cut + ": " + reader.getErrorText() + ".");
    EXPECT_GT(std::strlen(reader.getErrorText()), 0u);
    // Further reads report the same failure instead of touching libpng again.
    EXPECT_EQ(messageOf([&] { reader.readRow(); }), m);
    std::string log = pngtest::logOf([&] { reader.close(); });
    EXPECT_EQ(log.find("Png-Error cleaning up"), std::string::npos) << log;
    EXPECT_FALSE(reader.isOpen());

    // The reader is usable again afterwards.
    reader.open(whole, false);
    for (uint32_t y = 0; y < 100; ++y) reader.readRow();
    reader.close();

    // An interlaced file is decoded on the first row, so the first read fails.
    Image img = pngtest::noise(64, 64, 8, PNG_COLOR_TYPE_RGB, 2);
    img.interlace = PNG_INTERLACE_ADAM7;
    pngtest::write(whole, img);
    data = pngtest::slurp(whole);
    pngtest::spit(cut, data.substr(0, data.size() - 2000));
    reader.open(cut, true);
    m = messageOf([&] { reader.readRow(); });
    EXPECT_TRUE(startsWith(m, "Png-Error reading row data from file " + cut + ": ")) << m;
}

TEST(PngReader, CorruptFilesFailWithLibpngsMessage) {
    TempDir dir;
    std::string good = dir.file("good.png");
    Image img = pngtest::noise(50, 40, 8, PNG_COLOR_TYPE_RGB, 3);
    pngtest::write(good, img);
    const std::string data = pngtest::slurp(good);
    PngReader reader;

    // A damaged IHDR is found by open.
    std::string bad = data;
    bad[pngtest::chunkOffset(bad, "IHDR") + 10] ^= 0x40;
    std::string path = dir.file("ihdr.png");
    pngtest::spit(path, bad);
    std::string m = messageOf([&] { reader.open(path, false); });
    EXPECT_TRUE(startsWith(m, "Png-Error reading file " + path + ": ")) << m;
    EXPECT_NE(m.find("CRC"), std::string::npos) << m;
    EXPECT_FALSE(reader.isOpen());

    // Damaged image data is found by readRow.
    bad = data;
    size_t idat = pngtest::chunkOffset(bad, "IDAT");
    for (size_t i = idat + 8 + 200; i < idat + 8 + 400; ++i) bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    path = dir.file("idat.png");
    pngtest::spit(path, bad);
    reader.open(path, false);
    m = messageOf([&] {
        for (uint32_t y = 0; y < reader.getHeight(); ++y) reader.readRow();
    });
    EXPECT_TRUE(startsWith(m, "Png-Error reading row data from file " + path + ": ")) << m;
    reader.close();

    // Garbage after the image data is only seen by close, which logs it.
    bad = data;
    size_t iend = pngtest::chunkOffset(bad, "IEND");
    bad[iend + 4] = 'X';  // an unknown critical chunk where IEND was
    path = dir.file("tail.png");
    pngtest::spit(path, bad);
    reader.open(path, false);
    for (uint32_t y = 0; y < reader.getHeight(); ++y) reader.readRow();
    std::string log = pngtest::logOf([&] { reader.close(); });
    EXPECT_NE(log.find("Png-Error cleaning up resources for file " + path + ": "), std::string::npos) << log;
    EXPECT_FALSE(reader.isOpen());
}

TEST(PngReader, WarningsAreLoggedWithTheFileName) {
    TempDir dir;
    std::string path = dir.file("w.png");
    Image img = pngtest::patterned(8, 8, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE);
    img.hasText = true;
    pngtest::write(path, img);
    std::string data = pngtest::slurp(path);
    size_t text = pngtest::chunkOffset(data, "tEXt");
    data[text + 9] ^= 0x01;  // the ancillary chunk's CRC no longer matches
    pngtest::spit(path, data);

    PngReader reader;
    std::string log = pngtest::logOf([&] {
        reader.open(path, false);
        EXPECT_EQ(compareRows(reader, img, false), 0);
        reader.close();
    });
    EXPECT_NE(log.find("Png-Warning reading file " + path + ": "), std::string::npos) << log;
}

TEST(PngReader, HeadersBeyondThePixelLimitAreRefused) {
    TempDir dir;
    PngReader reader;
    EXPECT_EQ(reader.getMaxPixels(), PngReader::kDefaultMaxPixels);

    // A header alone claiming 30000 x 30000 RGB pixels (2.7 GB of rows).
    std::string path = dir.file("huge.png");
    pngtest::spit(path, pngtest::headerOnly(30000, 30000, 8, PNG_COLOR_TYPE_RGB));
    unsigned category = 0;
    EXPECT_EQ(messageOf([&] { reader.open(path, false); }, &category),
              "PNG file " + path + " claims 30000 x 30000 pixels (900000000), more than the limit of 400000000 pixels.");
    EXPECT_EQ(category, Xadra::CAT_PNG);
    EXPECT_FALSE(reader.isOpen());
    EXPECT_EQ(reader.getRowBuffer(), nullptr);

    // The limit is the reader's setting; the size at the limit passes.
    path = dir.file("small.png");
    Image img = pngtest::patterned(10, 20, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_ADAM7);
    pngtest::write(path, img);
    reader.setMaxPixels(199);
    EXPECT_EQ(messageOf([&] { reader.open(path, false); }),
              "PNG file " + path + " claims 10 x 20 pixels (200), more than the limit of 199 pixels.");
    reader.setMaxPixels(200);
    reader.open(path, false);
    EXPECT_EQ(compareRows(reader, img, false), 0);
    PngReader unlimited(0);
    unlimited.open(path, false);
    EXPECT_TRUE(unlimited.isOpen());
}

TEST(PngReader, ReopeningReplacesTheOpenFile) {
    TempDir dir;
    Image a = pngtest::patterned(7, 5, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_ADAM7);
    Image b = pngtest::patterned(3, 9, 4, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE);
    pngtest::write(dir.file("a.png"), a);
    pngtest::write(dir.file("b.png"), b);
    PngReader reader;
    reader.open(dir.file("a.png"), false);
    reader.readRow();
    reader.open(dir.file("b.png"), false);
    EXPECT_EQ(reader.getFileName(), dir.file("b.png"));
    EXPECT_EQ(compareRows(reader, b, false), 0);
}

// ---- writer ----

// Writes img through a PngWriter, rowsPerBuffer rows per call.
void writeWithWriter(const std::string& path, const Image& img, unsigned rowsPerBuffer) {
    PngWriter writer;
    writer.open(path, img.width, img.height, img.bitDepth, img.colorType, img.interlace,
                img.palette.empty() ? nullptr : img.palette.data(), static_cast<int>(img.palette.size()),
                rowsPerBuffer);
    ASSERT_TRUE(writer.isOpen());
    ASSERT_EQ(writer.getRowBytes(), img.rowBytes());
    ASSERT_EQ(writer.getRowsPerBuffer(), rowsPerBuffer);
    for (uint32_t y = 0; y < img.height; y += rowsPerBuffer) {
        std::memcpy(writer.getRowBuffer(), img.rows.data() + y * img.rowBytes(), img.rowBytes() * rowsPerBuffer);
        writer.writeRows();
    }
    EXPECT_EQ(writer.getRowsWritten(), img.height);
    writer.close();
    EXPECT_FALSE(writer.isOpen());
}

TEST(PngWriter, RoundTripThroughLibpng) {
    TempDir dir;
    std::string path = dir.file("out.png");
    const std::vector<std::tuple<int, int>> formats = {{PNG_COLOR_TYPE_GRAY, 1}, {PNG_COLOR_TYPE_GRAY, 8},
                                                       {PNG_COLOR_TYPE_RGB, 8}, {PNG_COLOR_TYPE_RGB, 16},
                                                       {PNG_COLOR_TYPE_PALETTE, 4}, {PNG_COLOR_TYPE_RGB_ALPHA, 8}};
    for (auto [type, depth] : formats)
        for (int interlace : {PNG_INTERLACE_NONE, PNG_INTERLACE_ADAM7})
            for (unsigned rows : {1u, 4u}) {
                SCOPED_TRACE("type " + std::to_string(type) + " depth " + std::to_string(depth) + " interlace " +
                             std::to_string(interlace) + " rows " + std::to_string(rows));
                Image img = pngtest::patterned(29, 12, depth, type, interlace);
                writeWithWriter(path, img, rows);
                Image back = pngtest::read(path);
                EXPECT_EQ(back.width, img.width);
                EXPECT_EQ(back.height, img.height);
                EXPECT_EQ(back.bitDepth, depth);
                EXPECT_EQ(back.colorType, type);
                EXPECT_EQ(back.interlace, interlace);
                EXPECT_TRUE(back.rows == img.rows);
                if (type == PNG_COLOR_TYPE_PALETTE) {
                    ASSERT_EQ(back.palette.size(), img.palette.size());
                    for (size_t i = 0; i < img.palette.size(); ++i) {
                        EXPECT_EQ(back.palette[i].red, img.palette[i].red);
                        EXPECT_EQ(back.palette[i].blue, img.palette[i].blue);
                    }
                }
            }
}

TEST(PngWriter, OnlyAFullImageIsValid) {
    TempDir dir;
    std::string path = dir.file("short.png");
    Image img = pngtest::noise(400, 100, 8, PNG_COLOR_TYPE_RGB, 4);
    std::string log = pngtest::logOf([&] {
        PngWriter writer;
        writer.open(path, 400, 100, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, nullptr, 0, 1);
        for (uint32_t y = 0; y < 40; ++y) {
            std::memcpy(writer.getRowBuffer(), img.rows.data() + y * img.rowBytes(), img.rowBytes());
            writer.writeRows();
        }
    });  // the destructor closes the writer
    EXPECT_NE(log.find("PNG file " + path + " closed after 40 of its 100 rows"), std::string::npos) << log;
    PngReader reader;
    reader.open(path, false);
    std::string m = messageOf([&] {
        for (uint32_t y = 0; y < 100; ++y) reader.readRow();
    });
    EXPECT_TRUE(startsWith(m, "Png-Error reading row data from file " + path)) << m;

    // More rows than the height are refused before they reach libpng.
    pngtest::logOf([&] {
        PngWriter writer;
        writer.open(path, 4, 5, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, nullptr, 0, 2);
        writer.writeRows();
        writer.writeRows();
        EXPECT_EQ(messageOf([&] { writer.writeRows(); }),
                  "Png-Error writing chunk to file " + path +
                      ": 2 more rows would exceed the image height 5 (4 rows written).");
    });
}

TEST(PngWriter, OpenFailuresLeaveTheWriterClosed) {
    TempDir dir;
    PngWriter writer;
    EXPECT_EQ(writer.getRowsPerBuffer(), 1u);
    std::string path = dir.file("no/such/dir/x.png");
    unsigned category = 0;
    EXPECT_EQ(messageOf([&] { writer.open(path, 4, 4, 8, PNG_COLOR_TYPE_RGB, 0, nullptr, 0, 1); }, &category),
              "Error opening PNG file " + path + " for writing: " + std::strerror(ENOENT));
    EXPECT_EQ(category, Xadra::CAT_PNG);
    EXPECT_FALSE(writer.isOpen());

    path = dir.file("bad.png");
    std::string m;
    std::string log = pngtest::logOf([&] { m = messageOf([&] { writer.open(path, 4, 4, 3, PNG_COLOR_TYPE_RGB, 0, nullptr, 0, 1); }); });
    EXPECT_TRUE(startsWith(m, "Png-Error writing file " + path + ": ")) << m;
    // libpng names each fault of the header as a warning first.
    EXPECT_NE(log.find("Png-Warning writing file " + path + ": Invalid bit depth in IHDR.\n"), std::string::npos) << log;
    EXPECT_FALSE(writer.isOpen());
    EXPECT_TRUE(writer.getFileName().empty());
    EXPECT_EQ(writer.getRowBuffer(), nullptr);
    EXPECT_EQ(writer.getRowBytes(), 0u);
    EXPECT_EQ(messageOf([&] { writer.writeRows(); }), "Png-Error writing chunk to file : the writer is not open.");

    m = messageOf([&] { writer.open(path, 0, 4, 8, PNG_COLOR_TYPE_GRAY, 0, nullptr, 0, 1); });
    EXPECT_TRUE(startsWith(m, "Png-Error writing file " + path + ": ")) << m;
    m = messageOf([&] { writer.open(path, 4, 4, 8, PNG_COLOR_TYPE_GRAY, 0, nullptr, 0, 0); });
    EXPECT_EQ(m, "Png-Error writing file " + path + ": the number of rows per buffer is 0.");
    writer.close();
}

// ---- hpgs images ----

TEST(LoadPngAsHpgsImage, GrayAndRgbPixelsLandInTheImage) {
    TempDir dir;
    std::string path = dir.file("img.png");
    for (int type : {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_RGB})
        for (int interlace : {PNG_INTERLACE_NONE, PNG_INTERLACE_ADAM7}) {
            SCOPED_TRACE("type " + std::to_string(type) + " interlace " + std::to_string(interlace));
            Image img = pngtest::patterned(33, 17, 8, type, interlace);
            pngtest::write(path, img);
            hpgs::UniqueImage image = Xadra::loadPngAsHpgsImage(path);
            ASSERT_NE(image, nullptr);
            unsigned char* data = nullptr;
            int stride = 0;
            ASSERT_EQ(hpgs_image_get_data(image.get(), &data, &stride), 0);
            int channels = type == PNG_COLOR_TYPE_RGB ? 3 : 1;
            ASSERT_GE(stride, 33 * channels);
            int mismatches = 0;
            for (uint32_t y = 0; y < 17; ++y)
                for (uint32_t x = 0; x < 33; ++x)
                    for (int c = 0; c < channels; ++c)
                        mismatches += data[y * stride + x * channels + c] != img.sample(x, y, c);
            EXPECT_EQ(mismatches, 0);
            unsigned char rgb[3];
            double alpha = 0;
            ASSERT_EQ(hpgs_image_get_pixel(image.get(), 5, 7, rgb, &alpha), 0);
            EXPECT_EQ(rgb[0], img.sample(5, 7, 0));
            EXPECT_EQ(rgb[2], img.sample(5, 7, channels - 1));
        }
}

TEST(LoadPngAsHpgsImage, RefusesWhatHpgsCannotHold) {
    TempDir dir;
    std::string path = dir.file("img.png");
    unsigned category = 0;
    struct Case {
        int type, depth;
        std::string message;
    };
    for (const Case& c : {Case{PNG_COLOR_TYPE_RGB_ALPHA, 8, "Unsupported color type 6."},
                          Case{PNG_COLOR_TYPE_GRAY_ALPHA, 8, "Unsupported color type 4."},
                          Case{PNG_COLOR_TYPE_PALETTE, 8, "Unsupported color type 3."},
                          Case{PNG_COLOR_TYPE_RGB, 16, "Unsupported bit depth 16."},
                          Case{PNG_COLOR_TYPE_GRAY, 4, "Unsupported bit depth 4."}}) {
        pngtest::write(path, pngtest::patterned(4, 4, c.depth, c.type, PNG_INTERLACE_NONE));
        EXPECT_EQ(messageOf([&] { Xadra::loadPngAsHpgsImage(path); }, &category), c.message);
        EXPECT_EQ(category, Xadra::CAT_FFT);
    }

    // Wider than hpgs images go.
    pngtest::write(path, pngtest::patterned(40000, 1, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE));
    std::string m = messageOf([&] { Xadra::loadPngAsHpgsImage(path); }, &category);
    EXPECT_TRUE(startsWith(m, "Unexpeted error creating hpgs image: ")) << m;
    EXPECT_GT(m.size(), std::string("Unexpeted error creating hpgs image: .").size()) << m;
    EXPECT_EQ(category, Xadra::CAT_FFT);

    // The reader's own failures pass through.
    std::string missing = dir.file("missing.png");
    EXPECT_EQ(messageOf([&] { Xadra::loadPngAsHpgsImage(missing); }, &category),
              "Error opening file " + missing + " for reading: " + std::strerror(ENOENT));
    EXPECT_EQ(category, Xadra::CAT_PNG);
    pngtest::write(path, pngtest::patterned(30, 30, 8, PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE));
    m = messageOf([&] { Xadra::loadPngAsHpgsImage(path, 899); });
    EXPECT_TRUE(startsWith(m, "PNG file " + path + " claims 30 x 30 pixels")) << m;

    // A truncated file fails after the image was made; the image is released.
    Image img = pngtest::noise(200, 100, 8, PNG_COLOR_TYPE_RGB, 5);
    pngtest::write(path, img);
    std::string data = pngtest::slurp(path);
    pngtest::spit(path, data.substr(0, data.size() / 3));
    m = messageOf([&] { Xadra::loadPngAsHpgsImage(path); }, &category);
    EXPECT_TRUE(startsWith(m, "Png-Error reading row data from file " + path + ": ")) << m;
    EXPECT_EQ(category, Xadra::CAT_PNG);
}

// ---- the fuzzer's seed corpus ----

TEST(PngSeedCorpus, SeedFilesReadAsTheirNamesSay) {
    const std::string dir = XAD_PNG_CORPUS;
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    ASSERT_GE(names.size(), 10u) << dir;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        PngReader reader;
        auto readAll = [&] {
            reader.open(path, true);
            for (uint32_t y = 0; y < reader.getHeight(); ++y) reader.readRow();
            reader.close();
        };
        if (name.find("huge") != std::string::npos) {
            EXPECT_TRUE(startsWith(messageOf(readAll), "PNG file " + path + " claims 30000 x 30000 pixels"));
        } else if (name.find("truncated") != std::string::npos || name.find("bad_crc") != std::string::npos) {
            EXPECT_TRUE(startsWith(messageOf(readAll), "Png-Error reading row data from file " + path + ": "));
        } else {
            // Intact files agree with libpng's own reading of them.
            Image img = pngtest::read(path);
            reader.open(path, true);
            EXPECT_EQ(compareRows(reader, img, true), 0);
            if (name.find("phys") != std::string::npos) {
                EXPECT_NEAR(reader.getXResolution(), 72.009, 1e-9);
            }
        }
    }
}

}  // namespace
