// Final assembly of a searchable PDF when some pages kept their own text.
#include "engine/pdfdocument.h"
#include "ocr/ocrdocument.h"

#include <algorithm>
#include <exception>

using namespace Qt::StringLiterals;

namespace batch {

bool OcrDocument::mergeSearchablePages(const QList<int>& pages, const QList<bool>& keep,
                                       const QString& recognizedPath, const QString& outputPath,
                                       QString* error) const
{
    const auto failWith = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (pages.isEmpty() || pages.size() != keep.size())
        return failWith(u"无效的页面合并计划。"_s);
    const int count = pageCount();
    if (std::any_of(pages.begin(), pages.end(), [count](int i) { return i < 0 || i >= count; }))
        return failWith(u"源页码超出范围。"_s);

    try {
        const PdfDocument source = openOwnFile(m_path, QString(), true);
        PdfDocument recognized;
        const auto recognizedCount = keep.count(false);
        if (recognizedCount > 0) {
            recognized = openOwnFile(recognizedPath, QString(), true);
            if (recognized.pageCount() != recognizedCount)
                return failWith(u"识别输出页数不匹配。"_s);
        }
        std::vector<PageRef> plan;
        int next = 0;
        for (qsizetype j = 0; j < pages.size(); ++j) {
            if (keep.at(j))
                plan.push_back({&source, pages.at(j)});
            else
                plan.push_back({&recognized, next++});
        }
        writeDocumentSafely(outputPath, assemblePages(plan));
    } catch (const std::exception& failure) {
        return failWith(QString::fromUtf8(failure.what()));
    }
    return true;
}

} // namespace batch
