// The document being recognised: rendering and text detection through Poppler,
// and the final page merge through the document layer.
#pragma once

#include <QImage>
#include <QList>
#include <QRectF>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <qpdf/QPDFObjectHandle.hh>

#include <memory>
#include <optional>

namespace Poppler {
class Document;
}

namespace batch {

class PdfDocument;
struct PagePicture;
struct TextLayer;
struct VisibleText;

inline constexpr int maxImageSide = 20000;
inline constexpr qint64 maxImagePixels = 40000000;

// Pixel size of a page of `points` at `dpi` (sides rounded up); false when a
// side is not finite, below 1 or above 20000, or the area is above 40 million.
bool pagePixelSize(const QSizeF& points, double dpi, QSize& pixels);

// Pixel size of a page of `points` at `dpi` drawn in bands, which no area
// limits; empty when a side is not finite, below 1 or above 20000.
QSize bandedPixelSize(const QSizeF& points, double dpi);

class OcrDocument
{
public:
    OcrDocument();
    ~OcrDocument();
    OcrDocument(const OcrDocument&) = delete;
    OcrDocument& operator=(const OcrDocument&) = delete;

    // Opens an unencrypted PDF; a password-protected one fails.
    bool load(const QString& path);
    int pageCount() const;
    // Size in points of the box that is rendered, with the page's rotation applied.
    QSizeF pageSize(int index) const;
    // The page's /UserUnit: how many points one unit of its size is; 1 unless set.
    double userUnit(int index) const;
    // Exactly `size` pixels; a null image when rendering produced nothing.
    QImage render(int index, const QSize& size) const;
    // Rows `top` to `top + rows` of the page drawn at `dpi`, full width:
    // bands drawn one after another join without a seam.
    QImage renderBand(int index, double dpi, int top, int rows) const;
    bool hasPageText(int index, QString* text = nullptr) const;
    // The boxes of the words the page shows, its invisible text left out (the
    // viewer-space page, points, origin at the top left). Reads the page once
    // more: for pages that have text.
    QList<VisibleText> visibleText(int index) const;
    // A page whose own text is what it says: it carries text, and is not a
    // scan that only wears a stamp, a Bates number or a fax header (a picture
    // covering the page, with text over less than a twentieth of it).
    bool isTextPage(int index) const;
    // For each page index, the pixels per inch of the one picture that covers
    // the page (a scan); 0 for any other page.
    QList<double> pictureDpis(const QList<int>& indices) const;
    // The own pixels of a scan's picture, as a viewer shows the page; null
    // pixels when the page is no scan or only the renderer reads its picture.
    PagePicture picture(int index) const;

    // The source pages of the plan, in its order, into `outputPath`, which
    // appears only once complete. Pages whose keep flag is false get the next
    // of `layers` as their text layer, in the font of `fontFile`; every page
    // keeps its own content. The document itself is changed on the way.
    bool mergeSearchablePages(const QList<int>& pages, const QList<bool>& keep,
                              const QList<TextLayer>& layers, const QByteArray& fontFile,
                              const QString& outputPath, QString* error = nullptr);

private:
    // The page as QPDF reads it, when the index is one of the document's.
    std::optional<QPDFObjectHandle> pdfPage(int index) const;

    QString m_path;
    std::unique_ptr<Poppler::Document> m_document;
    std::unique_ptr<PdfDocument> m_pdf; // the same file, for its structure
};

// A one-page searchable PDF of a scanned picture: the picture, losslessly, is
// the page, `points` in size, with `layer` over it.
bool writeSearchablePicture(const QImage& picture, const QSizeF& points, const TextLayer& layer,
                            const QByteArray& fontFile, const QString& outputPath,
                            QString* error = nullptr);

} // namespace batch
