// The few file-system calls whose portable Qt forms would replace entries.
#pragma once

#include <QByteArray>
#include <QString>

namespace batch {

// True when anything is at `path`: a file, a folder, or a symbolic link, even
// one that points nowhere. When the system cannot tell (a name too long, a
// folder that cannot be searched) the job fails with the system's reason:
// taking that for "taken" made every candidate name look used.
bool entryTaken(const QString& path);

// True when both paths reach one and the same file, through links, mounts or
// other spellings of a name.
bool sameEntry(const QString& a, const QString& b);

// True while another process holds the file at `path` open for writing
// where the system says so: on Windows, when it cannot be opened with
// writers shut out (a scanner that has not closed it yet). Elsewhere no
// system tells, and this is always false.
bool heldByWriter(const QString& path);

// Gives the entry at `path` the current time as its last change.
void markChanged(const QString& path);

// Moves a file or folder to `to` only if nothing is there; never replaces.
// False when something is there; any other failure ends the job with its reason.
bool renameNoReplace(const QString& from, const QString& to);

// The same move for file systems that answer the atomic form with EINVAL
// (NFS, some FUSE): a hard link for a file, a claimed empty folder for a
// folder. Where hard links are refused too, or without `hardLinks`, a file
// claims the name with a new empty file of its own and is renamed onto it.
// Reachable directly so that it can be tested on any file system. A claim is
// made with no permissions, and first recorded by name in `from`'s folder,
// under claimRecordName, so that a claim left by a killed job is known.
bool renameNoReplaceByClaim(const QString& from, const QString& to, bool hardLinks = true);
inline constexpr char claimRecordName[] = ".claim";

// Puts `from` in place of `to` in one step: `to` is never missing meanwhile,
// and stays as it was when the move fails. Returns the system's reason on failure.
QString replaceEntry(const QString& from, const QString& to);

// The longest entry name `folder`'s file system takes, counted in the units
// nameLength() counts.
qsizetype maxNameLength(const QString& folder);

// A name's length as the file system counts it: bytes of the encoded name on
// POSIX systems, UTF-16 units on Windows.
qsizetype nameLength(const QString& name);

// `name` with whole characters cut off its end until `measure` (by default
// nameLength()) gives at most `limit`.
QString fitName(const QString& name, qsizetype limit,
                qsizetype (*measure)(const QString&) = nameLength);

// A path as the C libraries we call take it in a `char*`: the local 8-bit
// encoding on POSIX systems, UTF-8 on Windows, where QPDF turns it into the
// system's wide name. For a library that reads names narrowly on Windows
// (Tesseract, Leptonica, FreeType), read the file itself, or hand it a reader
// that turns its name back with fromLibraryPath().
QByteArray libraryPath(const QString& path);
QString fromLibraryPath(const char* path);

// Ends the job: the result could not be saved, for the system's `error`.
[[noreturn]] void failToSave(int error);

// A user-facing Chinese sentence for a system error, with the system's own
// text after it for diagnosis.
QString systemReason(int error);

// What systemReason() says, by kind: each system sorts its own codes.
enum class FailureKind
{
    DiskFull,
    QuotaFull,
    TooLarge,
    NoPermission,
    InUse,
    ReadOnly,
    NameTooLong,
    DeviceError,
    Other
};
QString describeFailure(FailureKind kind, int error);

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

    // Creates the file, already locked and holding `content`, where nothing
    // is yet; false when that fails.
    bool tryLock(const QString& path, const QByteArray& content = {});
    bool isLocked() const;

private:
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
#else
    int m_descriptor = -1;
#endif
};

// The folder under which a job keeps private working folders, outside any
// folder the user chose: the user's cache, or the system's temporary folder.
QString privateWorkBase();
// The prefix of recognition's private folders there.
inline const QString privateOcrPrefix = QStringLiteral("ocr-");

// A file for what must never outlive this process, such as the decrypted
// copy of a protected document: the system removes it when the process ends,
// however it ends, even by a kill that runs no destructor. Libraries reach it
// through path().
class SecretFile
{
public:
    SecretFile() = default;
    ~SecretFile();
    SecretFile(const SecretFile&) = delete;
    SecretFile& operator=(const SecretFile&) = delete;

    // False, with the system's reason in failure(), when none can be made.
    // `folder` is where one lives on systems that need a name for it.
    bool create(const QString& folder);
    QString path() const { return m_path; }
    const QString& failure() const { return m_failure; }

private:
#ifdef Q_OS_WIN
    void* m_handle = nullptr;
#else
    int m_descriptor = -1;
#endif
    QString m_path;
    QString m_failure;
};

} // namespace batch
