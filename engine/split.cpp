// Splits: where parts end (by page count, at chosen pages, at bookmarks, by
// written size, at separator pages) and the parts written into one folder.
#include "engine/navigation.h"
#include "engine/pageassembly.h"
#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "engine/qpdfsupport.h"
#include "protocol/protocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxOutlineLevel = 64;

struct Part
{
    QList<int> pages;
    QString name; // without ".pdf"; "" for the numbered "<base>-拆分-NNN"
    QPDFObjectHandle outlineRoot;
};

QList<int> pageSpan(int first, int end)
{
    QList<int> pages;
    for (int index = first; index < end; ++index)
        pages.append(index);
    return pages;
}

// Part boundaries as the first page of each part, ending with the page count.
std::vector<Part> partsFromStarts(QList<int> starts, int pageCount)
{
    starts.append(pageCount);
    std::vector<Part> parts;
    for (qsizetype next = 1; next < starts.size(); ++next)
        parts.push_back({pageSpan(starts.at(next - 1), starts.at(next)), {}, {}});
    return parts;
}

std::vector<Part> partsByPages(const SplitPlan& plan, int pageCount)
{
    QList<int> starts{0};
    if (plan.after.isEmpty()) {
        for (int start = plan.group; start < pageCount; start += plan.group)
            starts.append(start);
    } else {
        for (const int page : plan.after) {
            if (page + 1 < pageCount && page + 1 > starts.last())
                starts.append(page + 1);
        }
    }
    return partsFromStarts(starts, pageCount);
}

// A part starts at each bookmark of the level that opens a later page than
// the part before it; pages before the first make a cover.
std::vector<Part> partsByBookmarks(const PdfDocument& source, int level, int pageCount)
{
    if (level < 1 || level > maxOutlineLevel)
        fail(u"书签级别需为 1 至 64。"_s);
    std::vector<Chapter> chapters;
    try {
        chapters = chaptersAt(source.pdf(), level);
    } catch (const std::exception& error) {
        failExplained(u"无法读取书签。"_s, error);
    }
    std::vector<Chapter> starts;
    for (Chapter& chapter : chapters) {
        if (chapter.page >= 0 && (starts.empty() || chapter.page > starts.back().page))
            starts.push_back(std::move(chapter));
    }
    if (starts.empty())
        fail(chapters.empty()
                 ? u"文档没有第 %1 级书签，无法按书签拆分。"_s.arg(level)
                 : u"文档的第 %1 级书签都不指向本文档的页面，无法按书签拆分。"_s.arg(level));
    const bool cover = starts.front().page > 0;
    const int count = int(starts.size()) + (cover ? 1 : 0);
    const int width = std::max(2, int(QString::number(count).size()));
    const auto number = [width](int n) {
        return u"%1-"_s.arg(n, width, 10, QLatin1Char('0'));
    };
    std::vector<Part> parts;
    if (cover) // carries no bookmarks: none of its own
        parts.push_back(
            {pageSpan(0, starts.front().page), number(0) + u"封面"_s, QPDFObjectHandle::newNull()});
    for (size_t i = 0; i < starts.size(); ++i) {
        const int end = i + 1 < starts.size() ? starts[i + 1].page : pageCount;
        QString title = safeFileName(starts[i].title, 120 - number(1).size());
        if (title.isEmpty())
            title = u"书签"_s;
        parts.push_back(
            {pageSpan(starts[i].page, end), number(int(i) + 1) + title, starts[i].node});
    }
    return parts;
}

// A separator ends the part before it; separators in a row are one boundary.
// Kept, they stay at the end of the part they end.
std::vector<Part> partsAtSeparators(const QList<int>& blank, bool keep, int pageCount)
{
    std::vector<Part> parts;
    Part current;
    bool content = false;
    bool separated = false;
    for (int index = 0; index < pageCount; ++index) {
        if (blank.contains(index)) {
            separated = true;
            if (keep)
                current.pages.append(index);
            continue;
        }
        if (separated && content) {
            parts.push_back(std::move(current));
            current = {};
        }
        separated = false;
        content = true;
        current.pages.append(index);
    }
    if (content)
        parts.push_back(std::move(current));
    else if (parts.empty())
        parts.push_back({pageSpan(0, pageCount), {}, {}}); // a document of blank pages only
    return parts;
}

class PartWriter
{
public:
    PartWriter(const PdfDocument& source, const std::vector<QPDFPageObjectHelper>& pages)
        : m_source(source), m_pages(pages)
    {}

    void write(const Part& part, const QString& path) const
    {
        writeDocument(path, extractFromPages(m_source, m_pages, part.pages, part.outlineRoot));
    }

    // The written size of pages [first, end), measured in `scratch`.
    qint64 measure(int first, int end, const QString& scratch) const
    {
        write({pageSpan(first, end), {}, {}}, scratch);
        const qint64 bytes = QFileInfo(scratch).size();
        QFile::remove(scratch);
        return bytes;
    }

private:
    const PdfDocument& m_source;
    const std::vector<QPDFPageObjectHelper>& m_pages;
};

// Greedy: each part takes as many pages as still write within `maxBytes`,
// found by doubling then halving, since shared fonts and images make sums
// of page sizes wrong. A page alone above the size is a part of its own.
std::vector<Part> partsBySize(const PartWriter& writer, qint64 maxBytes, int pageCount,
                              const QString& scratch, QList<int>& oversized)
{
    if (maxBytes <= 0)
        fail(u"请填写每份的最大大小。"_s);
    const auto fits = [&](int first, int end) {
        return writer.measure(first, end, scratch) <= maxBytes;
    };
    QList<int> starts;
    for (int start = 0; start < pageCount;) {
        starts.append(start);
        if (!fits(start, start + 1)) {
            oversized.append(start);
            ++start;
            continue;
        }
        int good = start + 1;
        int bad = pageCount + 1;
        while (good < pageCount) {
            const int trial = std::min(pageCount, start + 2 * (good - start));
            if (!fits(start, trial)) {
                bad = trial;
                break;
            }
            good = trial;
        }
        while (bad - good > 1 && good < pageCount) {
            const int middle = good + (bad - good) / 2;
            (fits(start, middle) ? good : bad) = middle;
        }
        start = good;
    }
    return partsFromStarts(starts, pageCount);
}

} // namespace

QString safeFileName(const QString& title, qsizetype limit)
{
    QString name;
    for (const QChar c : title) {
        if (c.unicode() < 32 || c.unicode() == 0x7f || u"/\\:*?\"<>|"_s.contains(c))
            name.append(u' ');
        else
            name.append(c);
    }
    name = name.simplified();
    const auto utf8Bytes = [](const QString& text) {
        return qsizetype(text.toUtf8().size());
    };
    name = fitName(name, limit, utf8Bytes);
    while (name.endsWith(u'.') || name.endsWith(u' '))
        name.chop(1);
    return name;
}

SplitOutcome splitDocument(const PdfDocument& source, const SplitPlan& plan, const QString& folder,
                           const QString& base)
{
    if (plan.group < 1 || plan.group > maxPages)
        fail(u"每份页数需为 1 至 100000。"_s);
    static const QStringList modes{u"pages"_s, u"bookmarks"_s, u"size"_s, u"blank"_s};
    if (!modes.contains(plan.mode))
        fail(
            u"拆分方式无效：请选择 pages（按页数）、bookmarks（按书签）、size（按大小）或 blank（按空白页）。"_s);
    if (!QDir().mkdir(folder))
        fail(u"无法创建拆分目录。"_s);

    std::vector<QPDFPageObjectHelper> sourcePages;
    try {
        sourcePages = pagesWithOwnAttributes(source.pdf());
    } catch (const std::exception& error) {
        failExplained(u"无法读取页面列表。"_s, error);
    }
    const int pageCount = static_cast<int>(sourcePages.size());
    const PartWriter writer(source, sourcePages);
    SplitOutcome outcome;
    std::vector<Part> parts;
    if (plan.mode == u"bookmarks"_s)
        parts = partsByBookmarks(source, plan.level, pageCount);
    else if (plan.mode == u"size"_s)
        parts = partsBySize(writer, plan.maxBytes, pageCount,
                            QFileInfo(folder).dir().filePath(u"measure.pdf"_s), outcome.oversized);
    else if (plan.mode == u"blank"_s)
        parts = partsAtSeparators(plan.blank, plan.keepSeparators, pageCount);
    else
        parts = partsByPages(plan, pageCount);

    const int width = std::max(3, int(QString::number(parts.size()).size()));
    for (const Part& part : parts) {
        ++outcome.files;
        const QString name =
            part.name.isEmpty()
                ? u"%1-拆分-%2"_s.arg(base).arg(outcome.files, width, 10, QLatin1Char('0'))
                : part.name;
        writer.write(part, folder + u'/' + name + u".pdf"_s);
    }
    return outcome;
}

} // namespace batch
