// Pages taken out of a document, shared by extraction and the splits. Private
// to the document layer.
#pragma once

#include "engine/pdfdocument.h"

#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <vector>

namespace batch {

// Each page with the attributes it inherits from the page tree, which a copy
// into another document leaves behind.
std::vector<QPDFPageObjectHelper> pagesWithOwnAttributes(QPDF& pdf);

// The document of `pages` (indices into `sourcePages`, flattened once so that
// a split into many parts walks the page tree only once), with the source's
// navigation, forms and protection. With `outlineRoot`, a bookmark of the
// source, only the bookmarks below it are kept.
PdfDocument extractFromPages(const PdfDocument& source,
                             const std::vector<QPDFPageObjectHelper>& sourcePages,
                             const QList<int>& pages, QPDFObjectHandle outlineRoot = {});

} // namespace batch
