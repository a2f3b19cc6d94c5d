// Reads a PNG file one row at a time in a normalised pixel layout.
//
// Layout of the rows handed out: alpha channels are stripped; samples of
// fewer than 8 bits are unpacked to one byte per pixel, and gray samples of
// 1, 2 or 4 bits are scaled to 8 bits (a 1-bit file gives 0 or 255); palette
// files give one index byte per pixel, or three RGB bytes when opened with
// palette expansion; 16-bit samples stay 16-bit (two bytes, most significant
// first). Bytes per pixel are therefore getRowBytes() / getWidth().
// Interlaced files are decoded completely on the first readRow, so that every
// row handed out holds its final pixels.
//
// Ownership: the reader owns its libpng structures, its file and its row
// buffer; close() (and the destructor) releases them. Not copyable or movable
// (libpng keeps a pointer to the reader for its callbacks).
//
// Thread-safety: none needed; an instance belongs to one thread at a time and
// instances share no state.
//
// Errors: open() and readRow() throw Xadra::Exception or Xadra::CException
// (category xadrapng, level 3) naming the file; after a failed open() the
// reader is closed. close() never throws.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace Xadra {

class PngReader {
public:
    // Default largest number of pixels (width x height) a file may claim.
    static constexpr unsigned long long kDefaultMaxPixels = 400ull * 1000 * 1000;

    explicit PngReader(unsigned long long maxPixels = kDefaultMaxPixels) noexcept : maxPixels_(maxPixels) {}
    ~PngReader() { close(); }
    PngReader(const PngReader&) = delete;
    PngReader& operator=(const PngReader&) = delete;

    // Files whose header claims more than maxPixels pixels are refused by
    // open() before any pixel memory is allocated. 0 means no limit beyond
    // libpng's own. Takes effect at the next open().
    void setMaxPixels(unsigned long long maxPixels) noexcept { maxPixels_ = maxPixels; }
    unsigned long long getMaxPixels() const noexcept { return maxPixels_; }

    // Opens the file and reads its header; an open reader is closed first.
    // expandPalette turns palette indices into RGB triples.
    void open(const std::string& fileName, bool expandPalette);

    // Reads the next row into getRowBuffer(). Throws on a libpng error (for
    // example a truncated file), when the reader is not open or when all
    // rows have been read.
    void readRow();

    bool isOpen() const noexcept { return png_ != nullptr && file_ != nullptr; }

    // Releases everything; libpng errors during clean-up are logged as
    // warnings. Safe to call on a closed reader.
    void close() noexcept;

    uint32_t getWidth() const noexcept { return width_; }
    uint32_t getHeight() const noexcept { return height_; }
    // Bit depth and colour type of the file's header, before the transformations.
    int getBitDepth() const noexcept { return bitDepth_; }
    // 0 gray, 2 RGB, 3 palette, 4 gray+alpha, 6 RGB+alpha.
    int getColorType() const noexcept { return colorType_; }
    int getInterlaceMethod() const noexcept { return interlaceMethod_; }
    // Dots per inch from the pHYs chunk; 0.0 without one or in unknown units.
    double getXResolution() const noexcept { return xResolution_; }
    double getYResolution() const noexcept { return yResolution_; }
    // Bytes of one row as handed out.
    uint32_t getRowBytes() const noexcept { return rowBytes_; }
    // The last row read (getRowBytes() bytes); null when closed. Valid until
    // the next readRow() or close(); for interlaced files it points into the
    // decoded image instead of the row buffer, which saves copying each row.
    const unsigned char* getRowBuffer() const noexcept { return row_; }
    const std::string& getFileName() const noexcept { return fileName_; }
    // The last message of libpng's error callback.
    const char* getErrorText() const noexcept { return errorText_; }
    // Rows handed out since open().
    uint32_t getRowsRead() const noexcept { return rowsRead_; }

private:
    // The guarded steps: each sets libpng's jump point, makes its libpng
    // calls and returns false when libpng reported an error (its message is
    // in errorText_). They hold no objects with destructors.
    bool readHeader() noexcept;
    bool setUpTransformations(bool expandPalette) noexcept;
    bool readNextRow() noexcept;
    bool readWholeImage() noexcept;
    bool finishAndDestroy() noexcept;

    [[noreturn]] void fail(const char* format);
    static void errorCallback(png_structp png, png_const_charp message);
    static void warningCallback(png_structp png, png_const_charp message);

    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    uint32_t width_ = 0;
    uint32_t height_ = 0;
    int bitDepth_ = 0;
    int colorType_ = 0;
    int interlaceMethod_ = 0;
    double xResolution_ = 0.0;
    double yResolution_ = 0.0;
    uint32_t rowBytes_ = 0;
    std::string fileName_;
    FILE* file_ = nullptr;
    unsigned char* rowBuffer_ = nullptr;
    // libpng messages are at most about 200 characters.
    char errorText_[256] = {};

    unsigned long long maxPixels_;
    int passes_ = 0;
    uint32_t rowsRead_ = 0;
    // Set once libpng reported an error: the structures may then only be destroyed.
    bool failed_ = false;
    // The whole de-interlaced image (interlaced files only), libpng's allocator.
    unsigned char* image_ = nullptr;
    // What getRowBuffer() hands out: rowBuffer_, or a row of image_.
    const unsigned char* row_ = nullptr;
};

}  // namespace Xadra
