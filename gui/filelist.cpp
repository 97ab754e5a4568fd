// Adding, removing and reordering the sources of the next batch.
#include "gui/batchwindow.h"
#include "gui/icons.h"
#include "protocol/catalogue.h"
#include "protocol/protocol.h"
#include "runner/sources.h"

#include <QCollator>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>
#include <QSettings>
#include <QTableWidget>
#include <QThreadPool>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxRefusedNamesShown = 10;

} // namespace

void BatchWindow::addPaths(const QStringList& paths)
{
    if (busy())
        return;
    QStringList listed;
    for (const BatchItem& item : std::as_const(m_items))
        listed.append(item.input);
    const qsizetype before = m_items.size();
    QStringList refused; // "name：reason"
    for (const Refusal& refusal :
         takeFiles(paths, listed, maxSources, sourceKind(currentOperation())))
        refused.append(QFileInfo(refusal.path).fileName() + u"：" + refusal.reason);
    for (const QString& input : listed.mid(before)) {
        BatchItem item;
        item.input = input;
        item.wait();
        m_items.append(item);
    }
    readFactsLater(listed.mid(before));
    // In a merge even a cancelled dialog starts the outcomes over.
    if (m_items.size() != before || currentOperation().kind == OperationKind::Merge)
        listChanged();
    else
        refresh();
    if (!refused.isEmpty()) {
        QString text = u"以下文件未添加：\n"_s + refused.mid(0, maxRefusedNamesShown).join(u'\n');
        if (refused.size() > maxRefusedNamesShown)
            text += u"\n另有 %1 个文件未添加。"_s.arg(refused.size() - maxRefusedNamesShown);
        m_prompter->message(this, QMessageBox::Information, u"部分文件未添加"_s, text);
    }
}

void BatchWindow::receiveHandedFiles(const QStringList& paths)
{
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
    if (!busy()) {
        addPaths(paths);
        return;
    }
    QStringList names;
    for (const QString& path : paths)
        names.append(QFileInfo(path).fileName());
    QString text = u"正在处理，以下文件未添加，请处理完成后再添加：\n"_s +
                   names.mid(0, maxRefusedNamesShown).join(u'\n');
    if (names.size() > maxRefusedNamesShown)
        text += u"\n另有 %1 个文件未添加。"_s.arg(names.size() - maxRefusedNamesShown);
    m_prompter->message(this, QMessageBox::Information, u"文件未添加"_s, text);
}

// The dialogs that add files open where files were last added from, not
// wherever another dialog was last used.
const QString addedFromKey = u"files/addedFrom"_s;

void BatchWindow::chooseFiles()
{
    const bool pictures = sourceKind(currentOperation()) == SourceKind::Picture;
    const QStringList files = m_prompter->openFileNames(
        this, pictures ? u"添加图片"_s : u"添加 PDF"_s,
        pictures ? u"图片 (*.jpg *.jpeg *.png *.tif *.tiff *.bmp *.JPG *.JPEG *.PNG *.TIF *.TIFF "
                   u"*.BMP)"_s
                 : u"PDF 文档 (*.pdf *.PDF)"_s,
        QSettings().value(addedFromKey).toString());
    if (!files.isEmpty())
        QSettings().setValue(addedFromKey, QFileInfo(files.first()).absolutePath());
    addPaths(files);
}

void BatchWindow::chooseFolder()
{
    const QString folder = m_prompter->existingDirectory(
        this, u"添加文件夹（仅当前层 PDF）"_s, QSettings().value(addedFromKey).toString());
    if (folder.isEmpty())
        return;
    QSettings().setValue(addedFromKey, folder);
    addPaths({folder});
}

void BatchWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (!busy() && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void BatchWindow::dropEvent(QDropEvent* event)
{
    if (busy())
        return;
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    addPaths(paths);
    event->acceptProposedAction();
}

void BatchWindow::listChanged()
{
    m_watchList = false;
    if (currentOperation().kind == OperationKind::Merge)
        resetResults();
    resetProgress();
    refresh();
}

void BatchWindow::removeSelected()
{
    if (busy())
        return;
    QList<int> rows = selectedRows();
    std::reverse(rows.begin(), rows.end());
    for (const int row : rows) {
        if (row >= 0 && row < m_items.size())
            m_items.removeAt(row);
    }
    listChanged();
}

void BatchWindow::clearItems()
{
    m_items.clear();
    listChanged();
}

void BatchWindow::moveCurrent(int delta)
{
    const int row = m_fileTable->currentRow();
    const int target = row + delta;
    if (busy() || row < 0 || target < 0 || target >= m_items.size())
        return;
    m_items.swapItemsAt(row, target);
    listChanged();
    m_fileTable->selectRow(target);
}

void BatchWindow::moveRows(const QList<int>& rows, int before)
{
    if (busy() || rows.isEmpty())
        return;
    QList<BatchItem> moved;
    int insertAt = before;
    for (auto row = rows.rbegin(); row != rows.rend(); ++row) {
        moved.prepend(m_items.takeAt(*row));
        if (*row < before)
            --insertAt;
    }
    insertAt = std::clamp(insertAt, 0, int(m_items.size()));
    for (qsizetype i = 0; i < moved.size(); ++i)
        m_items.insert(insertAt + i, moved.at(i));
    listChanged();
    m_fileTable->clearSelection();
    for (qsizetype i = 0; i < moved.size(); ++i)
        m_fileTable->selectionModel()->select(m_fileTable->model()->index(int(insertAt + i), 0),
                                              QItemSelectionModel::Select |
                                                  QItemSelectionModel::Rows);
}

void BatchWindow::sortByColumn(int column)
{
    if (busy() || m_items.size() < 2)
        return;
    if (currentOperation().kind == OperationKind::Merge &&
        !m_prompter->confirm(this, u"改变合并顺序"_s,
                             u"排序会改变合并的先后顺序（按列表从上到下合并）。继续排序吗？"_s,
                             u"排序"_s, u"保持原顺序"_s))
        return;
    // A second click on the same column sorts the other way round.
    m_sortDescending = column == m_sortColumn && !m_sortDescending;
    m_sortColumn = column;
    QCollator collator(QLocale(QLocale::Chinese, QLocale::China));
    collator.setNumericMode(true);
    const auto key = [column](const BatchItem& item) {
        return column == 0   ? QFileInfo(item.input).fileName()
               : column == 2 ? item.state
                             : QString();
    };
    const auto before = [&](const BatchItem& a, const BatchItem& b) {
        return column == 1 ? a.size < b.size : collator.compare(key(a), key(b)) < 0;
    };
    std::stable_sort(m_items.begin(), m_items.end(), [&](const BatchItem& a, const BatchItem& b) {
        return m_sortDescending ? before(b, a) : before(a, b);
    });
    listChanged();
}

void BatchWindow::readFactsLater(const QStringList& inputs, const QString& password)
{
    // Each answer comes back through the window's event queue; a file
    // removed meanwhile is simply not found.
    for (const QString& input : inputs) {
        m_factsReader->start([this, input, password] {
            const DocumentFacts facts = readDocumentFacts(input, password);
            QMetaObject::invokeMethod(
                this, [this, input, facts] { takeFacts(input, facts); }, Qt::QueuedConnection);
        });
    }
}

void BatchWindow::takeFacts(const QString& input, const DocumentFacts& facts)
{
    for (int row = 0; row < m_items.size(); ++row) {
        BatchItem& item = m_items[row];
        if (item.input != input)
            continue;
        item.size = facts.size;
        item.encrypted = facts.encrypted;
        item.pages = std::max(item.pages, facts.pages);
        item.factsRead = true;
        if (QTableWidgetItem* cell = m_fileTable->item(row, 1))
            cell->setText(factsText(item));
        if (QTableWidgetItem* name = m_fileTable->item(row, 0); name && item.encrypted)
            name->setIcon(batchIcon(u"lock"_s));
    }
}

bool BatchWindow::eventFilter(QObject* watched, QEvent* event)
{
    // Rows dragged within the list: the list's own move would overwrite
    // cells, so the window moves its items instead.
    // The drop reaches the list or its viewport, whichever takes drops.
    QWidget* viewport = m_fileTable->viewport();
    if ((watched == viewport || watched == m_fileTable) && event->type() == QEvent::Drop) {
        auto* drop = static_cast<QDropEvent*>(event);
        if (drop->mimeData()->hasFormat(u"application/x-qabstractitemmodeldatalist"_s) &&
            !drop->mimeData()->hasUrls()) {
            const QPoint position =
                watched == viewport ? drop->position().toPoint()
                                    : viewport->mapFrom(m_fileTable, drop->position().toPoint());
            const QModelIndex at = m_fileTable->indexAt(position);
            int before = at.isValid() ? at.row() : int(m_items.size());
            if (at.isValid() && position.y() > m_fileTable->visualRect(at).center().y())
                ++before;
            moveRows(selectedRows(), before);
            drop->setDropAction(Qt::IgnoreAction);
            drop->accept();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

} // namespace batch
