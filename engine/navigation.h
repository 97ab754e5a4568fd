// What a document built from other documents' pages keeps of them:
// bookmarks, links, named destinations, page labels, how it opens, form
// fields, optional content and catalogue entries. Private to the document layer.
#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <QString>

#include <vector>

namespace batch {

// One source's pages in a new document: each kept page's index in the source,
// and the page it became, at `position` in the new document.
struct KeptPage
{
    int sourceIndex = 0;
    int position = 0;
    QPDFObjectHandle page;
};
struct SourcePages
{
    QPDF* source = nullptr;
    // For a merge, the bookmark that opens this source's first page and holds
    // its own bookmarks; "" for none.
    QString title;
    std::vector<KeptPage> pages; // in the new document's order
};

// Call after every page is in `target`. Bookmarks and named destinations that
// lead to kept pages are carried and lead to their new pages; a bookmark under
// a dropped one moves up to the nearest kept ancestor. Links on kept pages are
// retargeted, and removed when they lead to a page that was not kept. Page
// labels are carried when a source has them, and always for a merge
// (`merge`), where a source without labels is numbered from 1.
void carryNavigation(QPDF& target, const std::vector<SourcePages>& sources, bool merge);

// Form fields with widgets on kept pages keep their values, flags and
// appearances; a field whose full name clashes with an earlier one is renamed.
// The form's defaults (/NeedAppearances, /DA, /DR) are merged. Call before
// carryNavigation: the widgets' pages get fresh annotation arrays.
void carryForms(QPDF& target, const std::vector<SourcePages>& sources);
// Optional content, merged across sources with each layer's default state.
void carryLayers(QPDF& target, const std::vector<SourcePages>& sources);
// The first source's /Lang, and for a single source also its viewer
// preferences and XMP metadata.
void carryCatalogue(QPDF& target, const std::vector<SourcePages>& sources, bool merge);

} // namespace batch
