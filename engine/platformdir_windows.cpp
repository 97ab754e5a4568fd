// Folders for the sweep on Windows. An open folder is held without sharing
// deletion, so it cannot be renamed or removed, nor swapped for a junction,
// while the sweep looks into it; entries that are reparse points (links,
// junctions) are never taken for files or folders of ours.
#include "engine/platformdir.h"

#include "engine/platformwin.h"

#include <QDateTime>

#include <algorithm>

#include <windows.h>

namespace batch {

namespace {

class Handle
{
public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle()
    {
        if (isOpen())
            CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    bool isOpen() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }

private:
    HANDLE m_handle;
};

qint64 secondsSince(const FILETIME& time)
{
    ULARGE_INTEGER ticks{};
    ticks.LowPart = time.dwLowDateTime;
    ticks.HighPart = time.dwHighDateTime;
    // 100-nanosecond steps since 1601.
    const qint64 unixSeconds = qint64(ticks.QuadPart / 10000000ULL) - 11644473600LL;
    return QDateTime::currentSecsSinceEpoch() - unixSeconds;
}

qint64 ageOf(HANDLE handle)
{
    FILETIME written{};
    return GetFileTime(handle, nullptr, nullptr, &written) ? secondsSince(written) : 0;
}

// A byte far past any content, as FileLock takes it.
bool lockRange(HANDLE handle)
{
    OVERLAPPED at{};
    at.OffsetHigh = 0x7fffffff;
    return LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) !=
           0;
}

class WindowsLock : public OpenFolder::HeldLock
{
public:
    explicit WindowsLock(HANDLE handle) : m_lock(handle) {}
    QByteArray record(qsizetype limit) const override
    {
        QByteArray content(limit, '\0');
        OVERLAPPED at{};
        DWORD read = 0;
        if (!ReadFile(m_lock.get(), content.data(), DWORD(limit), &read, &at))
            read = 0;
        content.truncate(read);
        return content;
    }
    qint64 age() const override { return ageOf(m_lock.get()); }

private:
    Handle m_lock; // closing it releases the lock
};

class WindowsFolder : public OpenFolder
{
public:
    WindowsFolder(HANDLE handle, QString path) : m_folder(handle), m_path(std::move(path)) {}
    bool isOpen() const { return m_folder.isOpen(); }

    static std::unique_ptr<WindowsFolder> openAt(const QString& path)
    {
        // Without FILE_SHARE_DELETE nobody renames or removes it meanwhile.
        auto folder = std::make_unique<WindowsFolder>(
            CreateFileW(win::nativeName(path).c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr),
            path);
        BY_HANDLE_FILE_INFORMATION info{};
        if (!folder->isOpen() || !GetFileInformationByHandle(folder->m_folder.get(), &info) ||
            !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return nullptr;
        return folder;
    }

    std::unique_ptr<OpenFolder> child(const QString& name) const override
    {
        const std::optional<EntryFacts> entry = facts(name);
        if (!entry || !entry->ownFolder)
            return nullptr;
        return openAt(entryPath(name));
    }

    std::optional<QStringList> names() const override
    {
        WIN32_FIND_DATAW found{};
        HANDLE search = FindFirstFileW(win::nativeName(m_path + u"/*").c_str(), &found);
        if (search == INVALID_HANDLE_VALUE)
            return std::nullopt;
        QStringList names;
        do {
            const QString name = QString::fromWCharArray(found.cFileName);
            if (name != u"." && name != u"..")
                names.append(name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        return names;
    }

    std::optional<EntryFacts> facts(const QString& name) const override
    {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(win::nativeName(entryPath(name)).c_str(), GetFileExInfoStandard,
                                  &data))
            return std::nullopt;
        // Files of this user's: the folders the sweep looks into are the
        // user's own output and cache folders.
        const DWORD attributes = data.dwFileAttributes;
        const bool link = attributes & FILE_ATTRIBUTE_REPARSE_POINT;
        const bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
        return EntryFacts{.ownFile = !link && !folder,
                          .ownFolder = !link && folder,
                          .size = qint64(data.nFileSizeHigh) << 32 | data.nFileSizeLow,
                          .claimMark = (attributes & FILE_ATTRIBUTE_HIDDEN) != 0};
    }

    qint64 age() const override { return ageOf(m_folder.get()); }

    std::optional<QByteArray> read(const QString& name, qsizetype limit) const override
    {
        const Handle file(open(name, GENERIC_READ));
        if (!file.isOpen())
            return std::nullopt;
        QByteArray content(limit, '\0');
        DWORD read = 0;
        if (!ReadFile(file.get(), content.data(), DWORD(limit), &read, nullptr))
            return std::nullopt;
        content.truncate(read);
        return content;
    }

    bool removeFile(const QString& name) const override
    {
        const std::wstring path = win::nativeName(entryPath(name));
        // Hidden and read-only marks would refuse the removal.
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        return DeleteFileW(path.c_str()) != 0;
    }

    bool removeFolder(const QString& name) const override
    {
        return RemoveDirectoryW(win::nativeName(entryPath(name)).c_str()) != 0;
    }

    std::unique_ptr<HeldLock> takeLock(const QString& name) const override
    {
        HANDLE lock = open(name, GENERIC_READ | GENERIC_WRITE);
        if (lock == INVALID_HANDLE_VALUE)
            return nullptr;
        auto held = std::make_unique<WindowsLock>(lock);
        if (!lockRange(lock))
            return nullptr;
        return held;
    }

private:
    QString entryPath(const QString& name) const { return m_path + u'/' + name; }

    HANDLE open(const QString& name, DWORD access) const
    {
        return CreateFileW(win::nativeName(entryPath(name)).c_str(), access,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    }

    Handle m_folder;
    QString m_path;
};

} // namespace

std::unique_ptr<OpenFolder> OpenFolder::open(const QString& path)
{
    return WindowsFolder::openAt(path);
}

} // namespace batch
