#include "imaging/PngHpgsImage.h"

#include "xadracommon/XadraException.h"

#include <cstring>

namespace Xadra {

hpgs::UniqueImage loadPngAsHpgsImage(const std::string& fileName, unsigned long long maxPixels) {
    PngReader reader(maxPixels);
    reader.open(fileName, false);
    if (reader.getBitDepth() != 8) throw Exception(CAT_FFT, 3, "Unsupported bit depth %d.", reader.getBitDepth());
    int colorType = reader.getColorType();
    if (colorType != PNG_COLOR_TYPE_GRAY && colorType != PNG_COLOR_TYPE_RGB)
        throw Exception(CAT_FFT, 3, "Unsupported color type %d.", colorType);

    const int width = static_cast<int>(reader.getWidth());
    const int height = static_cast<int>(reader.getHeight());
    hpgs::UniqueImage image(hpgs_new_png_image(width, height, colorType == PNG_COLOR_TYPE_RGB ? 24 : 8, HPGS_FALSE,
                                               HPGS_FALSE));
    if (!image) throw Exception(CAT_FFT, 3, "Unexpeted error creating hpgs image: %s.", hpgs_get_error());

    unsigned char* data = nullptr;
    int stride = 0;
    if (hpgs_image_get_data(image.get(), &data, &stride) != 0 || !data)
        throw Exception(CAT_FFT, 3, "Unexpeted error creating hpgs image: %s.", hpgs_get_error());
    const size_t bytesPerRow = static_cast<size_t>(reader.getWidth()) * (reader.getRowBytes() / reader.getWidth());
    for (int y = 0; y < height; ++y) {
        reader.readRow();
        std::memcpy(data + static_cast<size_t>(y) * stride, reader.getRowBuffer(), bytesPerRow);
    }
    return image;
}

}  // namespace Xadra
