// Merge, split, extract and rotate. New documents are built from an empty PDF
// with pages copied from the sources; the sources stay open until written.
#include "engine/navigation.h"
#include "engine/pageassembly.h"
#include "engine/pdfdocument.h"
#include "engine/qpdfsupport.h"
#include "protocol/protocol.h"

#include <QDir>

#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>

#include <cmath>
#include <exception>
#include <map>
#include <set>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

std::shared_ptr<QPDF> emptyDocument()
{
    auto pdf = newQpdf();
    pdf->emptyPDF();
    return pdf;
}

// The navigation of the documents in `plan`, whose pages are the pages of
// `result` in order; `titles` gives each document's bookmark in a merge.
void carryPlanNavigation(PdfDocument& result, const std::vector<PageRef>& plan,
                         const std::map<const PdfDocument*, QString>& titles, bool merge,
                         QPDFObjectHandle outlineRoot = {})
{
    const std::vector<QPDFObjectHandle>& pages = result.pdf().getAllPages();
    std::vector<SourcePages> sources;
    std::map<const PdfDocument*, size_t> slot;
    for (size_t position = 0; position < plan.size(); ++position) {
        const PageRef& ref = plan[position];
        auto found = slot.find(ref.document);
        if (found == slot.end()) {
            found = slot.emplace(ref.document, sources.size()).first;
            const auto title = titles.find(ref.document);
            sources.push_back({&ref.document->pdf(),
                               title == titles.end() ? QString() : title->second,
                               {},
                               outlineRoot});
        }
        sources[found->second].pages.push_back(
            {ref.index, static_cast<int>(position), pages.at(position)});
    }
    const std::vector<std::vector<KeptWidget>> widgets =
        carryNavigation(result.pdf(), sources, merge);
    carryForms(result.pdf(), sources, widgets);
    carryLayers(result.pdf(), sources);
    carryCatalogue(result.pdf(), sources, merge);
}

int effectiveRotation(QPDFObjectHandle page)
{
    std::set<QPDFObjGen> visited;
    while (page.isDictionary()) {
        if (page.isIndirect() && !visited.insert(page.getObjGen()).second)
            break;
        QPDFObjectHandle rotate = page.getKey("/Rotate");
        if (rotate.isNumber()) {
            const double quarters = std::round(rotate.getNumericValue() / 90.0);
            if (!std::isfinite(quarters))
                return 0;
            return static_cast<int>(std::fmod(std::fmod(quarters, 4.0) + 4.0, 4.0));
        }
        page = page.getKey("/Parent");
    }
    return 0;
}

} // namespace

std::vector<QPDFPageObjectHelper> pagesWithOwnAttributes(QPDF& pdf)
{
    QPDFPageDocumentHelper helper(pdf);
    helper.pushInheritedAttributesToPage();
    return helper.getAllPages();
}

PdfDocument extractFromPages(const PdfDocument& source,
                             const std::vector<QPDFPageObjectHelper>& sourcePages,
                             const QList<int>& pages, QPDFObjectHandle outlineRoot)
{
    try {
        auto target = emptyDocument();
        QPDFPageDocumentHelper targetPages(*target);
        for (const int index : pages)
            targetPages.addPage(sourcePages.at(static_cast<size_t>(index)), false);
        QPDFObjectHandle info = source.pdf().getTrailer().getKey("/Info");
        if (info.isDictionary())
            target->getTrailer().replaceKey("/Info", target->copyForeignObject(info));
        PdfDocument result(target);
        std::vector<PageRef> plan;
        for (const int index : pages)
            plan.push_back({&source, index});
        carryPlanNavigation(result, plan, {}, false, outlineRoot);
        result.keepAlive(source);
        result.copyProtectionFrom(source);
        result.setMinimumVersion(source.pdfVersion());
        return result;
    } catch (const std::exception& error) {
        failExplained(u"无法复制所选页面。"_s, error);
    }
}

PdfDocument assemblePages(const std::vector<PageRef>& pages)
{
    auto target = emptyDocument();
    PdfDocument result(target);
    try {
        QPDFPageDocumentHelper targetPages(*target);
        std::map<const PdfDocument*, std::vector<QPDFPageObjectHelper>> sourcePages;
        // Two files of one producer share object numbers: a page is a repeat
        // only within its own document.
        std::set<std::pair<const PdfDocument*, QPDFObjGen>> used;
        for (const PageRef& ref : pages) {
            auto found = sourcePages.find(ref.document);
            if (found == sourcePages.end()) {
                found =
                    sourcePages.emplace(ref.document, pagesWithOwnAttributes(ref.document->pdf()))
                        .first;
                result.keepAlive(*ref.document);
                result.setMinimumVersion(ref.document->pdfVersion());
            }
            QPDFPageObjectHelper page = found->second.at(static_cast<size_t>(ref.index));
            // A page object may sit in a page tree only once: repeat it as a copy.
            if (!used.emplace(ref.document, page.getObjectHandle().getObjGen()).second)
                page = page.shallowCopyPage();
            targetPages.addPage(page, false);
        }
    } catch (const std::exception& error) {
        failExplained(u"无法组合页面。"_s, error);
    }
    result.removeProtection();
    return result;
}

PdfDocument mergeDocuments(const std::vector<PdfDocument>& sources, const QStringList& titles)
{
    std::vector<PageRef> pages;
    std::map<const PdfDocument*, QString> titleOf;
    for (size_t i = 0; i < sources.size(); ++i) {
        const PdfDocument& source = sources[i];
        checkMergeRights(source);
        titleOf.emplace(&source, titles.value(qsizetype(i)));
        const int count = source.pageCount();
        for (int index = 0; index < count; ++index)
            pages.push_back({&source, index});
    }
    PdfDocument result = assemblePages(pages);
    try {
        carryPlanNavigation(result, pages, titleOf, true);
    } catch (const std::exception& error) {
        failExplained(u"无法合并书签、链接和表单。"_s, error);
    }
    return result;
}

PdfDocument extractPages(const PdfDocument& source, const QList<int>& pages)
{
    std::vector<QPDFPageObjectHelper> sourcePages;
    try {
        sourcePages = pagesWithOwnAttributes(source.pdf());
    } catch (const std::exception& error) {
        failExplained(u"无法读取页面列表。"_s, error);
    }
    return extractFromPages(source, sourcePages, pages);
}

void rotatePages(PdfDocument& document, const QList<int>& pages, int degrees)
{
    if (degrees != 90 && degrees != 180 && degrees != 270)
        fail(u"旋转角度无效。"_s);
    const int turn = degrees / 90;
    try {
        const std::vector<QPDFPageObjectHelper> all =
            QPDFPageDocumentHelper(document.pdf()).getAllPages();
        for (const int index : pages) {
            QPDFObjectHandle page = all.at(static_cast<size_t>(index)).getObjectHandle();
            const int rotation = (effectiveRotation(page) + turn) % 4;
            page.replaceKey("/Rotate", QPDFObjectHandle::newInteger(rotation * 90));
        }
    } catch (const std::exception& error) {
        failExplained(u"无法旋转页面。"_s, error);
    }
}

} // namespace batch
