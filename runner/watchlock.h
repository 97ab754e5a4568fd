// One watcher per folder, also across machines that share it: a lock file in
// the watched folder names the host and process that watch it, and the
// holder marks it as changed every minute. A lock nobody has marked for ten
// minutes is taken over, and so is one of this machine whose process has gone.
#pragma once

#include <QByteArray>
#include <QString>

namespace batch {

inline const QString watchLockName = QStringLiteral(".quorvin-watch.lock");
// The output folder's: one watch at a time writes its journal.
inline const QString journalLockName = QStringLiteral(".quorvin-watch-journal.lock");
// A lock untouched this long is its holder's no more.
inline constexpr qint64 watchLockLifetimeSeconds = 600;

class WatchLock
{
public:
    WatchLock() = default;
    ~WatchLock(); // gives the lock up, if it is still this one's
    WatchLock(const WatchLock&) = delete;
    WatchLock& operator=(const WatchLock&) = delete;

    // Takes the lock file at `path`. Empty on success, else the user-facing
    // reason: `heldText` with %1 the host that holds it, %2 its process, %3
    // the lock file.
    QString take(const QString& path, const QString& heldText);
    // Marks the lock as held now. False when it is no longer this one's:
    // another watcher took it over, or it was removed.
    bool touch();
    void release();
    bool isHeld() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }

private:
    QString m_path;
    QByteArray m_record;
};

} // namespace batch
