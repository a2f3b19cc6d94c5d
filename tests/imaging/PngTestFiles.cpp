#include "PngTestFiles.h"

#include "plume/Log.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pngtest {

namespace {

int channelsOf(int colorType) {
    switch (colorType) {
    case PNG_COLOR_TYPE_GRAY: return 1;
    case PNG_COLOR_TYPE_RGB: return 3;
    case PNG_COLOR_TYPE_PALETTE: return 1;
    case PNG_COLOR_TYPE_GRAY_ALPHA: return 2;
    default: return 4;
    }
}

struct ErrorSlot {
    char text[256];
};

void onError(png_structp png, png_const_charp msg) {
    auto* slot = static_cast<ErrorSlot*>(png_get_error_ptr(png));
    std::snprintf(slot->text, sizeof slot->text, "%s", msg);
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {}

// The libpng calls of write(); no objects with destructors live here.
bool writeRaw(FILE* f, const Image* img, png_bytepp rowPointers, ErrorSlot* slot) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, slot, onError, onWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, f);
    png_set_IHDR(png, info, img->width, img->height, img->bitDepth, img->colorType, img->interlace,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (!img->palette.empty()) png_set_PLTE(png, info, img->palette.data(), static_cast<int>(img->palette.size()));
    if (img->hasPhys) png_set_pHYs(png, info, img->physX, img->physY, img->physUnit);
    if (img->hasText) {
        png_text text{};
        text.compression = PNG_TEXT_COMPRESSION_NONE;
        text.key = const_cast<char*>("Comment");
        text.text = const_cast<char*>("made by the PNG tests");
        png_set_text(png, info, &text, 1);
    }
    png_write_info(png, info);
    png_write_image(png, rowPointers);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return true;
}

// The libpng calls of read(); image->rows must be sized before the rows are read.
bool readRaw(FILE* f, Image* img, png_bytepp* rowPointers, ErrorSlot* slot, void (*prepare)(Image*, png_bytepp*)) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, slot, onError, onWarning);
    if (!png) return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_uint_32 w, h;
    int depth, type, interlace;
    png_get_IHDR(png, info, &w, &h, &depth, &type, &interlace, nullptr, nullptr);
    img->width = w;
    img->height = h;
    img->bitDepth = depth;
    img->colorType = type;
    img->interlace = interlace;
    png_colorp pal = nullptr;
    int count = 0;
    if (png_get_PLTE(png, info, &pal, &count)) img->palette.assign(pal, pal + count);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    prepare(img, rowPointers);
    png_read_image(png, *rowPointers);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

std::vector<png_bytep> g_rowPointers;  // used by read() only, one call at a time

void prepareRows(Image* img, png_bytepp* pointers) {
    img->rows.assign(img->rowBytes() * img->height, 0);
    g_rowPointers.resize(img->height);
    for (uint32_t y = 0; y < img->height; ++y) g_rowPointers[y] = img->rows.data() + y * img->rowBytes();
    *pointers = g_rowPointers.data();
}

uint32_t be32(const unsigned char* p) { return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3]; }

void putChunk(std::string& out, const char* type, const std::string& data) {
    unsigned char len[4] = {static_cast<unsigned char>(data.size() >> 24), static_cast<unsigned char>(data.size() >> 16),
                            static_cast<unsigned char>(data.size() >> 8), static_cast<unsigned char>(data.size())};
    out.append(reinterpret_cast<char*>(len), 4);
    std::string body = std::string(type, 4) + data;
    out += body;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    unsigned char c[4] = {static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
                          static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
    out.append(reinterpret_cast<char*>(c), 4);
}

}  // namespace

int Image::channels() const { return channelsOf(colorType); }

size_t Image::rowBytes() const { return (static_cast<size_t>(width) * channels() * bitDepth + 7) / 8; }

unsigned Image::sample(uint32_t x, uint32_t y, int c) const {
    const unsigned char* row = rows.data() + y * rowBytes();
    size_t index = static_cast<size_t>(x) * channels() + c;
    if (bitDepth == 16) return (unsigned(row[2 * index]) << 8) | row[2 * index + 1];
    if (bitDepth == 8) return row[index];
    size_t bit = index * bitDepth;
    unsigned shift = 8 - bitDepth - bit % 8;
    return (row[bit / 8] >> shift) & ((1u << bitDepth) - 1);
}

void Image::setSample(uint32_t x, uint32_t y, int c, unsigned v) {
    unsigned char* row = rows.data() + y * rowBytes();
    size_t index = static_cast<size_t>(x) * channels() + c;
    if (bitDepth == 16) {
        row[2 * index] = static_cast<unsigned char>(v >> 8);
        row[2 * index + 1] = static_cast<unsigned char>(v);
        return;
    }
    if (bitDepth == 8) {
        row[index] = static_cast<unsigned char>(v);
        return;
    }
    size_t bit = index * bitDepth;
    unsigned shift = 8 - bitDepth - bit % 8;
    unsigned mask = ((1u << bitDepth) - 1) << shift;
    row[bit / 8] = static_cast<unsigned char>((row[bit / 8] & ~mask) | ((v << shift) & mask));
}

static Image blank(uint32_t width, uint32_t height, int bitDepth, int colorType, int interlace) {
    Image img;
    img.width = width;
    img.height = height;
    img.bitDepth = bitDepth;
    img.colorType = colorType;
    img.interlace = interlace;
    img.rows.assign(img.rowBytes() * height, 0);
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        unsigned n = 1u << bitDepth;
        for (unsigned i = 0; i < n; ++i)
            img.palette.push_back(png_color{static_cast<png_byte>(i * 37 + 5), static_cast<png_byte>(255 - i),
                                            static_cast<png_byte>(i * 11 + 100)});
    }
    return img;
}

Image patterned(uint32_t width, uint32_t height, int bitDepth, int colorType, int interlace) {
    Image img = blank(width, height, bitDepth, colorType, interlace);
    const unsigned modulus = 1u << bitDepth;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            for (int c = 0; c < img.channels(); ++c)
                img.setSample(x, y, c, (x * 7 + y * 13 + c * 29 + x * y * 3 + (x ^ y) * 1021) % modulus);
    return img;
}

Image noise(uint32_t width, uint32_t height, int bitDepth, int colorType, unsigned seed) {
    Image img = blank(width, height, bitDepth, colorType, PNG_INTERLACE_NONE);
    unsigned state = seed * 2654435761u + 1;
    for (auto& b : img.rows) {
        state = state * 1103515245u + 12345u;
        b = static_cast<unsigned char>(state >> 16);
    }
    return img;
}

void write(const std::string& path, const Image& img) {
    std::vector<png_bytep> pointers(img.height);
    for (uint32_t y = 0; y < img.height; ++y)
        pointers[y] = const_cast<png_bytep>(img.rows.data()) + y * img.rowBytes();
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw std::runtime_error("cannot create " + path);
    ErrorSlot slot{};
    bool ok = writeRaw(f, &img, pointers.data(), &slot);
    std::fclose(f);
    if (!ok) throw std::runtime_error("libpng failed writing " + path + ": " + slot.text);
}

Image read(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) throw std::runtime_error("cannot open " + path);
    Image img;
    ErrorSlot slot{};
    png_bytepp pointers = nullptr;
    bool ok = readRaw(f, &img, &pointers, &slot, prepareRows);
    std::fclose(f);
    if (!ok) throw std::runtime_error("libpng failed reading " + path + ": " + slot.text);
    return img;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::string headerOnly(uint32_t width, uint32_t height, int bitDepth, int colorType) {
    std::string out("\x89PNG\r\n\x1a\n", 8);
    std::string ihdr;
    for (uint32_t v : {width, height})
        for (int s = 24; s >= 0; s -= 8) ihdr += static_cast<char>((v >> s) & 0xff);
    ihdr += static_cast<char>(bitDepth);
    ihdr += static_cast<char>(colorType);
    ihdr += std::string(3, '\0');
    putChunk(out, "IHDR", ihdr);
    putChunk(out, "IDAT", "");
    putChunk(out, "IEND", "");
    return out;
}

size_t chunkOffset(const std::string& png, const char* type) {
    size_t pos = 8;
    while (pos + 8 <= png.size()) {
        uint32_t len = be32(reinterpret_cast<const unsigned char*>(png.data()) + pos);
        if (png.compare(pos + 4, 4, type) == 0) return pos;
        pos += 12 + len;
    }
    throw std::runtime_error(std::string("no chunk ") + type);
}

TempDir::TempDir() {
    char tmpl[] = "/tmp/xadpngXXXXXX";
    if (!::mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string logOf(const std::function<void()>& f) {
    char path[] = "/tmp/xadtestlogXXXXXX";
    int fd = ::mkstemp(path);
    EXPECT_GE(fd, 0);
    plumelog_set_fd(fd);
    f();
    plumelog_set_fd(-1);
    std::string log = slurp(path);
    ::close(fd);
    ::unlink(path);
    return log;
}

}  // namespace pngtest
