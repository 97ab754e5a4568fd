#include "runner/batchrunner.h"

#include "jobframe/staging.h"
#include "protocol/catalogue.h"
#include "protocol/protocol.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTimer>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

constexpr qsizetype maxUnfinishedProgressLine = 65536;

} // namespace

QList<ProgressLine> takeProgressLines(QByteArray& buffer)
{
    QList<ProgressLine> lines;
    qsizetype newline = 0;
    while ((newline = buffer.indexOf('\n')) >= 0) {
        const QByteArray line = buffer.left(newline);
        buffer.remove(0, newline + 1);
        QJsonObject object;
        if (!parseObjectLine(line, object) || !boolMember(object, u"ocrProgress"_s, false))
            continue;
        const ProgressLine progress{intMember(object, u"completed"_s, 0),
                                    intMember(object, u"total"_s, 0),
                                    stringMember(object, u"message"_s)};
        if (progress.total > 0 && progress.completed >= 0 && progress.completed <= progress.total)
            lines.append(progress);
    }
    if (buffer.size() > maxUnfinishedProgressLine)
        buffer.clear();
    return lines;
}

namespace {

// A job succeeded when its worker exited cleanly, said ok, and its output is there.
JobOutcome outcomeOf(const QJsonObject& result, bool cleanExit, bool endedNow)
{
    JobOutcome outcome;
    // A worker prints its result as soon as the result is published; ended
    // after that, while it freed its documents, its result stands.
    const bool published =
        boolMember(result, u"ok"_s, false) && QFileInfo::exists(stringMember(result, u"output"_s));
    if (published)
        cleanExit = true;
    if (endedNow && !published) {
        outcome.state = u"已停止"_s;
        outcome.detail = u"已立即结束，未生成结果。"_s;
        return outcome;
    }
    if (cleanExit && boolMember(result, u"skipped"_s, false)) {
        outcome.skipped = true;
        outcome.state = u"已跳过"_s;
        outcome.detail = stringMember(result, u"error"_s);
        return outcome;
    }
    const QString output = stringMember(result, u"output"_s);
    outcome.succeeded =
        cleanExit && boolMember(result, u"ok"_s, false) && QFileInfo::exists(output);
    outcome.failed = !outcome.succeeded;
    if (outcome.failed) {
        outcome.detail =
            stringMember(result, u"error"_s, u"处理进程异常退出，请检查文件后重试。"_s);
        outcome.state = u"处理失败"_s;
        return outcome;
    }
    outcome.output = output;
    outcome.detail = stringMember(result, u"note"_s);
    outcome.state = outcome.detail.isEmpty() || !boolMember(result, u"review"_s, true)
                        ? u"处理完成"_s
                        : u"完成，请核对"_s;
    return outcome;
}

} // namespace

struct BatchRunner::Worker
{
    int job = -1;
    int lanes = 1;
    bool handled = false;
    bool endedNow = false;
    QByteArray errors;
    std::unique_ptr<QProcess> process;
};

BatchRunner::BatchRunner(QObject* parent) : QObject(parent) {}

BatchRunner::~BatchRunner()
{
    // Workers still running when the owner goes are ended with it.
    for (const std::unique_ptr<Worker>& worker : m_workers) {
        worker->process->disconnect();
        worker->process->kill();
        worker->process->waitForFinished(5000);
    }
}

int BatchRunner::room()
{
    return laneRoom();
}

void BatchRunner::start(const QList<JobRequest>& jobs)
{
    if (m_running)
        return;
    m_jobs = jobs;
    m_next = 0;
    m_lanesInUse = 0;
    // Taken once: lanes are counted against the room the batch started with.
    m_room = room();
    m_stopping = false;
    m_running = true;
    fill();
    if (m_workers.empty()) {
        m_running = false;
        emit finished();
    }
}

int BatchRunner::add(const JobRequest& job)
{
    if (!m_running) {
        m_room = room();
        m_stopping = false;
        m_running = true;
    }
    m_jobs.append(job);
    fill();
    return int(m_jobs.size()) - 1;
}

void BatchRunner::stop()
{
    m_stopping = true;
}

void BatchRunner::endNow()
{
    m_stopping = true;
    for (const std::unique_ptr<Worker>& worker : m_workers) {
        if (!worker->handled) {
            worker->endedNow = true;
            worker->process->kill();
        }
    }
}

void BatchRunner::signalWorkers(GroupSignal signal)
{
    for (const std::unique_ptr<Worker>& worker : m_workers)
        signalGroup(*worker->process, signal);
}

void BatchRunner::fill()
{
    const int room = m_room;
    const int maxJobs = m_maxJobs > 0 ? m_maxJobs : room;
    while (!m_stopping && m_next < m_jobs.size() && int(m_workers.size()) < maxJobs &&
           m_lanesInUse < room) {
        const JobRequest& job = m_jobs.at(m_next);
        const bool ocr = job.operation && job.operation->kind == OperationKind::Ocr;
        // A recognition job shares the free lanes with the jobs waiting to
        // start beside it; the last one waiting takes them all.
        const int free = room - m_lanesInUse;
        const int waiting = int(m_jobs.size()) - m_next;
        const int sharing = std::max(1, std::min({free, waiting, maxJobs - int(m_workers.size())}));
        const int lanes = ocr ? std::max(1, free / sharing) : 1;
        launch(m_next++, lanes);
    }
}

void BatchRunner::launch(int job, int lanes)
{
    auto owned = std::make_unique<Worker>();
    Worker* worker = owned.get();
    worker->job = job;
    worker->lanes = lanes;
    worker->process = std::make_unique<QProcess>();
    QProcess* process = worker->process.get();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Every job's threads and buffers fit the lanes it was granted.
    environment.insert(u"QPB_LANES"_s, QString::number(lanes));
    environment.insert(u"QPB_OCR_LANES"_s, QString::number(lanes));
    environment.insert(u"QPB_PARENT_PID"_s, QString::number(QCoreApplication::applicationPid()));
    // Passwords travel in the request on standard input, never in the environment.
    environment.remove(u"QPB_PASSWORD"_s);
    environment.remove(u"QPB_NEW_PASSWORD"_s);
    process->setProcessEnvironment(environment);
    startInOwnGroup(*process);
    m_workers.push_back(std::move(owned));
    m_lanesInUse += lanes;

    const QByteArray request = toLine(toJson(m_jobs.at(job)));
    connect(process, &QProcess::started, this, [process, request] {
        process->write(request);
        process->closeWriteChannel();
    });
    connect(process, &QProcess::readyReadStandardError, this, [this, worker] {
        worker->errors.append(worker->process->readAllStandardError());
        for (const ProgressLine& line : takeProgressLines(worker->errors))
            emit jobProgress(worker->job, line.completed, line.total, line.message);
    });
    connect(process, &QProcess::errorOccurred, this, [this, worker](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            finishWorker(worker,
                         failureResult(u"无法启动处理进程："_s + worker->process->errorString()),
                         false);
    });
    connect(process, &QProcess::finished, this,
            [this, worker](int exitCode, QProcess::ExitStatus status) {
                const QByteArray text = worker->process->readAllStandardOutput().trimmed();
                finishWorker(worker, QJsonDocument::fromJson(text).object(),
                             status == QProcess::NormalExit && exitCode == 0);
            });
    emit jobStarted(job);
    process->start(m_program, {u"--worker"_s});
}

void BatchRunner::finishWorker(Worker* worker, const QJsonObject& result, bool cleanExit)
{
    if (worker->handled)
        return;
    worker->handled = true;
    m_lanesInUse -= worker->lanes;
    const int job = worker->job;
    const bool endedNow = worker->endedNow;
    // An ended or crashed worker could not remove its own staging folder.
    if (endedNow || worker->process->exitStatus() == QProcess::CrashExit)
        removeStaleStagingFolders(m_jobs.at(job).output);
    emit jobFinished(job, outcomeOf(result, cleanExit, endedNow));

    // The process object goes once its signal handlers have returned.
    const auto found = std::find_if(m_workers.begin(), m_workers.end(),
                                    [worker](const auto& owned) { return owned.get() == worker; });
    if (found != m_workers.end()) {
        QProcess* process = (*found)->process.release();
        process->disconnect(this);
        process->deleteLater();
        m_workers.erase(found);
    }
    QTimer::singleShot(0, this, [this] {
        if (!m_running)
            return;
        fill();
        if (m_workers.empty()) {
            m_running = false;
            emit finished();
        }
    });
}

} // namespace batch
