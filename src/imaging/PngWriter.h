// Writes a PNG file from a buffer of one or more rows.
//
// The caller fills getRowBuffer() (getRowsPerBuffer() rows, getRowBytes()
// apart, in libpng's layout for the header given to open()) and calls
// writeRows(); the file is a valid PNG once exactly getHeight() rows have
// been written and close() has run. Interlaced files take their rows in
// plain top-to-bottom order too: the writer keeps them until the last one
// arrives and then writes every pass.
//
// Ownership: the writer owns its libpng structures, its file and its
// buffers; close() (and the destructor) releases them. Not copyable or
// movable (libpng keeps a pointer to the writer for its callbacks).
//
// Thread-safety: none needed; an instance belongs to one thread at a time and
// instances share no state.
//
// Errors: open() and writeRows() throw Xadra::Exception or Xadra::CException
// (category xadrapng, level 3) naming the file; after a failed open() the
// writer is closed (the file it created stays on disk). close() never throws.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace Xadra {

class PngWriter {
public:
    PngWriter() noexcept = default;
    ~PngWriter() { close(); }
    PngWriter(const PngWriter&) = delete;
    PngWriter& operator=(const PngWriter&) = delete;

    // Creates the file and writes the header; an open writer is closed first.
    // palette (paletteCount entries, copied) may be null. rowsPerBuffer is the
    // number of rows each writeRows() call writes (at least 1).
    void open(const std::string& fileName, uint32_t width, uint32_t height, int bitDepth, int colorType,
              int interlaceMethod, const png_color* palette, int paletteCount, unsigned rowsPerBuffer);

    // Writes the getRowsPerBuffer() rows of the row buffer, in order. Throws
    // on a libpng error, when the writer is not open or when the rows would
    // run past the image's height.
    void writeRows();

    bool isOpen() const noexcept { return png_ != nullptr && file_ != nullptr; }

    // Finishes the file and releases everything. libpng errors, a short image
    // and a failing close of the file are logged as warnings. Safe to call on
    // a closed writer.
    void close() noexcept;

    uint32_t getWidth() const noexcept { return width_; }
    uint32_t getHeight() const noexcept { return height_; }
    int getBitDepth() const noexcept { return bitDepth_; }
    int getColorType() const noexcept { return colorType_; }
    int getInterlaceMethod() const noexcept { return interlaceMethod_; }
    // Bytes of one row as libpng computes them from the header.
    uint32_t getRowBytes() const noexcept { return rowBytes_; }
    unsigned getRowsPerBuffer() const noexcept { return rowsPerBuffer_; }
    // getRowBytes() x getRowsPerBuffer() bytes; null when closed.
    unsigned char* getRowBuffer() noexcept { return rowBuffer_; }
    const std::string& getFileName() const noexcept { return fileName_; }
    // The last message of libpng's error callback.
    const char* getErrorText() const noexcept { return errorText_; }
    uint32_t getRowsWritten() const noexcept { return rowsWritten_; }

private:
    // The guarded steps: each sets libpng's jump point, makes its libpng
    // calls and returns false when libpng reported an error (its message is
    // in errorText_). They hold no objects with destructors.
    bool writeHeader(uint32_t width, uint32_t height, int bitDepth, int colorType, int interlaceMethod,
                     const png_color* palette, int paletteCount, unsigned rowsPerBuffer) noexcept;
    bool writeBufferRows() noexcept;
    bool writeWholeImage() noexcept;
    bool finishAndDestroy() noexcept;

    static void errorCallback(png_structp png, png_const_charp message);
    static void warningCallback(png_structp png, png_const_charp message);

    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    int bitDepth_ = 0;
    int colorType_ = 0;
    int interlaceMethod_ = 0;
    uint32_t rowBytes_ = 0;
    unsigned rowsPerBuffer_ = 1;
    std::string fileName_;
    FILE* file_ = nullptr;
    unsigned char* rowBuffer_ = nullptr;
    char errorText_[256] = {};

    uint32_t rowsWritten_ = 0;
    // Set once libpng reported an error: the structures may then only be destroyed.
    bool failed_ = false;
    // Interlaced files: all rows, written at once when the last one arrives.
    unsigned char* image_ = nullptr;
    int passes_ = 1;
};

}  // namespace Xadra
