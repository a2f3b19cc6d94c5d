#include "imaging/PngWriter.h"

#include "xadracommon/XadraException.h"

#include <cerrno>
#include <csetjmp>
#include <cstring>

namespace Xadra {

namespace {

const char* const kChunkError = "Png-Error writing chunk to file %s: %s.";

}  // namespace

void PngWriter::errorCallback(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngWriter*>(png_get_error_ptr(png));
    std::snprintf(self->errorText_, sizeof self->errorText_, "%s", message ? message : "unknown libpng error");
    self->failed_ = true;
    png_longjmp(png, 1);
}

void PngWriter::warningCallback(png_structp png, png_const_charp message) {
    auto* self = static_cast<PngWriter*>(png_get_error_ptr(png));
    try {
        logCategory(CAT_PNG, 4, "Png-Warning writing file %s: %s.\n", self->fileName_.c_str(), message ? message : "");
    } catch (...) {
        // A warning that cannot be logged is dropped; it must not unwind through libpng.
    }
}

void PngWriter::open(const std::string& fileName, uint32_t width, uint32_t height, int bitDepth, int colorType,
                     int interlaceMethod, const png_color* palette, int paletteCount, unsigned rowsPerBuffer) {
    close();
    errorText_[0] = '\0';
    file_ = std::fopen(fileName.c_str(), "wb");
    if (!file_) throw CException(CAT_PNG, 3, "Error opening PNG file %s for writing", fileName.c_str());
    try {
        fileName_ = fileName;
    } catch (...) {
        std::fclose(file_);
        file_ = nullptr;
        throw;
    }

    png_ = png_create_write_struct(PNG_LIBPNG_VER_STRING, this, errorCallback, warningCallback);
    if (!png_) {
        std::fclose(file_);
        file_ = nullptr;
        fileName_.clear();
        throw Exception(CAT_PNG, 3, "Out of memory creating Png write structure for file %s.", fileName.c_str());
    }
    info_ = png_create_info_struct(png_);
    if (!info_) {
        std::fclose(file_);
        file_ = nullptr;
        fileName_.clear();
        png_destroy_write_struct(&png_, nullptr);
        png_ = nullptr;
        throw Exception(CAT_PNG, 3, "Out of memory creating Png info structure for file %s.", fileName.c_str());
    }

    if (rowsPerBuffer == 0) {
        failed_ = true;
        close();
        throw Exception(CAT_PNG, 3, "Png-Error writing file %s: %s.", fileName.c_str(),
                        "the number of rows per buffer is 0");
    }
    if (!writeHeader(width, height, bitDepth, colorType, interlaceMethod, palette, paletteCount, rowsPerBuffer)) {
        failed_ = true;
        Exception e(CAT_PNG, 3, "Png-Error writing file %s: %s.", fileName_.c_str(), errorText_);
        close();
        throw e;
    }
}

bool PngWriter::writeHeader(uint32_t width, uint32_t height, int bitDepth, int colorType, int interlaceMethod,
                            const png_color* palette, int paletteCount, unsigned rowsPerBuffer) noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    png_init_io(png_, file_);
    png_set_IHDR(png_, info_, width, height, bitDepth, colorType, interlaceMethod, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    width_ = width;
    height_ = height;
    bitDepth_ = bitDepth;
    colorType_ = colorType;
    interlaceMethod_ = interlaceMethod;
    if (palette) png_set_PLTE(png_, info_, palette, paletteCount);
    png_write_info(png_, info_);
    rowBytes_ = static_cast<uint32_t>(png_get_rowbytes(png_, info_));
    rowsPerBuffer_ = rowsPerBuffer;
    rowBuffer_ = static_cast<unsigned char*>(
        png_malloc(png_, static_cast<png_alloc_size_t>(rowBytes_) * rowsPerBuffer_));
    if (interlaceMethod != PNG_INTERLACE_NONE) {
        passes_ = png_set_interlace_handling(png_);
        image_ = static_cast<unsigned char*>(png_malloc(png_, static_cast<png_alloc_size_t>(rowBytes_) * height_));
    }
    return true;
}

bool PngWriter::writeBufferRows() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    for (unsigned i = 0; i < rowsPerBuffer_; ++i) png_write_row(png_, rowBuffer_ + static_cast<size_t>(i) * rowBytes_);
    return true;
}

bool PngWriter::writeWholeImage() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    // libpng picks each pass's pixels out of the complete rows.
    for (int pass = 0; pass < passes_; ++pass)
        for (uint32_t y = 0; y < height_; ++y) png_write_row(png_, image_ + static_cast<size_t>(y) * rowBytes_);
    return true;
}

void PngWriter::writeRows() {
    if (!isOpen()) throw Exception(CAT_PNG, 3, kChunkError, fileName_.c_str(), "the writer is not open");
    if (failed_) throw Exception(CAT_PNG, 3, kChunkError, fileName_.c_str(), errorText_);
    if (rowsPerBuffer_ > height_ - rowsWritten_) {
        throw Exception(CAT_PNG, 3,
                        "Png-Error writing chunk to file %s: %u more rows would exceed the image height %u "
                        "(%u rows written).",
                        fileName_.c_str(), rowsPerBuffer_, height_, rowsWritten_);
    }
    if (image_) {
        std::memcpy(image_ + static_cast<size_t>(rowsWritten_) * rowBytes_, rowBuffer_,
                    static_cast<size_t>(rowBytes_) * rowsPerBuffer_);
        rowsWritten_ += rowsPerBuffer_;
        if (rowsWritten_ == height_ && !writeWholeImage())
            throw Exception(CAT_PNG, 3, kChunkError, fileName_.c_str(), errorText_);
        return;
    }
    if (!writeBufferRows()) throw Exception(CAT_PNG, 3, kChunkError, fileName_.c_str(), errorText_);
    rowsWritten_ += rowsPerBuffer_;
}

bool PngWriter::finishAndDestroy() noexcept {
    if (setjmp(png_jmpbuf(png_))) return false;
    // After an error libpng's state allows nothing but destruction.
    if (!failed_) png_write_end(png_, info_);
    png_destroy_write_struct(&png_, &info_);
    return true;
}

void PngWriter::close() noexcept {
    if (rowBuffer_) png_free(png_, rowBuffer_);
    rowBuffer_ = nullptr;
    rowBytes_ = 0;
    if (image_) png_free(png_, image_);
    image_ = nullptr;
    try {
        if (png_) {
            if (!failed_ && rowsWritten_ != height_) {
                logCategory(CAT_PNG, 4, "PNG file %s closed after %u of its %u rows; the image is incomplete.",
                            fileName_.c_str(), rowsWritten_, height_);
            }
            if (!finishAndDestroy()) {
                logCategory(CAT_PNG, 4, "Png-Error cleaning up resources for file %s: %s.", fileName_.c_str(),
                            errorText_);
                png_destroy_write_struct(&png_, &info_);
            }
        }
        png_ = nullptr;
        info_ = nullptr;
        if (!fileName_.empty()) {
            if (file_ && std::fclose(file_) != 0) {
                logCategory(CAT_PNG, 4, "Error closing PNG file %s: %s.", fileName_.c_str(), std::strerror(errno));
            }
            file_ = nullptr;
            fileName_.clear();
        }
    } catch (...) {
        // Only logging can throw (out of memory); the release below still runs.
        if (png_) png_destroy_write_struct(&png_, &info_);
        png_ = nullptr;
        info_ = nullptr;
        if (file_) std::fclose(file_);
        file_ = nullptr;
        fileName_.clear();
    }
    width_ = 0;
    height_ = 0;
    bitDepth_ = 0;
    colorType_ = 0;
    interlaceMethod_ = 0;
    rowsPerBuffer_ = 1;
    rowsWritten_ = 0;
    passes_ = 1;
    failed_ = false;
    file_ = nullptr;
}

}  // namespace Xadra
