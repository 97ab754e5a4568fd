#include "jobframe/staging.h"

#include "engine/platformdir.h"
#include "engine/platformproc.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString lockName = u".lock"_s;

// This machine as the lock record names it: the host name, and the boot,
// since two NFS clients may share a host name but never a boot id.
QByteArray machineLines()
{
    return "host=" + QSysInfo::machineHostName().toUtf8() + "\nboot=" + bootIdentity() + '\n';
}

QByteArray lockRecord()
{
    return machineLines() + "pid=" + QByteArray::number(QCoreApplication::applicationPid()) + '\n';
}

} // namespace

StagingFolder::StagingFolder(const QString& outputFolder)
    : m_folder(outputFolder + u'/' + stagingPrefix + u"XXXXXX"_s)
{
    // The host tells another machine's sweep that this lock means nothing to
    // it: flock is local on NFS mounted without locking.
    if (m_folder.isValid())
        m_lock.tryLock(QDir(m_folder.path()).filePath(lockName), lockRecord());
}

StagingFolder::~StagingFolder() = default;

bool StagingFolder::isValid() const
{
    return m_folder.isValid() && m_lock.isLocked();
}

void StagingFolder::touch() const
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (now - m_touched < 60)
        return;
    m_touched = now;
    markChanged(m_folder.path());
}

namespace {

// The names a job writes into its staging folder, and into the folder of a
// split's parts; a folder holding anything else is not a leftover of ours.
// Besides results: their partial, trial and source copies, Qt's temporary
// copy, the lock, the record of a claimed name, and recognition's decrypted
// working copy where the system cannot keep it nameless.
bool isStagedName(const QString& name)
{
    static const QRegularExpression pattern(
        u"^(\\.lock|\\.lock-new|\\.claim|qt_temp\\.[A-Za-z0-9]{6}|secret-[0-9]+\\.pdf|"
        u"[a-z]+(-[a-z]+)*\\.(pdf|docx|tif)(\\.partial|\\.trial|\\.source)?)$"_s);
    return pattern.match(name).hasMatch();
}

bool isPartName(const QString& name)
{
    // Inside a folder proven ours: the parts of a split, by any source's name
    // or by bookmark, and the pages of a document as pictures.
    static const QRegularExpression pattern(
        u"^(part-[0-9]+\\.pdf|.+-拆分-[0-9]{3,}\\.pdf|[0-9]{2,}-.+\\.pdf|"
        u".+-[0-9]{3,}\\.(png|jpg|tif))(\\.partial)?$"_s);
    return pattern.match(name).hasMatch();
}

bool isOwnFile(const OpenFolder& folder, const QString& name)
{
    const std::optional<EntryFacts> facts = folder.facts(name);
    return facts && facts->ownFile;
}

bool isOwnFolder(const OpenFolder& folder, const QString& name)
{
    const std::optional<EntryFacts> facts = folder.facts(name);
    return facts && facts->ownFolder;
}

bool removeFiles(const OpenFolder& folder, const QStringList& names)
{
    bool removed = true;
    for (const QString& name : names)
        removed = folder.removeFile(name) && removed;
    return removed;
}

// A staging folder locked on another machine is not known to be dead until it
// has been left alone for a day.
constexpr qint64 foreignHostAge = 24 * 60 * 60;

// A lock file or folder younger than this may be one a live job is still
// setting up: its lock not yet taken, or not yet created.
constexpr qint64 settingUpAge = 60;

bool lockedElsewhere(const OpenFolder::HeldLock& lock, const OpenFolder& folder)
{
    const QByteArray content = lock.record(512);
    // A record of this machine names its boot too, and only then is the local
    // lock the whole truth; records of older versions name the host alone.
    const QByteArray machine = machineLines();
    const bool legacy = !content.contains("\nboot=");
    if (!content.startsWith("host=") || content.startsWith(machine) ||
        (legacy && content.startsWith(machine.left(machine.indexOf('\n') + 1))))
        return false;
    return std::min(lock.age(), folder.age()) < foreignHostAge;
}

// The name a dead job claimed in the output folder, if it is still the
// claim: ours, marked as a claim, and empty.
void removeDeadClaim(const OpenFolder& parent, const OpenFolder& folder)
{
    const std::optional<QByteArray> record = folder.read(QLatin1StringView(claimRecordName), 1024);
    if (!record || record->isEmpty())
        return;
    const QString name = fromLibraryPath(record->constData());
    if (name.contains(u'/') || name.contains(u'\\') || name == u"."_s || name == u".."_s)
        return;
    const std::optional<EntryFacts> facts = parent.facts(name);
    if (!facts || !facts->claimMark)
        return;
    if (facts->ownFile && facts->size == 0)
        parent.removeFile(name);
    else if (facts->ownFolder)
        parent.removeFolder(name); // only while empty
}

// Empties the staging folder `folder` only if it is provably a dead job's:
// ours, holding our lock file with nobody holding the lock, and only names a
// job creates. Everything is reached through the open folder, so an entry
// swapped for a link meanwhile is never followed.
bool emptyIfStale(const OpenFolder& parent, const OpenFolder& folder)
{
    const std::optional<QStringList> names = folder.names();
    if (!names)
        return false;
    // A job killed before its lock had its name leaves the lock under its
    // private name, or no lock at all.
    QString lockFile = lockName;
    if (!isOwnFile(folder, lockFile))
        lockFile += u"-new"_s;
    if (!isOwnFile(folder, lockFile))
        return names->isEmpty() && folder.age() > settingUpAge;
    const std::unique_ptr<OpenFolder::HeldLock> lock = folder.takeLock(lockFile);
    if (!lock)
        return false; // its worker is alive
    if (lockFile.endsWith(u"-new"_s) && lock->age() <= settingUpAge)
        return false;
    if (lockedElsewhere(*lock, folder))
        return false;
    QStringList files;
    bool hasParts = false;
    for (const QString& entry : *names) {
        if (entry == u"parts"_s && isOwnFolder(folder, entry))
            hasParts = true;
        else if (isStagedName(entry) && isOwnFile(folder, entry))
            files.append(entry);
        else
            return false;
    }
    if (hasParts) {
        {
            const std::unique_ptr<OpenFolder> parts = folder.child(u"parts"_s);
            if (!parts)
                return false;
            const std::optional<QStringList> partFiles = parts->names();
            if (!partFiles ||
                !std::all_of(partFiles->begin(), partFiles->end(),
                             [&](const QString& part) {
                                 return isPartName(part) && isOwnFile(*parts, part);
                             }) ||
                !removeFiles(*parts, *partFiles))
                return false;
        }
        if (!folder.removeFolder(u"parts"_s))
            return false;
    }
    removeDeadClaim(parent, folder);
    return removeFiles(folder, files);
}

} // namespace

int removeStaleStagingFolders(const QString& outputFolder, const QString& prefix)
{
    const std::unique_ptr<OpenFolder> parent = OpenFolder::open(outputFolder);
    if (!parent)
        return 0;
    const std::optional<QStringList> names = parent->names();
    if (!names)
        return 0;
    int removed = 0;
    for (const QString& name : *names) {
        if (!name.startsWith(prefix))
            continue;
        bool emptied = false;
        {
            // Closed before the removal, which Windows refuses while it is open.
            const std::unique_ptr<OpenFolder> folder = parent->child(name);
            emptied = folder && emptyIfStale(*parent, *folder);
        }
        if (emptied && parent->removeFolder(name))
            ++removed;
    }
    return removed;
}

} // namespace batch
