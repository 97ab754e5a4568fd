// The page tools that need the renderer: found in the module, called by the
// job frame through its services.
#pragma once

#include "engine/pdfdocument.h"
#include "protocol/protocol.h"

#include <QList>
#include <QStringList>

class QImage;

namespace batch {

// Per cent of an 8-bit grey page, inside the band, covered by ink as
// findBlankPages counts it.
double inkCoverage(const QImage& grey);

// The 0-based indices of the pages of the admitted `source` that show nothing
// but paper: drawn at 50 DPI in grey (text, vectors and annotations as ink),
// a band along the edges ignored, ink counted only where clearly darker than
// the page's own paper and in spots of more than a few pixels; a page is
// blank when that ink covers less than `threshold` per cent. Noise,
// bleed-through, punched holes and a page number measure 0; a line of two
// characters about 0.03 %: the request's default, 0.015 %, lies between.
QList<int> findBlankPages(const PdfDocument& source, double threshold,
                          const ProgressCallback& progress);

// Pictures made pages; `refused` names the files that could not be read.
struct ImagesDocument
{
    PdfDocument document;
    QStringList refused;
};
// One page per picture (per page of a TIFF), in order: JPEG data as it is
// (Adobe CMYK with its inversion), PNG with its predictors where PDF reads
// it directly (palettes as /Indexed), bilevel TIFF pages in CCITT G4, and
// anything else decoded and stored losslessly with alpha as a soft mask. The
// orientation tag (1 to 8) turns the page's matrix. Pages are as large as
// the picture's resolution says (72 DPI when it says none or something
// absurd), or, with `fitA4`, A4 in the picture's orientation with it fitted
// inside a 10 mm margin. Files that cannot be read are left out and named;
// raises the user's message when none can.
ImagesDocument imagesToPdf(const QStringList& paths, bool fitA4, const ProgressCallback& progress);

// Draws the request's page numbers, Bates numbers and watermarks onto every
// page of `document` as a viewer shows it (crop box, /Rotate): numbers as
// text in an embedded subset of Noto Sans CJK (Microsoft YaHei on Windows),
// the watermark as outlines in the optional-content group "水印", marked as
// an artifact. Each page's content is wrapped in q … Q, not re-encoded.
// Works in `scratchFolder`; returns the note ("Bates 编号 … 至 …").
QString stampDocument(PdfDocument& document, const JobRequest& request,
                      const QString& scratchFolder);

// How "pdf2images" draws and stores pages.
struct PageImageOptions
{
    QString format = QStringLiteral("png"); // png, jpg or tif
    int dpi = 150;
    int quality = 90; // JPEG
    bool grey = false;
};

// Draws `pages` (0-based) of the admitted `source` with their annotations:
// PNG or JPEG into the folder `target` (created here) as
// "<base>-001.png" …, numbered by page, the number as wide as the page
// count's (three digits at least); TIFF as one multi-page file `target`,
// bilevel pages in CCITT G4. Returns the number of files written. Memory
// stays bounded whatever the page size: pages are drawn in bands.
int writePageImages(const PdfDocument& source, const QList<int>& pages,
                    const PageImageOptions& options, const QString& target, const QString& base,
                    const ProgressCallback& progress);

} // namespace batch
