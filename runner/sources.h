// What the window and the command line share about a batch's files: which
// files it takes, and the report of what became of them.
#pragma once

#include <QByteArray>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>

namespace batch {

// The paths given, with each folder replaced by the PDFs directly inside it
// (by name, no subfolders).
QStringList expandFolders(const QStringList& paths);

// Why `info` cannot join a batch that lists `listed` files already, or "":
// unreadable, not a PDF (by name, or by the first 1024 bytes), empty, over
// 512 MB, or over the 200 limit.
QString refusalReason(const QFileInfo& info, qsizetype listed);

// The key under which one file is listed once, however it is named.
QString identityKey(const QString& canonicalPath);

// True when writing `chosen` would land on `listed`: the same path in any
// letter case, through links or a linked folder, or a hard link.
bool sameFile(const QString& chosen, const QString& listed);

// One file's line of the report.
struct ReportEntry
{
    QString input;
    QString state;
    QString output;
    QString detail;
};
// The JSON report of a batch: product, version, operation, time, items.
QByteArray batchReport(const QString& operationId, const QList<ReportEntry>& entries);

} // namespace batch
