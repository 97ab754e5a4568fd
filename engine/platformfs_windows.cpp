// The file-system layer on Windows: wide names throughout, moves that never
// replace, locks through the system's handles.
#include "engine/platformfs.h"

#include "protocol/protocol.h"

#include <QFile>

#include <windows.h>

using namespace Qt::StringLiterals;

namespace batch {

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
    DWORD written = 0;
    if (!content.isEmpty())
        WriteFile(handle, content.constData(), DWORD(content.size()), &written, nullptr);
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

bool FileLock::tryLock(const QString& path, const QByteArray& content)
{
    // An open without sharing is refused while the owner keeps the file open.
    HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(path.utf16()), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    if (!content.isEmpty())
        WriteFile(handle, content.constData(), DWORD(content.size()), &written, nullptr);
    m_handle = handle;
    return true;
}

bool FileLock::isLocked() const
{
    return m_handle != nullptr;
}

bool entryTaken(const QString& path)
{
    if (GetFileAttributesW(reinterpret_cast<LPCWSTR>(path.utf16())) != INVALID_FILE_ATTRIBUTES)
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND)
        return false;
    failToSave(int(error));
}

bool renameNoReplace(const QString& from, const QString& to)
{
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
    if (MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()),
                    0) != 0)
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)
        return false;
    failToSave(int(error));
}

bool renameNoReplaceByClaim(const QString& from, const QString& to, bool)
{
    return renameNoReplace(from, to);
}

QString replaceEntry(const QString& from, const QString& to)
{
    if (MoveFileExW(reinterpret_cast<LPCWSTR>(from.utf16()), reinterpret_cast<LPCWSTR>(to.utf16()),
                    MOVEFILE_REPLACE_EXISTING) != 0)
        return QString();
    return systemReason(int(GetLastError()));
}

qsizetype maxNameLength(const QString&)
{
    return 255;
}

qsizetype nameLength(const QString& name)
{
    return name.size();
}

QString systemReason(int error)
{
    return u"系统拒绝了该操作（%1）"_s.arg(qt_error_string(error));
}

SecretFile::~SecretFile()
{
    if (m_handle)
        CloseHandle(m_handle);
}

bool SecretFile::create(const QString& folder)
{
    // Deleted when its last handle closes, which the system does for a
    // process that dies; others may open it meanwhile only to read and write.
    m_path = folder + u"/secret-"_s + QString::number(GetCurrentProcessId()) + u".pdf"_s;
    HANDLE handle =
        CreateFileW(reinterpret_cast<LPCWSTR>(m_path.utf16()), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                    FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        m_failure = systemReason(int(GetLastError()));
        m_path.clear();
        return false;
    }
    m_handle = handle;
    return true;
}

} // namespace batch
