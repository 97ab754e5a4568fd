// Optional content and catalogue entries of a document built from other
// documents' pages.
#include "engine/navigation.h"

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

QPDFObjectHandle copyInto(QPDF& target, QPDF& source, QPDFObjectHandle value)
{
    if (value.isIndirect())
        return target.copyForeignObject(value);
    // Only indirect objects cross documents; a direct one travels in a holder
    // made for it in the source, which is never written.
    return target.copyForeignObject(source.makeIndirectObject(value.shallowCopy()));
}

void carryLayers(QPDF& target, const std::vector<SourcePages>& sources)
{
    QPDFObjectHandle groups = QPDFObjectHandle::newArray();
    QPDFObjectHandle on = QPDFObjectHandle::newArray();
    QPDFObjectHandle off = QPDFObjectHandle::newArray();
    QPDFObjectHandle order = QPDFObjectHandle::newArray();
    QPDFObjectHandle radio = QPDFObjectHandle::newArray();
    QPDFObjectHandle locked = QPDFObjectHandle::newArray();
    QPDFObjectHandle usage = QPDFObjectHandle::newArray();
    QPDFObjectHandle configs = QPDFObjectHandle::newArray();
    QPDFObjectHandle intent;
    bool ordered = false;
    QPDFObjectHandle unordered = QPDFObjectHandle::newArray();
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
            // A source without a panel order shows all its layers.
            const bool hasOrder = config.getKey("/Order").isArray();
            ordered = ordered || hasOrder;
            appendAll(hasOrder ? order : unordered,
                      hasOrder ? config.getKey("/Order") : sourceGroups);
            appendAll(radio, config.getKey("/RBGroups"));
            appendAll(locked, config.getKey("/Locked"));
            // Usage rules are what make a print-only watermark print.
            appendAll(usage, config.getKey("/AS"));
            if (!intent.isInitialized() && !config.getKey("/Intent").isNull())
                intent = config.getKey("/Intent");
        }
        appendAll(configs, copy.getKey("/Configs"));
    }
    if (groups.getArrayNItems() == 0)
        return;
    QPDFObjectHandle config = QPDFObjectHandle::newDictionary();
    config.replaceKey("/BaseState", QPDFObjectHandle::newName("/ON"));
    config.replaceKey("/ON", on);
    config.replaceKey("/OFF", off);
    if (ordered) {
        appendAll(order, unordered);
        config.replaceKey("/Order", order);
    }
    if (usage.getArrayNItems() > 0)
        config.replaceKey("/AS", usage);
    if (intent.isInitialized())
        config.replaceKey("/Intent", intent);
    if (radio.getArrayNItems() > 0)
        config.replaceKey("/RBGroups", radio);
    if (locked.getArrayNItems() > 0)
        config.replaceKey("/Locked", locked);
    QPDFObjectHandle properties = QPDFObjectHandle::newDictionary();
    properties.replaceKey("/OCGs", groups);
    properties.replaceKey("/D", config);
    if (configs.getArrayNItems() > 0)
        properties.replaceKey("/Configs", configs);
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
        to.replaceKey(key, copyInto(target, *sources.front().source, value));
    }
}

} // namespace batch
