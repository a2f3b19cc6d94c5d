// FFTImage: sizes, loading from PNG files and hpgs images, the transform
// against a direct evaluation of its defining sum and against the radix-2
// reference, correlation and the peak search, and concurrent use.
#include "imaging/FFTImage.h"
#include "imaging/FFTReference.h"
#include "imaging/PngReader.h"
#include "imaging/PngWriter.h"

#include "PngTestFiles.h"
#include "hpgs_ptr.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

using Xadra::FFTImage;
using Xadra::PngReader;
using Xadra::PngWriter;

namespace {

std::string messageOf(const std::function<void()>& f, unsigned* category = nullptr, int* level = nullptr) {
    try {
        f();
    } catch (const Plume::Exception& e) {
        if (category) *category = e.getCategory();
        if (level) *level = e.getLevel();
        return e.getMessage();
    }
    ADD_FAILURE() << "no exception";
    return {};
}


// Restores the process-wide factor when a test changed it.
struct WhiteOverEstimationGuard {
    double saved = FFTImage::getWhiteOverEstimation();
    ~WhiteOverEstimationGuard() {
        if (FFTImage::getWhiteOverEstimation() != saved) FFTImage::setWhiteOverEstimation(saved);
    }
};

std::vector<double> randomValues(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> dist(-1.0, 1.0);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

FFTImage imageOf(unsigned w, unsigned h, const std::vector<double>& values) {
    FFTImage img;
    img.init(w, h);
    std::copy(values.begin(), values.end(), img.data());
    return img;
}

// X(r, k) straight from its definition, for k = 0 ... W/2.
std::complex<double> dft(const std::vector<double>& v, unsigned w, unsigned h, unsigned r, unsigned k) {
    std::complex<double> sum = 0.0;
    for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
            const double phase = 2.0 * std::numbers::pi * (double(r) * y / h + double(k) * x / w);
            sum += v[size_t(y) * w + x] * std::polar(1.0, phase);
        }
    return sum;
}

void writePng(const std::string& path, unsigned w, unsigned h, int colorType,
              const std::function<void(unsigned x, unsigned y, unsigned char* px)>& pixel, int bitDepth = 8) {
    PngWriter writer;
    writer.open(path, w, h, bitDepth, colorType, PNG_INTERLACE_NONE, nullptr, 0, 1);
    const unsigned channels = colorType == PNG_COLOR_TYPE_RGB ? 3 : 1;
    for (unsigned y = 0; y < h; ++y) {
        for (unsigned x = 0; x < w; ++x) pixel(x, y, writer.getRowBuffer() + x * channels);
        writer.writeRows();
    }
    writer.close();
}

}  // namespace

// ---- sizes ----

TEST(FFTImageSize, DimensionsMustBePowersOfTwoOfAtLeastTwo) {
    unsigned category = 0;
    int level = 0;
    EXPECT_EQ(messageOf([] { FFTImage::checkDimension(1); }, &category, &level), "Dimension 1 is less than 2.");
    EXPECT_EQ(category, Xadra::CAT_FFT);
    EXPECT_EQ(level, 3);
    EXPECT_EQ(messageOf([] { FFTImage::checkDimension(0); }), "Dimension 0 is less than 2.");
    EXPECT_EQ(messageOf([] { FFTImage::checkDimension(12); }), "Dimension 12 is not a power of 2.");
    EXPECT_EQ(messageOf([] { FFTImage::checkDimension(0x80000001u); }), "Dimension 2147483649 is not a power of 2.");
    for (unsigned n = 2; n != 0 && n <= (1u << 31); n <<= 1) EXPECT_NO_THROW(FFTImage::checkDimension(n)) << n;
}

TEST(FFTImageSize, InitChecksWidthThenHeightAndLeavesAClearedImageOnFailure) {
    FFTImage img;
    img.init(4, 8);
    EXPECT_EQ(img.getWidth(), 4u);
    EXPECT_EQ(img.getHeight(), 8u);
    EXPECT_NE(img.data(), nullptr);
    EXPECT_NE(img.nyquist(), nullptr);
    EXPECT_EQ(messageOf([&] { img.init(1, 4); }), "Dimension 1 is less than 2.");
    EXPECT_EQ(img.getWidth(), 0u);
    EXPECT_EQ(img.data(), nullptr);
    EXPECT_EQ(messageOf([&] { img.init(12, 3); }), "Dimension 12 is not a power of 2.");
    EXPECT_EQ(messageOf([&] { img.init(4, 12); }), "Dimension 12 is not a power of 2.");
    EXPECT_EQ(img.getHeight(), 0u);
    EXPECT_EQ(messageOf([] { FFTImage::preparePlans(8, 6); }), "Dimension 6 is not a power of 2.");
}

TEST(FFTImageSize, MovedFromImageIsEmptyAndClearReturnsToDefault) {
    FFTImage a = imageOf(4, 2, {1, 2, 3, 4, 5, 6, 7, 8});
    a.transform();
    FFTImage b(std::move(a));
    EXPECT_EQ(a.getWidth(), 0u);
    EXPECT_EQ(a.data(), nullptr);
    EXPECT_FALSE(a.isTransformed());
    EXPECT_TRUE(b.isTransformed());
    EXPECT_DOUBLE_EQ(b.data()[0], 36.0);
    FFTImage c;
    c = std::move(b);
    EXPECT_EQ(c.getWidth(), 4u);
    EXPECT_EQ(b.getHeight(), 0u);
    c.clear();
    EXPECT_EQ(c.getWidth(), 0u);
    EXPECT_EQ(c.nyquist(), nullptr);
    EXPECT_FALSE(c.isTransformed());
}

// ---- loading ----

class FFTImageLoad : public ::testing::Test {
protected:
    pngtest::TempDir dir;
    WhiteOverEstimationGuard guard;
};

TEST_F(FFTImageLoad, GreyPngWhiteIsZeroBlackIsOneAndSizesAreFittedWithZeros) {
    // 3 x 5 grey file: white, black and a mid grey in turn.
    const std::string path = dir.file("grey.png");
    const unsigned char shades[3] = {255, 0, 51};
    writePng(path, 3, 5, PNG_COLOR_TYPE_GRAY, [&](unsigned x, unsigned y, unsigned char* px) {
        px[0] = shades[(x + y) % 3];
    });

    // Larger than the file: the rest is 0.0.
    PngReader reader;
    reader.open(path, true);
    FFTImage img;
    img.init(4, 8);
    img.loadPng(reader);
    EXPECT_FALSE(img.isTransformed());
    for (unsigned y = 0; y < 8; ++y)
        for (unsigned x = 0; x < 4; ++x) {
            double expected = 0.0;
            if (x < 3 && y < 5) expected = 1.0 - shades[(x + y) % 3] / 255.0;
            EXPECT_DOUBLE_EQ(img.data()[y * 4 + x], expected) << x << "," << y;
        }
    EXPECT_EQ(img.data()[0], 0.0);  // white
    EXPECT_EQ(img.data()[1], 1.0);  // black

    // Smaller than the file: the file is cut, and only the rows needed are read.
    reader.open(path, true);
    FFTImage small;
    small.init(2, 2);
    small.loadPng(reader);
    EXPECT_EQ(reader.getRowsRead(), 2u);
    EXPECT_EQ(small.data()[0], 0.0);
    EXPECT_EQ(small.data()[1], 1.0);
    EXPECT_EQ(small.data()[2], 1.0);
    EXPECT_DOUBLE_EQ(small.data()[3], 1.0 - 51 / 255.0);
}

TEST_F(FFTImageLoad, RgbPngWeighsTheChannelsElevenSixteenFive) {
    const std::string path = dir.file("rgb.png");
    const unsigned char colours[4][3] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {10, 200, 77}};
    writePng(path, 4, 2, PNG_COLOR_TYPE_RGB, [&](unsigned x, unsigned, unsigned char* px) {
        std::copy(colours[x], colours[x] + 3, px);
    });
    PngReader reader;
    reader.open(path, true);
    FFTImage img;
    img.init(8, 2);
    img.loadPng(reader);
    for (unsigned y = 0; y < 2; ++y) {
        const double* row = img.data() + y * 8;
        EXPECT_NEAR(row[0], 0.0, 1e-15);
        EXPECT_EQ(row[1], 1.0);
        EXPECT_NEAR(row[2], 1.0 - 11.0 / 32.0, 1e-15);
        EXPECT_NEAR(row[3], 1.0 - (11.0 * 10 + 16.0 * 200 + 5.0 * 77) / 32 / 255, 1e-15);
        for (unsigned x = 4; x < 8; ++x) EXPECT_EQ(row[x], 0.0);
    }
}

TEST_F(FFTImageLoad, WhiteOverEstimationScalesTheInkAndIsLogged) {
    const std::string path = dir.file("bw.png");
    writePng(path, 2, 2, PNG_COLOR_TYPE_GRAY, [](unsigned x, unsigned, unsigned char* px) { px[0] = x ? 0 : 255; });
    const std::string log = pngtest::logOf([] { FFTImage::setWhiteOverEstimation(2.0); });
    EXPECT_NE(log.find("Using white over estimation factor [2.000000]."), std::string::npos) << log;
    EXPECT_EQ(FFTImage::getWhiteOverEstimation(), 2.0);

    PngReader reader;
    reader.open(path, true);
    FFTImage img;
    img.init(2, 2);
    img.loadPng(reader);
    EXPECT_EQ(img.data()[0], -1.0);  // pure white over-estimated
    EXPECT_EQ(img.data()[1], 1.0);   // black stays black
}

TEST_F(FFTImageLoad, OnlyEightBitGreyAndRgbPngsAreAccepted) {
    FFTImage img;
    img.init(2, 2);
    PngReader reader;

    const std::string deep = dir.file("deep.png");
    writePng(deep, 2, 2, PNG_COLOR_TYPE_GRAY, [](unsigned, unsigned, unsigned char* px) { px[0] = px[1] = 0; }, 16);
    reader.open(deep, true);
    unsigned category = 0;
    EXPECT_EQ(messageOf([&] { img.loadPng(reader); }, &category), "Unsupported bit depth 16.");
    EXPECT_EQ(category, Xadra::CAT_FFT);

    pngtest::Image grayAlpha = pngtest::patterned(2, 2, 8, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_INTERLACE_NONE);
    pngtest::write(dir.file("ga.png"), grayAlpha);
    reader.open(dir.file("ga.png"), true);
    EXPECT_EQ(messageOf([&] { img.loadPng(reader); }), "Unsupported color type 4.");

    pngtest::Image palette = pngtest::patterned(2, 2, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE);
    pngtest::write(dir.file("pal.png"), palette);
    reader.open(dir.file("pal.png"), true);
    EXPECT_EQ(messageOf([&] { img.loadPng(reader); }), "Unsupported color type 3.");
}

TEST_F(FFTImageLoad, HpgsImageOfEitherDepthSmallerOrLargerThanTheImage) {
    for (int depth : {8, 24}) {
        hpgs::UniqueImage source(hpgs_new_png_image(3, 5, depth, HPGS_FALSE, HPGS_FALSE));
        ASSERT_TRUE(source);
        unsigned char* pixels = nullptr;
        int stride = 0;
        ASSERT_EQ(hpgs_image_get_data(source.get(), &pixels, &stride), 0);
        const int bytes = depth / 8;
        // Black in column 1, a grey (or red) in row 2 from column 2 on.
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 3; ++x) {
                unsigned char* px = pixels + y * stride + x * bytes;
                for (int c = 0; c < bytes; ++c) px[c] = x == 1 ? 0 : (y == 2 && x == 2 && c == 0 ? 128 : 255);
                if (depth == 24 && y == 2 && x == 2) px[0] = 255, px[1] = 0, px[2] = 0;
            }
        hpgs_set_error("earlier failure %d", depth);

        FFTImage large;
        large.init(4, 8);
        large.loadImage(source.get());
        EXPECT_EQ(std::string(hpgs_get_error()), "earlier failure " + std::to_string(depth));
        for (unsigned y = 0; y < 8; ++y)
            for (unsigned x = 0; x < 4; ++x) {
                double expected = 0.0;
                if (x == 1 && y < 5) expected = 1.0;
                if (x == 2 && y == 2) expected = depth == 8 ? 1.0 - 128 / 255.0 : 1.0 - 11.0 / 32.0;
                EXPECT_NEAR(large.data()[y * 4 + x], expected, 1e-15) << depth << ": " << x << "," << y;
            }

        hpgs_clear_error();
        FFTImage small;
        small.init(2, 2);
        small.loadImage(source.get());
        EXPECT_STREQ(hpgs_get_error(), "");
        EXPECT_NEAR(small.data()[0], 0.0, 1e-15);
        EXPECT_EQ(small.data()[1], 1.0);
        EXPECT_NEAR(small.data()[2], 0.0, 1e-15);
        EXPECT_EQ(small.data()[3], 1.0);
    }
    FFTImage img;
    img.init(2, 2);
    EXPECT_EQ(messageOf([&] { img.loadImage(nullptr); }), "No hpgs image to load into the FFT image.");
}

// ---- transform ----

TEST(FFTImageTransform, RefusesTheWrongState) {
    FFTImage img = imageOf(2, 2, {1, 0, 0, 0});
    unsigned category = 0;
    EXPECT_EQ(messageOf([&] { img.inverseTransform(); }, &category), "FFT image is not transformed.");
    EXPECT_EQ(category, Xadra::CAT_FFT);
    EXPECT_EQ(img.autoCorrelation(), 1.0);
    img.transform();
    EXPECT_TRUE(img.isTransformed());
    EXPECT_EQ(messageOf([&] { img.transform(); }), "FFT image is already transformed.");
    EXPECT_EQ(messageOf([&] { img.autoCorrelation(); }), "FFT image is transformed in autoCorrelation.");

    FFTImage loaded = imageOf(2, 2, {0, 1, 0, 0});
    EXPECT_EQ(messageOf([&] { img.correlate(loaded); }), "FFT images for correlation are not transformed.");
    EXPECT_EQ(messageOf([&] { loaded.correlate(img); }), "FFT images for correlation are not transformed.");
    FFTImage wider = imageOf(4, 2, std::vector<double>(8, 0.0));
    wider.transform();
    EXPECT_EQ(messageOf([&] { img.correlate(wider); }),
              "FFT images for correlation differ in size: 2x2 and 4x2.");
}

TEST(FFTImageTransform, SpectrumLayoutMatchesTheDefiningSum) {
    const std::pair<unsigned, unsigned> sizes[] = {{2, 2}, {8, 4}, {4, 16}, {2, 8}, {16, 2}, {32, 8}};
    for (auto [w, h] : sizes) {
        const std::vector<double> v = randomValues(size_t(w) * h, w * 100 + h);
        FFTImage img = imageOf(w, h, v);
        img.transform();
        std::vector<double> ref(v), refNyquist(2 * h);
        Xadra::fftref::transform(ref.data(), refNyquist.data(), w, h, true);
        for (unsigned r = 0; r < h; ++r) {
            for (unsigned k = 0; k <= w / 2; ++k) {
                const std::complex<double> expected = dft(v, w, h, r, k);
                const double* got = k < w / 2 ? img.data() + r * w + 2 * k : img.nyquist() + 2 * r;
                const double* refGot = k < w / 2 ? ref.data() + r * w + 2 * k : refNyquist.data() + 2 * r;
                EXPECT_NEAR(got[0], expected.real(), 1e-10) << w << "x" << h << " r=" << r << " k=" << k;
                EXPECT_NEAR(got[1], expected.imag(), 1e-10) << w << "x" << h << " r=" << r << " k=" << k;
                EXPECT_NEAR(refGot[0], expected.real(), 1e-10) << "reference " << w << "x" << h << " " << r << "," << k;
                EXPECT_NEAR(refGot[1], expected.imag(), 1e-10) << "reference " << w << "x" << h << " " << r << "," << k;
            }
        }
    }
}

TEST(FFTImageTransform, FftwPathAgreesWithTheRadix2ReferenceBothWays) {
    const std::pair<unsigned, unsigned> sizes[] = {{2, 2}, {8, 4}, {4, 16}, {64, 64}, {256, 8}, {2, 128}, {128, 32}};
    for (auto [w, h] : sizes) {
        const size_t n = size_t(w) * h;
        const std::vector<double> v = randomValues(n, w + 7 * h);
        FFTImage img = imageOf(w, h, v);
        std::vector<double> ref(v), refNyquist(2 * h);
        img.transform();
        Xadra::fftref::transform(ref.data(), refNyquist.data(), w, h, true);
        const double tolerance = 1e-12 * double(n);
        double worst = 0.0;
        for (size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(img.data()[i] - ref[i]));
        for (size_t i = 0; i < 2 * h; ++i) worst = std::max(worst, std::fabs(img.nyquist()[i] - refNyquist[i]));
        EXPECT_LT(worst, tolerance) << w << "x" << h << " forward";

        img.inverseTransform();
        Xadra::fftref::transform(ref.data(), refNyquist.data(), w, h, false);
        worst = 0.0;
        double worstRoundTrip = 0.0;
        for (size_t i = 0; i < n; ++i) {
            worst = std::max(worst, std::fabs(img.data()[i] - ref[i]));
            worstRoundTrip = std::max(worstRoundTrip, std::fabs(img.data()[i] - v[i] * double(n) / 2));
        }
        EXPECT_LT(worst, tolerance) << w << "x" << h << " backward";
        EXPECT_LT(worstRoundTrip, tolerance) << w << "x" << h << ": a transform pair scales by W*H/2";
        EXPECT_FALSE(img.isTransformed());
    }
}

TEST(FFTImageTransform, AutoCorrelationSumsMagnitudes) {
    FFTImage img = imageOf(2, 4, {1.0, -2.0, 0.5, 0.0, -0.25, 3.0, 0.0, 1.0});
    EXPECT_DOUBLE_EQ(img.autoCorrelation(), 7.75);
}

// ---- correlation and peak ----

TEST(FFTImageCorrelation, ImpulseAgainstItselfPeaksAtTheOriginWithHalfTheArea) {
    for (auto [w, h] : {std::pair{2u, 2u}, {16u, 8u}, {8u, 32u}}) {
        std::vector<double> v(size_t(w) * h, 0.0);
        v[0] = 1.0;
        FFTImage a = imageOf(w, h, v), b = imageOf(w, h, v);
        a.transform();
        b.transform();
        a.correlate(b);
        a.inverseTransform();
        EXPECT_NEAR(a.data()[0], w * h / 2.0, 1e-9) << w << "x" << h;
        double result[4];
        a.findMaximum(result);
        EXPECT_NEAR(result[0], 0.0, 1e-9);
        EXPECT_NEAR(result[1], 0.0, 1e-9);
        EXPECT_NEAR(result[2], 0.5, 1e-12);
    }
}

TEST(FFTImageCorrelation, ShiftedCopyPeaksAtTheShiftAlsoWhenItWraps) {
    const unsigned w = 64, h = 32;
    const std::vector<double> pattern = randomValues(size_t(w) * h, 42);
    double energy = 0.0;
    for (double x : pattern) energy += x * x;
    for (auto [dy, dx] : {std::pair{3u, 5u}, {h - 2, w - 7}, {0u, 1u}}) {
        std::vector<double> shifted(pattern.size());
        for (unsigned y = 0; y < h; ++y)
            for (unsigned x = 0; x < w; ++x) shifted[((y + dy) % h) * w + (x + dx) % w] = pattern[y * w + x];
        FFTImage seek = imageOf(w, h, shifted), pat = imageOf(w, h, pattern);
        seek.transform();
        pat.transform();
        seek.correlate(pat);
        EXPECT_TRUE(pat.isTransformed());
        seek.inverseTransform();
        double result[4];
        seek.findMaximum(result);
        EXPECT_NEAR(result[0], dy, 0.5) << dy << "," << dx;
        EXPECT_NEAR(result[1], dx, 0.5) << dy << "," << dx;
        EXPECT_NEAR(result[2], energy / 2, 1e-9);
        // Random data correlate with a shift of themselves far below the peak.
        EXPECT_GT(result[3], 0.5);
        EXPECT_LT(result[3], 1.0);
    }
}

TEST(FFTImageCorrelation, LonePeakHasSeparationThousand) {
    // After the first value nothing is larger than the set's smallest entry.
    FFTImage img = imageOf(4, 4, std::vector<double>(16, 0.0));
    img.data()[0] = 8.0;
    double result[4];
    img.findMaximum(result);
    EXPECT_EQ(result[0], 0.0);
    EXPECT_EQ(result[1], 0.0);
    EXPECT_EQ(result[2], 0.5);
    EXPECT_EQ(result[3], 1000.0);
}

TEST(FFTImageCorrelation, SubPixelPeakWrapsToTheLastRowAndColumn) {
    // Peak 10 at (0, 0); below 6, above (last row) 8; right 4, left (last column) 7.
    const unsigned w = 8, h = 4;
    FFTImage img = imageOf(w, h, std::vector<double>(w * h, 0.0));
    double* v = img.data();
    v[0] = 10.0;
    v[w] = 6.0;
    v[(h - 1) * w] = 8.0;
    v[1] = 4.0;
    v[w - 1] = 7.0;
    double result[4];
    img.findMaximum(result);
    EXPECT_DOUBLE_EQ(result[0], 0.5 * (8.0 - 6.0) / (6.0 + 8.0 - 20.0));
    EXPECT_DOUBLE_EQ(result[1], 0.5 * (7.0 - 4.0) / (4.0 + 7.0 - 20.0));
    EXPECT_DOUBLE_EQ(result[2], 10.0 / (w * h));
    // The set holds 10 only: every later value is smaller than it.
    EXPECT_EQ(result[3], 1000.0);
}

TEST(FFTImageCorrelation, FlatNeighbourhoodKeepsTheWholePixelAndSeparationUsesTheKeptEntries) {
    // Rising values all enter the set; of the two 9s the later, (1, 3), is the peak.
    const unsigned w = 4, h = 2;
    const std::vector<double> v = {1, 2, 3, 4, 5, 6, 9, 9};
    FFTImage img = imageOf(w, h, v);
    double result[4];
    img.findMaximum(result);
    // Above and below (wrapping) are both row 0's 4: the row stays whole.
    EXPECT_DOUBLE_EQ(result[0], 1.0);
    // Right (wrapping) 5, left 9.
    EXPECT_DOUBLE_EQ(result[1], 3.0 + 0.5 * (9.0 - 5.0) / (5.0 + 9.0 - 18.0));
    EXPECT_DOUBLE_EQ(result[2], 9.0 / 8);
    double largest = -999.0;
    for (unsigned m = 0; m < 7; ++m)
        largest = std::max(largest, std::exp(v[m] / 9.0 - 1) * (std::fabs(1.0 - m / w) + std::fabs(3.0 - m % w)) / 6);
    EXPECT_DOUBLE_EQ(result[3], 1.0 - largest);
    // The 5 at (1, 0) is the most separating entry here.
    EXPECT_DOUBLE_EQ(largest, std::exp(5.0 / 9 - 1) * 3 / 6);
}

// ---- concurrency ----

TEST(FFTImageThreads, ConcurrentImagesOfSameAndDifferentSizesGiveTheSerialResults) {
    // Sizes no other test plans, two of them twice: threads meet on the
    // first planning of a size as well as on different sizes.
    const std::pair<unsigned, unsigned> sizes[] = {{32, 256}, {32, 256}, {512, 4}, {16, 512}, {512, 4}, {4, 256}};
    struct Case {
        unsigned w, h;
        std::vector<double> input, expected;
    };
    std::vector<Case> cases;
    for (size_t i = 0; i < std::size(sizes); ++i) {
        auto [w, h] = sizes[i];
        Case c{w, h, randomValues(size_t(w) * h, unsigned(i)), {}};
        // The expected correlation from the reference, serially.
        std::vector<double> a(c.input), nyq(2 * h);
        Xadra::fftref::transform(a.data(), nyq.data(), w, h, true);
        for (size_t j = 0; j < a.size(); j += 2) {
            const double re = a[j], im = a[j + 1];
            a[j] = re * re + im * im;
            a[j + 1] = 0.0;
        }
        for (size_t j = 0; j < nyq.size(); j += 2) {
            nyq[j] = nyq[j] * nyq[j] + nyq[j + 1] * nyq[j + 1];
            nyq[j + 1] = 0.0;
        }
        Xadra::fftref::transform(a.data(), nyq.data(), w, h, false);
        c.expected = a;
        cases.push_back(std::move(c));
    }

    std::vector<int> failures(cases.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < cases.size(); ++i) {
        threads.emplace_back([&, i] {
            const Case& c = cases[i];
            for (int round = 0; round < 5; ++round) {
                FFTImage a = imageOf(c.w, c.h, c.input), b = imageOf(c.w, c.h, c.input);
                a.transform();
                b.transform();
                a.correlate(b);
                a.inverseTransform();
                for (size_t j = 0; j < c.expected.size(); ++j)
                    if (std::fabs(a.data()[j] - c.expected[j]) > 1e-9 * c.expected.size()) ++failures[i];
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(failures[i], 0) << sizes[i].first << "x" << sizes[i].second;
}
