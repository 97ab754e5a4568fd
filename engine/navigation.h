// What a document built from other documents' pages keeps of them:
// bookmarks, links, named destinations, page labels, how it opens, form
// fields, optional content and catalogue entries. Private to the document layer.
#pragma once

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFObjectHandle.hh>

#include <QString>

#include <map>
#include <string>
#include <vector>

namespace batch {

// A copy in `target` of `value`, an object of `source`; direct values are
// copied whole too.
QPDFObjectHandle copyInto(QPDF& target, QPDF& source, QPDFObjectHandle value);

// A source's named destinations, read once within `budget` entries.
class NamedDestinations
{
public:
    NamedDestinations(QPDF& pdf, int budget);
    // The destination a name or string stands for; null when there is none.
    QPDFObjectHandle find(QPDFObjectHandle key) const;
    // Every entry, /Dests first, then the name tree in its order.
    const std::vector<std::pair<std::string, QPDFObjectHandle>>& entries() const
    {
        return m_entries;
    }

private:
    std::vector<std::pair<std::string, QPDFObjectHandle>> m_entries;
    std::map<std::string, QPDFObjectHandle> m_byName;
    std::map<std::string, QPDFObjectHandle> m_byString;
};

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
    // A bookmark of the source whose children alone are carried, as the
    // top level (a part split at its bookmark); uninitialised for all.
    QPDFObjectHandle outlineRoot;
};

// A form widget on a kept page: the source's annotation and its copy.
struct KeptWidget
{
    QPDFObjectHandle source;
    QPDFObjectHandle copy;
};

// Call after every page is in `target`. Bookmarks and named destinations that
// lead to kept pages are carried and lead to their new pages; a bookmark whose
// page was dropped stays as a heading over its kept children, or goes when it
// has none. Bookmarks with other actions (a web address, another file, a
// viewer command) keep them. Every annotation on a kept page points back to
// its new page; destinations of links and widgets are retargeted, and links
// leading to a page that was not kept are removed. Page labels are carried
// when a source has them, and always for a merge (`merge`), where a source
// without labels is numbered from 1. Returns each source's kept widgets, in
// the order of `sources`.
std::vector<std::vector<KeptWidget>>
carryNavigation(QPDF& target, const std::vector<SourcePages>& sources, bool merge);

// A bookmark at one level of an outline and the page it opens: its index in
// the document, or -1 when it leads to none of the document's pages.
struct Chapter
{
    QString title;
    int page = -1;
    QPDFObjectHandle node;
};
// The bookmarks `level` deep (1 for the top), in outline order.
std::vector<Chapter> chaptersAt(QPDF& pdf, int level);

// Form fields with widgets among `widgets` keep their values, flags,
// appearances and calculation order; each field of a source stays one field,
// holding only its kids on kept pages. A top-level field whose name an earlier
// source used is renamed. The form's defaults (/NeedAppearances, /DA, /DR,
// /SigFlags) are merged. Call after carryNavigation.
void carryForms(QPDF& target, const std::vector<SourcePages>& sources,
                const std::vector<std::vector<KeptWidget>>& widgets);
// Optional content, merged across sources with each layer's default state,
// usage rules and alternative configurations; the panel's order is written
// only where a source had one.
void carryLayers(QPDF& target, const std::vector<SourcePages>& sources);
// The first source's /Lang, and for a single source also its viewer
// preferences and XMP metadata.
void carryCatalogue(QPDF& target, const std::vector<SourcePages>& sources, bool merge);

} // namespace batch
