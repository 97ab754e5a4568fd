// The largest size at which each image is drawn on the document's pages.
#pragma once

#include <qpdf/QPDFObjGen.hh>

#include <map>

class QPDF;

namespace batch {

struct ImagePlacement
{
    double widthInches = 0; // the image's width as drawn, at its largest
    double heightInches = 0;
};
using ImagePlacements = std::map<QPDFObjGen, ImagePlacement>;

// Empty when the document draws more forms than a walk may follow.
ImagePlacements largestPlacements(QPDF& pdf);

} // namespace batch
