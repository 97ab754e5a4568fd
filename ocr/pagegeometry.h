// Where a page's visible area lies in its own coordinates, and whether the page
// is a scan: one picture that covers it. Read with QPDF from the document that
// the recognised text is placed on.
#pragma once

#include <QList>
#include <QRectF>
#include <QSizeF>

class QPDFObjectHandle;

namespace batch {

struct PageGeometry
{
    QRectF cropBox;        // default user space: x, y = lower left corner
    int rotate = 0;        // 0, 90, 180 or 270, clockwise as a viewer shows it
    double pictureDpi = 0; // pixels per inch of the covering picture; 0 when none
};

// The visible box (crop box within the media box, inherited values included)
// and the /Rotate a viewer applies, normalised as Poppler does.
PageGeometry pageGeometry(QPDFObjectHandle page);

// The matrix [a b c d e f] that maps a text layer drawn upright in viewer space,
// `viewerSize` points with the origin at the lower left, onto the page's crop
// box in default user space, for a page shown with `rotate`. x and y are scaled
// separately so that rounding of either side is absorbed.
QList<double> viewerToUserMatrix(const QRectF& cropBox, int rotate, const QSizeF& viewerSize);

} // namespace batch
