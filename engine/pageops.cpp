// Merge, split, extract and rotate. New documents are built from an empty PDF
// with pages copied from the sources; the sources stay open until written.
#include "engine/navigation.h"
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

// Inherited page attributes live on the page tree, which foreign copies leave behind.
std::vector<QPDFPageObjectHelper> pagesWithOwnAttributes(QPDF& pdf)
{
    QPDFPageDocumentHelper helper(pdf);
    helper.pushInheritedAttributesToPage();
    return helper.getAllPages();
}

// The navigation of the documents in `plan`, whose pages are the pages of
// `result` in order; `titles` gives each document's bookmark in a merge.
void carryPlanNavigation(PdfDocument& result, const std::vector<PageRef>& plan,
                         const std::map<const PdfDocument*, QString>& titles, bool merge)
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
            sources.push_back(
                {&ref.document->pdf(), title == titles.end() ? QString() : title->second, {}});
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

// Builds the extracted document from an already flattened page list, so that a
// split into many parts walks the source's page tree only once.
PdfDocument extractFromPages(const PdfDocument& source,
                             const std::vector<QPDFPageObjectHelper>& sourcePages,
                             const QList<int>& pages)
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
        carryPlanNavigation(result, plan, {}, false);
        result.keepAlive(source);
        result.copyProtectionFrom(source);
        result.setMinimumVersion(source.pdfVersion());
        return result;
    } catch (const std::exception& error) {
        failExplained(u"无法复制所选页面。"_s, error);
    }
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

int splitDocument(const PdfDocument& source, int group, const QString& folder, const QString& base,
                  const QList<int>& after)
{
    if (group < 1 || group > maxPages)
        fail(u"每份页数需为 1 至 100000。"_s);
    if (!QDir().mkdir(folder))
        fail(u"无法创建拆分目录。"_s);

    std::vector<QPDFPageObjectHelper> sourcePages;
    try {
        sourcePages = pagesWithOwnAttributes(source.pdf());
    } catch (const std::exception& error) {
        failExplained(u"无法读取页面列表。"_s, error);
    }
    const int pageCount = static_cast<int>(sourcePages.size());
    // Where each part begins: every `group` pages, or after each page asked for.
    QList<int> starts{0};
    if (after.isEmpty()) {
        for (int start = group; start < pageCount; start += group)
            starts.append(start);
    } else {
        for (const int page : after) {
            if (page + 1 < pageCount && page + 1 > starts.last())
                starts.append(page + 1);
        }
    }
    starts.append(pageCount);
    const int width = std::max(3, int(QString::number(starts.size() - 1).size()));
    int files = 0;
    for (qsizetype next = 1; next < starts.size(); ++next) {
        QList<int> part;
        for (int index = starts.at(next - 1); index < starts.at(next); ++index)
            part.append(index);
        const PdfDocument document = extractFromPages(source, sourcePages, part);
        ++files;
        writeDocument(folder +
                          u"/%1-拆分-%2.pdf"_s.arg(base).arg(files, width, 10, QLatin1Char('0')),
                      document);
    }
    return files;
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
