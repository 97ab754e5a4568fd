// Adding, removing and reordering the sources of the next batch.
#include "gui/batchwindow.h"
#include "protocol/catalogue.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
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

// Files of other kinds named .pdf are refused when added, not when a whole
// merge fails on them; readers accept the header anywhere in the first 1024 bytes.
bool startsLikePdf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(1024).contains("%PDF-");
}

// Why `info` cannot be added, or "" when it can.
QString refusalReason(const QFileInfo& info, qsizetype listed)
{
    if (!info.isFile() || !info.isReadable())
        return u"文件不存在或无法读取"_s;
    if (!hasPdfSuffix(info))
        return u"不是 PDF 文件"_s;
    if (info.size() < 1)
        return u"文件为空"_s;
    if (info.size() > maxSourceBytes)
        return u"超过 512 MB"_s;
    if (!startsLikePdf(info.absoluteFilePath()))
        return u"不是 PDF 文件"_s;
    if (listed >= maxSources)
        return u"超过单批 200 份上限"_s;
    return QString();
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

    QStringList refused; // "name：reason"
    const qsizetype before = m_items.size();
    for (const QString& candidate : expandFolders(paths)) {
        const QFileInfo info(candidate);
        const QString canonical = info.canonicalFilePath();
        // A path that does not exist has no canonical form; it is refused below.
        const QString key = identityKey(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
        QString reason = !canonical.isEmpty() && keys.contains(key)
                             ? u"已在列表中"_s
                             : refusalReason(info, m_items.size());
        if (!reason.isEmpty()) {
            refused.append(info.fileName() + u"：" + reason);
            continue;
        }
        keys.insert(key);
        m_items.append(BatchItem{canonical, QString(), QString(), u"等待处理"_s, false, false});
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
    QList<int> rows;
    for (const QModelIndex& index : m_fileTable->selectionModel()->selectedRows(0))
        rows.append(index.row());
    std::sort(rows.begin(), rows.end(), std::greater<>());
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
