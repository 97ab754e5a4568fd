// Exact re-representations of image samples. Every candidate decodes to the
// colours the original shows: grey only where R = G = B, a palette only of
// colours that occur, fewer bits only where every level is one of theirs.
// Candidates are compared at a fast level and the best is compressed at the
// strongest one, so an image costs one slow compression however many forms it
// could take.
#include "engine/images/codecs.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <vector>

namespace batch {

namespace {

constexpr int trialLevel = 6;
constexpr int finalLevel = 10;

size_t rowBytes(int width, int components, int bits)
{
    return (size_t(width) * size_t(components) * size_t(bits) + 7) / 8;
}

// The distance a PNG predictor looks back: a whole pixel, rounded up to bytes
// as readers round it, so 3 × 4 bits looks back two bytes, not one.
size_t predictorPixelBytes(int components, int bits)
{
    return std::max<size_t>(1, (size_t(components) * size_t(bits) + 7) / 8);
}

struct Form
{
    std::string samples;
    int components = 0;
    int bits = 0;
    ImageEncoding::Colours colours = ImageEncoding::Colours::Same;
    int paletteSize = 0;
    std::string palette;
};

Form plainForm(std::string samples, int components, int bits,
               ImageEncoding::Colours colours = ImageEncoding::Colours::Same)
{
    Form form;
    form.samples = std::move(samples);
    form.components = components;
    form.bits = bits;
    form.colours = colours;
    return form;
}

// 8-bit levels of one row packed at fewer bits, the first sample highest.
void packRow(const unsigned char* levels, size_t count, int bits, std::string& out)
{
    unsigned int byte = 0;
    int filled = 0;
    for (size_t i = 0; i < count; ++i) {
        byte = (byte << bits) | levels[i];
        filled += bits;
        if (filled == 8) {
            out += char(byte);
            byte = 0;
            filled = 0;
        }
    }
    if (filled != 0)
        out += char(byte << (8 - filled));
}

} // namespace

std::string packed(const std::string& levels, int width, int height, int bits)
{
    std::string out;
    out.reserve(rowBytes(width, 1, bits) * size_t(height));
    for (int y = 0; y < height; ++y)
        packRow(reinterpret_cast<const unsigned char*>(levels.data()) + size_t(y) * size_t(width),
                size_t(width), bits, out);
    return out;
}

namespace {

std::optional<std::string> greyOf(std::string_view rgb)
{
    std::string grey;
    grey.reserve(rgb.size() / 3);
    for (size_t i = 0; i + 2 < rgb.size(); i += 3) {
        if (rgb[i] != rgb[i + 1] || rgb[i] != rgb[i + 2])
            return std::nullopt;
        grey += rgb[i];
    }
    return grey;
}

// Grey levels that all sit on the scale of fewer bits: 0, 85, 170, 255 for 2.
std::optional<Form> fewerBits(const std::string& grey, int width, int height)
{
    std::array<bool, 256> seen{};
    for (const char level : grey)
        seen[static_cast<unsigned char>(level)] = true;
    for (const int bits : {1, 2, 4}) {
        const int step = 255 / ((1 << bits) - 1);
        bool fits = true;
        for (int level = 0; level < 256 && fits; ++level)
            fits = !seen[size_t(level)] || level % step == 0;
        if (!fits)
            continue;
        std::string levels(grey);
        for (char& level : levels)
            level = char(static_cast<unsigned char>(level) / step);
        return plainForm(packed(levels, width, height, bits), 1, bits);
    }
    return std::nullopt;
}

// At most 256 colours: a palette in the image's own colour space, sorted so
// that neighbouring indices hold neighbouring colours.
std::optional<Form> indexed(std::string_view samples, int width, int height, int components)
{
    // A colour is packed into 32 bits: four components at most.
    if (components < 1 || components > 4)
        return std::nullopt;
    const auto colourAt = [&](size_t pixel) {
        uint32_t colour = 0;
        for (int c = 0; c < components; ++c)
            colour = (colour << 8) |
                     static_cast<unsigned char>(samples[pixel * size_t(components) + size_t(c)]);
        return colour;
    };
    const size_t pixels = size_t(width) * size_t(height);
    std::map<uint32_t, int> palette;
    for (size_t p = 0; p < pixels; ++p) {
        palette.emplace(colourAt(p), 0);
        if (palette.size() > 256)
            return std::nullopt;
    }
    Form form;
    form.colours = ImageEncoding::Colours::Indexed;
    form.components = 1;
    form.paletteSize = int(palette.size());
    int index = 0;
    for (auto& [colour, slot] : palette) {
        slot = index++;
        for (int c = components - 1; c >= 0; --c)
            form.palette += char((colour >> (8 * c)) & 0xff);
    }
    form.bits = palette.size() <= 2 ? 1 : palette.size() <= 4 ? 2 : palette.size() <= 16 ? 4 : 8;
    std::string levels(pixels, '\0');
    for (size_t p = 0; p < pixels; ++p)
        levels[p] = char(palette[colourAt(p)]);
    form.samples = packed(levels, width, height, form.bits);
    return form;
}

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

// PNG predictors, the filter of each row chosen as PNG encoders do: the one
// whose output bytes, taken as signed, sum to the least.
std::string predicted(const std::string& samples, size_t stride, int height, size_t pixelBytes)
{
    std::string out;
    out.reserve((stride + 1) * size_t(height));
    std::vector<unsigned char> zeros(stride, 0);
    std::array<std::string, 5> filtered;
    for (int y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const unsigned char*>(samples.data()) + size_t(y) * stride;
        const unsigned char* above = y == 0 ? zeros.data() : row - stride;
        size_t bestCost = SIZE_MAX;
        size_t best = 0;
        for (size_t type = 0; type < filtered.size(); ++type) {
            std::string& bytes = filtered[type];
            bytes.assign(stride, '\0');
            size_t cost = 0;
            for (size_t i = 0; i < stride; ++i) {
                const int left = i >= pixelBytes ? row[i - pixelBytes] : 0;
                const int upLeft = i >= pixelBytes ? above[i - pixelBytes] : 0;
                const int guesses[] = {0, left, above[i], (left + above[i]) / 2,
                                       paeth(left, above[i], upLeft)};
                const auto value = static_cast<unsigned char>(row[i] - guesses[type]);
                bytes[i] = char(value);
                cost += value < 128 ? value : 256 - value;
            }
            if (cost < bestCost) {
                bestCost = cost;
                best = type;
            }
        }
        out += char(best);
        out += filtered[best];
    }
    return out;
}

} // namespace

std::optional<ImageEncoding> encodeImage(std::string_view samples, const ImageLayout& layout,
                                         size_t storedBytes)
{
    const size_t stride = rowBytes(layout.width, layout.components, layout.bits);
    if (layout.width <= 0 || layout.height <= 0 || samples.size() != stride * size_t(layout.height))
        return std::nullopt;

    std::vector<Form> forms;
    forms.push_back(plainForm(std::string(samples), layout.components, layout.bits));
    if (layout.mayRecolour && layout.bits == 8) {
        std::optional<std::string> grey;
        if (layout.components == 1)
            grey = std::string(samples);
        else if (layout.components == 3 && layout.rgbMayBeGrey)
            grey = greyOf(samples);
        if (grey && layout.components == 3)
            forms.push_back(plainForm(*grey, 1, 8, ImageEncoding::Colours::Grey));
        std::optional<Form> fewer;
        if (grey)
            fewer = fewerBits(*grey, layout.width, layout.height);
        if (fewer) {
            fewer->colours = layout.components == 3 ? ImageEncoding::Colours::Grey
                                                    : ImageEncoding::Colours::Same;
            forms.push_back(std::move(*fewer));
        } else if (layout.mayIndex) {
            if (std::optional<Form> palette =
                    indexed(samples, layout.width, layout.height, layout.components))
                if (palette->bits < 8 || layout.components > 1)
                    forms.push_back(std::move(*palette));
        }
    }

    // Each form with and without predictors, at the fast level.
    const Form* bestForm = nullptr;
    bool bestPredicted = false;
    size_t bestSize = SIZE_MAX;
    for (const Form& form : forms) {
        const size_t formStride = rowBytes(layout.width, form.components, form.bits);
        const size_t pixelBytes = predictorPixelBytes(form.components, form.bits);
        for (const bool withPredictors : {false, true}) {
            const size_t size =
                withPredictors
                    ? deflateData(predicted(form.samples, formStride, layout.height, pixelBytes),
                                  trialLevel)
                          .size()
                    : deflateData(form.samples, trialLevel).size();
            if (size < bestSize) {
                bestSize = size;
                bestForm = &form;
                bestPredicted = withPredictors;
            }
        }
    }

    ImageEncoding encoding;
    encoding.bits = bestForm->bits;
    encoding.colours = bestForm->colours;
    encoding.paletteSize = bestForm->paletteSize;
    encoding.palette = bestForm->palette;
    const size_t formStride = rowBytes(layout.width, bestForm->components, bestForm->bits);
    if (bestPredicted) {
        encoding.predictorColors = bestForm->components;
        encoding.data =
            deflateData(predicted(bestForm->samples, formStride, layout.height,
                                  predictorPixelBytes(bestForm->components, bestForm->bits)),
                        finalLevel);
    } else {
        encoding.data = deflateData(bestForm->samples, finalLevel);
    }
    // Bilevel forms may do better still as fax data, or as JBIG2, which
    // models each pixel by its neighbours.
    for (const Form& form : forms) {
        if (form.components != 1 || form.bits != 1)
            continue;
        const auto consider = [&](std::string data, ImageEncoding::Filter filter) {
            if (data.size() < encoding.data.size())
                encoding = ImageEncoding{std::move(data), filter,           0,           1,
                                         form.colours,    form.paletteSize, form.palette};
        };
        if (std::optional<std::string> fax = encodeG4(form.samples, layout.width, layout.height))
            consider(std::move(*fax), ImageEncoding::Filter::Ccitt);
        consider(encodeJbig2(form.samples, layout.width, layout.height),
                 ImageEncoding::Filter::Jbig2);
    }
    if (encoding.data.size() >= storedBytes)
        return std::nullopt;
    return encoding;
}

} // namespace batch
