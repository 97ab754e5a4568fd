// Named destinations as a file gives them: /Dests and the /Names /Dests tree
// may loop, nest without end or carry /Limits that lie, so they are read with
// a visited set, a depth bound and an entry budget, never through a helper
// that trusts the tree.
#include "engine/navigation.h"

#include <set>

namespace batch {

namespace {

constexpr int maxTreeDepth = 64;

void walkNameTree(QPDFObjectHandle node, int depth, std::set<QPDFObjGen>& seen, int& budget,
                  std::vector<std::pair<std::string, QPDFObjectHandle>>& out)
{
    if (depth > maxTreeDepth || !node.isDictionary() || budget <= 0)
        return;
    if (node.isIndirect() && !seen.insert(node.getObjGen()).second)
        return;
    QPDFObjectHandle names = node.getKey("/Names");
    if (names.isArray()) {
        const int count = names.getArrayNItems();
        for (int i = 0; i + 1 < count && budget > 0; i += 2, --budget) {
            QPDFObjectHandle key = names.getArrayItem(i);
            if (key.isString())
                out.emplace_back(key.getStringValue(), names.getArrayItem(i + 1));
        }
    }
    QPDFObjectHandle kids = node.getKey("/Kids");
    if (!kids.isArray())
        return;
    const int count = kids.getArrayNItems();
    for (int i = 0; i < count && budget > 0; ++i, --budget)
        walkNameTree(kids.getArrayItem(i), depth + 1, seen, budget, out);
}

} // namespace

NamedDestinations::NamedDestinations(QPDF& pdf, int budget)
{
    QPDFObjectHandle root = pdf.getRoot();
    QPDFObjectHandle dests = root.getKey("/Dests");
    if (dests.isDictionary()) {
        for (const std::string& key : dests.getKeys()) {
            if (budget-- <= 0)
                break;
            m_entries.emplace_back(key.substr(1), dests.getKey(key));
            m_byName.emplace(key.substr(1), m_entries.back().second);
        }
    }
    QPDFObjectHandle names = root.getKey("/Names");
    const size_t fromTree = m_entries.size();
    std::set<QPDFObjGen> seen;
    if (names.isDictionary())
        walkNameTree(names.getKey("/Dests"), 0, seen, budget, m_entries);
    for (size_t i = fromTree; i < m_entries.size(); ++i)
        m_byString.emplace(m_entries[i].first, m_entries[i].second);
}

QPDFObjectHandle NamedDestinations::find(QPDFObjectHandle key) const
{
    // Names belong in /Dests and strings in the tree, but producers mix them
    // up and viewers forgive it.
    const bool isName = key.isName();
    const std::string text = isName ? key.getName().substr(1) : key.getStringValue();
    const auto& first = isName ? m_byName : m_byString;
    const auto& second = isName ? m_byString : m_byName;
    for (const auto* map : {&first, &second}) {
        const auto found = map->find(text);
        if (found != map->end())
            return found->second;
    }
    return QPDFObjectHandle::newNull();
}

} // namespace batch
