// Downsampling by area averaging: every new pixel is the mean of the old
// pixels it covers, each weighted by how much of it falls inside. Sharper
// than bilinear scaling at large factors and free of its aliasing.
#include "engine/codecs.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace batch {

namespace {

struct Span
{
    int first = 0;
    std::vector<float> weights; // of the old pixels from `first` on, summing to 1
};

std::vector<Span> spans(int from, int to)
{
    std::vector<Span> result(static_cast<size_t>(to));
    const double scale = double(from) / to;
    for (int i = 0; i < to; ++i) {
        const double start = i * scale;
        const double end = std::min<double>(from, (i + 1) * scale);
        Span& span = result[size_t(i)];
        span.first = int(std::floor(start));
        for (int k = span.first; k < from && k < end; ++k) {
            const double covered = std::min<double>(k + 1, end) - std::max<double>(k, start);
            span.weights.push_back(float(covered / (end - start)));
        }
    }
    return result;
}

} // namespace

std::string scaleByArea(std::string_view samples, int width, int height, int components,
                        int newWidth, int newHeight)
{
    const std::vector<Span> across = spans(width, newWidth);
    const std::vector<Span> down = spans(height, newHeight);
    // Rows first, kept as floats, then columns.
    std::vector<float> narrow(size_t(newWidth) * size_t(height) * size_t(components));
    for (int y = 0; y < height; ++y) {
        const auto* row = reinterpret_cast<const unsigned char*>(samples.data()) +
                          size_t(y) * size_t(width) * size_t(components);
        float* out = narrow.data() + size_t(y) * size_t(newWidth) * size_t(components);
        for (int x = 0; x < newWidth; ++x) {
            const Span& span = across[size_t(x)];
            for (int c = 0; c < components; ++c) {
                float sum = 0;
                for (size_t k = 0; k < span.weights.size(); ++k)
                    sum += span.weights[k] *
                           row[(size_t(span.first) + k) * size_t(components) + size_t(c)];
                out[size_t(x) * size_t(components) + size_t(c)] = sum;
            }
        }
    }
    std::string result(size_t(newWidth) * size_t(newHeight) * size_t(components), '\0');
    const size_t stride = size_t(newWidth) * size_t(components);
    for (int y = 0; y < newHeight; ++y) {
        const Span& span = down[size_t(y)];
        for (size_t i = 0; i < stride; ++i) {
            float sum = 0;
            for (size_t k = 0; k < span.weights.size(); ++k)
                sum += span.weights[k] * narrow[(size_t(span.first) + k) * stride + i];
            result[size_t(y) * stride + i] = char(std::clamp(int(std::lround(sum)), 0, 255));
        }
    }
    return result;
}

} // namespace batch
