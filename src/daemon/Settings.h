// Process-wide settings of the daemon, written once at start-up from the
// configuration and read afterwards by the job code. Setters validate and
// throw Xadra::Exception (level 3) with the message users see at start-up;
// accepted values are logged where the daemon reports them.
//
// Thread-safety: values are plain atomics; start-up writes them before any
// worker exists.
#pragma once

#include <string>

namespace Xadra::Settings {

// Render time-out (seconds a request waits for its job; default 3) and hold
// time-out (seconds a finished job stays in the registry; default 60).
void setRenderTimeout(unsigned seconds);
unsigned getRenderTimeout();
void setHoldTimeout(unsigned seconds);
unsigned getHoldTimeout();

// Stamp size in points (default 500.0) and PDF page border in points
// (default 56.69291338582677, 20 mm).
void setStampSize(double v);
double getStampSize();
void setPdfBorder(double v);
double getPdfBorder();

// Largest PDF page in inches (default 1000.0); refuses values below 100.0.
void setPdfMaxInchSize(double v);
double getPdfMaxInchSize();

// Alpha of lines thinner than a pixel (default 0.5); refuses values outside [0.001, 1.0].
void setThinAlpha(double v);
double getThinAlpha();

// Ghostscript executable; empty means discover it.
void setGsPath(const std::string& path);
std::string getGsPath();

// Pattern-seek render size (a power of two, at least 2; default 2048) — it
// also resets the label size to half of it — and the label size (below the
// seek size; 0 means half the seek size).
void setSeekSize(unsigned v);
unsigned getSeekSize();
void setLabelSize(unsigned v);
unsigned getLabelSize();

// Maximal fraction bits of the HPGL output device (default 0).
void setHpglMaxFractBits(int v);
int getHpglMaxFractBits();

// Correlation correction factor of the pattern seek (default 1.0). The FFT
// images' white over-estimation factor is FFTImage's own setting.
void setCorrelationFactor(double v);
double getCorrelationFactor();

// Largest number of pixels of one rendered image (default 400 megapixels);
// larger requests fail before any memory is allocated.
void setPngMaxPixels(unsigned long long v);
unsigned long long getPngMaxPixels();

// Throws unless n is at least 2 and a power of two ("Dimension %u is less
// than 2." / "Dimension %u is not a power of 2.", category xadrafft).
void checkDimension(unsigned n);

}  // namespace Xadra::Settings
