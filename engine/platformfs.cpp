#include "engine/platformfs.h"

#include <QFile>

#include <algorithm>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace batch {

#ifdef Q_OS_WIN

OutputFile::~OutputFile()
{
    close();
}

bool OutputFile::open(const QString& path)
{
    HANDLE handle = CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_failure = qt_error_string(int(GetLastError()));
        return false;
    }
    m_handle = handle;
    return true;
}

bool OutputFile::write(const char* data, size_t length)
{
    while (length > 0) {
        DWORD written = 0;
        const DWORD chunk = DWORD(std::min<size_t>(length, 1u << 30));
        if (!WriteFile(m_handle, data, chunk, &written, nullptr) || written == 0) {
            m_failure = qt_error_string(int(GetLastError()));
            return false;
        }
        data += written;
        length -= written;
    }
    return true;
}

bool OutputFile::close()
{
    if (!m_handle)
        return true;
    const bool closed = CloseHandle(m_handle) != 0;
    m_handle = nullptr;
    if (!closed)
        m_failure = qt_error_string(int(GetLastError()));
    return closed;
}

FileLock::~FileLock()
{
    if (m_handle)
        CloseHandle(m_handle);
}

bool FileLock::tryLock(const QString& path)
{
    // An open without sharing is refused while the owner keeps the file open.
    HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    m_handle = handle;
    return true;
}

bool FileLock::isLocked() const
{
    return m_handle != nullptr;
}

bool entryTaken(const QString& path)
{
    return GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.utf16())) != INVALID_FILE_ATTRIBUTES;
}

bool renameNoReplace(const QString& from, const QString& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    return MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()),
                       reinterpret_cast<LPCWSTR>(to.utf16()), 0) != 0;
}

#else

OutputFile::~OutputFile()
{
    close();
}

bool OutputFile::open(const QString& path)
{
    m_descriptor =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_descriptor < 0)
        m_failure = qt_error_string(errno);
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
            m_failure = qt_error_string(written < 0 ? errno : EIO);
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
        m_failure = qt_error_string(errno);
    return result == 0;
}

FileLock::~FileLock()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
}

bool FileLock::tryLock(const QString& path)
{
    const int descriptor =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return false;
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
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

bool entryTaken(const QString& path)
{
    struct stat status
    {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0)
        return true;
    // Only a plain "no such entry" counts as free; anything stranger is left alone.
    return errno != ENOENT && errno != ENOTDIR;
}

bool renameNoReplace(const QString& from, const QString& to)
{
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (::renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: a hard link also refuses to replace.
    struct stat status
    {};
    if (::lstat(source.constData(), &status) != 0 || S_ISDIR(status.st_mode))
        return false;
    if (::link(source.constData(), target.constData()) != 0)
        return false;
    ::unlink(source.constData());
    return true;
}

#endif

} // namespace batch
