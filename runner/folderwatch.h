// A watched folder: every file of the operation's kind that arrives in it is
// processed once, into the output folder, by the batch's own workers.
//
// The folder is polled, as shares send no change events. A file counts once
// its size and time have stood still for the settle time and it opens with
// no writer holding it; it is then read once, off the caller's thread, for
// its hash. The journal in the output folder says which files were done, so
// that neither a restart nor a file that keeps failing is processed again
// until its content changes. Sources are only ever read.
#pragma once

#include "engine/platformproc.h"
#include "protocol/request.h"
#include "runner/batchrunner.h"
#include "runner/sources.h"
#include "runner/watchjournal.h"
#include "runner/watchlock.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>

namespace batch {

struct WatchSettings
{
    QString folder;
    bool recursive = false;
    int settleMs = 5000;
    int intervalMs = 2000;
    bool newOnly = false; // files there at the start are recorded as skipped
};
inline constexpr int minSettleMs = 1000;
inline constexpr int minIntervalMs = 100;

// A file a poll found: its absolute path, size and time (ms since 1970).
struct WatchedEntry
{
    QString path;
    qint64 size = 0;
    qint64 modified = 0;
};

// Why `request` cannot run on arriving files of `settings`' folder, or "".
QString watchProblem(const WatchSettings& settings, const JobRequest& request);

class FolderWatch : public QObject
{
    Q_OBJECT
public:
    explicit FolderWatch(QObject* parent = nullptr);
    ~FolderWatch() override;

    void setWorkerProgram(const QString& program) { m_runner.setWorkerProgram(program); }
    void setMaxJobs(int jobs) { m_runner.setMaxJobs(jobs); }

    // Starts watching with `request` as every job's settings (its output the
    // results' folder). Empty on success, else why it could not start.
    QString start(const WatchSettings& settings, const JobRequest& request);
    // No new file starts; running ones finish, then finished().
    void stop();
    // Running workers end now; their files are left for the next start.
    void endNow();
    // Files whose last attempt failed are tried again, once.
    void retryFailed();
    void signalWorkers(GroupSignal signal) { m_runner.signalWorkers(signal); }

    bool isWatching() const { return m_watching; }
    const WatchSettings& settings() const { return m_settings; }
    const JobRequest& request() const { return m_request; }
    // Everything the journal holds, as a batch report's entries.
    QList<ReportEntry> reportEntries() const { return m_journal.entries(m_settings.folder); }

signals:
    void fileStarted(const QString& path);
    void fileProgress(const QString& path, int completed, int total, const QString& message);
    void fileFinished(const QString& path, const batch::JobOutcome& outcome);
    void checked(const QDateTime& when);
    // Something the user should know while the watch goes on, such as a
    // folder that cannot be reached; "" once it is over.
    void trouble(const QString& message);
    // The watch has ended: stopped as asked (`failure` empty) or for `failure`.
    void finished(const QString& failure);

private:
    enum class Phase
    {
        Settling, // seen changing; waits for the settle time
        Checking, // being read for its hash
        Running,  // its job runs
        Done,     // in the journal with its present content
    };
    struct Seen
    {
        qint64 size = -1;
        qint64 modified = 0;
        qint64 stableSince = 0;
        Phase phase = Phase::Settling;
        bool initial = false; // there at the start of a watch of new files only
    };
    struct Check
    {
        qint64 size = 0;
        qint64 modified = 0;
        bool busy = false; // a writer holds it, or it changed while read
        QString refusal;   // why a batch would not take it
        QByteArray sha256;
    };
    struct Pending
    {
        QString path;
        qint64 size = 0;
        qint64 modified = 0;
        QByteArray sha256;
    };

    QString takeLocks(const QString& folder, const QString& output);
    struct Scan
    {
        bool reachable = false;
        bool locksHeld = true;
        QList<WatchedEntry> entries;
    };
    void poll();
    void onScanned(const Scan& scan);
    void see(const QString& file, qint64 size, qint64 modified, QSet<QString>& present);
    void check(const QString& path);
    void onChecked(const QString& path, const Check& check);
    void startJob(const QString& path, const Check& check);
    void onJobFinished(int job, const JobOutcome& outcome);
    void record(const Pending& pending, const QString& state, const QString& output,
                const QString& detail);
    void end(const QString& failure);
    void endWhenIdle();

    WatchSettings m_settings;
    JobRequest m_request;
    QString m_excluded; // the output folder, when it lies inside the watched one
    BatchRunner m_runner;
    WatchJournal m_journal;
    WatchLock m_lock;        // the watched folder's
    WatchLock m_journalLock; // the output folder's
    QTimer m_poll;
    QTimer m_lockTouch;
    QElapsedTimer m_clock;
    QHash<QString, Seen> m_seen; // by path relative to the folder
    QHash<int, Pending> m_jobs;
    QSet<QString> m_retry;
    QString m_trouble;
    QString m_failure;
    int m_checking = 0;
    int m_sequence = 0;
    bool m_watching = false;
    bool m_stopping = false;
    bool m_firstPoll = true;
    bool m_scanning = false;     // a scan runs on m_scanner
    bool m_touchDue = false;     // the next scan marks the locks
    bool m_lockedFolder = false; // the watched folder could be written, and holds our lock
    QThreadPool m_readers;
    QThreadPool m_scanner;
    std::shared_ptr<std::atomic<bool>> m_cancel;
};

} // namespace batch
