#include "engine/pdfdocument.h"

#include <QRegularExpression>
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
    if (text.size() > 4096) {
        error = u"页码范围过长。"_s;
        return {};
    }

    static const QRegularExpression pattern(u"^([0-9]+)(?:\\s*-\\s*([0-9]+))?$"_s);
    QSet<int> selected;
    for (const QString& part : text.split(u',')) {
        const QRegularExpressionMatch match = pattern.match(part.trimmed());
        bool firstOk = false;
        bool lastOk = false;
        int first = 0;
        int last = 0;
        if (match.hasMatch()) {
            first = match.captured(1).toInt(&firstOk, 10);
            const QString lastText = match.captured(2);
            if (lastText.isEmpty()) {
                last = first;
                lastOk = firstOk;
            } else {
                last = lastText.toInt(&lastOk, 10);
            }
        }
        if (!firstOk || !lastOk || first < 1 || last < first || last > pageCount) {
            error = u"页码无效：%1。请输入 1-%2 之间的页码，例如 1-3,5。"_s.arg(
                part, QString::number(pageCount));
            return {};
        }
        for (int page = first; page <= last; ++page)
            selected.insert(page - 1);
    }
    for (int index = 0; index < pageCount; ++index) {
        if (selected.contains(index))
            pages.append(index);
    }
    return pages;
}

} // namespace batch
