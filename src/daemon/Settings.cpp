#include "Settings.h"

#include "plume/Thread.h"
#include "xadracommon/LogService.h"
#include "xadracommon/XadraException.h"

#include <atomic>

namespace Xadra::Settings {

namespace {
std::atomic<unsigned> g_renderTimeout{3};
std::atomic<unsigned> g_holdTimeout{60};
std::atomic<double> g_stampSize{500.0};
std::atomic<double> g_pdfBorder{56.69291338582677};
std::atomic<double> g_pdfMaxInch{1000.0};
std::atomic<double> g_thinAlpha{0.5};
Plume::Mutex g_gsMutex;
std::string g_gsPath GUARDED_BY(g_gsMutex);
std::atomic<unsigned> g_seekSize{2048};
std::atomic<unsigned> g_labelSize{1024};
std::atomic<int> g_maxFractBits{0};
std::atomic<double> g_correlation{1.0};
std::atomic<unsigned long long> g_maxPixels{400ull * 1000 * 1000};
}  // namespace

void setRenderTimeout(unsigned s) { g_renderTimeout = s; }
unsigned getRenderTimeout() { return g_renderTimeout; }
void setHoldTimeout(unsigned s) { g_holdTimeout = s; }
unsigned getHoldTimeout() { return g_holdTimeout; }
void setStampSize(double v) { g_stampSize = v; }
double getStampSize() { return g_stampSize; }
void setPdfBorder(double v) { g_pdfBorder = v; }
double getPdfBorder() { return g_pdfBorder; }

void setPdfMaxInchSize(double v) {
    if (!(v >= 100.0)) throw Exception(CAT_HPGS, 3, "xadrad_pdf_max_inch_size is smaller than 100.0");
    g_pdfMaxInch = v;
    logCategory(CAT_HPGS, 6, "Using maximal PDF size of [%lg inches].", v);
}
double getPdfMaxInchSize() { return g_pdfMaxInch; }

void setThinAlpha(double v) {
    if (!(v >= 0.001 && v <= 1.0))
        throw Exception(CAT_DAEMON, 3, "Thin alpha %lg does not lie in the interval [0.001,1.0].", v);
    g_thinAlpha = v;
}
double getThinAlpha() { return g_thinAlpha; }

void setGsPath(const std::string& path) {
    Plume::MutexLock lock(g_gsMutex);
    g_gsPath = path;
}
std::string getGsPath() {
    Plume::MutexLock lock(g_gsMutex);
    return g_gsPath;
}

void checkDimension(unsigned n) {
    if (n < 2) throw Exception(CAT_FFT, 3, "Dimension %u is less than 2.", n);
    if (n & (n - 1)) throw Exception(CAT_FFT, 3, "Dimension %u is not a power of 2.", n);
}

void setSeekSize(unsigned v) {
    checkDimension(v);
    g_seekSize = v;
    g_labelSize = v / 2;
    logCategory(CAT_FFT, 6, "Using seek size [%u].", v);
}
unsigned getSeekSize() { return g_seekSize; }

void setLabelSize(unsigned v) {
    if (v == 0) v = g_seekSize / 2;
    if (v >= g_seekSize) throw Exception(CAT_FFT, 3, "label_render_size is greater than render_size.");
    g_labelSize = v;
    logCategory(CAT_FFT, 6, "Using label size [%u].", v);
}
unsigned getLabelSize() { return g_labelSize; }

void setHpglMaxFractBits(int v) { g_maxFractBits = v; }
int getHpglMaxFractBits() { return g_maxFractBits; }

void setCorrelationFactor(double v) {
    g_correlation = v;
    logCategory(CAT_FFT, 6, "Using correlation correction factor [%lf].", v);
}
double getCorrelationFactor() { return g_correlation; }

void setPngMaxPixels(unsigned long long v) { g_maxPixels = v; }
unsigned long long getPngMaxPixels() { return g_maxPixels; }

}  // namespace Xadra::Settings
