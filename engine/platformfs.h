// The few file-system calls whose portable Qt forms would replace entries.
#pragma once

#include <QString>

namespace batch {

// True when anything is at `path`: a file, a folder, or a symbolic link, even
// one that points nowhere.
bool entryTaken(const QString& path);

// Moves a file or folder to `to` only if nothing is there; never replaces.
bool renameNoReplace(const QString& from, const QString& to);

// A file written without any buffering of its own, so that every failure of
// the system's write or close is seen, with the system's reason.
class OutputFile
{
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const QString& path); // creates or truncates
    bool write(const char* data, size_t length);
    bool close();
    const QString& failure() const { return m_failure; }

private:
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
#else
    int m_descriptor = -1;
#endif
    QString m_failure;
};

// An exclusive advisory lock on a file, held until destruction. Released by
// the system when the process dies, however it dies.
class FileLock
{
public:
    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Creates the file if needed; false when another live process holds the lock.
    bool tryLock(const QString& path);
    bool isLocked() const;

private:
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
#else
    int m_descriptor = -1;
#endif
};

} // namespace batch
