// Adding, removing and reordering the sources of the next batch.
#include "gui/batchwindow.h"
#include "protocol/catalogue.h"
#include "runner/sources.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>
#include <QSettings>
#include <QTableWidget>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxRefusedNamesShown = 10;

} // namespace

void BatchWindow::addPaths(const QStringList& paths)
{
    if (m_running)
        return;
    QStringList listed;
    for (const BatchItem& item : std::as_const(m_items))
        listed.append(item.input);
    const qsizetype before = m_items.size();
    QStringList refused; // "name：reason"
    for (const Refusal& refusal : takeFiles(paths, listed))
        refused.append(QFileInfo(refusal.path).fileName() + u"：" + refusal.reason);
    for (const QString& input : listed.mid(before)) {
        BatchItem item;
        item.input = input;
        item.state = u"等待处理"_s;
        item.size = QFileInfo(input).size();
        m_items.append(item);
    }
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
    if (!m_running) {
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
    const QStringList files =
        m_prompter->openFileNames(this, u"添加 PDF"_s, u"PDF 文档 (*.pdf *.PDF)"_s,
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
    if (!m_running && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void BatchWindow::dropEvent(QDropEvent* event)
{
    if (m_running)
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
    if (currentOperation().kind == OperationKind::Merge)
        resetResults();
    resetProgress();
    refresh();
}

void BatchWindow::removeSelected()
{
    if (m_running)
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
    if (m_running || row < 0 || target < 0 || target >= m_items.size())
        return;
    m_items.swapItemsAt(row, target);
    listChanged();
    m_fileTable->selectRow(target);
}

} // namespace batch
