// A reconstructed job as a new PDF: pictures underneath, recognised text as
// real text stretched over each line's recognised box.
#include "ocr/export/fontfiles.h"
#include "ocr/export/layout.h"
#include "ocr/export/tounicode.h"

#include <QFile>
#include <QFontMetricsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

bool applyPageSize(QPdfWriter& writer, const QSizeF& size)
{
    const QPageSize pageSize(size, QPageSize::Point, QString(), QPageSize::FuzzyMatch);
    return writer.setPageLayout(QPageLayout(pageSize, QPageLayout::Portrait, QMarginsF(0, 0, 0, 0),
                                            QPageLayout::Point, QMarginsF(0, 0, 0, 0)));
}

QFont lineFont(const QString& family, const TextLine& line)
{
    QFont font(family);
    font.setPointSizeF(line.fontSize);
    font.setWeight(line.bold ? QFont::Bold : QFont::Normal);
    font.setStyle(line.italic ? QFont::StyleItalic : QFont::StyleNormal);
    return font;
}

// Control characters have no glyphs; drawn, they would only widen the advance.
QString printable(const QString& text)
{
    QString result;
    for (const QChar c : text) {
        if (c.unicode() > 31)
            result.append(c);
    }
    return result;
}

enum class Outcome
{
    Done,
    Failed,
    Cancelled
};

Outcome drawPages(QPdfWriter& writer, QPainter& painter, const QList<PageLayout>& pages,
                  const QString& fontFamily, const CancelTest& isCancelled, QString& error)
{
    const auto cancelled = [&isCancelled] {
        return isCancelled && isCancelled();
    };
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (cancelled())
            return Outcome::Cancelled;
        const PageLayout& page = pages.at(i);
        if (i > 0 && (!applyPageSize(writer, page.pageSize) || !writer.newPage())) {
            error = u"无法创建 PDF 页面。"_s;
            return Outcome::Failed;
        }
        for (const ImageRegion& region : page.images)
            painter.drawImage(region.box, region.image);
        painter.setPen(Qt::black);
        for (const TextBlock& block : page.blocks) {
            for (const TextLine& line : block.lines) {
                if (cancelled())
                    return Outcome::Cancelled;
                painter.setFont(lineFont(fontFamily, line));
                const QString text = printable(line.text);
                const QFontMetricsF metrics(painter.font(), &writer);
                const double advance = metrics.horizontalAdvance(text);
                const double height = metrics.height();
                painter.save();
                painter.translate(line.box.topLeft());
                painter.scale(advance > 0 ? line.box.width() / advance : 1.0,
                              height > 0 ? line.box.height() / height : 1.0);
                painter.drawText(QPointF(0, metrics.ascent()), text);
                painter.restore();
            }
        }
    }
    return Outcome::Done;
}

} // namespace

bool writeRebuiltPdf(const QList<PageLayout>& pages, const QString& outputPath,
                     const QString& fontFamily, const CancelTest& isCancelled, QString& error)
{
    if (pages.isEmpty()) {
        error = u"没有可重建的页面。"_s;
        return false;
    }
    QFile file(outputPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        error = file.errorString();
        return false;
    }
    bool ok = false;
    {
        QPdfWriter writer(&file);
        writer.setTitle(u"OCR heuristic reconstruction"_s);
        writer.setResolution(72);
        if (!applyPageSize(writer, pages.first().pageSize)) {
            error = u"PDF 页面尺寸无效。"_s;
        } else {
            QPainter painter;
            if (!painter.begin(&writer)) {
                error = u"无法初始化 PDF 绘制。"_s;
            } else {
                // A font Qt has the file of is embedded as text, not drawn as outlines.
                const QString registered = registeredChineseFamily();
                const Outcome outcome =
                    drawPages(writer, painter, pages,
                              registered.isEmpty() ? fontFamily : registered, isCancelled, error);
                const bool ended = painter.end();
                ok = outcome == Outcome::Done && ended;
                if (outcome == Outcome::Done && !ended)
                    error = u"无法结束 PDF 绘制。"_s;
            }
        }
    }
    if (ok && (!file.flush() || file.error() != QFileDevice::NoError)) {
        error = file.errorString();
        ok = false;
    }
    file.close();
    if (ok && !repairToUnicodeMaps(outputPath, &error))
        ok = false;
    if (!ok)
        file.remove();
    return ok;
}

} // namespace batch
