// Destinations are rewritten as explicit page destinations in the new
// document: whatever form they had in the source (a page reference, a page
// number, a name in /Dests or in the name tree, a dictionary with /D, a GoTo
// action), they then need nothing outside the page they lead to.
#include "engine/navigation.h"

#include <qpdf/QPDFNameTreeObjectHelper.hh>
#include <qpdf/QPDFOutlineDocumentHelper.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageLabelDocumentHelper.hh>

#include <map>
#include <optional>
#include <set>

namespace batch {

namespace {

// Outline trees and chains of named destinations come from the file: hostile
// ones may loop or nest without end.
constexpr int maxDepth = 64;
constexpr int maxItems = 200000;

// A destination within the source: its page and the view that follows it.
struct Destination
{
    QPDFObjGen page;
    std::vector<QPDFObjectHandle> view;
};

// A copy of a scalar that belongs to no document.
QPDFObjectHandle scalarCopy(QPDFObjectHandle value)
{
    if (value.isInteger())
        return QPDFObjectHandle::newInteger(value.getIntValue());
    if (value.isReal())
        return QPDFObjectHandle::newReal(value.getRealValue());
    if (value.isName())
        return QPDFObjectHandle::newName(value.getName());
    if (value.isBool())
        return QPDFObjectHandle::newBool(value.getBoolValue());
    return QPDFObjectHandle::newNull();
}

class Source
{
public:
    explicit Source(const SourcePages& pages)
        : m_pdf(*pages.source), m_outlines(*pages.source), m_allPages(pages.source->getAllPages())
    {
        for (const KeptPage& kept : pages.pages)
            m_kept.emplace(m_allPages.at(size_t(kept.sourceIndex)).getObjGen(), kept.page);
    }

    QPDF& pdf() { return m_pdf; }
    QPDFOutlineDocumentHelper& outlines() { return m_outlines; }

    std::optional<Destination> resolve(QPDFObjectHandle dest, int depth = 0)
    {
        if (depth > 8)
            return std::nullopt;
        if (dest.isName() || dest.isString())
            return resolve(m_outlines.resolveNamedDest(dest), depth + 1);
        if (dest.isDictionary()) {
            QPDFObjectHandle type = dest.getKey("/S");
            if (type.isName() && !type.isNameAndEquals("/GoTo"))
                return std::nullopt;
            return resolve(dest.getKey("/D"), depth + 1);
        }
        if (!dest.isArray() || dest.getArrayNItems() < 1)
            return std::nullopt;
        QPDFObjectHandle page = dest.getArrayItem(0);
        Destination destination;
        if (page.isInteger()) {
            // Some producers write a page number where a page belongs.
            const long long number = page.getIntValue();
            if (number < 0 || number >= static_cast<long long>(m_allPages.size()))
                return std::nullopt;
            destination.page = m_allPages[size_t(number)].getObjGen();
        } else if (page.isIndirect()) {
            destination.page = page.getObjGen();
        } else {
            return std::nullopt;
        }
        for (int i = 1; i < dest.getArrayNItems(); ++i)
            destination.view.push_back(scalarCopy(dest.getArrayItem(i)));
        return destination;
    }

    // The destination in the new document, or a null handle when its page
    // was not kept.
    QPDFObjectHandle retarget(const std::optional<Destination>& destination)
    {
        if (!destination)
            return QPDFObjectHandle::newNull();
        const auto kept = m_kept.find(destination->page);
        if (kept == m_kept.end())
            return QPDFObjectHandle::newNull();
        QPDFObjectHandle array = QPDFObjectHandle::newArray();
        array.appendItem(kept->second);
        for (const QPDFObjectHandle& item : destination->view)
            array.appendItem(item);
        if (destination->view.empty())
            array.appendItem(QPDFObjectHandle::newName("/Fit"));
        return array;
    }

private:
    QPDF& m_pdf;
    QPDFOutlineDocumentHelper m_outlines;
    std::vector<QPDFObjectHandle> m_allPages;
    std::map<QPDFObjGen, QPDFObjectHandle> m_kept;
};

// A bookmark on its way to the new document.
struct Item
{
    std::string title; // the PDF string's bytes
    QPDFObjectHandle colour;
    QPDFObjectHandle flags;
    bool open = false;
    QPDFObjectHandle dest; // in the new document; null when its page was dropped
    std::vector<Item> children;
};

// The items of a chain starting at `first`, each with its kept children;
// items whose page was dropped give way to their children.
std::vector<Item> readItems(Source& source, QPDFObjectHandle first, std::set<QPDFObjGen>& seen,
                            int depth, int& budget)
{
    std::vector<Item> items;
    if (depth > maxDepth)
        return items;
    for (QPDFObjectHandle node = first; node.isDictionary() && budget-- > 0;
         node = node.getKey("/Next")) {
        if (node.isIndirect() && !seen.insert(node.getObjGen()).second)
            break;
        Item item;
        QPDFObjectHandle title = node.getKey("/Title");
        item.title = title.isString() ? title.getStringValue() : std::string();
        QPDFObjectHandle colour = node.getKey("/C");
        if (colour.isArray() && colour.getArrayNItems() == 3) {
            item.colour = QPDFObjectHandle::newArray();
            for (int i = 0; i < 3; ++i)
                item.colour.appendItem(scalarCopy(colour.getArrayItem(i)));
        }
        if (node.getKey("/F").isInteger())
            item.flags = scalarCopy(node.getKey("/F"));
        QPDFObjectHandle count = node.getKey("/Count");
        item.open = count.isInteger() && count.getIntValue() > 0;
        QPDFObjectHandle dest = node.getKey("/Dest");
        if (dest.isNull())
            dest = node.getKey("/A");
        item.dest = source.retarget(source.resolve(dest));
        std::vector<Item> children =
            readItems(source, node.getKey("/First"), seen, depth + 1, budget);
        if (item.dest.isNull()) {
            for (Item& child : children)
                items.push_back(std::move(child));
        } else {
            item.children = std::move(children);
            items.push_back(std::move(item));
        }
    }
    return items;
}

// Writes `items` under `parent`; returns how many of them a viewer shows.
int writeItems(QPDF& target, QPDFObjectHandle parent, const std::vector<Item>& items)
{
    int visible = 0;
    QPDFObjectHandle previous;
    for (const Item& item : items) {
        QPDFObjectHandle node = target.makeIndirectObject(QPDFObjectHandle::newDictionary());
        node.replaceKey("/Title", QPDFObjectHandle::newString(item.title));
        node.replaceKey("/Parent", parent);
        node.replaceKey("/Dest", item.dest);
        if (item.colour.isInitialized())
            node.replaceKey("/C", item.colour);
        if (item.flags.isInitialized())
            node.replaceKey("/F", item.flags);
        if (previous.isInitialized()) {
            previous.replaceKey("/Next", node);
            node.replaceKey("/Prev", previous);
        } else {
            parent.replaceKey("/First", node);
        }
        parent.replaceKey("/Last", node);
        previous = node;
        const int shown = writeItems(target, node, item.children);
        if (!item.children.empty())
            node.replaceKey("/Count", QPDFObjectHandle::newInteger(item.open ? shown : -shown));
        visible += 1 + (item.open ? shown : 0);
    }
    return visible;
}

std::vector<Item> outlineOf(Source& source)
{
    QPDFObjectHandle outlines = source.pdf().getRoot().getKey("/Outlines");
    if (!outlines.isDictionary())
        return {};
    std::set<QPDFObjGen> seen;
    int budget = maxItems;
    return readItems(source, outlines.getKey("/First"), seen, 0, budget);
}

// Links that lead within the source are retargeted; those whose page was not
// kept are removed rather than left pointing outside the new document.
void retargetLinks(Source& source, const SourcePages& pages)
{
    const std::vector<QPDFObjectHandle>& all = source.pdf().getAllPages();
    for (const KeptPage& kept : pages.pages) {
        QPDFObjectHandle sourcePage = all.at(size_t(kept.sourceIndex));
        QPDFObjectHandle page = kept.page;
        QPDFObjectHandle from = sourcePage.getKey("/Annots");
        QPDFObjectHandle to = page.getKey("/Annots");
        if (!from.isArray() || !to.isArray() || from.getArrayNItems() != to.getArrayNItems())
            continue;
        QPDFObjectHandle annotations = QPDFObjectHandle::newArray();
        for (int i = 0; i < from.getArrayNItems(); ++i) {
            QPDFObjectHandle original = from.getArrayItem(i);
            QPDFObjectHandle copy = to.getArrayItem(i);
            QPDFObjectHandle action =
                original.isDictionary() ? original.getKey("/A") : QPDFObjectHandle::newNull();
            const bool internal =
                original.isDictionary() && original.getKey("/Subtype").isNameAndEquals("/Link") &&
                (!original.getKey("/Dest").isNull() ||
                 (action.isDictionary() && action.getKey("/S").isNameAndEquals("/GoTo")));
            if (internal && copy.isDictionary()) {
                QPDFObjectHandle dest = original.getKey("/Dest");
                QPDFObjectHandle target =
                    source.retarget(source.resolve(dest.isNull() ? action : dest));
                if (target.isNull())
                    continue;
                copy.removeKey("/A");
                copy.replaceKey("/Dest", target);
            }
            annotations.appendItem(copy);
        }
        page.replaceKey("/Annots", annotations);
    }
}

// Every named destination that leads to a kept page, by name.
void collectNames(Source& source, std::map<std::string, QPDFObjectHandle>& names,
                  std::set<std::string>& taken)
{
    std::vector<std::pair<std::string, QPDFObjectHandle>> found;
    QPDFObjectHandle root = source.pdf().getRoot();
    QPDFObjectHandle dests = root.getKey("/Dests");
    if (dests.isDictionary()) {
        for (const std::string& key : dests.getKeys())
            found.emplace_back(key.substr(1), dests.getKey(key));
    }
    QPDFObjectHandle tree = root.getKey("/Names");
    tree = tree.isDictionary() ? tree.getKey("/Dests") : QPDFObjectHandle::newNull();
    if (tree.isDictionary()) {
        QPDFNameTreeObjectHelper helper(tree, source.pdf(), false);
        int budget = maxItems;
        for (auto it = helper.begin(); it != helper.end() && budget-- > 0; ++it)
            found.emplace_back(it->first, it->second);
    }
    for (const auto& [name, dest] : found) {
        QPDFObjectHandle target = source.retarget(source.resolve(dest));
        if (target.isNull())
            continue;
        // A name another source already uses gets a numbered suffix.
        std::string unique = name;
        for (int n = 2; taken.count(unique) > 0; ++n)
            unique = name + "-" + std::to_string(n);
        taken.insert(unique);
        names.emplace(unique, target);
    }
}

void carryLabels(QPDF& target, const std::vector<SourcePages>& sources, bool merge)
{
    std::vector<QPDFObjectHandle> numbers;
    bool any = false;
    for (const SourcePages& pages : sources) {
        const bool labelled = pages.source->getRoot().getKey("/PageLabels").isDictionary();
        any = any || labelled;
        if (!labelled && !merge)
            continue;
        QPDFPageLabelDocumentHelper labels(*pages.source);
        // Runs of pages that follow each other in both documents share entries.
        for (size_t start = 0; start < pages.pages.size();) {
            size_t end = start;
            while (end + 1 < pages.pages.size() &&
                   pages.pages[end + 1].sourceIndex == pages.pages[end].sourceIndex + 1 &&
                   pages.pages[end + 1].position == pages.pages[end].position + 1)
                ++end;
            if (!labelled) {
                // Plain numbers as in the source (QPDF 11.3 crashes when asked
                // for the labels of a document without them).
                numbers.push_back(QPDFObjectHandle::newInteger(pages.pages[start].position));
                numbers.push_back(QPDFObjectHandle::parse(
                    "<< /S /D /St " + std::to_string(pages.pages[start].sourceIndex + 1) + " >>"));
                start = end + 1;
                continue;
            }
            std::vector<QPDFObjectHandle> run;
            labels.getLabelsForPageRange(pages.pages[start].sourceIndex,
                                         pages.pages[end].sourceIndex, pages.pages[start].position,
                                         run);
            for (QPDFObjectHandle item : run)
                numbers.push_back(QPDFObjectHandle::parse(item.unparseResolved()));
            start = end + 1;
        }
    }
    if (numbers.empty() || !(any || merge))
        return;
    QPDFObjectHandle tree = QPDFObjectHandle::newDictionary();
    tree.replaceKey("/Nums", QPDFObjectHandle::newArray(numbers));
    target.getRoot().replaceKey("/PageLabels", tree);
}

} // namespace

void carryNavigation(QPDF& target, const std::vector<SourcePages>& sources, bool merge)
{
    std::vector<Item> bookmarks;
    std::map<std::string, QPDFObjectHandle> names;
    std::set<std::string> taken;
    bool showOutlines = false;
    for (const SourcePages& pages : sources) {
        if (pages.pages.empty())
            continue;
        Source source(pages);
        std::vector<Item> own = outlineOf(source);
        showOutlines = showOutlines ||
                       pages.source->getRoot().getKey("/PageMode").isNameAndEquals("/UseOutlines");
        if (!pages.title.isEmpty()) {
            Item file;
            file.title =
                QPDFObjectHandle::newUnicodeString(pages.title.toStdString()).getStringValue();
            file.open = true;
            file.dest = QPDFObjectHandle::newArray(
                {pages.pages.front().page, QPDFObjectHandle::newName("/XYZ"),
                 QPDFObjectHandle::newNull(), QPDFObjectHandle::newNull(),
                 QPDFObjectHandle::newNull()});
            file.children = std::move(own);
            bookmarks.push_back(std::move(file));
        } else {
            for (Item& item : own)
                bookmarks.push_back(std::move(item));
        }
        retargetLinks(source, pages);
        collectNames(source, names, taken);
    }
    QPDFObjectHandle root = target.getRoot();
    if (!bookmarks.empty()) {
        QPDFObjectHandle outlines =
            target.makeIndirectObject(QPDFObjectHandle::parse("<< /Type /Outlines >>"));
        const int visible = writeItems(target, outlines, bookmarks);
        outlines.replaceKey("/Count", QPDFObjectHandle::newInteger(visible));
        root.replaceKey("/Outlines", outlines);
        if (showOutlines)
            root.replaceKey("/PageMode", QPDFObjectHandle::newName("/UseOutlines"));
    }
    if (!names.empty()) {
        QPDFNameTreeObjectHelper tree = QPDFNameTreeObjectHelper::newEmpty(target);
        for (const auto& [name, dest] : names)
            tree.insert(name, dest);
        QPDFObjectHandle dictionary = QPDFObjectHandle::newDictionary();
        dictionary.replaceKey("/Dests", tree.getObjectHandle());
        root.replaceKey("/Names", dictionary);
    }
    carryLabels(target, sources, merge);
}

} // namespace batch
