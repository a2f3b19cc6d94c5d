// Feeds arbitrary bytes to PngReader as a file: opened without and with
// palette expansion and read row by row, and loaded as an hpgs image. Files
// that read cleanly are written again through PngWriter in the reader's
// layout and read back; the rows must come back unchanged. Nothing may
// crash, hang or leak. Built with libFuzzer (XAD_FUZZ) or as a corpus
// replayer. Seed corpus: fuzz/png/corpus.

#include "imaging/PngHpgsImage.h"
#include "imaging/PngReader.h"
#include "imaging/PngWriter.h"
#include "plume/Exception.h"
#include "xadracommon/LogService.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// Keeps fuzzing fast: at most 4 megapixels per file, 1 for the round trip.
constexpr unsigned long long kMaxPixels = 4ull << 20;
constexpr unsigned long long kMaxRoundTripPixels = 1ull << 20;

// The temporary files of this process, removed at exit.
class ScratchFiles {
public:
    ScratchFiles() : input_(make()), output_(make()) {}
    ~ScratchFiles() {
        ::unlink(input_.c_str());
        ::unlink(output_.c_str());
    }
    const std::string& input() const { return input_; }
    const std::string& output() const { return output_; }

private:
    static std::string make() {
        char tmpl[] = "/tmp/xadpngfuzzXXXXXX";
        int fd = ::mkstemp(tmpl);
        if (fd < 0) std::abort();
        ::close(fd);
        return tmpl;
    }
    std::string input_, output_;
};

bool writeInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Reads every row; returns them when the whole image was read.
bool readAll(Xadra::PngReader& reader, const std::string& path, bool expand, std::vector<unsigned char>* rows) {
    try {
        reader.open(path, expand);
        const size_t rowBytes = reader.getRowBytes();
        if (reader.getWidth() == 0 || rowBytes % reader.getWidth() != 0) std::abort();
        bool keep = rows && static_cast<unsigned long long>(reader.getWidth()) * reader.getHeight() <= kMaxRoundTripPixels;
        for (uint32_t y = 0; y < reader.getHeight(); ++y) {
            reader.readRow();
            if (keep) rows->insert(rows->end(), reader.getRowBuffer(), reader.getRowBuffer() + rowBytes);
        }
        reader.close();
        return keep;
    } catch (const Plume::Exception&) {
        reader.close();
        return false;
    }
}

// Writes the rows in the reader's output layout and checks that they read back unchanged.
void roundTrip(const std::string& path, uint32_t width, uint32_t height, uint32_t rowBytes,
               const std::vector<unsigned char>& rows) {
    const uint32_t bytesPerPixel = rowBytes / width;
    int colorType, depth;
    switch (bytesPerPixel) {
    case 1: colorType = 0; depth = 8; break;
    case 2: colorType = 0; depth = 16; break;
    case 3: colorType = 2; depth = 8; break;
    case 6: colorType = 2; depth = 16; break;
    default: std::abort();  // the reader hands out no other layout
    }
    try {
        Xadra::PngWriter writer;
        writer.open(path, width, height, depth, colorType, 0, nullptr, 0, 1);
        if (writer.getRowBytes() != rowBytes) std::abort();
        for (uint32_t y = 0; y < height; ++y) {
            std::memcpy(writer.getRowBuffer(), rows.data() + static_cast<size_t>(y) * rowBytes, rowBytes);
            writer.writeRows();
        }
        writer.close();
        Xadra::PngReader reader;
        reader.open(path, false);
        for (uint32_t y = 0; y < height; ++y) {
            reader.readRow();
            if (std::memcmp(reader.getRowBuffer(), rows.data() + static_cast<size_t>(y) * rowBytes, rowBytes) != 0)
                std::abort();
        }
    } catch (const Plume::Exception& e) {
        std::fprintf(stderr, "round trip failed: %s\n", e.what());
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ScratchFiles files;
    // libpng's warnings on damaged input would drown the fuzzer's output.
    Xadra::logService().levelThreshold = 2;
    if (!writeInput(files.input(), data, size)) return 0;

    Xadra::PngReader reader(kMaxPixels);
    std::vector<unsigned char> rows;
    readAll(reader, files.input(), false, nullptr);
    if (readAll(reader, files.input(), true, &rows)) {
        // The header once more: readAll closed the reader.
        reader.open(files.input(), true);
        uint32_t width = reader.getWidth(), height = reader.getHeight(), rowBytes = reader.getRowBytes();
        reader.close();
        roundTrip(files.output(), width, height, rowBytes, rows);
    }
    try {
        hpgs::UniqueImage image = Xadra::loadPngAsHpgsImage(files.input(), kMaxPixels);
    } catch (const Plume::Exception&) {
    }
    return 0;
}

#include "../replay_main.h"
