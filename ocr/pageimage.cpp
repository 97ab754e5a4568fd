#include "ocr/pageimage.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace batch {

namespace {

bool stop(const CancelTest& cancelled)
{
    return cancelled && cancelled();
}

struct Point
{
    double x;
    double y;
};

double profileScore(const std::vector<Point>& points, int bins, double degrees)
{
    const double theta = degrees * M_PI / 180.0;
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    std::vector<std::int64_t> counters(static_cast<size_t>(bins), 0);
    for (const Point& point : points) {
        const long k = std::lround(c * point.y + s * point.x) + bins / 2;
        if (k >= 0 && k < bins)
            ++counters[static_cast<size_t>(k)];
    }
    double score = 0;
    for (const std::int64_t count : counters)
        score += double(count) * double(count);
    return score;
}

} // namespace

QImage flattenPageImage(const QImage& image)
{
    // A rendering is composited onto white row by row: a page of 40 million
    // pixels would otherwise take two more copies of 160 MB each.
    const QImage::Format format = image.format();
    if (format != QImage::Format_ARGB32 && format != QImage::Format_ARGB32_Premultiplied &&
        format != QImage::Format_RGB32) {
        const QImage converted = image.convertToFormat(QImage::Format_ARGB32);
        return converted.isNull() ? converted : flattenPageImage(converted);
    }
    QImage flat(image.size(), QImage::Format_RGB888);
    if (flat.isNull())
        return flat;
    const bool premultiplied = format == QImage::Format_ARGB32_Premultiplied;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* row = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        uchar* target = flat.scanLine(y);
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = row[x];
            const int alpha = format == QImage::Format_RGB32 ? 255 : qAlpha(pixel);
            const int paper = 255 - alpha;
            const auto over = [&](int channel) {
                const int ink = premultiplied ? channel : (channel * alpha + 127) / 255;
                return uchar(std::min(255, ink + paper));
            };
            target[3 * x] = over(qRed(pixel));
            target[3 * x + 1] = over(qGreen(pixel));
            target[3 * x + 2] = over(qBlue(pixel));
        }
    }
    return flat;
}

QImage neutralGreyImage(const QImage& rgb)
{
    if (rgb.format() != QImage::Format_RGB888)
        return QImage();
    QImage grey(rgb.size(), QImage::Format_Grayscale8);
    for (int y = 0; y < rgb.height(); ++y) {
        const uchar* row = rgb.constScanLine(y);
        uchar* target = grey.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            const uchar r = row[3 * x];
            if (r != row[3 * x + 1] || r != row[3 * x + 2])
                return QImage();
            target[x] = r;
        }
    }
    return grey;
}

namespace {

// Seal ink, as scanned: saturated red or blue, never black or grey. The
// strict test finds seals; the loose one, inside a seal found, also takes the
// ink that JPEG's halved colour resolution has paled at its edges, but never
// dark pixels: black text under the seal stays.
enum class Ink
{
    Red = 0,
    Blue = 2, // the channel in which the ink is light
};

bool isSealInk(const uchar* pixel, Ink ink)
{
    const int own = pixel[int(ink)];
    const int others =
        ink == Ink::Red ? std::max(pixel[1], pixel[2]) : std::max(pixel[0], pixel[1]);
    return own >= (ink == Ink::Red ? 120 : 100) && own - others >= 60;
}

bool isPaleSealInk(const uchar* pixel, Ink ink)
{
    const int own = pixel[int(ink)];
    const int others =
        ink == Ink::Red ? std::max(pixel[1], pixel[2]) : std::max(pixel[0], pixel[1]);
    return own >= 110 && own - others >= 30;
}

// Whether the cluster of ink cells in `box` has a seal's shape: a ring or an
// outline, which encloses paper that no path between the ink's cells
// reaches from outside (lines of remarks never close), or a filled stamp.
bool sealShaped(const std::vector<uchar>& ink, int columns, const QRect& box)
{
    const int w = box.width() + 2;
    const int h = box.height() + 2;
    const auto inked = [&](int x, int y) {
        const int cx = box.left() - 1 + x;
        const int cy = box.top() - 1 + y;
        return x > 0 && y > 0 && x < w - 1 && y < h - 1 && ink[size_t(cy * columns + cx)];
    };
    // Text over a seal breaks its ring where its strokes cross: gaps of a
    // cell are closed before asking what the ring encloses.
    const auto closed = [&](int x, int y) {
        if (x <= 0 || y <= 0 || x >= w - 1 || y >= h - 1)
            return false; // the frame around the box is always outside
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx)
                if (inked(x + dx, y + dy))
                    return true;
        return false;
    };
    std::vector<uchar> outside(size_t(w) * size_t(h), 0);
    std::vector<int> stack{0};
    outside[0] = 1;
    int inkCells = 0;
    while (!stack.empty()) {
        const int cell = stack.back();
        stack.pop_back();
        const int x = cell % w;
        const int y = cell / w;
        const int steps[4][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}};
        for (const auto& step : steps) {
            const int nx = x + step[0];
            const int ny = y + step[1];
            if (nx < 0 || ny < 0 || nx >= w || ny >= h || outside[size_t(ny * w + nx)] ||
                closed(nx, ny))
                continue;
            outside[size_t(ny * w + nx)] = 1;
            stack.push_back(ny * w + nx);
        }
    }
    int enclosed = 0;
    for (int y = 1; y < h - 1; ++y) {
        for (int x = 1; x < w - 1; ++x) {
            if (inked(x, y))
                ++inkCells;
            else if (!outside[size_t(y * w + x)] && !closed(x, y))
                ++enclosed;
        }
    }
    const int area = box.width() * box.height();
    return enclosed * 10 >= area * 3 || inkCells * 10 >= area * 6;
}

// Boxes, in cells, of the clusters of ink cells that are shaped like seals.
std::vector<QRect> sealCells(const std::vector<uchar>& ink, int columns, int rows,
                             double cellsPerInch)
{
    std::vector<QRect> seals;
    std::vector<uchar> seen(ink.size(), 0);
    std::vector<int> stack;
    for (int start = 0; start < columns * rows; ++start) {
        if (!ink[size_t(start)] || seen[size_t(start)])
            continue;
        QRect box(start % columns, start / columns, 1, 1);
        stack.assign(1, start);
        seen[size_t(start)] = 1;
        while (!stack.empty()) {
            const int cell = stack.back();
            stack.pop_back();
            const int x = cell % columns;
            const int y = cell / columns;
            box = box.united(QRect(x, y, 1, 1));
            // Eight neighbours and their neighbours: a ring drawn thin is one cluster.
            for (int dy = -2; dy <= 2; ++dy) {
                for (int dx = -2; dx <= 2; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= columns || ny >= rows)
                        continue;
                    const size_t next = size_t(ny * columns + nx);
                    if (ink[next] && !seen[next]) {
                        seen[next] = 1;
                        stack.push_back(int(next));
                    }
                }
            }
        }
        const double width = box.width() / cellsPerInch;
        const double height = box.height() / cellsPerInch;
        const double aspect = width / height;
        if (width >= 0.6 && width <= 2.8 && height >= 0.6 && height <= 2.8 && aspect >= 0.6 &&
            aspect <= 1.7 && sealShaped(ink, columns, box))
            seals.push_back(box);
    }
    return seals;
}

struct Seal
{
    QRect cells;
    Ink ink;
};

} // namespace

QImage sealFreeGrey(const QImage& rgb, double pixelsPerInch)
{
    if (rgb.format() != QImage::Format_RGB888 || pixelsPerInch <= 0)
        return QImage();
    // Ink is counted in cells of a twentieth of an inch.
    const int cell = std::max(2, int(std::lround(pixelsPerInch / 20)));
    const int columns = (rgb.width() + cell - 1) / cell;
    const int rows = (rgb.height() + cell - 1) / cell;
    std::vector<Seal> seals;
    for (const Ink ink : {Ink::Red, Ink::Blue}) {
        std::vector<int> counts(size_t(columns) * size_t(rows), 0);
        for (int y = 0; y < rgb.height(); ++y) {
            const uchar* row = rgb.constScanLine(y);
            int* countRow = counts.data() + size_t(y / cell) * size_t(columns);
            for (int x = 0; x < rgb.width(); ++x)
                countRow[x / cell] += isSealInk(row + 3 * x, ink) ? 1 : 0;
        }
        std::vector<uchar> inked(counts.size());
        const int minimum = std::max(1, cell * cell / 20);
        for (size_t i = 0; i < counts.size(); ++i)
            inked[i] = counts[i] >= minimum ? 1 : 0;
        for (const QRect& box : sealCells(inked, columns, rows, pixelsPerInch / cell))
            seals.push_back({box, ink});
    }
    if (seals.empty())
        return QImage();

    QImage grey(rgb.size(), QImage::Format_Grayscale8);
    if (grey.isNull())
        return grey;
    // Per column cell, the seal it lies in on this row, or -1.
    std::vector<int> inSeal(size_t(columns), -1);
    for (int y = 0; y < rgb.height(); ++y) {
        std::fill(inSeal.begin(), inSeal.end(), -1);
        for (size_t s = 0; s < seals.size(); ++s) {
            const QRect& seal = seals[s].cells;
            // A cell's margin around the cluster takes in its anti-aliased edge.
            if (y / cell >= seal.top() - 1 && y / cell <= seal.bottom() + 1) {
                for (int c = std::max(0, seal.left() - 1);
                     c <= std::min(columns - 1, seal.right() + 1); ++c)
                    inSeal[size_t(c)] = int(s);
            }
        }
        const uchar* row = rgb.constScanLine(y);
        uchar* target = grey.scanLine(y);
        for (int x = 0; x < rgb.width(); ++x) {
            const uchar* pixel = row + 3 * x;
            const int seal = inSeal[size_t(x / cell)];
            if (seal < 0) {
                target[x] = uchar((pixel[0] * 299 + pixel[1] * 587 + pixel[2] * 114 + 500) / 1000);
                continue;
            }
            // Seal ink is paper; anything else is read in the channel where the
            // ink is light, which leaves what lies under it.
            const Ink ink = seals[size_t(seal)].ink;
            target[x] = isPaleSealInk(pixel, ink) ? 255 : pixel[int(ink)];
        }
    }
    return grey;
}

QImage compactGreyImage(const QImage& grey)
{
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < grey.width(); ++x) {
            if (row[x] != 0 && row[x] != 255)
                return grey;
        }
    }
    return grey.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
}

QImage compactPageImage(const QImage& rgb)
{
    const QImage grey = neutralGreyImage(rgb);
    return grey.isNull() ? rgb : compactGreyImage(grey);
}

double skewAngle(const QImage& image, const CancelTest& cancelled)
{
    if (image.width() < 32 || image.height() < 32)
        return 0;

    QImage analysis = image;
    if (image.width() > 1000 || image.height() > 1000)
        analysis = image.scaled(1000, 1000, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    analysis = analysis.convertToFormat(QImage::Format_Grayscale8);
    const int width = analysis.width();
    const int height = analysis.height();

    std::vector<Point> points;
    for (int y = 0; y < height; ++y) {
        if (stop(cancelled))
            return 0;
        const uchar* row = analysis.constScanLine(y);
        for (int x = 0; x < width; ++x) {
            if (row[x] < 140)
                points.push_back({x - width * 0.5, y - height * 0.5});
        }
    }
    const auto count = static_cast<std::int64_t>(points.size());
    if (count < 100 || count > (std::int64_t(width) * height) / 3)
        return 0;

    const int bins = width + height + 4;
    const double base = profileScore(points, bins, 0);
    double best = base;
    double bestAngle = 0;
    for (int i = -20; i <= 20; ++i) {
        if (stop(cancelled))
            return 0;
        const double angle = i * 0.25;
        const double score = profileScore(points, bins, angle);
        if (score > best) {
            best = score;
            bestAngle = angle;
        }
    }
    if (best < base * 1.08 || std::abs(bestAngle) < 0.25 || std::abs(bestAngle) >= 5)
        return 0;
    return bestAngle;
}

QImage rotatedImage(const QImage& image, double degrees)
{
    QImage straightened(image.size(), QImage::Format_RGB888);
    straightened.fill(Qt::white);
    {
        QPainter painter(&straightened);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(image.width() * 0.5, image.height() * 0.5);
        painter.rotate(degrees);
        painter.translate(-image.width() * 0.5, -image.height() * 0.5);
        painter.drawImage(0, 0, image);
    }
    return straightened;
}

DeskewResult deskewImage(const QImage& image, const CancelTest& cancelled)
{
    const double angle = skewAngle(image, cancelled);
    if (angle == 0)
        return {image, 0};
    return {rotatedImage(image, angle), angle};
}

double medianLineHeight(const QImage& image)
{
    const QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    // A row belongs to a line when it holds more ink than specks and scanner
    // noise leave in an empty row.
    const int minimumInk = std::max(2, grey.width() / 400);
    std::vector<int> heights;
    int run = 0;
    for (int y = 0; y <= grey.height(); ++y) {
        int ink = 0;
        if (y < grey.height()) {
            const uchar* row = grey.constScanLine(y);
            for (int x = 0; x < grey.width(); ++x)
                ink += row[x] < 140 ? 1 : 0;
        }
        if (ink >= minimumInk) {
            ++run;
            continue;
        }
        if (run >= 2)
            heights.push_back(run);
        run = 0;
    }
    if (heights.size() < 3)
        return 0;
    std::nth_element(heights.begin(), heights.begin() + long(heights.size() / 2), heights.end());
    return heights[heights.size() / 2];
}

std::optional<QImage> enhanceForRecognition(const QImage& image, const CancelTest& cancelled)
{
    QImage grey = image.convertToFormat(QImage::Format_Grayscale8);
    const int width = grey.width();
    const int height = grey.height();

    std::array<std::int64_t, 256> histogram{};
    for (int y = 0; y < height; ++y) {
        if (stop(cancelled))
            return std::nullopt;
        const uchar* row = grey.constScanLine(y);
        for (int x = 0; x < width; ++x)
            ++histogram[row[x]];
    }
    const std::int64_t onePercent = (std::int64_t(width) * height) / 100;
    int lo = 0;
    for (std::int64_t sum = 0, v = 0; v < 256; ++v) {
        sum += histogram[static_cast<size_t>(v)];
        if (sum > onePercent) {
            lo = static_cast<int>(v);
            break;
        }
    }
    int hi = 255;
    for (std::int64_t sum = 0, v = 255; v >= 0; --v) {
        sum += histogram[static_cast<size_t>(v)];
        if (sum > onePercent) {
            hi = static_cast<int>(v);
            break;
        }
    }

    if (lo < hi) {
        for (int y = 0; y < height; ++y) {
            if (stop(cancelled))
                return std::nullopt;
            uchar* row = grey.scanLine(y);
            for (int x = 0; x < width; ++x) {
                const int value = (row[x] - lo) * 255 / (hi - lo);
                row[x] = static_cast<uchar>(value <= 0 ? 0 : (value > 255 ? 255 : value));
            }
        }
    }

    QImage cleaned = grey.copy();
    for (int y = 1; y + 1 < height; ++y) {
        if (stop(cancelled))
            return std::nullopt;
        const uchar* above = grey.constScanLine(y - 1);
        const uchar* row = grey.constScanLine(y);
        const uchar* below = grey.constScanLine(y + 1);
        uchar* target = cleaned.scanLine(y);
        for (int x = 1; x + 1 < width; ++x) {
            if (row[x] < 80 && row[x - 1] > 200 && row[x + 1] > 200 && above[x] > 200 &&
                below[x] > 200)
                target[x] = 255;
        }
    }
    return cleaned.convertToFormat(QImage::Format_RGB888);
}

} // namespace batch
