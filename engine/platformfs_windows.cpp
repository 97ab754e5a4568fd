// The file-system layer on Windows: wide names throughout (with the long-path
// form where a path outgrows MAX_PATH), moves that never replace, locks on a
// byte past the end of a separate lock file.
#include "engine/platformfs.h"

#include "engine/platformwin.h"
#include "protocol/protocol.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <optional>

#include <windows.h>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

HANDLE openForWriting(const QString& path, DWORD disposition, DWORD flags)
{
    // Others may read, and the name may be moved or removed while it is open:
    // a staged result is renamed into place by path.
    return CreateFileW(win::nativeName(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, disposition,
                       flags, nullptr);
}

bool writeAll(HANDLE handle, const char* data, size_t length)
{
    while (length > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(length, size_t(1) << 30));
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        length -= written;
    }
    return true;
}

// The range a lock holds: one byte far past any content, so that the lock
// never blocks a reader of the record, as Windows blocks reads of locked ranges.
constexpr DWORD lockOffsetHigh = 0x7fffffff;

bool lockRange(HANDLE handle)
{
    OVERLAPPED at{};
    at.OffsetHigh = lockOffsetHigh;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           0;
}

bool moveWithoutReplacing(const QString& from, const QString& to)
{
    return MoveFileExW(win::nativeName(from).c_str(), win::nativeName(to).c_str(),
                       MOVEFILE_WRITE_THROUGH) != 0;
}

bool isTakenError(DWORD error)
{
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS;
}

// The file system `folder` lies on: its kind and its longest entry name.
struct Volume
{
    QString fileSystem;
    DWORD longestName = 0;
};

std::optional<Volume> volumeOf(const QString& folder)
{
    wchar_t root[MAX_PATH + 1] = {};
    wchar_t system[MAX_PATH + 1] = {};
    Volume volume;
    if (!GetVolumePathNameW(win::nativeName(folder).c_str(), root, MAX_PATH) ||
        !GetVolumeInformationW(root, nullptr, 0, nullptr, &volume.longestName, nullptr, system,
                               MAX_PATH))
        return std::nullopt;
    volume.fileSystem = QString::fromWCharArray(system);
    return volume;
}

// FAT32 and exFAT (USB sticks, SD cards) and some network shares may carry
// out a move as a copy and a removal; there a name is claimed first.
bool claimsFirst(const QString& path)
{
    const std::optional<Volume> volume = volumeOf(QFileInfo(path).absolutePath());
    return volume && (volume->fileSystem.startsWith(u"FAT"_s, Qt::CaseInsensitive) ||
                      volume->fileSystem.compare(u"exFAT"_s, Qt::CaseInsensitive) == 0);
}

// The move that refuses a taken name: false when it is taken; any other
// failure ends the job.
bool moveUnlessTaken(const QString& from, const QString& to)
{
    if (moveWithoutReplacing(from, to))
        return true;
    const DWORD error = GetLastError();
    if (isTakenError(error))
        return false;
    failToSave(int(error));
}

void recordClaim(const QString& from, const QString& to)
{
    const QString record =
        QFileInfo(from).absolutePath() + u'/' + QLatin1StringView(claimRecordName);
    OutputFile file;
    const QByteArray name = QFileInfo(to).fileName().toUtf8();
    if (!file.open(record) || !file.write(name.constData(), size_t(name.size())) || !file.close())
        failToSave(int(GetLastError()));
}

} // namespace

OutputFile::~OutputFile()
{
    close();
}

bool OutputFile::open(const QString& path)
{
    HANDLE handle = openForWriting(path, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE) {
        m_failure = systemReason(int(GetLastError()));
        return false;
    }
    m_handle = handle;
    return true;
}

bool OutputFile::write(const char* data, size_t length)
{
    if (writeAll(m_handle, data, length))
        return true;
    m_failure = systemReason(int(GetLastError()));
    return false;
}

bool OutputFile::close()
{
    if (!m_handle)
        return true;
    // The data must have reached the device before the name is published.
    const bool flushed = FlushFileBuffers(m_handle) != 0;
    const DWORD error = flushed ? 0 : GetLastError();
    const bool closed = CloseHandle(m_handle) != 0 && flushed;
    m_handle = nullptr;
    if (!closed)
        m_failure = systemReason(int(error ? error : GetLastError()));
    return closed;
}

FileLock::~FileLock()
{
    if (m_handle)
        CloseHandle(m_handle);
}

bool FileLock::tryLock(const QString& path, const QByteArray& content)
{
    // Locked under a private name first, then given its own, as on every
    // system: a lock file that can be seen is always already locked.
    const QString fresh = path + u"-new"_s;
    HANDLE handle = openForWriting(fresh, CREATE_NEW, FILE_ATTRIBUTE_NORMAL);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    if (!lockRange(handle) || !writeAll(handle, content.constData(), size_t(content.size())) ||
        !moveWithoutReplacing(fresh, path)) {
        CloseHandle(handle);
        DeleteFileW(win::nativeName(fresh).c_str());
        return false;
    }
    m_handle = handle;
    return true;
}

bool FileLock::isLocked() const
{
    return m_handle != nullptr;
}

bool heldByWriter(const QString& path)
{
    // Readers are let in, writers not: a writer that still has the file open
    // makes this a sharing violation.
    HANDLE handle = CreateFileW(win::nativeName(path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(handle);
    return false;
}

void markChanged(const QString& path)
{
    HANDLE handle = CreateFileW(win::nativeName(path).c_str(), FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    SetFileTime(handle, nullptr, nullptr, &now);
    CloseHandle(handle);
}

bool sameEntry(const QString& a, const QString& b)
{
    const auto identity = [](const QString& path, BY_HANDLE_FILE_INFORMATION& info) {
        HANDLE handle = CreateFileW(win::nativeName(path).c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return false;
        const bool known = GetFileInformationByHandle(handle, &info) != 0;
        CloseHandle(handle);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first{};
    BY_HANDLE_FILE_INFORMATION second{};
    return identity(a, first) && identity(b, second) &&
           first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
           first.nFileIndexHigh == second.nFileIndexHigh &&
           first.nFileIndexLow == second.nFileIndexLow;
}

bool entryTaken(const QString& path)
{
    if (GetFileAttributesW(win::nativeName(path).c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return false;
    failToSave(int(error));
}

bool renameNoReplace(const QString& from, const QString& to)
{
    if (!QFileInfo(from).isDir() && claimsFirst(to))
        return renameNoReplaceByClaim(from, to, false);
    return moveUnlessTaken(from, to);
}

bool renameNoReplaceByClaim(const QString& from, const QString& to, bool)
{
    // Windows has no hard links for folders and none on FAT: a file claims
    // the name with a new, empty, hidden file of its own, which only the move
    // replaces; a folder's move refuses an existing name by itself.
    if (QFileInfo(from).isDir())
        return moveUnlessTaken(from, to);
    recordClaim(from, to);
    HANDLE claim = CreateFileW(win::nativeName(to).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (claim == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (isTakenError(error))
            return false;
        failToSave(int(error));
    }
    CloseHandle(claim);
    if (MoveFileExW(win::nativeName(from).c_str(), win::nativeName(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    const DWORD error = GetLastError();
    DeleteFileW(win::nativeName(to).c_str());
    failToSave(int(error));
}

QString replaceEntry(const QString& from, const QString& to)
{
    if (MoveFileExW(win::nativeName(from).c_str(), win::nativeName(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return QString();
    return systemReason(int(GetLastError()));
}

qsizetype maxNameLength(const QString& folder)
{
    const std::optional<Volume> volume = volumeOf(folder);
    return volume && volume->longestName > 0 ? std::min<qsizetype>(volume->longestName, 255) : 255;
}

QByteArray libraryPath(const QString& path)
{
    return path.toUtf8();
}

QString fromLibraryPath(const char* path)
{
    return QString::fromUtf8(path);
}

qsizetype nameLength(const QString& name)
{
    return name.size();
}

QString systemReason(int error)
{
    switch (DWORD(error)) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return describeFailure(FailureKind::DiskFull, error);
    case ERROR_FILE_TOO_LARGE:
        return describeFailure(FailureKind::TooLarge, error);
    case ERROR_ACCESS_DENIED:
        return describeFailure(FailureKind::NoPermission, error);
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE:
        return describeFailure(FailureKind::InUse, error);
    case ERROR_WRITE_PROTECT:
        return describeFailure(FailureKind::ReadOnly, error);
    case ERROR_FILENAME_EXCED_RANGE:
    case ERROR_INVALID_NAME:
        return describeFailure(FailureKind::NameTooLong, error);
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_NOT_READY:
        return describeFailure(FailureKind::DeviceError, error);
    default:
        return describeFailure(FailureKind::Other, error);
    }
}

SecretFile::~SecretFile()
{
    if (m_handle)
        CloseHandle(m_handle);
    if (!m_path.isEmpty())
        DeleteFileW(win::nativeName(m_path).c_str());
}

bool SecretFile::create(const QString& folder)
{
    // Qt, Poppler and the C runtime open files again by name without sharing
    // deletion, which a delete-on-close file demands of every later open. So
    // the copy is a hidden temporary file in `folder`, the caller's private
    // folder, whose lock lets the next job's sweep remove what a killed
    // process left.
    m_path = folder + u"/secret-"_s + QString::number(GetCurrentProcessId()) + u".pdf"_s;
    HANDLE handle =
        openForWriting(m_path, CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_HIDDEN);
    if (handle == INVALID_HANDLE_VALUE) {
        m_failure = systemReason(int(GetLastError()));
        m_path.clear();
        return false;
    }
    m_handle = handle;
    return true;
}

} // namespace batch
