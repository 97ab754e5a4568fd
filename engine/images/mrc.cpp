// Mixed raster content for text scans: the ink at the scan's full resolution
// as a bilevel mask, the paper without it at a low resolution, and the ink's
// colours at a lower one still, drawn through the mask.
//
// The paper is estimated tile by tile from the page's own brightest pixels
// (so shading, yellowed paper and a photocopy's grey all count as paper), and
// a pixel is ink when it is clearly darker than the paper around it, or when
// it is clearly coloured where the paper is not (a red seal). Photographs are
// found first, as large regions where nearly every pixel lies deep inside
// what is not paper (text strokes are thin, so almost none of theirs do);
// they keep their pixels, at a resolution of their own, and stay out of the
// mask. A page whose mask would cover too much or nearly nothing, or that is
// mostly photograph, is left to the ordinary levels.
#include "engine/images/codecs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <vector>

namespace batch {

namespace {

constexpr int tile = 32;

struct Plane
{
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> values;
    std::uint8_t at(int x, int y) const
    {
        return values[size_t(std::clamp(y, 0, height - 1)) * size_t(width) +
                      size_t(std::clamp(x, 0, width - 1))];
    }
};

std::uint8_t lumaOf(const std::uint8_t* pixel, int components)
{
    if (components == 1)
        return pixel[0];
    return std::uint8_t((pixel[0] * 299 + pixel[1] * 587 + pixel[2] * 114 + 500) / 1000);
}

// How far a pixel's colour lies from grey: the largest difference of two channels.
int chroma(const std::uint8_t* pixel, int components)
{
    if (components == 1)
        return 0;
    const int high = std::max({pixel[0], pixel[1], pixel[2]});
    const int low = std::min({pixel[0], pixel[1], pixel[2]});
    return high - low;
}

// The paper per tile: the level below which nine tenths of the tile's pixels
// lie is ink or paper, the tenth above it paper, and the paper's colour is
// the mean of those bright pixels. A tile full of ink takes the brightest
// paper among its neighbours.
struct Paper
{
    Plane level;
    std::array<Plane, 3> colour;
};

Paper paperOf(const std::uint8_t* pixels, int components, const Plane& luma)
{
    Plane levels{(luma.width + tile - 1) / tile, (luma.height + tile - 1) / tile, {}};
    const size_t tiles = size_t(levels.width) * size_t(levels.height);
    levels.values.resize(tiles);
    std::array<Plane, 3> colours;
    for (Plane& colour : colours)
        colour = {levels.width, levels.height, std::vector<std::uint8_t>(tiles)};
    for (int ty = 0; ty < levels.height; ++ty) {
        for (int tx = 0; tx < levels.width; ++tx) {
            const int right = std::min(luma.width, (tx + 1) * tile);
            const int bottom = std::min(luma.height, (ty + 1) * tile);
            std::array<int, 256> histogram{};
            int count = 0;
            for (int y = ty * tile; y < bottom; ++y) {
                for (int x = tx * tile; x < right; ++x, ++count)
                    ++histogram[luma.values[size_t(y) * size_t(luma.width) + size_t(x)]];
            }
            int seen = 0;
            int level = 255;
            while (level > 0 && (seen += histogram[size_t(level)]) < count / 10)
                --level;
            std::array<long, 3> sum{};
            long bright = 0;
            for (int y = ty * tile; y < bottom; ++y) {
                for (int x = tx * tile; x < right; ++x) {
                    const size_t i = size_t(y) * size_t(luma.width) + size_t(x);
                    if (luma.values[i] < level)
                        continue;
                    for (int c = 0; c < components; ++c)
                        sum[size_t(c)] += pixels[i * size_t(components) + size_t(c)];
                    ++bright;
                }
            }
            const size_t t = size_t(ty) * size_t(levels.width) + size_t(tx);
            levels.values[t] = std::uint8_t(level);
            for (int c = 0; c < components; ++c)
                colours[size_t(c)].values[t] =
                    std::uint8_t(bright ? sum[size_t(c)] / bright : level);
        }
    }
    Paper paper{levels, colours};
    for (int ty = 0; ty < levels.height; ++ty) {
        for (int tx = 0; tx < levels.width; ++tx) {
            int best = -1;
            size_t from = 0;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = std::clamp(tx + dx, 0, levels.width - 1);
                    const int ny = std::clamp(ty + dy, 0, levels.height - 1);
                    const size_t n = size_t(ny) * size_t(levels.width) + size_t(nx);
                    if (levels.values[n] > best) {
                        best = levels.values[n];
                        from = n;
                    }
                }
            }
            const size_t t = size_t(ty) * size_t(levels.width) + size_t(tx);
            paper.level.values[t] = levels.values[from];
            for (int c = 0; c < components; ++c)
                paper.colour[size_t(c)].values[t] = colours[size_t(c)].values[from];
        }
    }
    return paper;
}

// The paper's level at a pixel, between the centres of the tiles around it.
int paperAt(const Plane& levels, int x, int y)
{
    const double fx = (x + 0.5) / tile - 0.5;
    const double fy = (y + 0.5) / tile - 0.5;
    const int x0 = int(std::floor(fx));
    const int y0 = int(std::floor(fy));
    const double ax = fx - x0;
    const double ay = fy - y0;
    const double top = levels.at(x0, y0) * (1 - ax) + levels.at(x0 + 1, y0) * ax;
    const double bottom = levels.at(x0, y0 + 1) * (1 - ax) + levels.at(x0 + 1, y0 + 1) * ax;
    return int(top * (1 - ay) + bottom * ay + 0.5);
}

struct Box
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool contains(int px, int py) const
    {
        return px >= x && px < x + width && py >= y && py < y + height;
    }
    bool meets(const Box& other) const
    {
        return x < other.x + other.width && other.x < x + width && y < other.y + other.height &&
               other.y < y + height;
    }
    Box united(const Box& other) const
    {
        const int left = std::min(x, other.x);
        const int top = std::min(y, other.y);
        return {left, top, std::max(x + width, other.x + other.width) - left,
                std::max(y + height, other.y + other.height) - top};
    }
};

// The page's paper, where shading and the scanner's light leave it brightest.
int pagePaperLevel(const Plane& levels)
{
    std::vector<std::uint8_t> sorted = levels.values;
    const auto at = sorted.begin() + std::ptrdiff_t(sorted.size() * 9 / 10);
    std::nth_element(sorted.begin(), at, sorted.end());
    return *at;
}

// Per tile, the pixels whose whole square of `reach` around them is not paper.
Plane deepTiles(const std::uint8_t* pixels, int components, const Plane& luma, int paperLevel,
                int reach)
{
    const int w = luma.width;
    const int h = luma.height;
    // Sums over the rectangle from the origin, one row and column of zeros first.
    std::vector<std::uint32_t> sums(size_t(w + 1) * size_t(h + 1), 0);
    for (int y = 0; y < h; ++y) {
        std::uint32_t row = 0;
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * size_t(w) + size_t(x);
            row += luma.values[i] + 48 < paperLevel ||
                   chroma(pixels + i * size_t(components), components) > 60;
            sums[size_t(y + 1) * size_t(w + 1) + size_t(x + 1)] =
                sums[size_t(y) * size_t(w + 1) + size_t(x + 1)] + row;
        }
    }
    const auto sumAt = [&](int x, int y) {
        return sums[size_t(y) * size_t(w + 1) + size_t(x)];
    };
    const std::uint32_t full = std::uint32_t(2 * reach + 1) * std::uint32_t(2 * reach + 1);
    Plane tiles{(w + tile - 1) / tile, (h + tile - 1) / tile, {}};
    tiles.values.assign(size_t(tiles.width) * size_t(tiles.height), 0);
    std::vector<int> deep(tiles.values.size(), 0);
    for (int y = reach; y < h - reach; ++y) {
        for (int x = reach; x < w - reach; ++x) {
            const std::uint32_t inside =
                sumAt(x + reach + 1, y + reach + 1) - sumAt(x - reach, y + reach + 1) -
                sumAt(x + reach + 1, y - reach) + sumAt(x - reach, y - reach);
            deep[size_t(y / tile) * size_t(tiles.width) + size_t(x / tile)] += inside == full;
        }
    }
    // A tile is photograph when most of it lies deep inside.
    for (size_t t = 0; t < deep.size(); ++t)
        tiles.values[t] = std::uint8_t(deep[t] * 5 > tile * tile * 2);
    return tiles;
}

// The boxes around connected photograph tiles, a tile wider all round so
// that the photograph's edge is inside, merged where they meet.
std::vector<Box> pictureBoxes(Plane tiles, int width, int height, int minimum)
{
    std::vector<Box> boxes;
    for (int start = 0; start < int(tiles.values.size()); ++start) {
        if (tiles.values[size_t(start)] != 1)
            continue;
        int left = tiles.width, top = tiles.height, right = -1, bottom = -1;
        std::vector<int> pending{start};
        tiles.values[size_t(start)] = 2;
        while (!pending.empty()) {
            const int t = pending.back();
            pending.pop_back();
            const int tx = t % tiles.width;
            const int ty = t / tiles.width;
            left = std::min(left, tx), right = std::max(right, tx);
            top = std::min(top, ty), bottom = std::max(bottom, ty);
            for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
                const int nx = tx + dx;
                const int ny = ty + dy;
                const int n = ny * tiles.width + nx;
                if (nx < 0 || ny < 0 || nx >= tiles.width || ny >= tiles.height ||
                    tiles.values[size_t(n)] != 1)
                    continue;
                tiles.values[size_t(n)] = 2;
                pending.push_back(n);
            }
        }
        const int x = std::max(0, (left - 1) * tile);
        const int y = std::max(0, (top - 1) * tile);
        Box box{x, y, std::min(width, (right + 2) * tile) - x,
                std::min(height, (bottom + 2) * tile) - y};
        if (box.width >= minimum && box.height >= minimum)
            boxes.push_back(box);
    }
    for (bool merged = true; merged;) {
        merged = false;
        for (size_t i = 0; i < boxes.size() && !merged; ++i) {
            for (size_t j = i + 1; j < boxes.size() && !merged; ++j) {
                if (!boxes[i].meets(boxes[j]))
                    continue;
                boxes[i] = boxes[i].united(boxes[j]);
                boxes.erase(boxes.begin() + std::ptrdiff_t(j));
                merged = true;
            }
        }
    }
    return boxes;
}

// Ink: clearly darker than the paper around it, or clearly coloured; never
// inside a photograph. Thin strokes and the edges of thick ones are fainter:
// a pixel still below the paper joins the ink it touches, one pixel out (a
// second costs the mask a tenth more and reads no better), so that grain and
// stains never grow into text. Each ink pixel is
// `darkInk` or `colouredInk` (a seal, a coloured pen); a faint one takes the
// kind of the ink it joins.
constexpr std::uint8_t darkInk = 1;
constexpr std::uint8_t colouredInk = 2;
void markInk(const std::uint8_t* pixels, int components, const Plane& luma, const Plane& paper,
             const std::vector<Box>& pictures, std::vector<std::uint8_t>& ink)
{
    const int width = luma.width;
    const int height = luma.height;
    std::vector<std::uint8_t> faint(ink.size(), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (std::any_of(pictures.begin(), pictures.end(),
                            [&](const Box& box) { return box.contains(x, y); }))
                continue;
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            const int level = paperAt(paper, x, y);
            const int dark = level - luma.values[i];
            const int colour = chroma(pixels + i * size_t(components), components);
            if ((dark > 40 && luma.values[i] * 100 < level * 78) || colour > 80)
                ink[i] = colour > 50 ? colouredInk : darkInk;
            faint[i] = dark > 32;
        }
    }
    constexpr std::uint8_t joining = 4; // joined in this pass, not to be joined to
    for (int y = 1; y < height - 1; ++y) {
        for (int x = 1; x < width - 1; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            if (ink[i] || !faint[i])
                continue;
            for (const size_t n :
                 {i - 1, i + 1, i - size_t(width), i + size_t(width), i - size_t(width) - 1,
                  i - size_t(width) + 1, i + size_t(width) - 1, i + size_t(width) + 1}) {
                if (ink[n] != 0 && ink[n] < joining) {
                    ink[i] = std::uint8_t(joining | ink[n]);
                    break;
                }
            }
        }
    }
    for (std::uint8_t& kind : ink)
        kind &= std::uint8_t(~joining);
}

// Scanner noise on the strokes' edges: lone pixels and one-pixel notches,
// which cost the mask's coder more than anything a reader sees. A pixel
// with at most one ink neighbour of its eight leaves the ink; one with six
// or more joins it, as the kind most of them are.
void smoothEdges(std::vector<std::uint8_t>& ink, int width, int height)
{
    std::vector<std::uint8_t> smoothed = ink;
    for (int y = 1; y < height - 1; ++y) {
        for (int x = 1; x < width - 1; ++x) {
            const size_t i = size_t(y) * size_t(width) + size_t(x);
            int neighbours = 0;
            int coloured = 0;
            for (const size_t n :
                 {i - 1, i + 1, i - size_t(width), i + size_t(width), i - size_t(width) - 1,
                  i - size_t(width) + 1, i + size_t(width) - 1, i + size_t(width) + 1}) {
                neighbours += ink[n] != 0;
                coloured += ink[n] == 2;
            }
            if (ink[i] && neighbours <= 1)
                smoothed[i] = 0;
            else if (!ink[i] && neighbours >= 6)
                smoothed[i] = coloured * 2 > neighbours ? 2 : 1;
        }
    }
    ink = std::move(smoothed);
}

// The bilevel mask of one kind of ink, 0 where it shows; the count of its pixels.
size_t maskOf(const std::vector<std::uint8_t>& ink, std::uint8_t kind, int width, int height,
              std::string& mask)
{
    const size_t stride = size_t(width + 7) / 8;
    mask.assign(stride * size_t(height), char(0xFF));
    size_t inked = 0;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (ink[size_t(y) * size_t(width) + size_t(x)] != kind)
                continue;
            ++inked;
            mask[size_t(y) * stride + size_t(x / 8)] &= char(~(0x80 >> (x % 8)));
        }
    }
    return inked;
}

// The ink and the two pixels around it, where the paper shows a stroke's
// shadow that, scaled down, would be a grey halo beside the sharp mask.
std::vector<std::uint8_t> inkWithFringe(const std::vector<std::uint8_t>& ink, int width, int height)
{
    constexpr int reach = 2;
    std::vector<std::uint8_t> across(ink.size(), 0);
    for (int y = 0; y < height; ++y) {
        const size_t row = size_t(y) * size_t(width);
        for (int x = 0; x < width; ++x) {
            if (!ink[row + size_t(x)])
                continue;
            for (int dx = std::max(0, x - reach); dx <= std::min(width - 1, x + reach); ++dx)
                across[row + size_t(dx)] = 1;
        }
    }
    std::vector<std::uint8_t> near(ink.size(), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (!across[size_t(y) * size_t(width) + size_t(x)])
                continue;
            for (int dy = std::max(0, y - reach); dy <= std::min(height - 1, y + reach); ++dy)
                near[size_t(dy) * size_t(width) + size_t(x)] = 1;
        }
    }
    return near;
}

// The colours of one kind of ink: each cell's mean over it, carried along
// the row into cells without it, which its mask never shows.
std::string inkColours(const std::uint8_t* pixels, int components, const Plane& luma,
                       const std::vector<std::uint8_t>& ink, std::uint8_t kind, int scale)
{
    const int width = luma.width;
    const int height = luma.height;
    const int cellsWide = (width + scale - 1) / scale;
    const int cellsHigh = (height + scale - 1) / scale;
    std::string colours(size_t(cellsWide) * size_t(cellsHigh) * size_t(components), 0);
    for (int cy = 0; cy < cellsHigh; ++cy) {
        std::array<int, 3> carried{};
        for (int cx = 0; cx < cellsWide; ++cx) {
            std::array<long, 3> sum{};
            long n = 0;
            for (int y = cy * scale; y < std::min(height, (cy + 1) * scale); ++y) {
                for (int x = cx * scale; x < std::min(width, (cx + 1) * scale); ++x) {
                    const size_t i = size_t(y) * size_t(width) + size_t(x);
                    if (ink[i] != kind)
                        continue;
                    // The strokes' cores count, their anti-aliased edges hardly.
                    const long depth = std::max(0, 255 - int(luma.values[i]));
                    const long weight = 1 + depth * depth / 64;
                    for (int c = 0; c < components; ++c)
                        sum[size_t(c)] += weight * pixels[i * size_t(components) + size_t(c)];
                    n += weight;
                }
            }
            const size_t cell = size_t(cy) * size_t(cellsWide) + size_t(cx);
            for (int c = 0; c < components; ++c) {
                // In steps, so that ink of one colour is one value, which
                // compresses to nothing: 16 keep a seal's hue; dark ink,
                // whose shades only the eye's least sensitive range tells
                // apart, takes 32.
                const int step = kind == colouredInk ? 16 : 32;
                if (n > 0)
                    carried[size_t(c)] =
                        std::min(255, int(sum[size_t(c)] / n + step / 2) / step * step);
                colours[cell * size_t(components) + size_t(c)] = char(carried[size_t(c)]);
            }
        }
    }
    return colours;
}

// The paper: the ink and its fringe replaced by the paper around them, then
// scaled down.
void paperLayer(std::string_view samples, int components, const Paper& paper,
                const std::vector<std::uint8_t>& ink, int width, int height, int scale,
                MrcLayers& layers)
{
    const size_t count = size_t(width) * size_t(height);
    const std::vector<std::uint8_t> covered = inkWithFringe(ink, width, height);
    std::string paperSamples(samples.substr(0, count * size_t(components)));
    for (size_t i = 0; i < count; ++i) {
        if (!covered[i])
            continue;
        const int x = int(i % size_t(width));
        const int y = int(i / size_t(width));
        for (int c = 0; c < components; ++c)
            paperSamples[i * size_t(components) + size_t(c)] =
                char(paperAt(paper.colour[size_t(c)], x, y));
    }
    layers.backgroundWidth = std::max(1, width / scale);
    layers.backgroundHeight = std::max(1, height / scale);
    layers.background = scaleByArea(paperSamples, width, height, components, layers.backgroundWidth,
                                    layers.backgroundHeight);
}

MrcPicture pictureOf(std::string_view samples, int width, int components, const Box& box, int scale)
{
    MrcPicture picture{box.x, box.y, box.width, box.height, {}, 0, 0};
    std::string region;
    region.reserve(size_t(box.width) * size_t(box.height) * size_t(components));
    for (int y = box.y; y < box.y + box.height; ++y)
        region.append(
            samples.substr((size_t(y) * size_t(width) + size_t(box.x)) * size_t(components),
                           size_t(box.width) * size_t(components)));
    picture.scaledWidth = std::max(1, box.width / scale);
    picture.scaledHeight = std::max(1, box.height / scale);
    picture.samples = scaleByArea(region, box.width, box.height, components, picture.scaledWidth,
                                  picture.scaledHeight);
    return picture;
}

} // namespace

std::optional<MrcLayers> separateLayers(std::string_view samples, int width, int height,
                                        int components, const MrcScales& scales)
{
    constexpr size_t mostPictureCount = 16;
    if (width < tile || height < tile || (components != 1 && components != 3) ||
        samples.size() < size_t(width) * size_t(height) * size_t(components))
        return std::nullopt;
    const auto* pixels = reinterpret_cast<const std::uint8_t*>(samples.data());
    const size_t count = size_t(width) * size_t(height);
    Plane luma{width, height, std::vector<std::uint8_t>(count)};
    for (size_t i = 0; i < count; ++i)
        luma.values[i] = lumaOf(pixels + i * size_t(components), components);
    const Paper paper = paperOf(pixels, components, luma);

    const int reach = std::max(3, scales.pictureMinimum / 40);
    const std::vector<Box> boxes =
        pictureBoxes(deepTiles(pixels, components, luma, pagePaperLevel(paper.level), reach), width,
                     height, scales.pictureMinimum);
    const double pictured =
        std::accumulate(boxes.begin(), boxes.end(), 0.0, [](double sum, const Box& box) {
            return sum + double(box.width) * box.height;
        });
    if (boxes.size() > mostPictureCount || pictured > scales.mostPictures * double(count))
        return std::nullopt;

    MrcLayers layers;
    std::vector<std::uint8_t> ink(count, 0);
    markInk(pixels, components, luma, paper.level, boxes, ink);
    smoothEdges(ink, width, height);
    const size_t dark = maskOf(ink, darkInk, width, height, layers.mask);
    const size_t coloured = maskOf(ink, colouredInk, width, height, layers.colourMask);
    layers.coverage = double(dark + coloured) / double(count);
    if (layers.coverage > scales.mostCoverage || layers.coverage < scales.leastCoverage)
        return std::nullopt;
    layers.foregroundWidth = (width + scales.foreground - 1) / scales.foreground;
    layers.foregroundHeight = (height + scales.foreground - 1) / scales.foreground;
    layers.foreground = inkColours(pixels, components, luma, ink, darkInk, scales.foreground);
    if (coloured > 0)
        layers.colourForeground =
            inkColours(pixels, components, luma, ink, colouredInk, scales.foreground);
    else
        layers.colourMask.clear();
    paperLayer(samples, components, paper, ink, width, height, scales.background, layers);
    for (const Box& box : boxes)
        layers.pictures.push_back(pictureOf(samples, width, components, box, scales.picture));
    return layers;
}

} // namespace batch
