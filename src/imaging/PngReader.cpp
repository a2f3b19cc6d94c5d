#include "imaging/PngReader.h"

#include "xadracommon/XadraException.h"

#include <csetjmp>

namespace Xadra {

namespace {

const char* const kReadError = "Png-Error reading file %s: %s.";
const char* const kRowError = "Png-Error reading row data from file %s: %s.";

}  // namespace

void PngReader::errorCallback(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngReader*>(png_get_error_ptr(png));
    std::snprintf(self->errorText_, sizeof self->errorText_, "%s", message ? message : "unknown libpng error");
    self->failed_ = true;
    png_longjmp(png, 1);
}

void PngReader::warningCallback(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngReader*>(png_get_error_ptr(png));
    try {
        logCategory(CAT_PNG, 4, "Png-Warning reading file %s: %s.", self->fileName_.c_str(), message ? message : "");
    } catch (...) {
        // A warning that cannot be logged is dropped; it must not unwind through libpng.
    }
}

void PngReader::open(const std::string& fileName, bool expandPalette) {
    close();
    errorText_[0] = '\0';
    file_ = std::fopen(fileName.c_str(), "rb");
    if (!file_) throw CException(CAT_PNG, 3, "Error opening file %s for reading", fileName.c_str());

    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, errorCallback, warningCallback);
    if (!png_) {
        std::fclose(file_);
        file_ = nullptr;
        throw Exception(CAT_PNG, 3, "Out of memory creating Png read structure for file %s.", fileName.c_str());
    }
    info_ = png_create_info_struct(png_);
    if (!info_) {
        std::fclose(file_);
        file_ = nullptr;
        png_destroy_read_struct(&png_, nullptr, nullptr);
        png_ = nullptr;
        throw Exception(CAT_PNG, 3, "Out of memory creating Png info structure for file %s.", fileName.c_str());
    }

    try {
        fileName_ = fileName;
        if (!readHeader()) throw Exception(CAT_PNG, 3, kReadError, fileName_.c_str(), errorText_);
        // The header alone decides the size of every buffer that follows, so
        // an implausible claim is refused before anything is allocated.
        unsigned long long pixels = static_cast<unsigned long long>(width_) * height_;
        if (maxPixels_ != 0 && pixels > maxPixels_)
            throw Exception(CAT_PNG, 3,
                            "PNG file %s claims %u x %u pixels (%llu), more than the limit of %llu pixels.",
                            fileName_.c_str(), width_, height_, pixels, maxPixels_);
        if (!setUpTransformations(expandPalette)) throw Exception(CAT_PNG, 3, kReadError, fileName_.c_str(), errorText_);
    } catch (...) {
        // Nothing more is read from a file that failed to open.
        failed_ = true;
        close();
        throw;
    }
}

bool PngReader::readHeader() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_init_io(png_, file_);
    png_read_info(png_, info_);
    png_uint_32 width = 0, height = 0;
    int bitDepth = 0, colorType = 0, interlace = 0;
    png_get_IHDR(png_, info_, &width, &height, &bitDepth, &colorType, &interlace, nullptr, nullptr);
    width_ = width;
    height_ = height;
    bitDepth_ = bitDepth;
    colorType_ = colorType;
    interlaceMethod_ = interlace;

    png_uint_32 xPerMetre = 0, yPerMetre = 0;
    int unit = 0;
    if (png_get_pHYs(png_, info_, &xPerMetre, &yPerMetre, &unit) && unit == PNG_RESOLUTION_METER) {
        xResolution_ = xPerMetre * 0.0254;
        yResolution_ = yPerMetre * 0.0254;
    } else {
        xResolution_ = 0.0;
        yResolution_ = 0.0;
    }
    return true;
}

bool PngReader::setUpTransformations(bool expandPalette) noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_strip_alpha(png_);
    png_set_packing(png_);
    if (expandPalette && colorType_ == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
    if (colorType_ == PNG_COLOR_TYPE_GRAY && bitDepth_ < 8) png_set_expand_gray_1_2_4_to_8(png_);
    passes_ = png_set_interlace_handling(png_);
    png_read_update_info(png_, info_);
    rowBytes_ = static_cast<uint32_t>(png_get_rowbytes(png_, info_));
    rowBuffer_ = static_cast<unsigned char*>(png_malloc(png_, rowBytes_));
    row_ = rowBuffer_;
    return true;
}

bool PngReader::readNextRow() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_bytep row = rowBuffer_;
    png_read_rows(png_, &row, nullptr, 1);
    return true;
}

bool PngReader::readWholeImage() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    image_ = static_cast<unsigned char*>(png_malloc(png_, static_cast<png_alloc_size_t>(rowBytes_) * height_));
    // Each pass adds its pixels to the rows already read; after the last
    // pass every row is complete.
    for (int pass = 0; pass < passes_; ++pass) {
        for (uint32_t y = 0; y < height_; ++y) {
            png_bytep row = image_ + static_cast<size_t>(y) * rowBytes_;
            png_read_rows(png_, &row, nullptr, 1);
        }
    }
    return true;
}

void PngReader::readRow() {
    if (!isOpen()) throw Exception(CAT_PNG, 3, kRowError, fileName_.c_str(), "the reader is not open");
    if (failed_) throw Exception(CAT_PNG, 3, kRowError, fileName_.c_str(), errorText_);
    if (rowsRead_ >= height_) {
        throw Exception(CAT_PNG, 3, "Png-Error reading row data from file %s: all %u rows have been read.",
                        fileName_.c_str(), height_);
    }
    if (passes_ > 1) {
        if (!image_ && !readWholeImage()) throw Exception(CAT_PNG, 3, kRowError, fileName_.c_str(), errorText_);
        row_ = image_ + static_cast<size_t>(rowsRead_) * rowBytes_;
    } else if (!readNextRow()) {
        throw Exception(CAT_PNG, 3, kRowError, fileName_.c_str(), errorText_);
    }
    ++rowsRead_;
}

bool PngReader::finishAndDestroy() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    // After an error libpng's state allows nothing but destruction. The
    // chunks after the image are read once the whole image has been: before
    // that, libpng would decompress the rest of the image only to discard
    // it, and warn that it was too much data.
    if (!failed_ && rowsRead_ == height_) png_read_end(png_, info_);
    png_destroy_read_struct(&png_, &info_, nullptr);
    return true;
}

void PngReader::close() noexcept {
    if (rowBuffer_) png_free(png_, rowBuffer_);
    rowBuffer_ = nullptr;
    row_ = nullptr;
    rowBytes_ = 0;
    if (image_) png_free(png_, image_);
    image_ = nullptr;
    if (png_) {
        if (!finishAndDestroy()) {
            try {
                logCategory(CAT_PNG, 4, "Png-Error cleaning up resources for file %s: %s.", fileName_.c_str(),
                            errorText_);
            } catch (...) {
            }
            png_destroy_read_struct(&png_, &info_, nullptr);
        }
    }
    png_ = nullptr;
    info_ = nullptr;
    width_ = 0;
    height_ = 0;
    bitDepth_ = 0;
    colorType_ = 0;
    interlaceMethod_ = 0;
    xResolution_ = 0.0;
    yResolution_ = 0.0;
    passes_ = 0;
    rowsRead_ = 0;
    failed_ = false;
    fileName_.clear();
    if (file_) std::fclose(file_);
    file_ = nullptr;
}

}  // namespace Xadra
