#include "imaging/FFTReference.h"

#include <cmath>
#include <numbers>
#include <utility>

namespace Xadra::fftref {

void complexFft(double* c, unsigned n, size_t stride, int sign) {
    auto re = [&](size_t i) -> double& { return c[2 * i * stride]; };
    auto im = [&](size_t i) -> double& { return c[2 * i * stride + 1]; };

    // Bit-reversal reordering: j runs through the bit-reversed values of i.
    for (unsigned i = 0, j = 0; i < n; ++i) {
        if (i < j) {
            std::swap(re(i), re(j));
            std::swap(im(i), im(j));
        }
        unsigned bit = n >> 1;
        while (bit != 0 && (j & bit) != 0) {
            j ^= bit;
            bit >>= 1;
        }
        j |= bit;
    }

    // Butterflies, stage lengths 2, 4, ... n.
    for (unsigned len = 2; len <= n; len <<= 1) {
        const double theta = sign * 2.0 * std::numbers::pi / len;
        const double s = std::sin(0.5 * theta);
        const double wpr = -2.0 * s * s;
        const double wpi = std::sin(theta);
        double wr = 1.0, wi = 0.0;
        const unsigned half = len / 2;
        for (unsigned m = 0; m < half; ++m) {
            for (unsigned i = m; i < n; i += len) {
                const unsigned j = i + half;
                const double tr = wr * re(j) - wi * im(j);
                const double ti = wr * im(j) + wi * re(j);
                re(j) = re(i) - tr;
                im(j) = im(i) - ti;
                re(i) += tr;
                im(i) += ti;
            }
            const double t = wr;
            wr += wr * wpr - wi * wpi;
            wi += wi * wpr + t * wpi;
        }
    }
}

namespace {

void complexFft2d(double* data, unsigned halfW, unsigned h, int sign) {
    for (unsigned y = 0; y < h; ++y) complexFft(data + 2 * size_t(y) * halfW, halfW, 1, sign);
    for (unsigned k = 0; k < halfW; ++k) complexFft(data + 2 * size_t(k), h, halfW, sign);
}

// Combines the complex values a (at (r, k)) and b (at ((h - r) mod h, W/2 - k)):
// with h1 = 0.5 (a + conj b) and g = c2 i (a - conj b), a := h1 + w g and
// b := conj(h1 - w g). Forward (c2 = -0.5, w = exp(+2 pi i k / W)) this turns
// the complex spectrum of the packed rows into the real data's spectrum;
// backward (c2 = +0.5, w = exp(-2 pi i k / W)) it undoes that exactly.
struct Split {
    double c2, wr, wi;
    void operator()(double* a, double* b, bool writeB) const {
        const double h1r = 0.5 * (a[0] + b[0]);
        const double h1i = 0.5 * (a[1] - b[1]);
        const double gr = -c2 * (a[1] + b[1]);
        const double gi = c2 * (a[0] - b[0]);
        const double wgr = wr * gr - wi * gi;
        const double wgi = wr * gi + wi * gr;
        a[0] = h1r + wgr;
        a[1] = h1i + wgi;
        if (writeB) {
            b[0] = h1r - wgr;
            b[1] = wgi - h1i;
        }
    }
};

void realSplit(double* data, double* nyquist, unsigned w, unsigned h, bool forward) {
    const unsigned halfW = w / 2;
    const double c2 = forward ? -0.5 : 0.5;
    const double theta = (forward ? 2.0 : -2.0) * std::numbers::pi / w;
    const double s = std::sin(0.5 * theta);
    const double wpr = -2.0 * s * s;
    const double wpi = std::sin(theta);
    auto at = [&](unsigned r, unsigned k) { return data + 2 * (size_t(r) * halfW + k); };

    if (forward) {
        for (unsigned r = 0; r < h; ++r) {
            nyquist[2 * r] = at(r, 0)[0];
            nyquist[2 * r + 1] = at(r, 0)[1];
        }
    }
    double wr = 1.0, wi = 0.0;
    for (unsigned k = 0; 2 * k <= halfW; ++k) {
        const Split split{c2, wr, wi};
        for (unsigned r = 0; r < h; ++r) {
            const unsigned r2 = (h - r) % h;
            if (k == 0) {
                // The partner of column 0 is column W/2, kept in the Nyquist
                // column; backward, only column 0 needs to be rebuilt.
                split(at(r, 0), nyquist + 2 * r2, forward);
            } else if (2 * k < halfW) {
                split(at(r, k), at(r2, halfW - k), true);
            } else if (r <= r2) {
                // Column W/4 is its own partner: rows r and h - r pair up.
                split(at(r, k), at(r2, k), r != r2);
            }
        }
        const double t = wr;
        wr += wr * wpr - wi * wpi;
        wi += wi * wpr + t * wpi;
    }
}

}  // namespace

void transform(double* data, double* nyquist, unsigned w, unsigned h, bool forward) {
    if (forward) {
        complexFft2d(data, w / 2, h, +1);
        realSplit(data, nyquist, w, h, true);
    } else {
        realSplit(data, nyquist, w, h, false);
        complexFft2d(data, w / 2, h, -1);
    }
}

}  // namespace Xadra::fftref
