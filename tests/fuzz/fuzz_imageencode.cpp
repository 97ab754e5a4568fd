// Image samples of every layout through the exact encoder: a result in the
// samples' own layout must inflate and un-predict to those samples.
#include "engine/images/codecs.h"

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

int paeth(int left, int up, int upLeft)
{
    const int estimate = left + up - upLeft;
    const int toLeft = std::abs(estimate - left);
    const int toUp = std::abs(estimate - up);
    const int toUpLeft = std::abs(estimate - upLeft);
    if (toLeft <= toUp && toLeft <= toUpLeft)
        return left;
    return toUp <= toUpLeft ? up : upLeft;
}

// PNG rows undone as a reader undoes them, its look-back a whole pixel
// rounded up to bytes.
bool unpredict(const std::string& rows, size_t stride, int height, size_t pixelBytes,
               std::string& out)
{
    if (rows.size() != (stride + 1) * size_t(height))
        return false;
    out.assign(stride * size_t(height), '\0');
    for (int y = 0; y < height; ++y) {
        const auto* in =
            reinterpret_cast<const unsigned char*>(rows.data()) + size_t(y) * (stride + 1);
        auto* row = reinterpret_cast<unsigned char*>(out.data()) + size_t(y) * stride;
        const unsigned char* above = y > 0 ? row - stride : nullptr;
        for (size_t i = 0; i < stride; ++i) {
            const int left = i >= pixelBytes ? row[i - pixelBytes] : 0;
            const int up = above ? above[i] : 0;
            const int upLeft = above && i >= pixelBytes ? above[i - pixelBytes] : 0;
            const int guesses[] = {0, left, up, (left + up) / 2, paeth(left, up, upLeft)};
            if (in[0] > 4)
                return false;
            row[i] = static_cast<unsigned char>(in[1 + i] + guesses[in[0]]);
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4)
        return 0;
    static const int bitChoices[] = {1, 2, 4, 8, 16};
    batch::ImageLayout layout;
    layout.components = 1 + data[0] % 6;
    layout.bits = bitChoices[data[1] % 5];
    layout.width = 1 + data[2] % 40;
    layout.mayRecolour = data[3] & 1;
    layout.rgbMayBeGrey = data[3] & 2;
    layout.mayIndex = data[3] & 4;
    const size_t stride =
        (size_t(layout.width) * size_t(layout.components) * size_t(layout.bits) + 7) / 8;
    layout.height = int((size - 4) / stride);
    if (layout.height < 1)
        return 0;
    const std::string samples(reinterpret_cast<const char*>(data + 4),
                              stride * size_t(layout.height));
    const std::optional<batch::ImageEncoding> encoding =
        batch::encodeImage(samples, layout, samples.size() * 2 + 64);
    if (!encoding || encoding->colours != batch::ImageEncoding::Colours::Same ||
        encoding->bits != layout.bits)
        return 0;
    // Fax data must read back, through our own decoder, as the samples.
    if (encoding->filter == batch::ImageEncoding::Filter::Ccitt) {
        batch::FaxParameters fax;
        fax.k = -1;
        fax.columns = layout.width;
        const std::optional<std::string> rows =
            batch::decodeFax(encoding->data, fax, layout.height);
        if (!rows || rows->size() != samples.size())
            __builtin_trap();
        // The bits past a row's last pixel carry nothing.
        const unsigned char last =
            static_cast<unsigned char>(0xFF00 >> (layout.width % 8 ? layout.width % 8 : 8));
        for (size_t i = 0; i < samples.size(); ++i) {
            const unsigned char used = (i + 1) % stride == 0 ? last : 0xFF;
            if (((*rows)[i] ^ samples[i]) & used)
                __builtin_trap();
        }
        return 0;
    }
    if (encoding->filter != batch::ImageEncoding::Filter::Flate)
        return 0;
    const size_t predictedSize =
        encoding->predictorColors > 0 ? (stride + 1) * size_t(layout.height) : samples.size();
    std::string inflated(predictedSize, '\0');
    uLongf length = uLongf(inflated.size());
    if (uncompress(reinterpret_cast<Bytef*>(inflated.data()), &length,
                   reinterpret_cast<const Bytef*>(encoding->data.data()),
                   uLong(encoding->data.size())) != Z_OK ||
        length != inflated.size())
        __builtin_trap();
    std::string decoded = inflated;
    if (encoding->predictorColors > 0 &&
        !unpredict(inflated, stride, layout.height,
                   std::max<size_t>(1, (size_t(layout.components) * size_t(layout.bits) + 7) / 8),
                   decoded))
        __builtin_trap();
    if (decoded != samples)
        __builtin_trap();
    return 0;
}
