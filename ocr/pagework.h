// One page's way through recognition, in two steps that may run on different
// threads: preparation (render, straighten, the picture file) and recognition
// on an engine. Private to the recognition thread.
#pragma once

#include "ocr/export/layout.h"

#include <QImage>
#include <QSizeF>
#include <QString>

#include <memory>

namespace tesseract {
class TessBaseAPI;
}

namespace batch {

class OcrDocument;

struct PageSettings
{
    int dpi = 300;
    bool deskew = false;
    bool enhance = false;
    bool rebuilding = false; // the layout is reconstructed for an editable output
    bool writePng = false;   // the PDF renderer embeds the page picture
};

struct PreparedPage
{
    QString failure;
    bool cancelled = false;
    double deskewAngle = 0;
    QSizeF points;
    QImage pageImage;        // kept only when the layout is reconstructed
    QImage recognitionImage; // 8-bit grey when neutral, else 24-bit RGB
    QImage picture;          // for the PDF renderer, in its smallest lossless form
};

// What recognising one page produced; reported in list order.
struct PageResult
{
    QString failure;
    bool cancelled = false;
    double deskewAngle = 0;
    QString text;
    PageLayout layout;
};

// Renders page `index` of `document` (or takes `sourceImage` when there is no
// document) and prepares it.
PreparedPage preparePage(const OcrDocument* document, int index, const QImage& sourceImage,
                         const PageSettings& settings, const CancelTest& cancelled);

// Saves a prepared page's picture as the PNG file the PDF renderer embeds.
bool savePicture(const PreparedPage& page, const QString& path);

// Recognises a prepared page; the engine keeps the results for the PDF renderer.
PageResult recognizePreparedPage(tesseract::TessBaseAPI& engine, PreparedPage page, int index,
                                 const PageSettings& settings, const CancelTest& cancelled);

// An engine for `language` with models from `modelsPath`, or null.
std::unique_ptr<tesseract::TessBaseAPI> startEngine(const QString& modelsPath,
                                                    const QString& language);

QString engineFailure();

} // namespace batch
