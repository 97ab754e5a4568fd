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

// The same pixels in the smallest lossless format: 1-bit when every pixel is
// black or white, 8-bit grey when every pixel is grey, else unchanged colour.
QImage compactPageImage(const QImage& rgb);
// The same, for an image neutralGreyImage returned.
QImage compactGreyImage(const QImage& grey);

// Straightens a skew of 0.25° to 4.75° when the ink profile gets at least 8 %
// sharper; otherwise (and when cancelled) returns the image unchanged.
DeskewResult deskewImage(const QImage& image, const CancelTest& cancelled);

// Contrast-stretched, despeckled 24-bit RGB copy; nullopt when cancelled.
std::optional<QImage> enhanceForRecognition(const QImage& image, const CancelTest& cancelled);

} // namespace batch
