// ContentDevice: an hpgs device that turns the drawing calls into a PDF
// content stream plus the resources it uses (images, blend states, tiling
// patterns). The PDF output device and the page devices (over or behind an
// existing page) derive from it and decide what a finished stream becomes.
//
// Raster patterns (setpattern) become coloured tiling patterns whose cell
// draws an image of the pattern's cells, placed by the pattern's matrix
// exactly where the paint device puts them. A fill or stroke gets a tile of
// its own that covers the whole mark: viewers render each tile on its own,
// and where two tiles meet between device pixels mupdf paints the shared
// column twice, a seam at every tile's edge. Its edges lie on a grid of
// kOwnTileGrid cells, so that marks close to each other share one. Marks of
// more than kMaxOwnTileCells cells share a tile that repeats the cells until it is
// at least kMinTileCells wide and high: tiles of a pixel or two lose their
// tone in some viewers (mupdf) at the zoom levels plots are mostly seen at.
// Clear cells are a soft mask (the mask interpolated, which ghostscript
// needs to keep the tone of cells smaller than a pixel); under the mask
// they carry the mean colour of the painted cells, so that viewers
// averaging colour and mask apart still show the paint device's tone.
// Shared tiles and their patterns are written once per document and reused
// by content (and, for patterns, by matrix).
//
// Not thread-safe; used from the thread running hpgs_read only.
#ifndef HPGSPDF_CONTENT_DEVICE_H
#define HPGSPDF_CONTENT_DEVICE_H

#include "common.h"
#include "hpgs.h"

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace hpgspdf {

class ContentDevice {
public:
    // Least width and height of a pattern tile's image, in cells.
    static constexpr int kMinTileCells = 256;
    // Most cells of a mark's own tile (about 1450 cells square, 12 cm at
    // 300 cells an inch); larger marks share the repeating tile.
    static constexpr long kMaxOwnTileCells = 2L << 20;
    // A mark's own tile has its edges on this grid of cells.
    static constexpr int kOwnTileGrid = 64;

    virtual ~ContentDevice() = default;

    // The hpgs view of this object; hpgs_device_destroy deletes it.
    hpgs_device* device() { return &shell_.base; }
    // The object behind dev when dev is a ContentDevice of type rtti.
    static ContentDevice* from(hpgs_device* dev, const char* rtti);

protected:
    ContentDevice(QPDF& target, const hpgs_device_vtable* vtable);

    // Content operators so far and a fresh resources dictionary for them.
    std::string takeContent();
    QPDFObjectHandle takeResources();
    bool hasContent() const { return !ops_.empty(); }
    // Soft masks (of patterns with clear cells) were written: the document
    // needs PDF 1.4.
    bool usesSoftMasks() const { return softMasks_; }

    virtual int showpage(int) { return 0; }
    virtual int finish() = 0;
    virtual int capabilities() = 0;

    QPDF& target_;

private:
    struct Shell {
        hpgs_device base;
        ContentDevice* self;
    } shell_;

    struct State {
        hpgs_color color{0, 0, 0};
        double width = 1.0;
        int cap = 0, join = 0;
        double miter = 10.0;
        std::vector<double> dash;  // as hpgs set it; empty: solid
        double dashOffset = 0.0;
        bool multiply = false;
    };
    // The dash operand for the state: a zero-length dash draws nothing
    // with butt caps in PDF, where a plotter puts a dot of the pen's width,
    // so such dashes get the line's width (a square dot) taken from the gap
    // that follows; dots closer than that merge into a line.
    static std::string dashOperand(const State& s);
    // Appends "x y" and then tail to the path being built.
    void appendPoint(const hpgs_point& p, const char* tail) {
        if (path_.empty()) {
            pathBox_[0] = pathBox_[2] = p.x;
            pathBox_[1] = pathBox_[3] = p.y;
        } else {
            pathBox_[0] = std::min(pathBox_[0], p.x), pathBox_[2] = std::max(pathBox_[2], p.x);
            pathBox_[1] = std::min(pathBox_[1], p.y), pathBox_[3] = std::max(pathBox_[3], p.y);
        }
        appendNum(path_, p.x, kCoordinateDecimals);
        path_ += ' ';
        appendNum(path_, p.y, kCoordinateDecimals);
        path_ += tail;
    }
    State state_;       // what the drawing asked for
    State written_;     // what the stream has set
    std::vector<State> saved_;
    std::string path_;  // the path being built, written when painted
    double pathBox_[4] = {0, 0, 0, 0};  // its points' box: x0, y0, x1, y1
    std::string ops_;
    QPDFObjectHandle xobjects_, extgstates_;
    int nextImage_ = 0;

    // The pattern for the next stroke or fill (setpattern).
    struct Pattern {
        int width = 0, height = 0;
        std::vector<uint32_t> argb;
        hpgs_matrix toDev{};
    };
    std::optional<Pattern> pending_;
    bool softMasks_ = false;
    // Tile images by the cells they hold (size and cells as bytes), with
    // the image's size; pattern objects by image and matrix. Document-wide.
    struct Tile {
        QPDFObjectHandle image;
        int width, height;
        size_t index;
    };
    std::map<std::string, Tile> tiles_;
    std::map<std::string, QPDFObjectHandle> patterns_;
    // This stream's /Pattern resources and their names, by pattern key.
    QPDFObjectHandle patternRes_;
    std::map<std::string, std::string> patternNames_;
    // The resource name of the tiling pattern for p, written on first use;
    // empty when no cell paints (all clear).
    std::string patternFor(const Pattern& p);
    const Tile* tileFor(const Pattern& p);
    // Cells [i0, i0 + w) x [j0, j0 + h) of the repeating pattern as RGB
    // rows (pattern row j0 first) and, with clear cells, a mask; none when
    // no cell paints.
    struct CellImage {
        std::string pixels, mask;
        bool clear = false;
    };
    // The pattern's size and cells as bytes.
    static std::string contentKey(const Pattern& p);
    static std::optional<CellImage> cellImage(const Pattern& p, long i0, long j0, int w, int h);
    QPDFObjectHandle imageOfCells(const CellImage& cells, int w, int h);
    // Throws unless m is finite and invertible.
    static void checkPatternMatrix(const hpgs_matrix& m);
    // A tiling pattern of image (w x h cells) for the cells of m, the
    // image's first row at pattern row top.
    QPDFObjectHandle tilingPattern(const QPDFObjectHandle& image, int w, int h, const hpgs_matrix& m, double top);
    // Puts pattern into this stream's resources under a new name, for key.
    std::string nameForPattern(const std::string& key, const QPDFObjectHandle& pattern);
    // The resource name of a tiling pattern whose one tile covers the
    // current path's box widened by reach (a stroke's reach beyond its
    // path); "" when no cell paints; none when the tile would be too large.
    std::optional<std::string> ownPatternFor(const Pattern& p, double reach);

    // Appends one operator line, or nothing when it throws.
    void op(const std::string& s);
    // Appends the path with its painting or clipping operator and ends the
    // path, or changes nothing when it throws.
    void pathOp(const char* oper);
    void syncState();
    void point(const hpgs_point* p, const char* what);

    friend struct ContentDeviceOps;
};

// The vtable functions shared by every ContentDevice, by rtti.
hpgs_device_vtable makeContentVtable(const char* rtti);

}  // namespace hpgspdf

#endif
