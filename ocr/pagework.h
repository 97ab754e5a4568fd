// One page's way through recognition, in two steps that may run on different
// threads: preparation (render, straighten, the picture file) and recognition
// on an engine. Private to the recognition thread.
#pragma once

#include "ocr/export/layout.h"
#include "ocr/textlayer.h"

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
    bool searchable = false; // a text layer is built for the page
    // Orientation detection (Tesseract's "osd" model), used by one thread at a
    // time; none when the models folder lacks it.
    tesseract::TessBaseAPI* orientation = nullptr;
    int timeLimitMs = 0;        // a page's recognition stops after this long; 0 never
    bool sampleChinese = false; // keep a few recognised Chinese lines of the page
};

struct PreparedPage
{
    QString failure;
    bool cancelled = false;
    double deskewAngle = 0;
    int turn = 0;            // quarter turns clockwise that show the page upright, in degrees
    QSizeF points;           // as shown upright
    QImage pageImage;        // kept only when the layout is reconstructed
    QImage recognitionImage; // 8-bit grey when neutral, else 24-bit RGB
    int recognitionDpi = 0;
    bool loweredDpi = false; // the page was too large for the chosen resolution
    RecognitionGeometry geometry;
};

// What recognising one page produced; reported in list order.
struct PageResult
{
    QString failure;
    bool cancelled = false;
    double deskewAngle = 0;
    int turn = 0;
    int loweredDpi = 0;    // the resolution a page too large for the chosen one was read at
    bool timedOut = false; // recognition ran out of time: no text, an empty layer
    QString text;
    int confidence = 0; // Tesseract's mean word confidence, 0 to 100
    // A few lines recognised as Chinese, cut from the page's picture, where
    // the other script's model may be tried.
    QImage chineseSample;
    int chineseSampleDpi = 0;
    PageLayout layout;
    TextLayer layer;
};

// The highest whole resolution, at most `dpi`, at which a page of `points`
// fits the limits on pixels; 0 when none does.
double fittingDpi(const QSizeF& points, double dpi);

// The resolution a page is recognised at. Rendered pages take the chosen one.
// A scan (a picture of `pictureDpi` covering the page) is recognised at a
// resolution chosen from the height of its text lines, `lineHeightPoints` (0
// when unknown): about 30 pixels a line, never above the picture's own
// resolution or the chosen one and never below 150 DPI, except that lines under
// 14 pixels are read from a picture enlarged up to twice.
double recognitionDpi(int chosenDpi, double pictureDpi, double lineHeightPoints);

// Renders page `index` of `document` (or takes `sourceImage` when there is no
// document) and prepares it. `pictureDpi` is that of the picture covering the
// page, 0 when it is no scan.
PreparedPage preparePage(const OcrDocument* document, int index, const QImage& sourceImage,
                         double pictureDpi, const PageSettings& settings,
                         const CancelTest& cancelled);

// Recognises a prepared page; the engine keeps the results for the PDF renderer.
PageResult recognizePreparedPage(tesseract::TessBaseAPI& engine, PreparedPage page, int index,
                                 const PageSettings& settings, const CancelTest& cancelled);

// The clockwise turn, 0, 90, 180 or 270, that shows the page in `grey` (8-bit,
// at `dpi`) upright, when the detection is confident; else 0.
int uprightTurn(tesseract::TessBaseAPI& orientation, const QImage& grey, int dpi);

// Loads `language`'s models from `modelsPath` into `engine`, reading every
// file through Qt, whatever characters the path holds; false when that fails.
bool initEngine(tesseract::TessBaseAPI& engine, const QString& modelsPath, const QString& language);

// An engine for `language` with models from `modelsPath`, or null.
std::unique_ptr<tesseract::TessBaseAPI> startEngine(const QString& modelsPath,
                                                    const QString& language);

QString engineFailure();

} // namespace batch
