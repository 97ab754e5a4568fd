// Forms, optional content and catalogue entries of a document built from
// other documents' pages.
#include "engine/navigation.h"

#include <qpdf/QPDFAcroFormDocumentHelper.hh>

#include <set>

namespace batch {

namespace {

void appendAll(QPDFObjectHandle to, QPDFObjectHandle from)
{
    if (!from.isArray())
        return;
    for (QPDFObjectHandle item : from.aitems())
        to.appendItem(item);
}

} // namespace

void carryForms(QPDF& target, const std::vector<SourcePages>& sources)
{
    bool needAppearances = false;
    QPDFObjectHandle appearance;
    QPDFAcroFormDocumentHelper targetForms(target);
    for (const SourcePages& pages : sources) {
        QPDFObjectHandle form = pages.source->getRoot().getKey("/AcroForm");
        if (!form.isDictionary())
            continue;
        QPDFObjectHandle need = form.getKey("/NeedAppearances");
        needAppearances = needAppearances || (need.isBool() && need.getBoolValue());
        if (!appearance.isInitialized() && form.getKey("/DA").isString())
            appearance = QPDFObjectHandle::newString(form.getKey("/DA").getStringValue());
        QPDFAcroFormDocumentHelper sourceForms(*pages.source);
        const std::vector<QPDFObjectHandle>& all = pages.source->getAllPages();
        // Each page gets its own copies of its widgets and their fields; a field
        // whose name an earlier source took is renamed, so filling one never
        // fills the other.
        for (const KeptPage& kept : pages.pages)
            targetForms.fixCopiedAnnotations(kept.page, all.at(size_t(kept.sourceIndex)),
                                             sourceForms);
    }
    QPDFObjectHandle form = target.getRoot().getKey("/AcroForm");
    if (!form.isDictionary())
        return;
    if (needAppearances)
        form.replaceKey("/NeedAppearances", QPDFObjectHandle::newBool(true));
    if (appearance.isInitialized() && !form.hasKey("/DA"))
        form.replaceKey("/DA", appearance);
}

void carryLayers(QPDF& target, const std::vector<SourcePages>& sources)
{
    QPDFObjectHandle groups = QPDFObjectHandle::newArray();
    QPDFObjectHandle on = QPDFObjectHandle::newArray();
    QPDFObjectHandle off = QPDFObjectHandle::newArray();
    QPDFObjectHandle order = QPDFObjectHandle::newArray();
    QPDFObjectHandle radio = QPDFObjectHandle::newArray();
    QPDFObjectHandle locked = QPDFObjectHandle::newArray();
    std::set<QPDFObjGen> seen;
    for (const SourcePages& pages : sources) {
        QPDFObjectHandle properties = pages.source->getRoot().getKey("/OCProperties");
        if (!properties.isDictionary() || pages.pages.empty())
            continue;
        QPDFObjectHandle copy =
            target.copyForeignObject(pages.source->makeIndirectObject(properties.shallowCopy()));
        QPDFObjectHandle config = copy.getKey("/D");
        const bool baseOff =
            config.isDictionary() && config.getKey("/BaseState").isNameAndEquals("/OFF");
        std::set<QPDFObjGen> shown;
        if (config.isDictionary() && config.getKey("/ON").isArray()) {
            for (QPDFObjectHandle group : config.getKey("/ON").aitems())
                shown.insert(group.getObjGen());
        }
        QPDFObjectHandle sourceGroups = copy.getKey("/OCGs");
        if (sourceGroups.isArray()) {
            for (QPDFObjectHandle group : sourceGroups.aitems()) {
                if (!seen.insert(group.getObjGen()).second)
                    continue;
                groups.appendItem(group);
                // A layer hidden by its source's default stays hidden.
                if (baseOff && shown.count(group.getObjGen()) == 0)
                    off.appendItem(group);
            }
        }
        if (config.isDictionary()) {
            if (!baseOff)
                appendAll(off, config.getKey("/OFF"));
            appendAll(on, config.getKey("/ON"));
            appendAll(order, config.getKey("/Order"));
            appendAll(radio, config.getKey("/RBGroups"));
            appendAll(locked, config.getKey("/Locked"));
        }
    }
    if (groups.getArrayNItems() == 0)
        return;
    QPDFObjectHandle config = QPDFObjectHandle::newDictionary();
    config.replaceKey("/BaseState", QPDFObjectHandle::newName("/ON"));
    config.replaceKey("/ON", on);
    config.replaceKey("/OFF", off);
    config.replaceKey("/Order", order);
    if (radio.getArrayNItems() > 0)
        config.replaceKey("/RBGroups", radio);
    if (locked.getArrayNItems() > 0)
        config.replaceKey("/Locked", locked);
    QPDFObjectHandle properties = QPDFObjectHandle::newDictionary();
    properties.replaceKey("/OCGs", groups);
    properties.replaceKey("/D", config);
    target.getRoot().replaceKey("/OCProperties", target.makeIndirectObject(properties));
}

void carryCatalogue(QPDF& target, const std::vector<SourcePages>& sources, bool merge)
{
    if (sources.empty())
        return;
    QPDFObjectHandle from = sources.front().source->getRoot();
    QPDFObjectHandle to = target.getRoot();
    // A merge speaks the first file's language; its other entries describe one
    // file and are left behind.
    for (const char* key : {"/Lang", "/ViewerPreferences", "/Metadata"}) {
        if (merge && std::string(key) != "/Lang")
            continue;
        QPDFObjectHandle value = from.getKey(key);
        if (value.isNull())
            continue;
        to.replaceKey(key,
                      value.isIndirect()
                          ? target.copyForeignObject(value)
                          : target.copyForeignObject(
                                sources.front().source->makeIndirectObject(value.shallowCopy())));
    }
}

} // namespace batch
