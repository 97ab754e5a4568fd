// The document being recognised: rendering and text detection through Poppler,
// and the final page merge through the document layer.
#pragma once

#include <QImage>
#include <QList>
#include <QSize>
#include <QSizeF>
#include <QString>

#include <memory>

namespace Poppler {
class Document;
}

namespace batch {

inline constexpr int maxImageSide = 20000;
inline constexpr qint64 maxImagePixels = 40000000;

// Pixel size of a page of `points` at `dpi` (sides rounded up); false when a
// side is not finite, below 1 or above 20000, or the area is above 40 million.
bool pagePixelSize(const QSizeF& points, int dpi, QSize& pixels);

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
    // Exactly `size` pixels; a null image when rendering produced nothing.
    QImage render(int index, const QSize& size) const;
    bool hasPageText(int index, QString* text = nullptr) const;

    // Assembles source pages (keep flag true) and pages of `recognizedPath`
    // (flag false, in plan order) into `outputPath`, which appears only once complete.
    bool mergeSearchablePages(const QList<int>& pages, const QList<bool>& keep,
                              const QString& recognizedPath, const QString& outputPath,
                              QString* error = nullptr) const;

private:
    QString m_path;
    std::unique_ptr<Poppler::Document> m_document;
};

} // namespace batch
