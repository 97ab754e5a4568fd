#include "ocr/export/layout.h"

#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace batch {

namespace {

constexpr double defaultMedian = 12.0;
constexpr double fontSizeFactor = 0.95;
constexpr double minFontSize = 5.0;
constexpr double maxFontSize = 72.0;
constexpr double snapBand = 0.18;
constexpr double boldFactor = 1.35;
constexpr double smallestGap = -2.0;
constexpr double largestGapFactor = 1.5;
constexpr double overlapFactor = 0.4;
constexpr double sizeDifferenceFactor = 0.3;

struct TextDeleter
{
    void operator()(char* text) const { delete[] text; }
};

bool joinsBlock(const TextLine& line, const TextLine& last, double median)
{
    if (line.paragraphId != last.paragraphId)
        return false;
    const double gap = line.box.top() - last.box.bottom();
    if (gap < smallestGap || gap >= largestGapFactor * median)
        return false;
    const double overlap =
        std::min(line.box.right(), last.box.right()) - std::max(line.box.left(), last.box.left());
    if (overlap <= overlapFactor * std::min(line.box.width(), last.box.width()))
        return false;
    return std::abs(line.fontSize - last.fontSize) < sizeDifferenceFactor * median;
}

} // namespace

double fontSizeForHeight(double height)
{
    return std::clamp(fontSizeFactor * height, minFontSize, maxFontSize);
}

double medianFontSize(const QList<TextLine>& lines)
{
    if (lines.isEmpty())
        return defaultMedian;
    std::vector<double> sizes;
    sizes.reserve(static_cast<size_t>(lines.size()));
    for (const TextLine& line : lines)
        sizes.push_back(line.fontSize);
    std::sort(sizes.begin(), sizes.end());
    return sizes.at(sizes.size() / 2);
}

QList<TextBlock> groupLines(QList<TextLine> lines)
{
    const double median = medianFontSize(lines);
    QList<TextBlock> blocks;
    for (TextLine& line : lines) {
        if (std::abs(line.fontSize - median) < snapBand * median)
            line.fontSize = median;
        if (line.fontSize > boldFactor * median)
            line.bold = true;
        if (!blocks.isEmpty() && joinsBlock(line, blocks.last().lines.last(), median)) {
            TextBlock& block = blocks.last();
            block.lines.append(line);
            block.box = block.box.united(line.box);
        } else {
            blocks.append(TextBlock{line.box, {line}});
        }
    }
    return blocks;
}

PageLayout reconstructPage(tesseract::TessBaseAPI& api, const QImage& pageImage,
                           const QSizeF& pageSize)
{
    PageLayout layout;
    layout.pageSize = pageSize;
    if (pageImage.isNull())
        return layout;
    const double sx = pageSize.width() / pageImage.width();
    const double sy = pageSize.height() / pageImage.height();
    const auto scaled = [sx, sy](int left, int top, int right, int bottom) {
        return QRectF(sx * left, sy * top, sx * (right - left), sy * (bottom - top));
    };

    QList<TextLine> lines;
    if (std::unique_ptr<tesseract::ResultIterator> it{api.GetIterator()}) {
        int paragraph = -1;
        do {
            if (it->IsAtBeginningOf(tesseract::RIL_PARA))
                ++paragraph;
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom))
                continue;
            const std::unique_ptr<char, TextDeleter> utf8{it->GetUTF8Text(tesseract::RIL_TEXTLINE)};
            const QString text = utf8 ? QString::fromUtf8(utf8.get()).trimmed() : QString();
            if (text.isEmpty())
                continue;
            TextLine line;
            line.text = text;
            line.box = scaled(left, top, right, bottom);
            line.paragraphId = paragraph;
            line.confidence = it->Confidence(tesseract::RIL_TEXTLINE);
            if (line.confidence < lowConfidenceThreshold)
                ++layout.lowConfidenceLines;
            bool bold = false, italic = false, underlined = false, monospace = false, serif = false,
                 smallcaps = false;
            int pointSize = 0, fontId = 0;
            it->WordFontAttributes(&bold, &italic, &underlined, &monospace, &serif, &smallcaps,
                                   &pointSize, &fontId);
            line.bold = bold;
            line.italic = italic;
            line.fontSize = fontSizeForHeight(line.box.height());
            lines.append(line);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    layout.blocks = groupLines(std::move(lines));

    if (std::unique_ptr<tesseract::ResultIterator> it{api.GetIterator()}) {
        const QRect imageRect = pageImage.rect();
        do {
            const tesseract::PolyBlockType type = it->BlockType();
            if (type != tesseract::PT_FLOWING_IMAGE && type != tesseract::PT_HEADING_IMAGE &&
                type != tesseract::PT_PULLOUT_IMAGE)
                continue;
            int left = 0, top = 0, right = 0, bottom = 0;
            if (!it->BoundingBox(tesseract::RIL_BLOCK, &left, &top, &right, &bottom))
                continue;
            const QRect region = QRect(left, top, right - left, bottom - top) & imageRect;
            if (region.isEmpty())
                continue;
            layout.images.append(
                {scaled(region.left(), region.top(), region.right() + 1, region.bottom() + 1),
                 pageImage.copy(region)});
        } while (it->Next(tesseract::RIL_BLOCK));
    }
    return layout;
}

} // namespace batch
