// Test helpers: documents from files and memory, qpdf --check, and
// ghostscript renderings read back as pixels.
#ifndef HPGSPDF_TEST_HELPERS_H
#define HPGSPDF_TEST_HELPERS_H

#include "hpgs_ptr.h"
#include "hpgspdf.h"
#include "hpgspdf_ptr.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace testpdf {

inline std::string dataPath(const std::string& rel) { return std::string(XAD_TEST_DATA) + "/" + rel; }

using PdfPtr = hpgs::UniquePdfFile;
using BundlePtr = hpgs::UniqueFdfBundle;
using DevicePtr = hpgs::UniqueDevice;

inline PdfPtr openPdf(const std::string& path) {
    return PdfPtr(hpgs_new_pdf_file(hpgs_new_file_istream(path.c_str())));
}
inline PdfPtr openPdfBytes(const std::string& bytes) {
    return PdfPtr(hpgs_new_pdf_file(hpgs_new_mem_istream(bytes.data(), bytes.size(), 1)));
}
inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// A scratch directory per test, removed afterwards; with HPGSPDF_TEST_OUT
// set, files go there and stay for inspection.
class TempDir {
public:
    TempDir() {
        if (const char* keep = std::getenv("HPGSPDF_TEST_OUT")) {
            dir_ = keep;
            keep_ = true;
            std::filesystem::create_directories(dir_);
            return;
        }
        char tmpl[] = "/tmp/hpgspdf_test_XXXXXX";
        dir_ = mkdtemp(tmpl);
    }
    ~TempDir() {
        if (!keep_) std::filesystem::remove_all(dir_);
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
    bool keep_ = false;
};

// Imports an FDF file into the bundle; returns the result code.
inline int importFdf(hpgs_pdf_fdf_bundle* b, const std::string& path, int mode,
                     const double* color = nullptr, const char* author = "xadrac",
                     const char* title = "xadrac 0") {
    return hpgs_pdf_fdf_bundle_import_fdf(b, hpgs_new_file_istream(path.c_str()), author, title,
                                          "utf-8", color, mode);
}

// Writes the document to a file; asserts success.
inline void writePdf(hpgs_pdf_file* pdf, const std::string& path) {
    hpgs::UniqueOstream os(hpgs_new_file_ostream(path.c_str()));
    ASSERT_NE(os, nullptr) << hpgs_get_error();
    ASSERT_EQ(hpgs_pdf_file_write(pdf, os.get()), 0) << hpgs_get_error();
    // Closing flushes: the file is complete only when this succeeds.
    ASSERT_EQ(hpgs_ostream_close(os.release()), 0) << path;
}

inline int run(const std::string& cmd) {
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// qpdf --check: 0 clean, 3 with warnings, 2 errors.
inline int qpdfCheck(const std::string& path) { return run("qpdf --check '" + path + "'"); }

struct Image {
    int width = 0, height = 0;
    std::vector<unsigned char> rgb;
    // Pixel at x from the left and y from the top.
    const unsigned char* at(int x, int y) const {
        return &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
    }
    // Pixel at PDF point (px, py) of a page rendered at 72 dpi from (0,0).
    bool near(double px, double py, int r, int g, int b, int tol = 60) const {
        int x = static_cast<int>(px), y = height - 1 - static_cast<int>(py);
        if (x < 0 || y < 0 || x >= width || y >= height) return false;
        const unsigned char* p = at(x, y);
        return std::abs(p[0] - r) <= tol && std::abs(p[1] - g) <= tol && std::abs(p[2] - b) <= tol;
    }
    bool white(double px, double py) const { return near(px, py, 255, 255, 255, 10); }
};

// Renders one page with ghostscript at 72 dpi (annotations flagged for
// printing included) and reads the pixels back from a PPM file.
inline Image render(const std::string& pdf, int page = 1, const std::string& extra = "") {
    std::string ppm = pdf + ".p" + std::to_string(page) + ".ppm";
    std::string cmd = "gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 " + extra +
                      " -dFirstPage=" + std::to_string(page) + " -dLastPage=" +
                      std::to_string(page) + " -sOutputFile='" + ppm + "' '" + pdf + "'";
    Image img;
    if (run(cmd) != 0) return img;
    std::ifstream in(ppm, std::ios::binary);
    // Header: magic, width, height, maxval, with '#' comment lines between.
    auto token = [&in] {
        std::string t;
        while (in >> t && t[0] == '#') std::getline(in, t);
        return t;
    };
    if (token() != "P6") return img;
    img.width = std::stoi(token());
    img.height = std::stoi(token());
    token();
    in.get();
    img.rgb.resize(static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * 3);
    in.read(reinterpret_cast<char*>(img.rgb.data()), static_cast<std::streamsize>(img.rgb.size()));
    return img;
}

}  // namespace testpdf

#endif
