#include "gui/preview.h"

#include "protocol/request.h"

#include <QCryptographicHash>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QThreadPool>
#include <QVBoxLayout>

#include <poppler-qt6.h>

#include <algorithm>
#include <memory>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int thumbnailSide = 120;
// A preview is for finding pages, not reading a book: past this many pages
// the rest are not drawn.
constexpr int maxPreviewPages = 300;
// Thumbnails kept for looks back, counted in pages: about 70 MB.
constexpr int maxCachedPages = 1500;

// Every page of `path` drawn to fit a thumbnail; `problem` says why there
// are none. Runs on the renderer's threads, each document its own.
QList<QImage> renderThumbnails(const QString& path, const QString& password, QString& problem)
{
    const QByteArray secret = password.toUtf8();
    const std::unique_ptr<Poppler::Document> document =
        Poppler::Document::load(path, secret, secret);
    if (!document) {
        problem = u"无法预览此文件。"_s;
        return {};
    }
    if (document->isLocked()) {
        problem = u"此文件有密码：填写源文件密码，或右键该行“设置密码…”后即可预览。"_s;
        return {};
    }
    document->setRenderHint(Poppler::Document::Antialiasing);
    document->setRenderHint(Poppler::Document::TextAntialiasing);
    QList<QImage> pages;
    const int count = std::min(document->numPages(), maxPreviewPages);
    for (int index = 0; index < count; ++index) {
        const std::unique_ptr<Poppler::Page> page = document->page(index);
        QImage image;
        if (page) {
            const QSizeF size = page->pageSizeF();
            const double longest = std::max({size.width(), size.height(), 1.0});
            const double dpi = 72.0 * thumbnailSide / longest;
            image = page->renderToImage(dpi, dpi);
        }
        if (image.isNull()) { // a page that cannot be drawn still holds its place
            image = QImage(thumbnailSide * 3 / 4, thumbnailSide, QImage::Format_RGB32);
            image.fill(Qt::lightGray);
        }
        pages.append(image);
    }
    return pages;
}

QString cacheKey(const QString& path, const QString& password)
{
    // The password only as a digest, even in memory.
    return path + u'\n' +
           QString::fromLatin1(
               QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256).toHex());
}

} // namespace

PagePreview::PagePreview(QWidget* parent)
    : QWidget(parent), m_renderer(std::make_unique<QThreadPool>()), m_cache(maxCachedPages)
{
    m_renderer->setMaxThreadCount(1);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    m_list = new QListWidget;
    m_list->setObjectName(u"pagePreview"_s);
    m_list->setAccessibleName(u"页面预览"_s);
    // One column, in page order: Shift-click takes the pages between, as in
    // any list (a grid would take a rectangle of them).
    m_list->setViewMode(QListView::ListMode);
    m_list->setIconSize(QSize(thumbnailSide, thumbnailSide));
    m_list->setSpacing(4);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    column->addWidget(m_list, 1);
    m_message = new QLabel(u"选择一行即可预览其页面"_s);
    m_message->setObjectName(u"muted"_s);
    m_message->setWordWrap(true);
    column->addWidget(m_message);
    connect(m_list, &QListWidget::itemSelectionChanged, this, [this] { reportChoice(); });
}

PagePreview::~PagePreview() = default;

void PagePreview::showDocument(const QString& path, const QString& password)
{
    const QString key = path.isEmpty() ? QString() : cacheKey(path, password);
    if (key == m_shown)
        return;
    m_shown = key;
    m_pages.clear();
    m_list->clear();
    if (key.isEmpty()) {
        m_message->setText(u"选择一行即可预览其页面"_s);
        return;
    }
    // Pages drawn once are the same whatever password opened them.
    if (const QList<QImage>* cached = m_cache.object(path)) {
        const QList<QImage> pages = *cached;
        takePages(key, pages, QString());
        return;
    }
    m_message->setText(u"正在生成预览…"_s);
    m_renderer->start([this, key, path, password] {
        QString problem;
        const QList<QImage> pages = renderThumbnails(path, password, problem);
        QMetaObject::invokeMethod(
            this,
            [this, key, path, pages, problem] {
                if (problem.isEmpty() && !m_cache.contains(path))
                    m_cache.insert(path, new QList<QImage>(pages),
                                   std::max<qsizetype>(1, pages.size()));
                takePages(key, pages, problem);
            },
            Qt::QueuedConnection);
    });
}

void PagePreview::takePages(const QString& key, const QList<QImage>& pages, const QString& problem)
{
    if (key != m_shown)
        return;
    m_pages = pages;
    m_message->setText(problem.isEmpty() ? u"共 %1 页"_s.arg(pages.size()) : problem);
    showPages();
    emit pagesShown();
}

void PagePreview::showPages()
{
    // The same document's pages are redrawn in place: a click's selection,
    // and the anchor Shift-click extends, stay as they are.
    const QSignalBlocker blocker(m_list);
    if (m_list->count() != m_pages.size()) {
        m_list->clear();
        for (qsizetype index = 0; index < m_pages.size(); ++index) {
            auto* item = new QListWidgetItem(QString::number(index + 1), m_list);
            item->setData(Qt::UserRole, int(index) + 1);
        }
    }
    for (qsizetype index = 0; index < m_pages.size(); ++index) {
        QImage image = m_pages.at(index);
        if (m_degrees != 0 && m_turned.contains(int(index) + 1))
            image = image.transformed(QTransform().rotate(m_degrees));
        // Chosen pages are framed by the list, not tinted: the page stays legible.
        const QPixmap pixmap = QPixmap::fromImage(image);
        QIcon icon(pixmap);
        icon.addPixmap(pixmap, QIcon::Selected);
        m_list->item(int(index))->setIcon(icon);
    }
}

void PagePreview::markPages(const QList<int>& pages)
{
    m_marking = true;
    for (int row = 0; row < m_list->count(); ++row)
        m_list->item(row)->setSelected(pages.contains(row + 1));
    m_marking = false;
}

void PagePreview::turnPages(const QList<int>& pages, int degrees)
{
    if (pages == m_turned && degrees == m_degrees)
        return;
    m_turned = pages;
    m_degrees = degrees;
    showPages();
}

void PagePreview::setChoosing(bool choosing)
{
    m_list->setSelectionMode(choosing ? QAbstractItemView::ExtendedSelection
                                      : QAbstractItemView::NoSelection);
    if (!choosing)
        m_list->clearSelection();
}

void PagePreview::reportChoice()
{
    if (m_marking || m_list->selectionMode() == QAbstractItemView::NoSelection)
        return;
    QList<int> pages;
    for (const QListWidgetItem* item : m_list->selectedItems())
        pages.append(item->data(Qt::UserRole).toInt());
    std::sort(pages.begin(), pages.end());
    // A click clears the selection before it selects: no pages is no choice
    // (an empty range would mean all of them).
    if (!pages.isEmpty())
        emit pagesChosen(pages);
}

QString pageRangeText(const QList<int>& pages)
{
    QStringList parts;
    for (qsizetype i = 0; i < pages.size();) {
        qsizetype end = i;
        while (end + 1 < pages.size() && pages.at(end + 1) == pages.at(end) + 1)
            ++end;
        parts << (end == i ? QString::number(pages.at(i))
                           : u"%1-%2"_s.arg(pages.at(i)).arg(pages.at(end)));
        i = end + 1;
    }
    return parts.join(u',');
}

QList<int> pagesOfRange(const QString& range, int pageCount)
{
    const PageSpans parsed = parsePageSpans(range);
    QList<int> pages;
    if (!parsed.ok())
        return pages;
    if (parsed.spans.isEmpty()) {
        for (int page = 1; page <= pageCount; ++page)
            pages.append(page);
        return pages;
    }
    for (const PageSpan& span : parsed.spans) {
        const int last = span.last == PageSpan::toTheEnd ? pageCount : span.last;
        for (int page = std::max(span.first, 1); page <= std::min(last, pageCount); ++page) {
            if (!pages.contains(page))
                pages.append(page);
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

} // namespace batch
