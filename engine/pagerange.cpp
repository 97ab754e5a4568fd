#include "engine/pdfdocument.h"

#include <QSet>

using namespace Qt::StringLiterals;

namespace batch {

QList<int> parsePageRanges(const QString& text, int pageCount, QString& error)
{
    error.clear();
    if (pageCount < 1 || pageCount > maxPages) {
        error = u"文档页数无效或超过 100000 页。"_s;
        return {};
    }
    QList<int> pages;
    if (text.trimmed().isEmpty()) {
        pages.reserve(pageCount);
        for (int index = 0; index < pageCount; ++index)
            pages.append(index);
        return pages;
    }
    const PageSpans parsed = parsePageSpans(text);
    const auto invalid = [&](const QString& part) {
        error = u"页码无效：%1。请输入 1-%2 之间的页码，例如 1-3,5。"_s.arg(
            part, QString::number(pageCount));
    };
    if (parsed.tooLong) {
        error = u"页码范围过长。"_s;
        return {};
    }
    // The first wrong part decides, whether it is wrong as written or for
    // this document.
    QSet<int> selected;
    for (qsizetype i = 0; i < parsed.spans.size(); ++i) {
        const PageSpan& span = parsed.spans.at(i);
        const int last = span.last == PageSpan::toTheEnd ? pageCount : span.last;
        if (last > pageCount || span.first > last) {
            invalid(span.written);
            return {};
        }
        for (int page = span.first; page <= last; ++page)
            selected.insert(page - 1);
    }
    if (parsed.badPart) {
        invalid(*parsed.badPart);
        return {};
    }
    for (int index = 0; index < pageCount; ++index) {
        if (selected.contains(index))
            pages.append(index);
    }
    return pages;
}

} // namespace batch
