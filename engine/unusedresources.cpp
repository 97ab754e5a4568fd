// Resources no content stream names. A name counts as used wherever it occurs
// in a content stream, even in a string or an inline image: that keeps a few
// too many, never one too few. A resource dictionary shared by several users
// keeps what any of them names. Documents with content that takes its
// resources from whatever draws it (forms or Type 3 glyphs without resources
// of their own) are left alone, and so are the interactive form's defaults.
#include "engine/qpdfsupport.h"

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace batch {

namespace {

// Neither white space nor a delimiter.
bool regular(unsigned char c)
{
    constexpr std::string_view irregular(" \t\r\n\f\v()<>[]{}/%\0", 17);
    return irregular.find(char(c)) == std::string_view::npos;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Every name token of the content piped into it, #xx escapes resolved as
// QPDF resolves them in keys, with constant memory however far the content
// inflates: a name may straddle two writes. Past the budget of bytes, or of
// distinct names, it throws, and the caller leaves the document alone.
class NameScanner : public Pipeline
{
public:
    NameScanner(std::set<std::string>& names, long long& budget)
        : Pipeline("names", nullptr), m_names(names), m_budget(budget)
    {}

    void write(const unsigned char* bytes, size_t length) override
    {
        m_budget -= static_cast<long long>(length);
        if (m_budget < 0)
            throw std::length_error("content beyond the scan's budget");
        for (size_t i = 0; i < length; ++i)
            take(char(bytes[i]));
    }

    void finish() override { endName(); }

private:
    static constexpr size_t maxNames = 200000;
    static constexpr size_t maxNameLength = 4096;

    void take(char c)
    {
        if (!m_inName) {
            if (c == '/')
                startName();
            return;
        }
        if (m_escaping && regular(static_cast<unsigned char>(c))) {
            m_hex += c;
            if (m_hex.size() < 2)
                return;
            const std::string after = m_hex;
            m_escaping = false;
            m_hex.clear();
            if (hexValue(after[0]) >= 0 && hexValue(after[1]) >= 0) {
                m_name += char(hexValue(after[0]) * 16 + hexValue(after[1]));
            } else {
                // Not an escape: the '#' stands, and what follows it is read again.
                m_name += '#';
                for (const char d : after)
                    take(d);
            }
            return;
        }
        if (!regular(static_cast<unsigned char>(c))) {
            endName();
            if (c == '/')
                startName();
            return;
        }
        if (c == '#') {
            m_escaping = true;
            return;
        }
        if (m_name.size() >= maxNameLength)
            throw std::length_error("a name longer than any resource's");
        m_name += c;
    }

    void startName()
    {
        m_inName = true;
        m_name = "/";
    }

    void endName()
    {
        if (!m_inName)
            return;
        if (m_escaping) {
            m_name += '#';
            m_name += m_hex;
            m_escaping = false;
            m_hex.clear();
        }
        m_inName = false;
        m_names.insert(m_name);
        if (m_names.size() > maxNames)
            throw std::length_error("too many names");
    }

    std::set<std::string>& m_names;
    long long& m_budget;
    bool m_inName = false;
    bool m_escaping = false;
    std::string m_hex;
    std::string m_name;
};

// Decoded bytes the scan reads across the whole document: a small file may
// inflate to gigabytes, and what lies beyond is left alone.
constexpr long long scanBudget = 2LL * 1024 * 1024 * 1024;

void collectNames(QPDFObjectHandle stream, std::set<std::string>& names, long long& budget)
{
    NameScanner scanner(names, budget);
    if (!stream.pipeStreamData(&scanner, 0, qpdf_dl_generalized))
        throw std::runtime_error("content");
}

struct Usage
{
    QPDFObjectHandle dictionary;
    std::set<std::string> names;
};

// Resource dictionaries and their category dictionaries, each known by the
// object that holds it when it is direct.
class UsageMap
{
public:
    void add(QPDFObjectHandle resources, const std::string& owner,
             const std::set<std::string>& names)
    {
        if (!resources.isDictionary())
            return;
        const std::string key = resources.isIndirect() ? resources.getObjGen().unparse() : owner;
        for (const char* category : {"/Font", "/XObject", "/ExtGState", "/ColorSpace", "/Pattern",
                                     "/Shading", "/Properties"}) {
            QPDFObjectHandle entries = resources.getKey(category);
            if (!entries.isDictionary())
                continue;
            if (category == std::string("/Font"))
                noteDirectType3(entries);
            const std::string entriesKey =
                entries.isIndirect() ? entries.getObjGen().unparse() : key + category;
            Usage& usage = m_usages[entriesKey];
            usage.dictionary = entries;
            usage.names.insert(names.begin(), names.end());
        }
    }

    // A Type 3 font held directly is not among the document's objects, so
    // its glyphs' names would go uncounted.
    bool sawDirectType3() const { return m_directType3; }

    // Nothing is removed from any category of `resources`, under whichever
    // key add() files it: the form's defaults may be a page's own resources.
    void keep(QPDFObjectHandle resources)
    {
        if (!resources.isDictionary())
            return;
        for (const std::string& category : resources.getKeys()) {
            QPDFObjectHandle entries = resources.getKey(category);
            if (entries.isIndirect())
                m_kept.insert(entries.getObjGen().unparse());
            else if (resources.isIndirect())
                m_kept.insert(resources.getObjGen().unparse() + category);
        }
    }

    void dropUnused()
    {
        for (auto& [key, usage] : m_usages) {
            if (m_kept.count(key) != 0)
                continue;
            for (const std::string& name : usage.dictionary.getKeys()) {
                // Default colour spaces are used by every device colour.
                if (usage.names.count(name) == 0 && name.rfind("/Default", 0) != 0)
                    usage.dictionary.removeKey(name);
            }
        }
    }

private:
    void noteDirectType3(QPDFObjectHandle fonts)
    {
        for (const std::string& name : fonts.getKeys()) {
            QPDFObjectHandle font = fonts.getKey(name);
            if (!font.isIndirect() && font.isDictionary() &&
                font.getKey("/Subtype").isNameAndEquals("/Type3"))
                m_directType3 = true;
        }
    }

    std::map<std::string, Usage> m_usages;
    std::set<std::string> m_kept;
    bool m_directType3 = false;
};

// The page's resources as inherited, and the node that holds them.
std::pair<QPDFObjectHandle, std::string> inheritedResources(QPDFObjectHandle page)
{
    std::set<QPDFObjGen> seen;
    for (QPDFObjectHandle node = page; node.isDictionary() && seen.insert(node.getObjGen()).second;
         node = node.getKey("/Parent")) {
        if (node.hasKey("/Resources"))
            return {node.getKey("/Resources"), node.getObjGen().unparse() + "R"};
    }
    return {QPDFObjectHandle::newNull(), std::string()};
}

// False when some content takes its resources from whatever draws it.
bool addOtherContent(QPDF& pdf, UsageMap& usages, long long& budget)
{
    for (QPDFObjectHandle object : pdf.getAllObjects()) {
        QPDFObjectHandle dictionary = object.isStream() ? object.getDict() : object;
        if (!dictionary.isDictionary())
            continue;
        const std::string owner = object.getObjGen().unparse() + "R";
        const bool drawn =
            object.isStream() && (dictionary.getKey("/Subtype").isNameAndEquals("/Form") ||
                                  dictionary.getKey("/PatternType").isInteger());
        if (drawn) {
            if (!dictionary.getKey("/Resources").isDictionary())
                return false;
            std::set<std::string> names;
            collectNames(object, names, budget);
            usages.add(dictionary.getKey("/Resources"), owner, names);
        } else if (dictionary.getKey("/Subtype").isNameAndEquals("/Type3")) {
            QPDFObjectHandle glyphs = dictionary.getKey("/CharProcs");
            if (!dictionary.getKey("/Resources").isDictionary() || !glyphs.isDictionary())
                return false;
            std::set<std::string> names;
            for (const std::string& glyph : glyphs.getKeys()) {
                if (glyphs.getKey(glyph).isStream())
                    collectNames(glyphs.getKey(glyph), names, budget);
            }
            usages.add(dictionary.getKey("/Resources"), owner, names);
        }
    }
    return true;
}

// Appearance streams are drawn whatever their /Subtype says; one without
// resources of its own may name its page's.
void addAppearances(QPDFObjectHandle page, QPDFObjectHandle pageResources,
                    const std::string& pageOwner, UsageMap& usages, long long& budget)
{
    const auto add = [&](QPDFObjectHandle stream) {
        if (!stream.isStream())
            return;
        std::set<std::string> names;
        collectNames(stream, names, budget);
        QPDFObjectHandle own = stream.getDict().getKey("/Resources");
        if (own.isDictionary())
            usages.add(own, stream.getObjGen().unparse() + "R", names);
        else
            usages.add(pageResources, pageOwner, names);
    };
    forEachAppearance(page, add);
}

} // namespace

void forEachAppearance(QPDFObjectHandle page, const std::function<void(QPDFObjectHandle)>& visit)
{
    QPDFObjectHandle annotations = page.getKey("/Annots");
    if (!annotations.isArray())
        return;
    for (QPDFObjectHandle& annotation : annotations.getArrayAsVector()) {
        QPDFObjectHandle appearances =
            annotation.isDictionary() ? annotation.getKey("/AP") : QPDFObjectHandle::newNull();
        if (!appearances.isDictionary())
            continue;
        for (auto& [kind, appearance] : appearances.getDictAsMap()) {
            if (appearance.isStream()) {
                visit(appearance);
            } else if (appearance.isDictionary()) {
                for (auto& [state, stream] : appearance.getDictAsMap()) {
                    if (stream.isStream())
                        visit(stream);
                }
            }
        }
    }
}

void dropUnusedResources(QPDF& pdf)
{
    UsageMap usages;
    long long budget = scanBudget;
    try {
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            // Stream by stream: QPDF holds a page's whole content when it
            // pipes the page.
            std::set<std::string> names;
            for (QPDFObjectHandle& stream : page.getPageContents())
                collectNames(stream, names, budget);
            const auto [resources, owner] = inheritedResources(page.getObjectHandle());
            usages.add(resources, owner, names);
            addAppearances(page.getObjectHandle(), resources, owner, usages, budget);
        }
        if (!addOtherContent(pdf, usages, budget) || usages.sawDirectType3())
            return;
    } catch (const std::exception&) {
        return; // content that cannot be read may name anything
    }
    QPDFObjectHandle form = pdf.getRoot().getKey("/AcroForm");
    if (form.isDictionary())
        usages.keep(form.getKey("/DR"));
    usages.dropUnused();
}

} // namespace batch
