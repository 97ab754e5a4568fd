// A scan's own pixels. Rendering a scanned page resamples its picture, and the
// resampled picture read measurably worse (a fifth of the pixels changed at the
// picture's own resolution, 6 % errors instead of 1.6 % on a Chinese page);
// decoding the picture and scaling it ourselves keeps what the scanner saw.
#pragma once

#include "engine/pagegeometry.h"

#include <QImage>
#include <QRectF>

namespace batch {

struct PagePicture
{
    QImage pixels;    // 8-bit grey or 24-bit RGB, turned as a viewer shows the page
    QRectF placement; // on the viewer-space page: points, origin at the top left
};

// The covering picture of a page with `geometry`, or null pixels when it is
// encoded in a way that only the renderer reads (CCITT, JBIG2, JPEG 2000, CMYK,
// unusual decode arrays), shows through a mask, clip or annotation, or is not
// drawn upright in quarter turns.
PagePicture decodePagePicture(const CoveringPicture& picture, const PageGeometry& geometry);

// The page at `dpi` from its picture: `pixels` in size, white where the picture
// does not reach, the picture scaled smoothly (area-averaged when reduced).
QImage pictureAt(const PagePicture& picture, const QSizeF& points, const QSize& pixels);

} // namespace batch
