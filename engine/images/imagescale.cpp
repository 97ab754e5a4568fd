// Downsampling by area averaging: every new pixel is the mean of the old
// pixels it covers, each weighted by how much of it falls inside. Sharper
// than bilinear scaling at large factors and free of its aliasing.
//
// Measured in units of 1/(old × new) of the image, every overlap is a whole
// number, so the sums are exact integers; rows are taken one at a time, so
// the only memory beyond the result is two rows of sums, however large the
// image.
#include "engine/images/codecs.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace batch {

namespace {

struct Span
{
    int first = 0;
    std::vector<uint64_t> weights; // overlaps of the old pixels from `first` on
};

// Old pixel k covers [k·to, (k+1)·to), new pixel i covers [i·from, (i+1)·from).
std::vector<Span> spans(int from, int to)
{
    std::vector<Span> result(static_cast<size_t>(to));
    for (int i = 0; i < to; ++i) {
        const int64_t start = int64_t(i) * from;
        const int64_t end = start + from;
        Span& span = result[size_t(i)];
        span.first = int(start / to);
        for (int64_t k = span.first; k < from && k * to < end; ++k)
            span.weights.push_back(
                uint64_t(std::min<int64_t>((k + 1) * to, end) - std::max<int64_t>(k * to, start)));
    }
    return result;
}

} // namespace

std::string scaleByArea(std::string_view samples, int width, int height, int components,
                        int newWidth, int newHeight)
{
    const std::vector<Span> across = spans(width, newWidth);
    const size_t channels = size_t(components);
    const size_t stride = size_t(newWidth) * channels;
    std::string result(stride * size_t(newHeight), '\0');
    std::vector<uint64_t> narrow(stride);
    std::vector<uint64_t> sums(stride, 0);
    const uint64_t total = uint64_t(width) * uint64_t(height);
    int row = 0; // the new row being summed
    for (int y = 0; y < height && row < newHeight; ++y) {
        const auto* line = reinterpret_cast<const unsigned char*>(samples.data()) +
                           size_t(y) * size_t(width) * channels;
        for (int x = 0; x < newWidth; ++x) {
            const Span& span = across[size_t(x)];
            for (size_t c = 0; c < channels; ++c) {
                uint64_t sum = 0;
                for (size_t k = 0; k < span.weights.size(); ++k)
                    sum += span.weights[k] * line[(size_t(span.first) + k) * channels + c];
                narrow[size_t(x) * channels + c] = sum;
            }
        }
        // Old row y covers [y·newHeight, (y+1)·newHeight); new row r covers
        // [r·height, (r+1)·height): share what overlaps, finishing each new
        // row as the old rows pass its end.
        const int64_t start = int64_t(y) * newHeight;
        const int64_t end = start + newHeight;
        while (row < newHeight) {
            const int64_t rowStart = int64_t(row) * height;
            const int64_t rowEnd = rowStart + height;
            const uint64_t overlap = uint64_t(std::min(end, rowEnd) - std::max(start, rowStart));
            for (size_t i = 0; i < stride; ++i)
                sums[i] += narrow[i] * overlap;
            if (rowEnd > end)
                break;
            char* out = result.data() + size_t(row) * stride;
            for (size_t i = 0; i < stride; ++i)
                out[i] = char(std::min<uint64_t>(255, (sums[i] + total / 2) / total));
            std::fill(sums.begin(), sums.end(), 0);
            ++row;
        }
    }
    return result;
}

} // namespace batch
