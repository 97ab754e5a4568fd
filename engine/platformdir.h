// What the sweep of leftover working folders needs of the file system, one
// implementation per system. A folder is opened once and its entries are
// reached through it without following links, so that an entry swapped for a
// link between a check and a removal is never followed into someone's files.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace batch {

// What an entry is, as seen without following a link.
struct EntryFacts
{
    bool ownFile = false;   // a plain file of this user's
    bool ownFolder = false; // a folder of this user's
    qint64 size = 0;
    // Made unreadable to mark a claimed name: no permissions on POSIX
    // systems, hidden on Windows.
    bool claimMark = false;
};

class OpenFolder
{
public:
    virtual ~OpenFolder() = default;

    // The folder at `path`, or null when it cannot be opened.
    static std::unique_ptr<OpenFolder> open(const QString& path);
    // The entry `name` when it is a folder of this user's, never through a link.
    virtual std::unique_ptr<OpenFolder> child(const QString& name) const = 0;

    virtual std::optional<QStringList> names() const = 0;
    virtual std::optional<EntryFacts> facts(const QString& name) const = 0;
    // Seconds since the folder last changed.
    virtual qint64 age() const = 0;
    // The start of the file `name`, up to `limit` bytes.
    virtual std::optional<QByteArray> read(const QString& name, qsizetype limit) const = 0;
    virtual bool removeFile(const QString& name) const = 0;
    virtual bool removeFolder(const QString& name) const = 0; // only while empty

    // The lock in the file `name`, held until the returned object ends, when
    // nobody else holds it; null while someone does.
    class HeldLock
    {
    public:
        virtual ~HeldLock() = default;
        virtual QByteArray record(qsizetype limit) const = 0;
        virtual qint64 age() const = 0; // seconds since the lock file last changed
    };
    virtual std::unique_ptr<HeldLock> takeLock(const QString& name) const = 0;
};

} // namespace batch
