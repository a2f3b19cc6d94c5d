// A grey image as a grid of doubles with power-of-two sides, its
// two-dimensional Fourier spectrum, cross-correlation of two spectra and
// the correlation peak with sub-pixel precision.
//
// Pixel values measure ink: white is 0.0, black about 1.0 (see
// setWhiteOverEstimation).
//
// Layout: data() holds W x H doubles, row-major, row 0 first. After
// transform() data row r holds X(r, k) for k = 0 ... W/2 - 1, real part at
// column 2k and imaginary part at column 2k + 1, where
//     X(r, k) = sum over y, x of v(y, x) * exp(+2 pi i (r y / H + k x / W)),
// and nyquist() holds X(r, W/2) at 2r (real) and 2r + 1 (imaginary). The
// other half of the spectrum is X(r, k) = conj X((H - r) mod H, W - k).
// Nothing is normalised: transform() followed by inverseTransform()
// multiplies every value by W * H / 2.
//
// Transforms run on FFTW: rows through its real-to-complex transforms,
// columns, copied out in blocks that stay in the cache, through its
// complex ones (FFTPlans.h). Each size gets its plans once per process;
// planning is serialised by a process-wide lock, execution is not.
// Planner flags: FFTW_MEASURE, at most one second per plan. At 1024 x 1024
// (the seek size; bench/fft, CPU-time medians of two runs on a busy host)
// a transform pair takes 11.9-13.8 ms on measured plans, as long as FFTW's
// own two-dimensional real transform pair on measured plans (11.5-13.3
// ms), and 14.5-16.3 ms on estimated ones. Measuring costs about a second
// once per size and process, which preparePlans can move to start-up; at
// some 15 ms saved per seek job (nine transforms) it pays for itself after
// about seventy jobs. Stored wisdom would save that second, but needs a
// file the daemon keeps up to date.
//
// Ownership: the image owns both arrays (64-byte aligned, AlignedDoubles.h);
// clear() and the destructor free them. Movable,
// not copyable; a moved-from image is empty.
//
// Thread-safety: an instance belongs to one thread at a time; different
// instances may be used concurrently from any threads (the plan cache is
// shared and locked, the process-wide white over-estimation factor is an
// atomic that start-up sets before workers run).
//
// Errors: Xadra::Exception, category xadrafft, level 3, with the messages
// given at each function; the image keeps its state on a refusal (init has
// already cleared it when a side is refused). Allocation failures throw
// std::bad_alloc.
#pragma once

#include "hpgs.h"
#include "imaging/AlignedDoubles.h"

#include <memory>

namespace Xadra {

class PngReader;

class FFTImage {
public:
    FFTImage() noexcept;
    ~FFTImage();
    FFTImage(const FFTImage&) = delete;
    FFTImage& operator=(const FFTImage&) = delete;
    FFTImage(FFTImage&& other) noexcept;
    FFTImage& operator=(FFTImage&& other) noexcept;

    // Throws "Dimension %u is less than 2." or "Dimension %u is not a power
    // of 2." naming n.
    static void checkDimension(unsigned n);

    // Clears, checks w then h (checkDimension) and allocates the W x H data
    // and the 2 x H Nyquist column; contents are not initialised. The image
    // is not transformed afterwards.
    void init(unsigned w, unsigned h);
    // Frees both arrays; sides become 0.
    void clear() noexcept;

    // Makes the FFTW plans of w x h images now (w, h checked as by init), so
    // that the first transform of that size does not wait for the planner;
    // start-up can call it for the seek size. Any thread.
    static void preparePlans(unsigned w, unsigned h);

    unsigned getWidth() const noexcept { return width_; }
    unsigned getHeight() const noexcept { return height_; }
    bool isTransformed() const noexcept { return transformed_; }

    // W x H values (null when empty).
    double* data() noexcept { return data_.get(); }
    const double* data() const noexcept { return data_.get(); }
    // 2 x H values (null when empty); meaningful only while transformed.
    double* nyquist() noexcept { return nyquist_.get(); }
    const double* nyquist() const noexcept { return nyquist_.get(); }

    // Fills the image from an open reader, one row after the other from its
    // current row: pixels beyond the PNG's width or height are 0.0, pixels
    // of the PNG beyond the image are ignored. The reader must deliver 8-bit
    // grey or RGB: "Unsupported bit depth %d.", "Unsupported color type
    // %d." otherwise (the reader's own failures pass through, category
    // xadrapng). Afterwards the image is not transformed.
    void loadPng(PngReader& reader);

    // Fills the image from an hpgs image (any depth hpgs offers), pixel by
    // pixel through hpgs_image_get_pixel: value times the pixel's coverage;
    // pixels outside the hpgs image are 0.0. hpgs has no size query, so the
    // size is found as the first refused pixel of row 0 and column 0; the
    // calling thread's hpgs error slot is left as it was. Throws "No hpgs
    // image to load into the FFT image." for null. Not transformed afterwards.
    void loadImage(hpgs_png_image* image);

    // Forward transform into the layout above; "FFT image is already
    // transformed." when it is.
    void transform();
    // Backward transform (exp(-2 pi i ...), with the factor 1/2 that makes
    // the pair scale by W * H / 2); "FFT image is not transformed." unless
    // transformed.
    void inverseTransform();

    // this := this * conj(other), element by element over data and Nyquist
    // column. Both must be transformed ("FFT images for correlation are not
    // transformed.") and of the same size ("FFT images for correlation
    // differ in size: %ux%u and %ux%u."). After inverseTransform() the data
    // hold at (r, k) W * H / 2 times the sum of v(y + r, x + k) * w(y, x)
    // (indices modulo H and W; v this image, w the other).
    void correlate(const FFTImage& other);

    // Sum of |v| over all values; "FFT image is transformed in
    // autoCorrelation." when transformed.
    double autoCorrelation() const;

    // On a back-transformed correlation: result[0] row and result[1] column
    // of the peak with sub-pixel refinement (neighbours wrap around),
    // result[2] the peak value / (W * H), result[3] the separation: 1 minus
    // the largest of exp(q / p - 1) * manhattan distance / (W + H) over the
    // other entries q of the 256 largest values met in the scan (1000.0
    // when there is no other entry). The image must not be empty.
    void findMaximum(double result[4]) const;

    // The white over-estimation factor f: a pixel with RGB bytes R, G, B
    // has the value 1 - (11 R + 16 G + 5 B) / 32 / 255 * f, a grey byte g
    // 1 - g * f / 255. 1.0 until set; process-wide. Logs "Using white over
    // estimation factor [%lf]." (xadrafft, level 6).
    static void setWhiteOverEstimation(double f);
    static double getWhiteOverEstimation() noexcept;

private:
    unsigned width_ = 0;
    unsigned height_ = 0;
    AlignedDoubles data_;
    AlignedDoubles nyquist_;
    bool transformed_ = false;
};

}  // namespace Xadra
