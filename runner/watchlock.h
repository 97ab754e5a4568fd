// One watcher per folder, also across machines that share it: a lock file in
// the watched folder names the host and process that watch it, and the
// holder marks it as changed every minute. A lock nobody has marked for ten
// minutes is taken over, and so is one of this machine whose process has gone.
#pragma once

#include <QByteArray>
#include <QString>

namespace batch {

inline const QString watchLockName = QStringLiteral(".quorvin-watch.lock");
// A lock untouched this long is its holder's no more.
inline constexpr qint64 watchLockLifetimeSeconds = 600;

class WatchLock
{
public:
    WatchLock() = default;
    ~WatchLock(); // gives the lock up, if it is still this one's
    WatchLock(const WatchLock&) = delete;
    WatchLock& operator=(const WatchLock&) = delete;

    // Takes the lock of `folder`; when the folder cannot be written, the lock
    // is taken in `fallbackFolder` (the output) instead. Empty on success,
    // else the user-facing reason, naming the host that holds it.
    QString take(const QString& folder, const QString& fallbackFolder);
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
