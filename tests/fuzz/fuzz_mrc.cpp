// Any samples through the separation of a text scan into layers: every layer
// has the size it claims, the two masks never both show one pixel, and each
// photograph lies inside the page and outside both masks.
#include "engine/images/codecs.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

bool shows(const std::string& mask, size_t stride, int x, int y)
{
    return !mask.empty() && !((mask[size_t(y) * stride + size_t(x / 8)] >> (7 - x % 8)) & 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    const int components = data[0] & 1 ? 3 : 1;
    const int width = 32 + data[1] % 96;
    batch::MrcScales scales;
    scales.background = 1 + data[2] % 4;
    scales.foreground = 1 + data[2] / 4 % 8;
    scales.picture = 1 + data[3] % 3;
    scales.pictureMinimum = 8 + data[3] / 3 % 64;
    const size_t row = size_t(width) * size_t(components);
    const int height = int((size - 4) / row);
    if (height < 1)
        return 0;
    const std::string samples(reinterpret_cast<const char*>(data + 4), row * size_t(height));
    const std::optional<batch::MrcLayers> layers =
        batch::separateLayers(samples, width, height, components, scales);
    if (!layers)
        return 0;
    const size_t stride = size_t(width + 7) / 8;
    const size_t cells = size_t(layers->foregroundWidth) * size_t(layers->foregroundHeight);
    if (layers->mask.size() != stride * size_t(height) ||
        layers->foreground.size() != cells * size_t(components) ||
        (!layers->colourMask.empty() &&
         (layers->colourMask.size() != layers->mask.size() ||
          layers->colourForeground.size() != layers->foreground.size())) ||
        layers->background.size() !=
            size_t(layers->backgroundWidth) * size_t(layers->backgroundHeight) * size_t(components))
        std::abort();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (shows(layers->mask, stride, x, y) && shows(layers->colourMask, stride, x, y))
                std::abort();
    for (const batch::MrcPicture& picture : layers->pictures) {
        if (picture.x < 0 || picture.y < 0 || picture.width < 1 || picture.height < 1 ||
            picture.x + picture.width > width || picture.y + picture.height > height ||
            picture.samples.size() !=
                size_t(picture.scaledWidth) * size_t(picture.scaledHeight) * size_t(components))
            std::abort();
        for (int y = picture.y; y < picture.y + picture.height; ++y)
            for (int x = picture.x; x < picture.x + picture.width; ++x)
                if (shows(layers->mask, stride, x, y) || shows(layers->colourMask, stride, x, y))
                    std::abort();
    }
    return 0;
}
