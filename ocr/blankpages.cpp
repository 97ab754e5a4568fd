// Separator sheets: pages whose only marks are the scanner's.
#include "ocr/pagetools.h"
#include "ocr/renderedcopy.h"

#include <algorithm>
#include <array>
#include <vector>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr double blankDpi = 50;
// Punch holes, staples and the scanner's edge shadows live here; so does a
// page number, which alone makes no page worth keeping.
constexpr double marginShare = 0.08;
// Darker than 70 % of the page's own paper is ink: bleed-through and grey
// noise on a dim scan stay lighter than that.
constexpr double inkShare = 0.70;
// Below this the page is dark all over: a photo or a black sheet, never blank.
constexpr int darkestPaper = 96;
// Spots of fewer pixels (half a millimetre square at 50 DPI) are dust.
constexpr int minSpotPixels = 4;

int medianGrey(const QImage& grey, const QRect& area)
{
    std::array<qint64, 256> histogram{};
    for (int y = area.top(); y <= area.bottom(); ++y) {
        const uchar* row = grey.constScanLine(y);
        for (int x = area.left(); x <= area.right(); ++x)
            ++histogram[row[x]];
    }
    const qint64 half = qint64(area.width()) * area.height() / 2;
    qint64 seen = 0;
    for (int value = 0; value < 256; ++value) {
        seen += histogram[size_t(value)];
        if (seen > half)
            return value;
    }
    return 255;
}

// Pixels of ink in spots of at least minSpotPixels, eight-connected.
qint64 spotInk(std::vector<uchar>& ink, int width, int height)
{
    qint64 total = 0;
    std::vector<int> stack;
    for (int start = 0; start < width * height; ++start) {
        if (!ink[size_t(start)])
            continue;
        ink[size_t(start)] = 0;
        stack.assign(1, start);
        qint64 size = 0;
        while (!stack.empty()) {
            const int at = stack.back();
            stack.pop_back();
            ++size;
            const int x = at % width;
            const int y = at / width;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    const int nx = x + dx;
                    const int ny = y + dy;
                    if (nx < 0 || ny < 0 || nx >= width || ny >= height)
                        continue;
                    const int next = ny * width + nx;
                    if (ink[size_t(next)]) {
                        ink[size_t(next)] = 0;
                        stack.push_back(next);
                    }
                }
            }
        }
        if (size >= minSpotPixels)
            total += size;
    }
    return total;
}

} // namespace

// Per cent of the page inside its margin band covered by ink.
double inkCoverage(const QImage& grey)
{
    const int marginX = int(grey.width() * marginShare);
    const int marginY = int(grey.height() * marginShare);
    const QRect inner(marginX, marginY, grey.width() - 2 * marginX, grey.height() - 2 * marginY);
    if (inner.width() < 1 || inner.height() < 1)
        return 0;
    const int paper = medianGrey(grey, inner);
    if (paper < darkestPaper)
        return 100;
    const int limit = int(paper * inkShare);
    std::vector<uchar> ink(size_t(inner.width()) * size_t(inner.height()));
    for (int y = 0; y < inner.height(); ++y) {
        const uchar* row = grey.constScanLine(inner.top() + y) + inner.left();
        for (int x = 0; x < inner.width(); ++x)
            ink[size_t(y) * size_t(inner.width()) + size_t(x)] = row[x] <= limit ? 1 : 0;
    }
    return 100.0 * double(spotInk(ink, inner.width(), inner.height())) /
           (double(inner.width()) * inner.height());
}

QList<int> findBlankPages(const PdfDocument& source, double threshold,
                          const ProgressCallback& progress)
{
    const RenderedCopy copy(source);
    QList<int> blank;
    const int count = copy.pageCount();
    for (int index = 0; index < count; ++index) {
        if (progress)
            progress(index, count, u"正在查找空白页：第 %1/%2 页"_s.arg(index + 1).arg(count));
        const QImage page = copy.render(index, blankDpi, true);
        if (!page.isNull() && inkCoverage(page) < threshold)
            blank.append(index);
    }
    return blank;
}

} // namespace batch
