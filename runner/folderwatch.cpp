#include "runner/folderwatch.h"

#include "engine/platformfs.h"
#include "protocol/catalogue.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <utility>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr int maxDepth = 32;
constexpr int lockTouchMs = 60000;
constexpr qint64 hashChunk = qint64(1) << 20;

qint64 modifiedOf(const QFileInfo& info)
{
    return info.lastModified().toMSecsSinceEpoch();
}

// Where a result of `path` (relative to the watched folder) goes: the same
// subfolder of the output, so that two scanners' "1.pdf" stay apart.
QString outputFolderFor(const QString& output, const QString& path)
{
    const QString sub = QFileInfo(path).path();
    return sub == u"."_s ? output : QDir(output).filePath(sub);
}

bool inside(const QString& folder, const QString& path)
{
#ifdef Q_OS_WIN
    constexpr Qt::CaseSensitivity sensitivity = Qt::CaseInsensitive;
#else
    constexpr Qt::CaseSensitivity sensitivity = Qt::CaseSensitive;
#endif
    return !folder.isEmpty() && !path.isEmpty() &&
           (path.compare(folder, sensitivity) == 0 || path.startsWith(folder + u'/', sensitivity));
}

} // namespace

QString watchProblem(const WatchSettings& settings, const JobRequest& request)
{
    if (!request.operation)
        return u"未知处理类型。"_s;
    if (request.operation->kind == OperationKind::Merge)
        return u"合并需要事先选定的文件和顺序，不能用于监视文件夹。"_s;
    if (oneJobForAll(request))
        return u"“合并为一个 PDF”需要事先选定的图片，不能用于监视文件夹。"_s;
    if (request.operation->kind == OperationKind::Stamp && request.batesDigits > 0)
        return u"Bates 编号按选定文件的顺序连续编排，不能用于监视文件夹。"_s;
    if (settings.settleMs < minSettleMs)
        return u"稳定等待时间至少为 1 秒。"_s;
    if (settings.intervalMs < minIntervalMs)
        return u"检查间隔至少为 0.1 秒。"_s;
    const QFileInfo folder(settings.folder);
    if (!folder.isDir() || !folder.isReadable())
        return u"要监视的文件夹不存在或无法读取：%1"_s.arg(
            QDir::toNativeSeparators(settings.folder));
    if (sameFile(request.output, folder.absoluteFilePath()))
        return u"输出文件夹不能是被监视的文件夹本身，否则结果会被当作新文件再次处理。"
               u"请另选输出文件夹，例如其中的子文件夹。"_s;
    return {};
}

FolderWatch::FolderWatch(QObject* parent) : QObject(parent)
{
    m_readers.setMaxThreadCount(2);
    m_scanner.setMaxThreadCount(1);
    connect(&m_poll, &QTimer::timeout, this, [this] { poll(); });
    // The locks are marked by the next scan, off the caller's thread too.
    connect(&m_lockTouch, &QTimer::timeout, this, [this] { m_touchDue = true; });
    connect(&m_runner, &BatchRunner::jobStarted, this, [this](int job) {
        if (m_jobs.contains(job))
            emit fileStarted(QDir(m_settings.folder).filePath(m_jobs.value(job).path));
    });
    connect(&m_runner, &BatchRunner::jobProgress, this,
            [this](int job, int completed, int total, const QString& message) {
                emit fileProgress(QDir(m_settings.folder).filePath(m_jobs.value(job).path),
                                  completed, total, message);
            });
    connect(&m_runner, &BatchRunner::jobFinished, this,
            [this](int job, const JobOutcome& outcome) { onJobFinished(job, outcome); });
    connect(&m_runner, &BatchRunner::finished, this, [this] { endWhenIdle(); });
}

FolderWatch::~FolderWatch()
{
    if (m_cancel)
        *m_cancel = true;
    m_readers.waitForDone();
    m_scanner.waitForDone();
}

QString FolderWatch::start(const WatchSettings& settings, const JobRequest& request)
{
    if (m_watching)
        return u"已在监视。"_s;
    if (const QString problem = watchProblem(settings, request); !problem.isEmpty())
        return problem;
    if (!QDir().mkpath(request.output) || !QFileInfo(request.output).isWritable())
        return u"输出位置无效：请选择可写的文件夹。"_s;
    QString failure;
    if (!m_journal.load(request.output, failure))
        return failure;
    if (const QString held = takeLocks(settings.folder, request.output); !held.isEmpty())
        return held;

    m_settings = settings;
    m_settings.folder = QFileInfo(settings.folder).absoluteFilePath();
    m_request = request;
    const QString output = QFileInfo(request.output).canonicalFilePath();
    m_excluded =
        inside(QFileInfo(settings.folder).canonicalFilePath(), output) ? output : QString();
    m_seen.clear();
    m_jobs.clear();
    m_retry.clear();
    m_trouble.clear();
    m_failure.clear();
    m_cancel = std::make_shared<std::atomic<bool>>(false);
    m_watching = true;
    m_stopping = false;
    m_firstPoll = true;
    m_scanning = false;
    m_touchDue = false;
    m_clock.start();
    m_poll.start(settings.intervalMs);
    m_lockTouch.start(lockTouchMs);
    QTimer::singleShot(0, this, [this] { poll(); });
    return {};
}

// The watched folder's lock keeps a second watcher off it; a folder we may
// only read (a scanner's share) cannot keep one, and the output's lock is
// all there is. The output's lock keeps two watches from writing one journal.
QString FolderWatch::takeLocks(const QString& folder, const QString& output)
{
    m_lockedFolder = QFileInfo(folder).isWritable();
    if (m_lockedFolder) {
        const QString held =
            m_lock.take(QDir(folder).filePath(watchLockName),
                        u"此文件夹已由 %1（进程 %2）监视，不能再次监视。若那里的监视已结束，"
                        u"锁定文件 %3 在 10 分钟无更新后失效。"_s);
        if (!held.isEmpty())
            return held;
    }
    const QString held = m_journalLock.take(
        QDir(output).filePath(journalLockName),
        u"输出文件夹正由 %1（进程 %2）的监视写入记录，两个监视不能共用一个输出文件夹。"
        u"若那里的监视已结束，锁定文件 %3 在 10 分钟无更新后失效。"_s);
    if (!held.isEmpty())
        m_lock.release();
    return held;
}

void FolderWatch::stop()
{
    if (!m_watching || m_stopping)
        return;
    m_stopping = true;
    m_poll.stop();
    m_lockTouch.stop();
    *m_cancel = true;
    m_runner.stop();
    // Said after stop() has returned, as when jobs are still to finish.
    QTimer::singleShot(0, this, [this] { endWhenIdle(); });
}

void FolderWatch::endNow()
{
    stop();
    m_runner.endNow();
}

void FolderWatch::retryFailed()
{
    for (auto it = m_seen.begin(); it != m_seen.end(); ++it) {
        const WatchRecord* last = m_journal.latest(it.key());
        if (it->phase != Phase::Done || !last || reportStatus(last->state) != u"failed"_s)
            continue;
        m_retry.insert(it.key());
        it->phase = Phase::Settling;
        it->stableSince = m_clock.elapsed() - m_settings.settleMs;
    }
    poll();
}

namespace {

// Only the folder's entries are read here: names, sizes and times. Hidden
// entries (ours start with a dot, as do staging folders) are not listed.
void listFolder(const QString& folder, bool recursive, const QString& excluded, SourceKind kind,
                int depth, QList<WatchedEntry>& entries)
{
    QDirIterator found(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    while (found.hasNext()) {
        found.next();
        const QFileInfo info = found.fileInfo();
        if (info.fileName().startsWith(u'.'))
            continue;
        if (!info.isDir()) {
            if (hasSuffix(info, kind))
                entries.append({info.absoluteFilePath(), info.size(), modifiedOf(info)});
        } else if (recursive && depth < maxDepth && !info.isSymLink() &&
                   !inside(excluded, info.canonicalFilePath())) {
            listFolder(info.absoluteFilePath(), recursive, excluded, kind, depth + 1, entries);
        }
    }
}

} // namespace

// A share that hangs does not hang the caller: the folder is read, and the
// locks marked, on a thread of their own; a poll that finds the last scan
// still running waits for the next.
void FolderWatch::poll()
{
    if (!m_watching || m_stopping || m_scanning)
        return;
    m_scanning = true;
    const bool touch = std::exchange(m_touchDue, false);
    m_scanner.start([this, touch, folder = m_settings.folder, recursive = m_settings.recursive,
                     excluded = m_excluded, kind = sourceKind(*m_request.operation)] {
        Scan scan;
        scan.reachable = QFileInfo(folder).isDir();
        if (scan.reachable)
            listFolder(folder, recursive, excluded, kind, 0, scan.entries);
        if (touch)
            scan.locksHeld = (!m_lockedFolder || m_lock.touch()) && m_journalLock.touch();
        QMetaObject::invokeMethod(
            this, [this, scan] { onScanned(scan); }, Qt::QueuedConnection);
    });
}

void FolderWatch::onScanned(const Scan& scan)
{
    m_scanning = false;
    if (!scan.locksHeld) {
        m_failure = u"另一个监视程序接管了此文件夹，本次监视已停止。"_s;
        stop();
    }
    if (m_stopping) {
        endWhenIdle();
        return;
    }
    if (!scan.reachable) {
        // A share that went away comes back; the files seen stay known meanwhile.
        const QString message = u"无法访问被监视的文件夹 %1，恢复后将自动继续。"_s.arg(
            QDir::toNativeSeparators(m_settings.folder));
        if (message != m_trouble)
            emit trouble(m_trouble = message);
        return;
    }
    if (!m_trouble.isEmpty())
        emit trouble(m_trouble = QString());
    QSet<QString> present;
    for (const WatchedEntry& entry : scan.entries) {
        if (!m_journal.isResult(entry.path))
            see(entry.path, entry.size, entry.modified, present);
    }
    for (auto it = m_seen.begin(); it != m_seen.end();) {
        const bool idle = it->phase == Phase::Settling || it->phase == Phase::Done;
        it = idle && !present.contains(it.key()) ? m_seen.erase(it) : std::next(it);
    }
    m_firstPoll = false;
    emit checked(QDateTime::currentDateTime());
}

void FolderWatch::see(const QString& file, qint64 size, qint64 modified, QSet<QString>& present)
{
    const QString path = QDir(m_settings.folder).relativeFilePath(file);
    present.insert(path);
    const qint64 now = m_clock.elapsed();
    auto seen = m_seen.find(path);
    if (seen == m_seen.end()) {
        seen = m_seen.insert(
            path, Seen{size, modified, now, Phase::Settling, m_firstPoll && m_settings.newOnly});
    } else if (seen->size != size || seen->modified != modified) {
        seen->size = size;
        seen->modified = modified;
        seen->stableSince = now;
        if (seen->phase == Phase::Done)
            seen->phase = Phase::Settling;
    }
    if (seen->phase == Phase::Settling && now - seen->stableSince >= m_settings.settleMs)
        check(path);
}

namespace {

// Read off the caller's thread: a writer still holding the file, or a change
// while it is read, makes it wait for another settle time.
template <typename Check>
Check readCandidate(const QString& path, SourceKind kind, const std::atomic<bool>& cancel)
{
    Check check;
    const QFileInfo before(path);
    check.size = before.size();
    check.modified = modifiedOf(before);
    QFile file(path);
    if (heldByWriter(path) || !file.open(QIODevice::ReadOnly)) {
        check.busy = true;
        return check;
    }
    QStringList listed;
    const QList<Refusal> refused = takeFiles({path}, listed, 1, kind);
    check.refusal = refused.isEmpty() ? QString() : refused.first().reason;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    while (!file.atEnd()) {
        const QByteArray chunk = file.read(hashChunk);
        if (cancel || (chunk.isEmpty() && file.error() != QFileDevice::NoError)) {
            check.busy = true;
            return check;
        }
        hash.addData(chunk);
    }
    check.sha256 = hash.result().toHex();
    const QFileInfo after(path);
    check.busy = after.size() != check.size || modifiedOf(after) != check.modified;
    return check;
}

} // namespace

void FolderWatch::check(const QString& path)
{
    m_seen[path].phase = Phase::Checking;
    ++m_checking;
    const QString file = QDir(m_settings.folder).filePath(path);
    const SourceKind kind = sourceKind(*m_request.operation);
    m_readers.start([this, path, file, kind, cancel = m_cancel] {
        const Check check = readCandidate<Check>(file, kind, *cancel);
        QMetaObject::invokeMethod(
            this, [this, path, check] { onChecked(path, check); }, Qt::QueuedConnection);
    });
}

void FolderWatch::onChecked(const QString& path, const Check& check)
{
    --m_checking;
    const auto found = m_seen.find(path);
    if (m_stopping || found == m_seen.end()) {
        if (found != m_seen.end())
            found->phase = Phase::Settling;
        endWhenIdle();
        return;
    }
    Seen& seen = *found;
    if (check.busy || check.size != seen.size || check.modified != seen.modified) {
        seen.phase = Phase::Settling;
        seen.stableSince = m_clock.elapsed();
        return;
    }
    const bool retry = m_retry.remove(path);
    const WatchRecord* last = m_journal.latest(path);
    if (last && last->sha256 == check.sha256 &&
        !(retry && reportStatus(last->state) == u"failed"_s)) {
        seen.phase = Phase::Done;
        return;
    }
    const Pending pending{path, check.size, check.modified, check.sha256};
    seen.phase = Phase::Done;
    if (seen.initial) {
        seen.initial = false;
        record(pending, u"已跳过"_s, {}, u"开始监视时已在文件夹中（只处理新文件）"_s);
    } else if (!check.refusal.isEmpty()) {
        // Said once; tried again only when the file changes.
        JobOutcome refused;
        refused.failed = true;
        refused.state = u"未添加"_s;
        refused.detail = check.refusal;
        record(pending, refused.state, {}, refused.detail);
        emit fileFinished(QDir(m_settings.folder).filePath(path), refused);
    } else {
        seen.phase = Phase::Running;
        startJob(path, check);
    }
}

void FolderWatch::startJob(const QString& path, const Check& check)
{
    JobRequest job = m_request;
    job.inputs = {QDir(m_settings.folder).filePath(path)};
    job.output = outputFolderFor(m_request.output, path);
    job.sequence = ++m_sequence;
    QDir().mkpath(job.output);
    m_jobs.insert(m_runner.jobCount(), Pending{path, check.size, check.modified, check.sha256});
    m_runner.add(job);
}

void FolderWatch::onJobFinished(int job, const JobOutcome& outcome)
{
    const Pending pending = m_jobs.take(job);
    // Ended before it finished: nothing is recorded, and the next start does it.
    const bool ended = !outcome.succeeded && !outcome.failed && !outcome.skipped;
    if (!ended)
        record(pending, outcome.state, outcome.output, outcome.detail);
    const auto seen = m_seen.find(pending.path);
    if (seen != m_seen.end()) {
        const bool changed = seen->size != pending.size || seen->modified != pending.modified;
        seen->phase = ended || changed ? Phase::Settling : Phase::Done;
    }
    emit fileFinished(QDir(m_settings.folder).filePath(pending.path), outcome);
    endWhenIdle();
}

void FolderWatch::record(const Pending& pending, const QString& state, const QString& output,
                         const QString& detail)
{
    QString failure;
    if (m_journal.append({pending.path, pending.size, pending.modified, pending.sha256, state,
                          output, detail, QString()},
                         failure))
        return;
    // Without its journal the watch would do the same files again after a restart.
    m_failure = failure;
    stop();
}

void FolderWatch::endWhenIdle()
{
    if (!m_watching || !m_stopping || m_runner.runningCount() > 0 || m_checking > 0 || m_scanning)
        return;
    m_watching = false;
    m_lock.release();
    m_journalLock.release();
    emit finished(m_failure);
}

} // namespace batch
