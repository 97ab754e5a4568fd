// The file-system layer on POSIX systems: renames that never replace
// (renameat2, or a claim where the file system lacks it), flock, memfd.
#include "engine/platformfs.h"

#include "protocol/protocol.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace batch {

OutputFile::~OutputFile()
{
    close();
}

bool OutputFile::open(const QString& path)
{
    m_descriptor =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_descriptor < 0)
        m_failure = systemReason(errno);
    return m_descriptor >= 0;
}

bool OutputFile::write(const char* data, size_t length)
{
    while (length > 0) {
        const ssize_t written = ::write(m_descriptor, data, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            // A short write is followed by one that names the reason.
            m_failure = systemReason(written < 0 ? errno : EIO);
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

bool OutputFile::close()
{
    if (m_descriptor < 0)
        return true;
    const int result = ::close(m_descriptor);
    m_descriptor = -1;
    if (result != 0)
        m_failure = systemReason(errno);
    return result == 0;
}

SecretFile::~SecretFile()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool SecretFile::create(const QString&)
{
    // Memory the kernel frees with the last descriptor; it has no name in
    // any folder, and the path below is valid only inside this process.
    m_descriptor = ::memfd_create("quorvin-secret", MFD_CLOEXEC);
    if (m_descriptor < 0) {
        m_failure = systemReason(errno);
        return false;
    }
    m_path = u"/proc/self/fd/"_s + QString::number(m_descriptor);
    return true;
}

FileLock::~FileLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool FileLock::tryLock(const QString& path, const QByteArray& content)
{
    // Locked under a private name first, then given its own: a lock file that
    // can be seen is always already locked, so a sweep running meanwhile
    // never finds it free.
    const QByteArray name = QFile::encodeName(path);
    const QByteArray fresh = name + "-new";
    const int descriptor =
        ::open(fresh.constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0 ||
        (!content.isEmpty() &&
         ::write(descriptor, content.constData(), size_t(content.size())) != content.size()) ||
        ::rename(fresh.constData(), name.constData()) != 0) {
        ::unlink(fresh.constData());
        ::close(descriptor);
        return false;
    }
    m_descriptor = descriptor;
    return true;
}

bool FileLock::isLocked() const
{
    return m_descriptor >= 0;
}

bool heldByWriter(const QString&)
{
    return false;
}

void markChanged(const QString& path)
{
    ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), nullptr, 0);
}

bool sameEntry(const QString& a, const QString& b)
{
    struct stat first
    {};
    struct stat second
    {};
    return ::stat(QFile::encodeName(a).constData(), &first) == 0 &&
           ::stat(QFile::encodeName(b).constData(), &second) == 0 &&
           first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool entryTaken(const QString& path)
{
    struct stat status
    {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    failToSave(errno);
}

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno == EEXIST || errno == ENOTEMPTY)
        return false;
    if (errno == EINVAL || errno == ENOSYS)
        return renameNoReplaceByClaim(from, to);
    failToSave(errno);
}

namespace {

bool linksRefused(int error)
{
    return error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK;
}

// Before a name is claimed, the staging folder that holds `source` records
// it: a worker killed between claiming and moving leaves a claim that the
// sweep of its staging folder can tell from a result, since claims are
// created with no permissions at all and empty.
void recordClaim(const QByteArray& source, const QByteArray& target)
{
    const QByteArray folder = source.left(source.lastIndexOf('/') + 1);
    const QByteArray name = target.mid(target.lastIndexOf('/') + 1);
    const QByteArray record = folder + claimRecordName;
    const int file =
        ::open(record.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file < 0)
        failToSave(errno);
    const bool written = ::write(file, name.constData(), size_t(name.size())) == name.size();
    const int error = errno;
    ::close(file);
    if (!written)
        failToSave(error);
}

// The name is claimed with a new empty file, created only where nothing is;
// the rename then replaces that claim and nothing else.
bool renameOntoCreatedClaim(const QByteArray& source, const QByteArray& target)
{
    recordClaim(source, target);
    const int claim = ::open(target.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0);
    if (claim < 0) {
        if (errno == EEXIST)
            return false;
        failToSave(errno);
    }
    struct stat claimed
    {};
    const bool known = ::fstat(claim, &claimed) == 0;
    ::close(claim);
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    const int error = errno;
    struct stat now
    {};
    // Only our own claim is removed again.
    if (known && ::lstat(target.constData(), &now) == 0 && now.st_ino == claimed.st_ino &&
        now.st_dev == claimed.st_dev && now.st_size == 0)
        ::unlink(target.constData());
    failToSave(error);
}

} // namespace

bool renameNoReplaceByClaim(const QString& from, const QString& to, bool hardLinks)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    struct stat status
    {};
    if (::lstat(source.constData(), &status) != 0)
        failToSave(errno);
    if (!S_ISDIR(status.st_mode)) {
        if (!hardLinks)
            return renameOntoCreatedClaim(source, target);
        // A hard link refuses to replace, as the atomic rename would.
        if (::link(source.constData(), target.constData()) != 0) {
            if (errno == EEXIST)
                return false;
            if (linksRefused(errno))
                return renameOntoCreatedClaim(source, target);
            failToSave(errno);
        }
        ::unlink(source.constData());
        return true;
    }
    // The name is claimed with an empty folder of our own; a rename replaces
    // an empty folder and nothing else, so whatever arrives there meanwhile
    // makes the move fail instead of being replaced.
    recordClaim(source, target);
    if (::mkdir(target.constData(), 0) != 0) {
        if (errno == EEXIST)
            return false;
        failToSave(errno);
    }
    if (::rename(source.constData(), target.constData()) == 0)
        return true;
    const int error = errno;
    ::rmdir(target.constData()); // only while it is still empty
    if (error == EEXIST || error == ENOTEMPTY)
        return false;
    failToSave(error);
}

QString replaceEntry(const QString& from, const QString& to)
{
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0)
        return QString();
    return systemReason(errno);
}

qsizetype maxNameLength(const QString& folder)
{
    const long limit = ::pathconf(QFile::encodeName(folder).constData(), _PC_NAME_MAX);
    // Names are kept within 255 bytes even where more is allowed, so that a
    // result can be copied to any common file system.
    return limit > 0 ? std::min<qsizetype>(limit, 255) : 255;
}

QByteArray libraryPath(const QString& path)
{
    return QFile::encodeName(path);
}

QString fromLibraryPath(const char* path)
{
    return QFile::decodeName(path);
}

qsizetype nameLength(const QString& name)
{
    return QFile::encodeName(name).size();
}

QString systemReason(int error)
{
    switch (error) {
    case ENOSPC:
        return describeFailure(FailureKind::DiskFull, error);
    case EDQUOT:
        return describeFailure(FailureKind::QuotaFull, error);
    case EFBIG:
        return describeFailure(FailureKind::TooLarge, error);
    case EACCES:
    case EPERM:
        return describeFailure(FailureKind::NoPermission, error);
    case EROFS:
        return describeFailure(FailureKind::ReadOnly, error);
    case ENAMETOOLONG:
        return describeFailure(FailureKind::NameTooLong, error);
    case EIO:
        return describeFailure(FailureKind::DeviceError, error);
    default:
        return describeFailure(FailureKind::Other, error);
    }
}

} // namespace batch
