#include "jobframe/staging.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSysInfo>

#include <algorithm>
#include <optional>
#include <vector>

#ifndef Q_OS_WIN
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

using namespace Qt::StringLiterals;

namespace batch {

namespace {

const QString lockName = u".lock"_s;

// This machine as the lock record names it: the host name, and the boot,
// since two NFS clients may share a host name but never a boot id.
QByteArray machineLines()
{
    QByteArray boot;
#ifndef Q_OS_WIN
    QFile bootId(u"/proc/sys/kernel/random/boot_id"_s);
    if (bootId.open(QIODevice::ReadOnly))
        boot = bootId.readAll().trimmed();
#endif
    return "host=" + QSysInfo::machineHostName().toUtf8() + "\nboot=" + boot + '\n';
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
#ifndef Q_OS_WIN
    ::utimensat(AT_FDCWD, QFile::encodeName(m_folder.path()).constData(), nullptr, 0);
#endif
}

#ifdef Q_OS_WIN

int removeStaleStagingFolders(const QString&, const QString&)
{
    // Without descriptor-relative removal a folder could be swapped for a
    // link between the checks and the removal; leftovers are kept instead.
    return 0;
}

#else

namespace {

class Descriptor
{
public:
    explicit Descriptor(int descriptor) : m_descriptor(descriptor) {}
    ~Descriptor()
    {
        if (m_descriptor >= 0)
            ::close(m_descriptor);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }

private:
    int m_descriptor;
};

// The names a job writes into its staging folder, and into the folder of a
// split's parts; a folder holding anything else is not a leftover of ours.
// Besides results: their partial, trial and source copies, Qt's temporary
// copy, the lock and the record of a claimed name.
bool isStagedName(const QByteArray& name)
{
    static const QRegularExpression pattern(
        u"^(\\.lock|\\.lock-new|\\.claim|qt_temp\\.[A-Za-z0-9]{6}|"
        u"[a-z]+(-[a-z]+)*\\.(pdf|docx)(\\.partial|\\.trial|\\.source)?)$"_s);
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

bool isPartName(const QByteArray& name)
{
    static const QRegularExpression pattern(u"^part-[0-9]+\\.pdf(\\.partial)?$"_s);
    return pattern.match(QString::fromLatin1(name)).hasMatch();
}

std::optional<std::vector<QByteArray>> entryNames(int folder)
{
    const int copy = ::dup(folder);
    if (copy < 0)
        return std::nullopt;
    DIR* listing = ::fdopendir(copy);
    if (!listing) {
        ::close(copy);
        return std::nullopt;
    }
    std::vector<QByteArray> names;
    while (const dirent* entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(listing);
    return names;
}

bool isOwn(int folder, const QByteArray& name, bool directory)
{
    struct stat status
    {};
    if (::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return status.st_uid == ::geteuid() &&
           (directory ? S_ISDIR(status.st_mode) : S_ISREG(status.st_mode));
}

// Every name in `folder` passes `allowed` and is a plain file of ours.
std::optional<std::vector<QByteArray>> ownFiles(int folder, bool (*allowed)(const QByteArray&))
{
    std::optional<std::vector<QByteArray>> names = entryNames(folder);
    if (!names)
        return std::nullopt;
    for (const QByteArray& name : *names) {
        if (!allowed(name) || !isOwn(folder, name, false))
            return std::nullopt;
    }
    return names;
}

bool removeFiles(int folder, const std::vector<QByteArray>& names)
{
    bool removed = true;
    for (const QByteArray& name : names)
        removed = ::unlinkat(folder, name.constData(), 0) == 0 && removed;
    return removed;
}

// Removes `name` in `parent` only if it is provably a dead job's staging
// folder: ours, holding our lock file with nobody holding the lock, and only
// names a job creates. Everything is reached relative to descriptors opened
// without following links, so an entry swapped for a link meanwhile is never
// followed.
// A staging folder locked on another machine is not known to be dead until it
// has been left alone for a day.
constexpr qint64 foreignHostAge = 24 * 60 * 60;

// A lock file or folder younger than this may be one a live job is still
// setting up: its lock not yet taken, or not yet created.
constexpr qint64 settingUpAge = 60;

qint64 ageOf(int descriptor)
{
    struct stat status
    {};
    if (::fstat(descriptor, &status) != 0)
        return 0;
    return QDateTime::currentSecsSinceEpoch() - status.st_mtime;
}

bool lockedElsewhere(int lock, int folder)
{
    QByteArray content(512, '\0');
    const ssize_t length = ::pread(lock, content.data(), size_t(content.size()), 0);
    content.truncate(std::max<ssize_t>(0, length));
    // A record of this machine names its boot too, and only then is the local
    // lock the whole truth; records of older versions name the host alone.
    const QByteArray machine = machineLines();
    const bool legacy = !content.contains("\nboot=");
    if (!content.startsWith("host=") || content.startsWith(machine) ||
        (legacy && content.startsWith(machine.left(machine.indexOf('\n') + 1))))
        return false;
    struct stat lockStatus
    {};
    struct stat folderStatus
    {};
    if (::fstat(lock, &lockStatus) != 0 || ::fstat(folder, &folderStatus) != 0)
        return true;
    const qint64 newest = std::max<qint64>(lockStatus.st_mtime, folderStatus.st_mtime);
    return QDateTime::currentSecsSinceEpoch() - newest < foreignHostAge;
}

// The name a dead job claimed in the output folder, if it is still the
// claim: ours, without permissions, and empty.
void removeDeadClaim(int parent, int folder)
{
    const Descriptor record(::openat(folder, claimRecordName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!record.isOpen())
        return;
    QByteArray name(1024, '\0');
    const ssize_t length = ::read(record.get(), name.data(), size_t(name.size()));
    name.truncate(std::max<ssize_t>(0, length));
    if (name.isEmpty() || name.contains('/') || name == "." || name == "..")
        return;
    struct stat status
    {};
    if (::fstatat(parent, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
        status.st_uid != ::geteuid() || (status.st_mode & 07777) != 0)
        return;
    if (S_ISREG(status.st_mode) && status.st_size == 0)
        ::unlinkat(parent, name.constData(), 0);
    else if (S_ISDIR(status.st_mode))
        ::unlinkat(parent, name.constData(), AT_REMOVEDIR); // only while empty
}

bool removeIfStale(int parent, const QByteArray& name)
{
    if (!isOwn(parent, name, true))
        return false;
    const Descriptor folder(
        ::openat(parent, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat status
    {};
    if (!folder.isOpen() || ::fstat(folder.get(), &status) != 0 || status.st_uid != ::geteuid())
        return false;
    const std::optional<std::vector<QByteArray>> names = entryNames(folder.get());
    if (!names)
        return false;
    // A job killed before its lock had its name leaves the lock under its
    // private name, or no lock at all.
    QByteArray lockFile = lockName.toLatin1();
    if (!isOwn(folder.get(), lockFile, false))
        lockFile += "-new";
    if (!isOwn(folder.get(), lockFile, false)) {
        return names->empty() && ageOf(folder.get()) > settingUpAge &&
               ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0;
    }
    const Descriptor lock(
        ::openat(folder.get(), lockFile.constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!lock.isOpen() || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0)
        return false; // its worker is alive
    if (lockFile.endsWith("-new") && ageOf(lock.get()) <= settingUpAge)
        return false;
    if (lockedElsewhere(lock.get(), folder.get()))
        return false;
    std::vector<QByteArray> files;
    bool hasParts = false;
    for (const QByteArray& entry : *names) {
        if (entry == "parts" && isOwn(folder.get(), entry, true))
            hasParts = true;
        else if (isStagedName(entry) && isOwn(folder.get(), entry, false))
            files.push_back(entry);
        else
            return false;
    }
    if (hasParts) {
        const Descriptor parts(
            ::openat(folder.get(), "parts", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!parts.isOpen())
            return false;
        const std::optional<std::vector<QByteArray>> partFiles = ownFiles(parts.get(), isPartName);
        if (!partFiles || !removeFiles(parts.get(), *partFiles) ||
            ::unlinkat(folder.get(), "parts", AT_REMOVEDIR) != 0)
            return false;
    }
    removeDeadClaim(parent, folder.get());
    return removeFiles(folder.get(), files) &&
           ::unlinkat(parent, name.constData(), AT_REMOVEDIR) == 0;
}

} // namespace

int removeStaleStagingFolders(const QString& outputFolder, const QString& prefix)
{
    const Descriptor parent(
        ::open(QFile::encodeName(outputFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!parent.isOpen())
        return 0;
    const std::optional<std::vector<QByteArray>> names = entryNames(parent.get());
    if (!names)
        return 0;
    const QByteArray start = QFile::encodeName(prefix);
    int removed = 0;
    for (const QByteArray& name : *names) {
        if (name.startsWith(start) && removeIfStale(parent.get(), name))
            ++removed;
    }
    return removed;
}

#endif

} // namespace batch
