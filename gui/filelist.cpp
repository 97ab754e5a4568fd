// Adding, removing and reordering the sources of the next batch.
#include "gui/batchwindow.h"
#include "protocol/catalogue.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>
#include <QTableWidget>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxRefusedNamesShown = 10;

bool hasPdfSuffix(const QFileInfo& info)
{
    return info.suffix().compare(u"pdf"_s, Qt::CaseInsensitive) == 0;
}

// One file reached through "." parts or links is one entry; where the file
// system ignores letter case, so does the key. Folding case on Linux would
// silently drop a.pdf when A.pdf, a different file, is already listed.
QString identityKey(const QString& canonicalPath)
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return canonicalPath.toCaseFolded();
#else
    return canonicalPath;
#endif
}

QStringList expandFolders(const QStringList& paths)
{
    QStringList candidates;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.isDir()) {
            candidates.append(path);
            continue;
        }
        const QFileInfoList entries =
            QDir(path).entryInfoList(QDir::Files | QDir::Readable, QDir::Name);
        for (const QFileInfo& entry : entries) {
            if (hasPdfSuffix(entry))
                candidates.append(entry.absoluteFilePath());
        }
    }
    return candidates;
}

} // namespace

void BatchWindow::addPaths(const QStringList& paths)
{
    if (m_running)
        return;
    QSet<QString> keys;
    for (const BatchItem& item : std::as_const(m_items))
        keys.insert(identityKey(item.input));

    QStringList refused;
    for (const QString& candidate : expandFolders(paths)) {
        const QFileInfo info(candidate);
        const QString canonical = info.canonicalFilePath();
        // A path that does not exist has no canonical form; it is refused below.
        const QString key = identityKey(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
        if (!canonical.isEmpty() && keys.contains(key))
            continue;
        const bool acceptable = m_items.size() < maxSources && info.isFile() && info.isReadable() &&
                                hasPdfSuffix(info) && info.size() >= 1 &&
                                info.size() <= maxSourceBytes;
        if (!acceptable) {
            refused.append(info.fileName());
            continue;
        }
        keys.insert(key);
        m_items.append(BatchItem{canonical, QString(), QString(), u"等待处理"_s, false, false});
    }
    if (currentOperation().kind == OperationKind::Merge)
        resetResults();
    refresh();
    if (!refused.isEmpty()) {
        m_prompter->message(this, QMessageBox::Information, u"部分文件未添加"_s,
                            u"文件无效、超过 512 MB 或超过 200 份上限：\n"_s +
                                refused.mid(0, maxRefusedNamesShown).join(u'\n'));
    }
}

void BatchWindow::chooseFiles()
{
    addPaths(m_prompter->openFileNames(this, u"添加 PDF"_s, u"PDF 文档 (*.pdf *.PDF)"_s));
}

void BatchWindow::chooseFolder()
{
    const QString folder =
        m_prompter->existingDirectory(this, u"添加文件夹（仅当前层 PDF）"_s, QString());
    if (!folder.isEmpty())
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

void BatchWindow::removeSelected()
{
    QList<int> rows;
    for (const QModelIndex& index : m_fileTable->selectionModel()->selectedRows(0))
        rows.append(index.row());
    std::sort(rows.begin(), rows.end(), std::greater<>());
    for (const int row : rows) {
        if (row >= 0 && row < m_items.size())
            m_items.removeAt(row);
    }
    if (currentOperation().kind == OperationKind::Merge)
        resetResults();
    refresh();
}

void BatchWindow::clearItems()
{
    m_items.clear();
    refresh();
}

void BatchWindow::moveCurrent(int delta)
{
    const int row = m_fileTable->currentRow();
    const int target = row + delta;
    if (m_running || row < 0 || target < 0 || target >= m_items.size())
        return;
    m_items.swapItemsAt(row, target);
    if (currentOperation().kind == OperationKind::Merge)
        resetResults();
    refresh();
    m_fileTable->selectRow(target);
}

} // namespace batch
