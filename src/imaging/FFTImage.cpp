#include "imaging/FFTImage.h"

#include "imaging/FFTPlans.h"
#include "imaging/PngReader.h"
#include "xadracommon/XadraException.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <iterator>
#include <new>
#include <set>
#include <string>
#include <utility>

namespace Xadra {

namespace {

std::atomic<double> whiteOverEstimation{1.0};

// The ink of a pixel from its colour bytes: 1 - (11 R + 16 G + 5 B) / 32 / 255 * f.
double rgbValue(unsigned r, unsigned g, unsigned b, double f) {
    return 1.0 - (0.0013480392156862745 * r + 0.00196078431372549 * g + 0.0006127450980392157 * b) * f;
}

}  // namespace

FFTImage::FFTImage() noexcept = default;

FFTImage::~FFTImage() = default;

FFTImage::FFTImage(FFTImage&& other) noexcept
    : width_(std::exchange(other.width_, 0)),
      height_(std::exchange(other.height_, 0)),
      data_(std::move(other.data_)),
      nyquist_(std::move(other.nyquist_)),
      transformed_(std::exchange(other.transformed_, false)) {}

FFTImage& FFTImage::operator=(FFTImage&& other) noexcept {
    if (this != &other) {
        width_ = std::exchange(other.width_, 0);
        height_ = std::exchange(other.height_, 0);
        data_ = std::move(other.data_);
        nyquist_ = std::move(other.nyquist_);
        transformed_ = std::exchange(other.transformed_, false);
    }
    return *this;
}

void FFTImage::checkDimension(unsigned n) {
    if (n < 2) throw Exception(CAT_FFT, 3, "Dimension %u is less than 2.", n);
    if ((n & (n - 1)) != 0) throw Exception(CAT_FFT, 3, "Dimension %u is not a power of 2.", n);
}

void FFTImage::init(unsigned w, unsigned h) {
    clear();
    checkDimension(w);
    checkDimension(h);
    AlignedDoubles data = allocateDoubles(size_t(w) * h);
    AlignedDoubles nyquist = allocateDoubles(2 * size_t(h));
    data_ = std::move(data);
    nyquist_ = std::move(nyquist);
    width_ = w;
    height_ = h;
}

void FFTImage::preparePlans(unsigned w, unsigned h) {
    checkDimension(w);
    checkDimension(h);
    fft::plansFor(w, h);
}

void FFTImage::clear() noexcept {
    data_.reset();
    nyquist_.reset();
    width_ = 0;
    height_ = 0;
    transformed_ = false;
}

void FFTImage::loadPng(PngReader& reader) {
    if (reader.getBitDepth() != 8) throw Exception(CAT_FFT, 3, "Unsupported bit depth %d.", reader.getBitDepth());
    const int colorType = reader.getColorType();
    if (colorType != PNG_COLOR_TYPE_GRAY && colorType != PNG_COLOR_TYPE_RGB)
        throw Exception(CAT_FFT, 3, "Unsupported color type %d.", colorType);

    const double f = whiteOverEstimation.load(std::memory_order_relaxed);
    const double greyScale = f / 255.0;
    const unsigned columns = std::min<unsigned>(width_, reader.getWidth());
    const unsigned rows = std::min<unsigned>(height_, reader.getHeight());
    transformed_ = false;
    for (unsigned y = 0; y < rows; ++y) {
        reader.readRow();
        const unsigned char* in = reader.getRowBuffer();
        double* out = data_.get() + size_t(y) * width_;
        if (colorType == PNG_COLOR_TYPE_GRAY) {
            for (unsigned x = 0; x < columns; ++x) out[x] = 1.0 - in[x] * greyScale;
        } else {
            for (unsigned x = 0; x < columns; ++x) out[x] = rgbValue(in[3 * x], in[3 * x + 1], in[3 * x + 2], f);
        }
        std::fill(out + columns, out + width_, 0.0);
    }
    std::fill(data_.get() + size_t(rows) * width_, data_.get() + size_t(height_) * width_, 0.0);
}

void FFTImage::loadImage(hpgs_png_image* image) {
    if (!image) throw Exception(CAT_FFT, 3, "No hpgs image to load into the FFT image.");
    const double f = whiteOverEstimation.load(std::memory_order_relaxed);
    transformed_ = false;
    unsigned char rgb[3];
    double coverage = 0.0;
    int iw = 0, ih = 0;
    hpgs_image_get_size(image, &iw, &ih);
    const unsigned columns = std::min(width_, static_cast<unsigned>(std::max(iw, 0)));
    const unsigned rows = std::min(height_, static_cast<unsigned>(std::max(ih, 0)));
    for (unsigned y = 0; y < rows; ++y) {
        double* out = data_.get() + size_t(y) * width_;
        for (unsigned x = 0; x < columns; ++x) {
            hpgs_image_get_pixel(image, int(x), int(y), rgb, &coverage);
            out[x] = rgbValue(rgb[0], rgb[1], rgb[2], f) * coverage;
        }
        std::fill(out + columns, out + width_, 0.0);
    }
    std::fill(data_.get() + size_t(rows) * width_, data_.get() + size_t(height_) * width_, 0.0);
}

void FFTImage::transform() {
    if (transformed_) throw Exception(CAT_FFT, 3, "FFT image is already transformed.");
    fft::forward(fft::plansFor(width_, height_), data_.get(), nyquist_.get(), width_, height_);
    transformed_ = true;
}

void FFTImage::inverseTransform() {
    if (!transformed_) throw Exception(CAT_FFT, 3, "FFT image is not transformed.");
    fft::backward(fft::plansFor(width_, height_), data_.get(), nyquist_.get(), width_, height_);
    transformed_ = false;
}

void FFTImage::correlate(const FFTImage& other) {
    if (!transformed_ || !other.transformed_)
        throw Exception(CAT_FFT, 3, "FFT images for correlation are not transformed.");
    if (width_ != other.width_ || height_ != other.height_)
        throw Exception(CAT_FFT, 3, "FFT images for correlation differ in size: %ux%u and %ux%u.", width_, height_,
                        other.width_, other.height_);
    auto multiply = [](double* a, const double* g, size_t complexCount) {
        for (size_t i = 0; i < complexCount; ++i) {
            const double ar = a[2 * i], ai = a[2 * i + 1];
            const double gr = g[2 * i], gi = g[2 * i + 1];
            a[2 * i] = ar * gr + ai * gi;
            a[2 * i + 1] = ai * gr - ar * gi;
        }
    };
    multiply(data_.get(), other.data_.get(), size_t(width_) * height_ / 2);
    multiply(nyquist_.get(), other.nyquist_.get(), height_);
}

double FFTImage::autoCorrelation() const {
    if (transformed_) throw Exception(CAT_FFT, 3, "FFT image is transformed in autoCorrelation.");
    double sum = 0.0;
    const size_t n = size_t(width_) * height_;
    for (size_t i = 0; i < n; ++i) sum += std::fabs(data_[i]);
    return sum;
}

void FFTImage::findMaximum(double result[4]) const {
    logCategory(CAT_FFT, 7, "FFTImage::findMaximum: starting...");
    const size_t n = size_t(width_) * height_;
    if (n == 0) throw Exception(CAT_FFT, 3, "FFT image is empty in findMaximum.");
    const double* v = data_.get();

    // The 256 largest values met, in the order of the scan among equals
    // (multiset inserts after equal keys).
    struct ByValue {
        bool operator()(const std::pair<double, size_t>& a, const std::pair<double, size_t>& b) const {
            return a.first < b.first;
        }
    };
    constexpr size_t kKept = 256;
    std::multiset<std::pair<double, size_t>, ByValue> best;
    for (size_t m = 0; m < n; ++m) {
        if (best.empty() || v[m] > best.begin()->first) {
            if (best.size() >= kKept) best.erase(best.begin());
            best.insert({v[m], m});
        }
    }

    const auto peak = std::prev(best.end());
    const size_t m = peak->second;
    const double p = peak->first;
    const size_t w = width_, h = height_;
    const size_t i = m / w, j = m % w;

    auto refine = [](double position, double p, double a, double b) {
        const double den = a + b - 2.0 * p;
        if (std::fabs(b - a) * 1e-8 <= std::fabs(den) && std::fabs(den) >= 1e-16)
            return position + 0.5 * (b - a) / den;
        return position;
    };
    const double row = refine(double(i), p, v[(m + w) % n], v[(m + (h - 1) * w) % n]);
    const double column = refine(double(j), p, v[i * w + (j + 1) % w], v[i * w + (j + w - 1) % w]);
    logCategory(CAT_FFT, 7, "FFTImage::findMaximum: max_data: i,j,v=%lg,%lg,%lg.", row, column, p);

    double largest = -999.0;
    for (auto it = best.begin(); it != peak; ++it) {
        const double ki = double(it->second / w), kj = double(it->second % w);
        const double s = std::exp(it->first / p - 1.0) * (std::fabs(double(i) - ki) + std::fabs(double(j) - kj)) /
                         double(w + h);
        if (s > largest) largest = s;
    }
    result[0] = row;
    result[1] = column;
    result[2] = p / double(n);
    result[3] = 1.0 - largest;
}

void FFTImage::setWhiteOverEstimation(double f) {
    whiteOverEstimation.store(f, std::memory_order_relaxed);
    logCategory(CAT_FFT, 6, "Using white over estimation factor [%lf].", f);
}

double FFTImage::getWhiteOverEstimation() noexcept { return whiteOverEstimation.load(std::memory_order_relaxed); }

}  // namespace Xadra
