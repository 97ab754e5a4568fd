// Folders for the sweep on POSIX systems: descriptors opened without
// following links, and every entry reached relative to them.
#include "engine/platformdir.h"

#include <QDateTime>
#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace batch {

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

qint64 ageOf(int descriptor)
{
    struct stat status
    {};
    if (::fstat(descriptor, &status) != 0)
        return 0;
    return QDateTime::currentSecsSinceEpoch() - status.st_mtime;
}

class PosixLock : public OpenFolder::HeldLock
{
public:
    explicit PosixLock(int descriptor) : m_lock(descriptor) {}
    QByteArray record(qsizetype limit) const override
    {
        QByteArray content(limit, '\0');
        const ssize_t length = ::pread(m_lock.get(), content.data(), size_t(content.size()), 0);
        content.truncate(std::max<ssize_t>(0, length));
        return content;
    }
    qint64 age() const override { return ageOf(m_lock.get()); }

private:
    Descriptor m_lock;
};

class PosixFolder : public OpenFolder
{
public:
    explicit PosixFolder(int descriptor) : m_folder(descriptor) {}
    bool isOpen() const { return m_folder.isOpen(); }

    std::unique_ptr<OpenFolder> child(const QString& name) const override
    {
        const std::optional<EntryFacts> entry = facts(name);
        if (!entry || !entry->ownFolder)
            return nullptr;
        auto folder = std::make_unique<PosixFolder>(
            ::openat(m_folder.get(), QFile::encodeName(name).constData(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct stat status
        {};
        if (!folder->isOpen() || ::fstat(folder->m_folder.get(), &status) != 0 ||
            status.st_uid != ::geteuid())
            return nullptr;
        return folder;
    }

    std::optional<QStringList> names() const override
    {
        const int copy = ::dup(m_folder.get());
        if (copy < 0)
            return std::nullopt;
        DIR* listing = ::fdopendir(copy);
        if (!listing) {
            ::close(copy);
            return std::nullopt;
        }
        QStringList names;
        while (const dirent* entry = ::readdir(listing)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.append(QFile::decodeName(name));
        }
        ::closedir(listing);
        return names;
    }

    std::optional<EntryFacts> facts(const QString& name) const override
    {
        struct stat status
        {};
        if (::fstatat(m_folder.get(), QFile::encodeName(name).constData(), &status,
                      AT_SYMLINK_NOFOLLOW) != 0)
            return std::nullopt;
        const bool own = status.st_uid == ::geteuid();
        return EntryFacts{.ownFile = own && S_ISREG(status.st_mode),
                          .ownFolder = own && S_ISDIR(status.st_mode),
                          .size = qint64(status.st_size),
                          .claimMark = (status.st_mode & 07777) == 0};
    }

    qint64 age() const override { return ageOf(m_folder.get()); }

    std::optional<QByteArray> read(const QString& name, qsizetype limit) const override
    {
        const Descriptor file(::openat(m_folder.get(), QFile::encodeName(name).constData(),
                                       O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        if (!file.isOpen())
            return std::nullopt;
        QByteArray content(limit, '\0');
        const ssize_t length = ::read(file.get(), content.data(), size_t(content.size()));
        content.truncate(std::max<ssize_t>(0, length));
        return content;
    }

    bool removeFile(const QString& name) const override
    {
        return ::unlinkat(m_folder.get(), QFile::encodeName(name).constData(), 0) == 0;
    }

    bool removeFolder(const QString& name) const override
    {
        return ::unlinkat(m_folder.get(), QFile::encodeName(name).constData(), AT_REMOVEDIR) == 0;
    }

    std::unique_ptr<HeldLock> takeLock(const QString& name) const override
    {
        const int lock = ::openat(m_folder.get(), QFile::encodeName(name).constData(),
                                  O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (lock < 0)
            return nullptr;
        auto held = std::make_unique<PosixLock>(lock);
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0)
            return nullptr;
        return held;
    }

private:
    Descriptor m_folder;
};

} // namespace

std::unique_ptr<OpenFolder> OpenFolder::open(const QString& path)
{
    auto folder = std::make_unique<PosixFolder>(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder->isOpen())
        return nullptr;
    return folder;
}

} // namespace batch
