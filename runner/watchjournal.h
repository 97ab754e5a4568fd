// What a watch folder has done, kept beside its results so that a restart, a
// crash or another session on the same output knows every file already seen.
// One JSON object per line, appended whole by one write; a last line cut off
// by a crash is not read, and the next line starts on a line of its own.
#pragma once

#include "runner/sources.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

namespace batch {

inline const QString watchJournalName = QStringLiteral(".quorvin-watch.jsonl");

// One source file's outcome, as the journal holds it.
struct WatchRecord
{
    QString path;        // relative to the watched folder, with "/" between names
    qint64 size = 0;     // bytes
    qint64 modified = 0; // milliseconds since 1970 (UTC)
    QByteArray sha256;   // of the content, lower-case hexadecimal
    QString state;       // the row's state text: "处理完成", "处理失败", "已跳过" …
    QString output;      // the result's path, when there is one
    QString detail;      // the result's note, or why it failed or was skipped
    QString time;        // when it was recorded, ISO 8601 with the offset
};

class WatchJournal
{
public:
    // Reads the journal in `outputFolder`, if there is one. False, with the
    // reason, when it exists but cannot be read.
    bool load(const QString& outputFolder, QString& failure);

    // The last record of `path`, or null.
    const WatchRecord* latest(const QString& path) const;
    // True when `path` is a result a record names.
    bool isResult(const QString& path) const;
    const QList<WatchRecord>& records() const { return m_records; }

    // Appends `record` (its time set now) to the file and to records().
    // False, with the system's reason, when it could not be written.
    bool append(WatchRecord record, QString& failure);

    // Every record as a report's entry, with its source's full path.
    QList<ReportEntry> entries(const QString& watchedFolder) const;

private:
    QString m_path;
    QList<WatchRecord> m_records;
    QHash<QString, qsizetype> m_latest;
    QHash<QString, bool> m_results;
    bool m_needsLineEnd = false;
};

} // namespace batch
