// Reads a whole 8-bit gray or RGB PNG file into a new hpgs image, so that a
// paint device can draw on it.
#pragma once

#include "hpgs_ptr.h"
#include "imaging/PngReader.h"

#include <string>

namespace Xadra {

// Returns a new image of the file's size, depth 8 (gray) or 24 (RGB), without
// palette or raster operations, holding the file's pixels. The caller owns it
// (release() hands it to C code, which frees it with hpgs_image_destroy).
// Throws Xadra::Exception: the reader's failures (category xadrapng), and in
// category xadrafft "Unsupported bit depth %d." for depths other than 8,
// "Unsupported color type %d." for palette and alpha files, and an error
// naming hpgs's message when the image cannot be made (hpgs images are at
// most 32767 pixels a side). maxPixels is the reader's pixel limit.
// Thread-safe in the sense that calls on different files share nothing.
hpgs::UniqueImage loadPngAsHpgsImage(const std::string& fileName,
                                     unsigned long long maxPixels = PngReader::kDefaultMaxPixels);

}  // namespace Xadra
