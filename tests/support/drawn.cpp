#include "testsupport.h"

#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>

#include <poppler/qt6/poppler-qt6.h>

#include <memory>

namespace testsupport {

namespace {

constexpr double a4Width = 595.0; // points
constexpr double a4Height = 842.0;

void drawLines(QPainter& painter, const DrawnPage& page, double unitsPerPoint)
{
    QFont font(page.family);
    font.setPixelSize(qRound(page.pointSize * unitsPerPoint));
    painter.setFont(font);
    painter.setPen(Qt::black);
    const double lineHeight = page.pointSize * 1.8 * unitsPerPoint;
    double y = 90 * unitsPerPoint;
    for (const QString& line : page.lines) {
        painter.drawText(QPointF(72 * unitsPerPoint, y), line);
        y += lineHeight;
    }
}

} // namespace

QImage drawScan(const DrawnPage& page, int dpi)
{
    const double scale = dpi / 72.0;
    QImage image(qRound(a4Width * scale), qRound(a4Height * scale), QImage::Format_RGB32);
    image.fill(Qt::white);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setRenderHint(QPainter::TextAntialiasing);
        if (page.skewDegrees != 0) {
            painter.translate(image.width() / 2.0, image.height() / 2.0);
            painter.rotate(page.skewDegrees);
            painter.translate(-image.width() / 2.0, -image.height() / 2.0);
        }
        drawLines(painter, page, scale);
    }
    return image.convertToFormat(QImage::Format_Grayscale8);
}

void writeDrawnPdf(const QString& path, const QList<DrawnPage>& pages, int dpi)
{
    QPdfWriter writer(path);
    writer.setPageSize(QPageSize(QSizeF(a4Width, a4Height), QPageSize::Point));
    writer.setPageMargins(QMarginsF(0, 0, 0, 0));
    writer.setResolution(dpi);
    QPainter painter(&writer);
    const double scale = dpi / 72.0;
    for (qsizetype i = 0; i < pages.size(); ++i) {
        if (i > 0)
            writer.newPage();
        const DrawnPage& page = pages.at(i);
        if (page.scanned) {
            painter.drawImage(QRectF(0, 0, a4Width * scale, a4Height * scale), drawScan(page, dpi));
        } else {
            drawLines(painter, page, scale);
        }
    }
}

QString popplerText(const QString& path, int page)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    if (!document || document->isLocked())
        return QString();
    const std::unique_ptr<Poppler::Page> p = document->page(page);
    return p ? p->text(QRectF()) : QString();
}

int popplerPageCount(const QString& path)
{
    const std::unique_ptr<Poppler::Document> document = Poppler::Document::load(path);
    return document ? document->numPages() : -1;
}

} // namespace testsupport
