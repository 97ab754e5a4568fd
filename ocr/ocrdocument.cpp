#include "ocr/ocrdocument.h"

#include "engine/pagegeometry.h"
#include "engine/pdfdocument.h"
#include "ocr/pagepicture.h"

#include <poppler/qt6/poppler-qt6.h>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>

#include <QPainter>

#include <cmath>

namespace batch {

bool pagePixelSize(const QSizeF& points, double dpi, QSize& pixels)
{
    const double width = std::ceil(points.width() * dpi / 72.0);
    const double height = std::ceil(points.height() * dpi / 72.0);
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1 || height < 1 ||
        width > maxImageSide || height > maxImageSide || width * height > double(maxImagePixels))
        return false;
    pixels = QSize(static_cast<int>(width), static_cast<int>(height));
    return true;
}

QSize bandedPixelSize(const QSizeF& points, double dpi)
{
    const double width = std::ceil(points.width() * dpi / 72.0);
    const double height = std::ceil(points.height() * dpi / 72.0);
    if (!std::isfinite(width) || !std::isfinite(height) || width < 1 || height < 1 ||
        width > maxImageSide || height > maxImageSide)
        return QSize();
    return QSize(int(width), int(height));
}

OcrDocument::OcrDocument() = default;
OcrDocument::~OcrDocument() = default;

bool OcrDocument::load(const QString& path)
{
    m_path = path;
    m_pdf.reset();
    m_document = Poppler::Document::load(path);
    if (!m_document || m_document->isLocked()) {
        m_document.reset();
        return false;
    }
    try {
        m_pdf = std::make_unique<PdfDocument>(openOwnFile(path, QString(), true));
    } catch (const std::exception&) {
        m_document.reset();
        return false;
    }
    m_document->setRenderHint(Poppler::Document::Antialiasing);
    m_document->setRenderHint(Poppler::Document::TextAntialiasing);
    return true;
}

int OcrDocument::pageCount() const
{
    return m_document ? m_document->numPages() : 0;
}

QSizeF OcrDocument::pageSize(int index) const
{
    if (!m_document || index < 0 || index >= pageCount())
        return QSizeF();
    const std::unique_ptr<Poppler::Page> page = m_document->page(index);
    return page ? page->pageSizeF() : QSizeF();
}

std::optional<QPDFObjectHandle> OcrDocument::pdfPage(int index) const
{
    if (!m_pdf || index < 0 || index >= pageCount())
        return std::nullopt;
    const std::vector<QPDFObjectHandle>& pages = m_pdf->pdf().getAllPages();
    if (size_t(index) >= pages.size())
        return std::nullopt;
    return pages[size_t(index)];
}

double OcrDocument::userUnit(int index) const
{
    try {
        std::optional<QPDFObjectHandle> page = pdfPage(index);
        if (!page)
            return 1;
        QPDFObjectHandle unit = page->getKey("/UserUnit");
        // Anything but a sensible positive number is ignored, as viewers do.
        const double value = unit.isNumber() ? unit.getNumericValue() : 1;
        return value >= 0.01 && value <= 75000 ? value : 1;
    } catch (const std::exception&) {
        return 1;
    }
}

QImage OcrDocument::renderBand(int index, double dpi, int top, int rows) const
{
    if (!m_document || index < 0 || index >= pageCount() || rows < 1)
        return QImage();
    const std::unique_ptr<Poppler::Page> page = m_document->page(index);
    const QSize pixels = bandedPixelSize(page ? page->pageSizeF() : QSizeF(), dpi);
    if (pixels.isEmpty())
        return QImage();
    return page->renderToImage(dpi, dpi, 0, top, pixels.width(), rows);
}

QImage OcrDocument::render(int index, const QSize& size) const
{
    if (!m_document || index < 0 || index >= pageCount() || size.isEmpty())
        return QImage();
    const std::unique_ptr<Poppler::Page> page = m_document->page(index);
    if (!page)
        return QImage();
    const QSizeF points = page->pageSizeF();
    if (points.isEmpty())
        return QImage();
    // The resolution that maps the page exactly onto the requested pixels.
    const double xres = size.width() * 72.0 / points.width();
    const double yres = size.height() * 72.0 / points.height();
    QImage image = page->renderToImage(xres, yres, 0, 0, size.width(), size.height());
    if (image.isNull() || image.size() == size)
        return image;
    // Poppler may round a side differently by a pixel: pad with white, never scale text.
    QImage exact(size, QImage::Format_ARGB32);
    exact.fill(Qt::white);
    QPainter painter(&exact);
    painter.drawImage(0, 0, image);
    painter.end();
    return exact;
}

QList<double> OcrDocument::pictureDpis(const QList<int>& indices) const
{
    QList<double> dpis(indices.size(), 0.0);
    if (!m_pdf)
        return dpis;
    try {
        const std::vector<QPDFPageObjectHelper> pages =
            QPDFPageDocumentHelper(m_pdf->pdf()).getAllPages();
        for (qsizetype i = 0; i < indices.size(); ++i) {
            const int index = indices.at(i);
            if (index < 0 || size_t(index) >= pages.size())
                continue;
            QPDFObjectHandle page = pages[size_t(index)].getObjectHandle();
            const QRectF box = pageGeometry(page).cropBox;
            const std::optional<CoveringPicture> picture = coveringPicture(page, box);
            dpis[i] = picture ? picture->dpi : layeredScanResolution(page, box).value_or(0);
        }
    } catch (const std::exception&) {
        // Pages whose structure cannot be followed are rendered instead.
    }
    return dpis;
}

PagePicture OcrDocument::picture(int index) const
{
    try {
        const std::optional<QPDFObjectHandle> page = pdfPage(index);
        if (!page)
            return {};
        const PageGeometry geometry = pageGeometry(*page);
        const std::optional<CoveringPicture> covering = coveringPicture(*page, geometry.cropBox);
        return covering ? decodePagePicture(*covering, geometry) : PagePicture{};
    } catch (const std::exception&) {
        return {};
    }
}

bool OcrDocument::hasPageText(int index, QString* text) const
{
    if (text)
        text->clear();
    if (!m_document || index < 0 || index >= pageCount())
        return false;
    const std::unique_ptr<Poppler::Page> page = m_document->page(index);
    if (!page)
        return false;
    const QString pageText = page->text(QRectF());
    if (text)
        *text = pageText;
    return !pageText.trimmed().isEmpty();
}

namespace {

constexpr qsizetype minTextLayerCharacters = 40;

} // namespace

bool OcrDocument::isTextPage(int index) const
{
    if (!m_document || index < 0 || index >= pageCount())
        return false;
    const std::unique_ptr<Poppler::Page> page = m_document->page(index);
    if (!page)
        return false;
    // One pass over the words: whether there is text, and how much of the
    // page it covers (boxes of one line may overlap; the sum only overstates).
    qsizetype characters = 0;
    double area = 0;
    for (const std::unique_ptr<Poppler::TextBox>& box : page->textList()) {
        characters += box->text().trimmed().size();
        area += box->boundingBox().width() * box->boundingBox().height();
    }
    if (characters == 0)
        return false;
    const QSizeF size = page->pageSizeF();
    if (size.isEmpty() || pictureDpis({index}).value(0) <= 0)
        return true;
    // Over a scan, a stamp, a page number or a watermark is a few words,
    // however large their boxes (a turned word's box is a square); a text
    // layer of its own is many, spread over the page.
    return characters >= minTextLayerCharacters && area >= size.width() * size.height() / 20;
}

} // namespace batch
