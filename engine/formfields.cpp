// Form fields of a document built from other documents' pages. Copying a
// source's pages copies each field tree once (the copy map is per source), so
// a field whose widgets sit on several pages is still one field here; what is
// left to do is to prune the kids on dropped pages, register the fields, and
// keep different sources' fields apart by name.
#include "engine/navigation.h"

#include <set>

namespace batch {

namespace {

// Field trees come from the file: /Parent and /Kids may loop.
constexpr int maxFieldDepth = 32;

// One source's fields in the new document.
struct SourceFields
{
    std::vector<QPDFObjectHandle> tops;        // in order of first widget
    std::map<QPDFObjGen, QPDFObjectHandle> of; // source field → its copy
    std::set<QPDFObjGen> keptWidgets;          // copies
};

SourceFields collectFields(const std::vector<KeptWidget>& widgets)
{
    SourceFields fields;
    std::set<QPDFObjGen> topSeen;
    for (const KeptWidget& widget : widgets) {
        fields.keptWidgets.insert(widget.copy.getObjGen());
        QPDFObjectHandle from = widget.source;
        QPDFObjectHandle to = widget.copy;
        std::set<QPDFObjGen> path;
        for (int depth = 0; depth < maxFieldDepth; ++depth) {
            if (from.isIndirect())
                fields.of.emplace(from.getObjGen(), to);
            QPDFObjectHandle fromParent = from.getKey("/Parent");
            QPDFObjectHandle toParent = to.getKey("/Parent");
            if (!fromParent.isDictionary() || !toParent.isDictionary() || !toParent.isIndirect() ||
                !path.insert(toParent.getObjGen()).second)
                break;
            from = fromParent;
            to = toParent;
        }
        if (to.isIndirect() && topSeen.insert(to.getObjGen()).second)
            fields.tops.push_back(to);
    }
    return fields;
}

// Keeps the kids of `field` that are kept widgets or hold some; true when
// `field` itself holds one.
bool pruneKids(QPDFObjectHandle field, const std::set<QPDFObjGen>& kept, std::set<QPDFObjGen>& seen,
               int depth)
{
    QPDFObjectHandle kids = field.getKey("/Kids");
    if (!kids.isArray())
        return kept.count(field.getObjGen()) > 0;
    QPDFObjectHandle keep = QPDFObjectHandle::newArray();
    for (QPDFObjectHandle kid : kids.aitems()) {
        if (kid.isDictionary() && kid.isIndirect() && depth < maxFieldDepth &&
            seen.insert(kid.getObjGen()).second && pruneKids(kid, kept, seen, depth + 1))
            keep.appendItem(kid);
    }
    field.replaceKey("/Kids", keep);
    return keep.getArrayNItems() > 0 || kept.count(field.getObjGen()) > 0;
}

std::string partialName(QPDFObjectHandle field)
{
    QPDFObjectHandle name = field.getKey("/T");
    return name.isString() ? name.getUTF8Value() : std::string();
}

// Resource names a source's form uses, added where the new form lacks them.
void mergeResources(QPDFObjectHandle to, QPDFObjectHandle from)
{
    if (!from.isDictionary())
        return;
    for (const std::string& kind : from.getKeys()) {
        QPDFObjectHandle entries = from.getKey(kind);
        QPDFObjectHandle existing = to.getKey(kind);
        if (!existing.isDictionary() || !entries.isDictionary()) {
            if (!to.hasKey(kind))
                to.replaceKey(kind, entries);
            continue;
        }
        for (const std::string& name : entries.getKeys()) {
            if (!existing.hasKey(name))
                existing.replaceKey(name, entries.getKey(name));
        }
    }
}

// The new form's entries gathered from its sources' forms.
struct FormDefaults
{
    bool needAppearances = false;
    long long sigFlags = 0;
    QPDFObjectHandle appearance;
    QPDFObjectHandle resources = QPDFObjectHandle::newDictionary();
    QPDFObjectHandle fields = QPDFObjectHandle::newArray();
    QPDFObjectHandle order = QPDFObjectHandle::newArray();
};

void addDefaults(FormDefaults& defaults, QPDF& target, QPDF& source, QPDFObjectHandle form)
{
    QPDFObjectHandle need = form.getKey("/NeedAppearances");
    defaults.needAppearances = defaults.needAppearances || (need.isBool() && need.getBoolValue());
    if (form.getKey("/SigFlags").isInteger())
        defaults.sigFlags |= form.getKey("/SigFlags").getIntValue();
    if (!defaults.appearance.isInitialized() && form.getKey("/DA").isString())
        defaults.appearance = QPDFObjectHandle::newString(form.getKey("/DA").getStringValue());
    if (form.getKey("/DR").isDictionary())
        mergeResources(defaults.resources, copyInto(target, source, form.getKey("/DR")));
}

// A field that took its appearance string from its own form keeps it when the
// new form's differs.
void keepOwnAppearance(QPDFObjectHandle top, QPDFObjectHandle form, FormDefaults& defaults)
{
    QPDFObjectHandle own = form.getKey("/DA");
    if (!own.isString() || top.hasKey("/DA") || !defaults.appearance.isInitialized() ||
        defaults.appearance.getStringValue() == own.getStringValue())
        return;
    top.replaceKey("/DA", QPDFObjectHandle::newString(own.getStringValue()));
}

void writeForm(QPDF& target, FormDefaults& defaults)
{
    if (defaults.fields.getArrayNItems() == 0)
        return;
    QPDFObjectHandle form = QPDFObjectHandle::newDictionary();
    form.replaceKey("/Fields", defaults.fields);
    if (defaults.needAppearances)
        form.replaceKey("/NeedAppearances", QPDFObjectHandle::newBool(true));
    if (defaults.sigFlags != 0)
        form.replaceKey("/SigFlags", QPDFObjectHandle::newInteger(defaults.sigFlags));
    if (defaults.appearance.isInitialized())
        form.replaceKey("/DA", defaults.appearance);
    if (!defaults.resources.getKeys().empty())
        form.replaceKey("/DR", defaults.resources);
    if (defaults.order.getArrayNItems() > 0)
        form.replaceKey("/CO", defaults.order);
    target.getRoot().replaceKey("/AcroForm", target.makeIndirectObject(form));
}

} // namespace

void carryForms(QPDF& target, const std::vector<SourcePages>& sources,
                const std::vector<std::vector<KeptWidget>>& widgets)
{
    FormDefaults defaults;
    std::set<std::string> taken;
    for (size_t index = 0; index < sources.size() && index < widgets.size(); ++index) {
        QPDF& source = *sources[index].source;
        QPDFObjectHandle form = source.getRoot().getKey("/AcroForm");
        if (!form.isDictionary() || widgets[index].empty())
            continue;
        addDefaults(defaults, target, source, form);
        SourceFields fields = collectFields(widgets[index]);
        std::set<QPDFObjGen> seen;
        std::vector<std::string> names;
        for (QPDFObjectHandle top : fields.tops) {
            pruneKids(top, fields.keptWidgets, seen, 0);
            keepOwnAppearance(top, form, defaults);
            const std::string name = partialName(top);
            std::string unique = name;
            // Only another source's field of the same name is another field.
            for (int n = 2; !name.empty() && taken.count(unique) > 0; ++n)
                unique = name + "-" + std::to_string(n);
            if (unique != name)
                top.replaceKey("/T", QPDFObjectHandle::newUnicodeString(unique));
            names.push_back(unique);
            defaults.fields.appendItem(top);
        }
        taken.insert(names.begin(), names.end());
        QPDFObjectHandle order = form.getKey("/CO");
        for (int i = 0; order.isArray() && i < order.getArrayNItems(); ++i) {
            QPDFObjectHandle entry = order.getArrayItem(i);
            const auto copied =
                entry.isIndirect() ? fields.of.find(entry.getObjGen()) : fields.of.end();
            if (copied != fields.of.end())
                defaults.order.appendItem(copied->second);
        }
    }
    writeForm(target, defaults);
}

} // namespace batch
