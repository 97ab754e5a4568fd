// Whether a page in Chinese reads better with the other script's model.
#pragma once

#include <QImage>

namespace tesseract {
class TessBaseAPI;
}

namespace batch {

// Reads `sample` (a few lines of Chinese, grey or RGB, at `dpi`) with both
// engines and compares, where their characters differ, each reading's
// character drawn in a CJK font of the system with the glyph in the picture.
// True when `other`'s characters match clearly more often. False when the
// system has no CJK font to draw with.
bool otherScriptReadsBetter(tesseract::TessBaseAPI& own, tesseract::TessBaseAPI& other,
                            const QImage& sample, int dpi);

} // namespace batch
