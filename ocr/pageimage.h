// Page images on their way to Tesseract: flattened onto white, optionally
// straightened, and an enhanced copy of the same geometry for recognition.
#pragma once

#include "ocr/export/layout.h"

#include <QImage>

#include <optional>

namespace batch {

struct DeskewResult
{
    QImage image;
    double angle = 0; // degrees, positive clockwise; 0 when unchanged
};

// Same size, 24-bit RGB, transparent parts white.
QImage flattenPageImage(const QImage& image);

// The same pixels as 8-bit grey when every pixel of the 24-bit RGB image is
// neutral (red = green = blue); a null image otherwise.
QImage neutralGreyImage(const QImage& rgb);

// An 8-bit grey copy of a 24-bit RGB page in which the red seals are gone:
// round or square clusters of saturated red, 0.6 to 2.8 inches across at
// `pixelsPerInch`, as Chinese official documents stamp over dates and
// signatures. Inside them the red channel is taken, in which red ink is paper
// and black ink stays black; elsewhere the luminance, so that a red letterhead
// or heading still reads. A null image when the page has no seal.
QImage sealFreeGrey(const QImage& rgb, double pixelsPerInch);

// The same pixels in the smallest lossless format: 1-bit when every pixel is
// black or white, 8-bit grey when every pixel is grey, else unchanged colour.
QImage compactPageImage(const QImage& rgb);
// The same, for an image neutralGreyImage returned.
QImage compactGreyImage(const QImage& grey);

// The skew of a page's text lines, 0.25° to 4.75° either way in steps of 0.25°,
// when straightening makes the ink profile at least 8 % sharper; 0 otherwise
// and when cancelled. Positive means the page must turn clockwise.
double skewAngle(const QImage& image, const CancelTest& cancelled);
// The image turned clockwise by `degrees` about its centre, same size, 24-bit
// RGB, uncovered corners white.
QImage rotatedImage(const QImage& image, double degrees);
// skewAngle and rotatedImage together.
DeskewResult deskewImage(const QImage& image, const CancelTest& cancelled);

// The median height in pixels of the bands of rows that hold ink, the text
// lines of an upright page; 0 when fewer than three are found.
double medianLineHeight(const QImage& image);

// Contrast-stretched, despeckled 24-bit RGB copy; nullopt when cancelled.
std::optional<QImage> enhanceForRecognition(const QImage& image, const CancelTest& cancelled);

} // namespace batch
