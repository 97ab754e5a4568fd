// The pages of the selected file as thumbnails, beside the list: rendered off
// the window's thread and kept for the next look. Clicking them chooses pages
// for the operations that take a range; a range typed marks them; a
// rotation shows its pages turned.
#pragma once

#include <QCache>
#include <QImage>
#include <QList>
#include <QString>
#include <QWidget>

#include <memory>

class QLabel;
class QListWidget;
class QThreadPool;

namespace batch {

class PagePreview : public QWidget
{
    Q_OBJECT
public:
    explicit PagePreview(QWidget* parent = nullptr);
    ~PagePreview() override;

    // Shows the pages of `path`, opened with `password`; "" shows none.
    void showDocument(const QString& path, const QString& password);
    // Pages (1-based) shown as chosen: the ones a range names.
    void markPages(const QList<int>& pages);
    // Pages (1-based) shown turned clockwise by `degrees`, the rest as they are.
    void turnPages(const QList<int>& pages, int degrees);
    // Whether clicking pages chooses them.
    void setChoosing(bool choosing);
    // Pages of the document shown; 0 while unknown.
    int pageCount() const { return int(m_pages.size()); }
    QListWidget* pageList() const { return m_list; }

signals:
    // The user chose these pages (1-based, ascending) by clicking.
    void pagesChosen(const QList<int>& pages);
    // A document's pages are in view now.
    void pagesShown();

private:
    void takePages(const QString& key, const QList<QImage>& pages, const QString& problem);
    void showPages();
    void reportChoice();

    QListWidget* m_list = nullptr;
    QLabel* m_message = nullptr;
    std::unique_ptr<QThreadPool> m_renderer;
    // By file, the least recently seen given up first: two
    // hundred long documents would otherwise hold gigabytes of thumbnails.
    QCache<QString, QList<QImage>> m_cache;
    QString m_shown; // the key shown, or waited for
    QList<QImage> m_pages;
    QList<int> m_turned;
    int m_degrees = 0;
    bool m_marking = false; // the list's selection is being set from a range
};

// "1-3,5" for pages 1, 2, 3 and 5 (ascending, 1-based).
QString pageRangeText(const QList<int>& pages);
// The pages a range names in a document of `pageCount` pages; all of them for
// an empty range, none for a range that cannot be read.
QList<int> pagesOfRange(const QString& range, int pageCount);

} // namespace batch
