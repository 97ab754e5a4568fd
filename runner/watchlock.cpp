#include "runner/watchlock.h"

#include "engine/platformfs.h"
#include "engine/platformproc.h"
#include "protocol/protocol.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSysInfo>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr qint64 maxRecordBytes = 4096;

QByteArray readRecord(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.read(maxRecordBytes) : QByteArray();
}

QByteArray ownRecord()
{
    const QDateTime now = QDateTime::currentDateTime();
    return toLine({{u"host"_s, QSysInfo::machineHostName()},
                   {u"pid"_s, double(QCoreApplication::applicationPid())},
                   {u"since"_s, now.toOffsetFromUtc(now.offsetFromUtc()).toString(Qt::ISODate)},
                   {u"token"_s, QString::number(QRandomGenerator::system()->generate64(), 16)}});
}

// Created only where nothing is, so that of two watchers starting at once
// exactly one has it. A reader may meet it still empty; it counts as held.
bool create(const QString& path, const QByteArray& record)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    if (file.write(record) != record.size() || !file.flush()) {
        file.remove();
        return false;
    }
    return true;
}

struct Holder
{
    QString host;
    qint64 pid = 0;
};

Holder holderOf(const QByteArray& record)
{
    QJsonObject object;
    if (!parseObjectLine(record.trimmed(), object))
        return {};
    return {stringMember(object, u"host"_s), qint64(object.value(u"pid"_s).toDouble(0))};
}

// Held no more: nobody has marked it for the lock's lifetime, or its process
// on this machine has ended (a crash, a power cut) and cannot mark it again.
bool abandoned(const QString& path, const Holder& holder)
{
    const QDateTime changed = QFileInfo(path).lastModified();
    const qint64 age = changed.secsTo(QDateTime::currentDateTime());
    if (changed.isValid() && age > watchLockLifetimeSeconds)
        return true;
    return !holder.host.isEmpty() && holder.host == QSysInfo::machineHostName() &&
           holder.pid != QCoreApplication::applicationPid() && !processRunning(holder.pid);
}

QString heldMessage(const QString& text, const QString& path, const Holder& holder)
{
    return text.arg(holder.host.isEmpty() ? u"另一台电脑"_s : holder.host)
        .arg(holder.pid)
        .arg(QDir::toNativeSeparators(path));
}

} // namespace

WatchLock::~WatchLock()
{
    release();
}

QString WatchLock::take(const QString& path, const QString& heldText)
{
    release();
    Holder holder;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const QByteArray record = ownRecord();
        if (create(path, record)) {
            m_path = path;
            m_record = record;
            return {};
        }
        const QByteArray existing = readRecord(path);
        holder = holderOf(existing);
        if (!QFileInfo::exists(path))
            continue;
        if (!abandoned(path, holder))
            return heldMessage(heldText, path, holder);
        // Taken over: the old lock goes, unless someone took it over meanwhile.
        if (readRecord(path) == existing)
            QFile::remove(path);
    }
    return heldMessage(heldText, path, holder);
}

bool WatchLock::touch()
{
    if (m_path.isEmpty())
        return false;
    if (readRecord(m_path) != m_record) {
        m_path.clear();
        return false;
    }
    markChanged(m_path);
    return true;
}

void WatchLock::release()
{
    if (!m_path.isEmpty() && readRecord(m_path) == m_record)
        QFile::remove(m_path);
    m_path.clear();
    m_record.clear();
}

} // namespace batch
