// Destinations are rewritten as explicit page destinations in the new
// document: whatever form they had in the source (a page reference, a page
// number, a name in /Dests or in the name tree, a dictionary with /D, a GoTo
// action), they then need nothing outside the page they lead to.
#include "engine/navigation.h"

#include <qpdf/QPDFNameTreeObjectHelper.hh>
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
    Source(QPDF& target, const SourcePages& pages)
        : m_target(target), m_pdf(*pages.source), m_names(*pages.source, maxItems),
          m_allPages(pages.source->getAllPages())
    {
        for (const KeptPage& kept : pages.pages)
            m_kept.emplace(m_allPages.at(size_t(kept.sourceIndex)).getObjGen(), kept.page);
    }

    QPDF& pdf() { return m_pdf; }
    QPDF& target() { return m_target; }
    const NamedDestinations& names() const { return m_names; }

    std::optional<Destination> resolve(QPDFObjectHandle dest, int depth = 0)
    {
        if (depth > 8)
            return std::nullopt;
        if (dest.isName() || dest.isString())
            return resolve(m_names.find(dest), depth + 1);
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
    QPDF& m_target;
    QPDF& m_pdf;
    NamedDestinations m_names;
    std::vector<QPDFObjectHandle> m_allPages;
    std::map<QPDFObjGen, QPDFObjectHandle> m_kept;
};

// What a bookmark or an annotation leads to within its document: a GoTo
// (through /Dest or a GoTo action), another action, or nothing.
enum class Target
{
    None,
    GoTo,
    OtherAction
};

Target targetOf(QPDFObjectHandle holder)
{
    if (!holder.getKey("/Dest").isNull())
        return Target::GoTo;
    QPDFObjectHandle action = holder.getKey("/A");
    if (!action.isDictionary())
        return Target::None;
    QPDFObjectHandle type = action.getKey("/S");
    return type.isNameAndEquals("/GoTo") || (!type.isName() && !action.getKey("/D").isNull())
               ? Target::GoTo
               : Target::OtherAction;
}

QPDFObjectHandle gotoOf(QPDFObjectHandle holder)
{
    QPDFObjectHandle dest = holder.getKey("/Dest");
    return dest.isNull() ? holder.getKey("/A") : dest;
}

// A bookmark on its way to the new document.
struct Item
{
    std::string title; // the PDF string's bytes
    QPDFObjectHandle colour;
    QPDFObjectHandle flags;
    bool open = false;
    QPDFObjectHandle dest = QPDFObjectHandle::newNull(); // in the new document
    QPDFObjectHandle action; // a copied action other than GoTo; uninitialised for none
    std::vector<Item> children;
};

void readStyle(QPDFObjectHandle node, Item& item)
{
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
}

// The items of a chain starting at `first`, each with its kept children. A
// GoTo whose page was dropped stays as a heading over its kept children and
// goes without them; so does a heading all of whose children went.
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
        readStyle(node, item);
        item.children = readItems(source, node.getKey("/First"), seen, depth + 1, budget);
        const bool hadChildren = node.getKey("/First").isDictionary();
        switch (targetOf(node)) {
        case Target::GoTo:
            item.dest = source.retarget(source.resolve(gotoOf(node)));
            if (item.dest.isNull() && item.children.empty())
                continue;
            break;
        case Target::OtherAction:
            item.action = copyInto(source.target(), source.pdf(), node.getKey("/A"));
            break;
        case Target::None:
            if (hadChildren && item.children.empty())
                continue;
            break;
        }
        items.push_back(std::move(item));
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
        QPDFObjectHandle dest = item.dest;
        if (!dest.isNull())
            node.replaceKey("/Dest", dest);
        else if (item.action.isInitialized())
            node.replaceKey("/A", item.action);
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

std::vector<Item> outlineOf(Source& source, QPDFObjectHandle root)
{
    QPDFObjectHandle outlines =
        root.isInitialized() ? root : source.pdf().getRoot().getKey("/Outlines");
    if (!outlines.isDictionary())
        return {};
    std::set<QPDFObjGen> seen;
    int budget = maxItems;
    return readItems(source, outlines.getKey("/First"), seen, 0, budget);
}

bool isWidget(QPDFObjectHandle annotation)
{
    QPDFObjectHandle subtype = annotation.getKey("/Subtype");
    return subtype.isNameAndEquals("/Widget") || (!subtype.isName() && annotation.hasKey("/FT"));
}

// Leads `copy` where `original` led within the source, as an explicit
// destination that needs no name; false for a link whose page was dropped.
bool retargetAnnotation(Source& source, QPDFObjectHandle original, QPDFObjectHandle copy)
{
    if (targetOf(original) != Target::GoTo)
        return true;
    const bool link = original.getKey("/Subtype").isNameAndEquals("/Link");
    QPDFObjectHandle target = source.retarget(source.resolve(gotoOf(original)));
    copy.removeKey("/Dest");
    copy.removeKey("/A");
    if (target.isNull())
        return !link;
    if (link) {
        copy.replaceKey("/Dest", target);
    } else {
        QPDFObjectHandle action = QPDFObjectHandle::parse("<< /S /GoTo >>");
        action.replaceKey("/D", target);
        copy.replaceKey("/A", action);
    }
    return true;
}

// Every annotation on a kept page points back to that page, and leads where
// it led in the source. An annotation that an earlier kept page already holds
// gets a copy of its own, except a widget: a field's widget sits on one page.
std::vector<KeptWidget> settleAnnotations(Source& source, const SourcePages& pages,
                                          std::set<QPDFObjGen>& placed)
{
    std::vector<KeptWidget> widgets;
    const std::vector<QPDFObjectHandle>& all = source.pdf().getAllPages();
    for (const KeptPage& kept : pages.pages) {
        QPDFObjectHandle page = kept.page;
        QPDFObjectHandle from =
            QPDFObjectHandle(all.at(size_t(kept.sourceIndex))).getKey("/Annots");
        QPDFObjectHandle to = page.getKey("/Annots");
        if (!from.isArray() || !to.isArray() || from.getArrayNItems() != to.getArrayNItems())
            continue;
        QPDFObjectHandle annotations = QPDFObjectHandle::newArray();
        for (int i = 0; i < from.getArrayNItems(); ++i) {
            QPDFObjectHandle original = from.getArrayItem(i);
            QPDFObjectHandle copy = to.getArrayItem(i);
            if (!original.isDictionary() || !copy.isDictionary())
                continue;
            const bool widget = isWidget(original);
            if (copy.isIndirect() && !placed.insert(copy.getObjGen()).second) {
                if (widget)
                    continue;
                copy = source.target().makeIndirectObject(copy.shallowCopy());
            }
            if (!retargetAnnotation(source, original, copy))
                continue;
            if (widget || original.hasKey("/P"))
                copy.replaceKey("/P", page);
            if (widget)
                widgets.push_back({original, copy});
            annotations.appendItem(copy);
        }
        page.replaceKey("/Annots", annotations);
    }
    return widgets;
}

// Every named destination that leads to a kept page, by name. The source's own
// links and actions no longer need the names, so a clash with an earlier
// source renames freely.
void collectNames(Source& source, std::map<std::string, QPDFObjectHandle>& names,
                  std::set<std::string>& taken)
{
    std::set<std::string> own;
    for (const auto& [name, dest] : source.names().entries()) {
        if (!own.insert(name).second)
            continue;
        QPDFObjectHandle target = source.retarget(source.resolve(dest));
        if (target.isNull())
            continue;
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

void collectChapters(Source& source, const std::map<QPDFObjGen, int>& pageIndex,
                     QPDFObjectHandle first, int level, std::set<QPDFObjGen>& seen, int& budget,
                     std::vector<Chapter>& chapters)
{
    for (QPDFObjectHandle node = first; node.isDictionary() && budget-- > 0;
         node = node.getKey("/Next")) {
        if (node.isIndirect() && !seen.insert(node.getObjGen()).second)
            break;
        if (level > 1) {
            collectChapters(source, pageIndex, node.getKey("/First"), level - 1, seen, budget,
                            chapters);
            continue;
        }
        Chapter chapter;
        QPDFObjectHandle title = node.getKey("/Title");
        chapter.title = title.isString() ? QString::fromStdString(title.getUTF8Value()) : QString();
        chapter.node = node;
        if (targetOf(node) == Target::GoTo) {
            const std::optional<Destination> destination = source.resolve(gotoOf(node));
            const auto found = destination ? pageIndex.find(destination->page) : pageIndex.end();
            if (found != pageIndex.end())
                chapter.page = found->second;
        }
        chapters.push_back(std::move(chapter));
    }
}

} // namespace

std::vector<Chapter> chaptersAt(QPDF& pdf, int level)
{
    std::vector<Chapter> chapters;
    QPDFObjectHandle outlines = pdf.getRoot().getKey("/Outlines");
    if (!outlines.isDictionary() || level < 1 || level > maxDepth)
        return chapters;
    const SourcePages none{&pdf, QString(), {}, {}};
    Source source(pdf, none);
    std::map<QPDFObjGen, int> pageIndex;
    const std::vector<QPDFObjectHandle>& pages = pdf.getAllPages();
    for (size_t i = 0; i < pages.size(); ++i)
        pageIndex.emplace(pages[i].getObjGen(), int(i));
    std::set<QPDFObjGen> seen;
    int budget = maxItems;
    collectChapters(source, pageIndex, outlines.getKey("/First"), level, seen, budget, chapters);
    return chapters;
}

std::vector<std::vector<KeptWidget>>
carryNavigation(QPDF& target, const std::vector<SourcePages>& sources, bool merge)
{
    std::vector<std::vector<KeptWidget>> widgets(sources.size());
    std::set<QPDFObjGen> placed;
    std::vector<Item> bookmarks;
    std::map<std::string, QPDFObjectHandle> names;
    std::set<std::string> taken;
    bool showOutlines = false;
    for (size_t index = 0; index < sources.size(); ++index) {
        const SourcePages& pages = sources[index];
        if (pages.pages.empty())
            continue;
        Source source(target, pages);
        std::vector<Item> own = outlineOf(source, pages.outlineRoot);
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
        widgets[index] = settleAnnotations(source, pages, placed);
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
    return widgets;
}

} // namespace batch
