// Where a page's visible area lies in its own coordinates, and whether the page
// is a scan: one picture that covers it. Read with QPDF from the document that
// the recognised text is placed on.
#pragma once

#include <QList>
#include <QRectF>
#include <QSizeF>

#include <qpdf/QPDFObjectHandle.hh>

#include <array>
#include <initializer_list>
#include <optional>

namespace batch {

struct PageGeometry
{
    QRectF cropBox; // default user space: x, y = lower left corner
    int rotate = 0; // 0, 90, 180 or 270, clockwise as a viewer shows it
};

// The visible box (crop box within the media box, inherited values included)
// and the /Rotate a viewer applies, normalised as Poppler does. Reads no content.
PageGeometry pageGeometry(QPDFObjectHandle page);

// The smallest rectangle holding all `points`. (QRectF's own union ignores
// empty rectangles, so points cannot be united one by one.)
QRectF spannedRect(std::initializer_list<QPointF> points);

// The picture that covers the page's visible box, drawn with `ctm` (the unit
// square to default user space), when the page draws it and nothing else.
struct CoveringPicture
{
    QPDFObjectHandle image;
    std::array<double, 6> ctm{};
    double dpi = 0; // its own pixels per inch on the page, the lower of the two axes
    // Shown otherwise than its pixels: cut by a clip, through a soft mask or
    // transparency, or under annotations that a viewer draws.
    bool rendered = false;
};
std::optional<CoveringPicture> coveringPicture(QPDFObjectHandle page, const QRectF& cropBox);

// A scan written in layers (a low-resolution picture of the paper, the ink
// through a mask at the scan's resolution, as this program's archive level and
// other MRC writers make them): the page draws only pictures, some of which
// cover it. Their finest resolution, masks counted; nothing for other pages.
// Such a page is read from its rendering, at that resolution.
std::optional<double> layeredScanResolution(QPDFObjectHandle page, const QRectF& cropBox);

// The matrix [a b c d e f] that maps a text layer drawn upright in viewer space,
// `viewerSize` points with the origin at the lower left, onto the page's crop
// box in default user space, for a page shown with `rotate`. x and y are scaled
// separately so that rounding of either side is absorbed.
QList<double> viewerToUserMatrix(const QRectF& cropBox, int rotate, const QSizeF& viewerSize);

} // namespace batch
