// Test PNG files made and read with libpng directly, independently of the
// reader and writer under test, plus small file helpers.
#pragma once

#include <png.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace pngtest {

// A file to make: the header, optional chunks and the raw rows in the PNG's
// own packed layout (samples of < 8 bits packed from the high bit, 16-bit
// samples most significant byte first).
struct Image {
    uint32_t width = 0;
    uint32_t height = 0;
    int bitDepth = 8;
    int colorType = PNG_COLOR_TYPE_RGB;
    int interlace = PNG_INTERLACE_NONE;
    std::vector<png_color> palette;
    bool hasPhys = false;
    png_uint_32 physX = 0, physY = 0;
    int physUnit = PNG_RESOLUTION_METER;
    bool hasText = false;  // one tEXt chunk before the image data
    std::vector<unsigned char> rows;

    size_t rowBytes() const;
    int channels() const;
    // Raw sample c of pixel x in row y (index for palette files).
    unsigned sample(uint32_t x, uint32_t y, int c) const;
    void setSample(uint32_t x, uint32_t y, int c, unsigned v);
};

// An image of the given header with a deterministic pattern in every
// sample (palette files get a palette of 2^depth distinct colours).
Image patterned(uint32_t width, uint32_t height, int bitDepth, int colorType, int interlace);
// Samples from a pseudo-random generator (does not compress).
Image noise(uint32_t width, uint32_t height, int bitDepth, int colorType, unsigned seed);

// Writes img with libpng; throws std::runtime_error naming the file and libpng's message.
void write(const std::string& path, const Image& img);
// Reads a file with libpng without transformations (interlaced files
// de-interlaced) into raw rows; throws std::runtime_error on an error.
Image read(const std::string& path);

std::string slurp(const std::string& path);
// Everything the program logs while f runs.
std::string logOf(const std::function<void()>& f);
void spit(const std::string& path, const std::string& data);
// A minimal PNG whose IHDR claims the given size: signature, IHDR, an empty IDAT, IEND.
std::string headerOnly(uint32_t width, uint32_t height, int bitDepth, int colorType);
// Offset of the first chunk of the given type in a PNG file's bytes.
size_t chunkOffset(const std::string& png, const char* type);

// A fresh temporary directory, removed with its files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return dir_ + "/" + name; }
    const std::string& path() const { return dir_; }

private:
    std::string dir_;
};

}  // namespace pngtest
