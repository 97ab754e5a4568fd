// Editable OCR outputs: a page's recognition result rebuilt into positioned
// lines, paragraphs and pictures, and the two writers of such pages.
//
// Coordinates are points with the origin at the page's top-left corner.
#pragma once

#include <QImage>
#include <QList>
#include <QRectF>
#include <QSizeF>
#include <QString>

#include <functional>

namespace tesseract {
class TessBaseAPI;
}

namespace batch {

// Asked between steps of long work; true means stop. An empty one never stops.
using CancelTest = std::function<bool()>;

inline constexpr double lowConfidenceThreshold = 65.0;

struct TextLine
{
    QString text;
    QRectF box;
    double fontSize = 0;
    double confidence = 0;
    int paragraphId = 0;
    bool bold = false;
    bool italic = false;
};

struct TextBlock
{
    QRectF box;
    QList<TextLine> lines;
};

struct ImageRegion
{
    QRectF box;
    QImage image;
};

struct PageLayout
{
    QSizeF pageSize;
    QList<TextBlock> blocks;
    QList<ImageRegion> images;
    int lowConfidenceLines = 0;
};

// The page's layout from the recognition that `api` has just completed on
// `pageImage`, scaled to `pageSize`. Never fails; an empty layout is valid.
PageLayout reconstructPage(tesseract::TessBaseAPI& api, const QImage& pageImage,
                           const QSizeF& pageSize);

// 0.95 × the line height, clamped to 5–72 pt.
double fontSizeForHeight(double height);
// The upper median of the lines' font sizes; 12 pt without lines.
double medianFontSize(const QList<TextLine>& lines);
// Snaps sizes near the median, marks large lines bold and joins neighbouring
// lines of one paragraph into blocks, in the given order.
QList<TextBlock> groupLines(QList<TextLine> lines);

// Office Open XML text helpers, exposed for tests.
QString xmlText(const QString& text);
QString shapeStyle(const QRectF& box);
QString sectionProperties(const QSizeF& pageSize, bool notLast);

// Each writer returns true when the file is complete; on failure `error` holds
// the message and no file is left; on cancellation `error` is unchanged.
bool writeDocx(const QList<PageLayout>& pages, const QString& outputPath, const QString& fontFamily,
               const CancelTest& isCancelled, QString& error);
bool writeRebuiltPdf(const QList<PageLayout>& pages, const QString& outputPath,
                     const QString& fontFamily, const CancelTest& isCancelled, QString& error);

} // namespace batch
