// Resources no content stream names. A name counts as used wherever it occurs
// in a content stream, even in a string or an inline image: that keeps a few
// too many, never one too few. A resource dictionary shared by several users
// keeps what any of them names. Documents with content that takes its
// resources from whatever draws it (forms or Type 3 glyphs without resources
// of their own) are left alone, and so are the interactive form's defaults.
#include "engine/qpdfsupport.h"

#include <qpdf/Pl_String.hh>
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

// Every name token, #xx escapes resolved as QPDF resolves them in keys.
void collectNames(const std::string& content, std::set<std::string>& names)
{
    for (size_t i = 0; i < content.size(); ++i) {
        if (content[i] != '/')
            continue;
        std::string name = "/";
        size_t j = i + 1;
        for (; j < content.size() && regular(static_cast<unsigned char>(content[j])); ++j) {
            if (content[j] == '#' && j + 2 < content.size() && hexValue(content[j + 1]) >= 0 &&
                hexValue(content[j + 2]) >= 0) {
                name += char(hexValue(content[j + 1]) * 16 + hexValue(content[j + 2]));
                j += 2;
            } else {
                name += content[j];
            }
        }
        names.insert(name);
        i = j - 1;
    }
}

std::string decoded(QPDFObjectHandle stream)
{
    std::string data;
    Pl_String sink("content", nullptr, data);
    if (!stream.pipeStreamData(&sink, 0, qpdf_dl_generalized))
        throw std::runtime_error("content");
    return data;
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

    void keep(QPDFObjectHandle resources)
    {
        if (!resources.isDictionary())
            return;
        for (const std::string& category : resources.getKeys()) {
            QPDFObjectHandle entries = resources.getKey(category);
            if (entries.isIndirect())
                m_kept.insert(entries.getObjGen().unparse());
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
bool addOtherContent(QPDF& pdf, UsageMap& usages)
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
            collectNames(decoded(object), names);
            usages.add(dictionary.getKey("/Resources"), owner, names);
        } else if (dictionary.getKey("/Subtype").isNameAndEquals("/Type3")) {
            QPDFObjectHandle glyphs = dictionary.getKey("/CharProcs");
            if (!dictionary.getKey("/Resources").isDictionary() || !glyphs.isDictionary())
                return false;
            std::set<std::string> names;
            for (const std::string& glyph : glyphs.getKeys()) {
                if (glyphs.getKey(glyph).isStream())
                    collectNames(decoded(glyphs.getKey(glyph)), names);
            }
            usages.add(dictionary.getKey("/Resources"), owner, names);
        }
    }
    return true;
}

} // namespace

void dropUnusedResources(QPDF& pdf)
{
    UsageMap usages;
    try {
        for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
            std::string content;
            Pl_String sink("content", nullptr, content);
            page.pipeContents(&sink);
            std::set<std::string> names;
            collectNames(content, names);
            const auto [resources, owner] = inheritedResources(page.getObjectHandle());
            usages.add(resources, owner, names);
        }
        if (!addOtherContent(pdf, usages) || usages.sawDirectType3())
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
