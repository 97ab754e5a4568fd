#include "runner/watchjournal.h"

#include "protocol/protocol.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonObject>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

// Results are compared by their path as written; Windows names ignore case.
QString resultKey(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
#ifdef Q_OS_WIN
    return clean.toLower();
#else
    return clean;
#endif
}

QJsonObject toJson(const WatchRecord& record)
{
    return {{u"path"_s, record.path},
            {u"size"_s, double(record.size)},
            {u"modified"_s, double(record.modified)},
            {u"sha256"_s, QString::fromLatin1(record.sha256)},
            {u"state"_s, record.state},
            {u"status"_s, reportStatus(record.state)},
            {u"output"_s, record.output},
            {u"detail"_s, record.detail},
            {u"time"_s, record.time}};
}

bool fromJson(const QJsonObject& object, WatchRecord& record)
{
    record.path = stringMember(object, u"path"_s);
    record.size = qint64(object.value(u"size"_s).toDouble(-1));
    record.modified = qint64(object.value(u"modified"_s).toDouble(0));
    record.sha256 = stringMember(object, u"sha256"_s).toLatin1();
    record.state = stringMember(object, u"state"_s);
    record.output = stringMember(object, u"output"_s);
    record.detail = stringMember(object, u"detail"_s);
    record.time = stringMember(object, u"time"_s);
    return !record.path.isEmpty() && record.size >= 0 && record.sha256.size() == 64 &&
           !record.state.isEmpty();
}

} // namespace

bool WatchJournal::load(const QString& outputFolder, QString& failure)
{
    m_path = QDir(outputFolder).filePath(watchJournalName);
    m_records.clear();
    m_latest.clear();
    m_results.clear();
    m_needsLineEnd = false;
    QFile file(m_path);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly)) {
        failure =
            u"无法读取监视记录 %1：%2"_s.arg(QDir::toNativeSeparators(m_path), file.errorString());
        return false;
    }
    const QByteArray text = file.readAll();
    // Whatever follows the last line end is a line a crash cut short.
    const qsizetype end = text.lastIndexOf('\n') + 1;
    m_needsLineEnd = end < text.size();
    for (const QByteArray& line : text.left(end).split('\n')) {
        QJsonObject object;
        WatchRecord record;
        if (parseObjectLine(line, object) && fromJson(object, record)) {
            m_latest.insert(record.path, m_records.size());
            if (!record.output.isEmpty())
                m_results.insert(resultKey(record.output), true);
            m_records.append(record);
        }
    }
    return true;
}

const WatchRecord* WatchJournal::latest(const QString& path) const
{
    const auto found = m_latest.constFind(path);
    return found == m_latest.constEnd() ? nullptr : &m_records.at(*found);
}

bool WatchJournal::isResult(const QString& path) const
{
    return m_results.contains(resultKey(path));
}

bool WatchJournal::append(WatchRecord record, QString& failure)
{
    const QDateTime now = QDateTime::currentDateTime();
    record.time = now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate);
    QByteArray line = toLine(toJson(record));
    if (m_needsLineEnd)
        line.prepend('\n');
    // Unbuffered, so that the line reaches the system in one write, which
    // appending puts at the end whole, whoever else appends.
    QFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered) ||
        file.write(line) != line.size()) {
        failure =
            u"无法写入监视记录 %1：%2"_s.arg(QDir::toNativeSeparators(m_path), file.errorString());
        return false;
    }
    m_needsLineEnd = false;
    m_latest.insert(record.path, m_records.size());
    if (!record.output.isEmpty())
        m_results.insert(resultKey(record.output), true);
    m_records.append(record);
    return true;
}

QList<ReportEntry> WatchJournal::entries(const QString& watchedFolder) const
{
    QList<ReportEntry> entries;
    const QDir folder(watchedFolder);
    for (const WatchRecord& record : m_records)
        entries.append({QDir::toNativeSeparators(folder.filePath(record.path)), record.state,
                        QDir::toNativeSeparators(record.output), record.detail});
    return entries;
}

} // namespace batch
