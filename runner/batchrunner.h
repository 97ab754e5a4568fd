// Runs the jobs of a batch, each in a fresh worker process, driven entirely
// by QProcess signals: the caller never waits for a worker.
//
// Several workers run at once while the machine has room: the room is one
// lane per core the process may use, fewer when memory is short (about
// 200 MiB a lane). A document job takes one lane; a recognition job takes
// its share of the free lanes (all of them when it is the last job waiting)
// and is told so through QPB_OCR_LANES, so that the lanes of all workers
// together never exceed the room. Jobs start in their order.
#pragma once

#include "engine/platformproc.h"
#include "protocol/request.h"

#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class QProcess;

namespace batch {

// One progress line of a worker's standard error.
struct ProgressLine
{
    int completed = 0;
    int total = 0;
    QString message;
};
// Takes the complete lines off the front of `buffer` and returns the valid
// progress among them; an unfinished line over 64 KiB is dropped.
QList<ProgressLine> takeProgressLines(QByteArray& buffer);

// What became of one job, as the window's rows and the report show it.
struct JobOutcome
{
    bool succeeded = false;
    bool failed = false;  // neither, when the job was ended before it finished
    bool skipped = false; // the file needed nothing done; nothing was written
    QString output;       // the published result, when it succeeded
    QString state; // "处理完成", "完成，请核对", "已跳过", "处理失败" or "已停止"
    QString detail; // the result's note, or why it failed
};

class BatchRunner : public QObject
{
    Q_OBJECT
public:
    explicit BatchRunner(QObject* parent = nullptr);
    ~BatchRunner() override;

    void setWorkerProgram(const QString& program) { m_program = program; }
    // At most this many workers at once; 0 lets the machine decide.
    void setMaxJobs(int jobs) { m_maxJobs = jobs; }
    // The lanes the machine has room for; jobs never take more together.
    static int room();

    void start(const QList<JobRequest>& jobs);
    // Adds a job behind the others, starting the runner when it is idle;
    // returns its number in jobStarted(), jobFinished() and the like.
    int add(const JobRequest& job);
    // No new job starts; running ones finish.
    void stop();
    // Running workers are ended now; their jobs publish nothing.
    void endNow();
    // Passes a job-control signal on to every running worker's process group.
    void signalWorkers(GroupSignal signal);
    bool isRunning() const { return m_running; }
    bool isStopping() const { return m_stopping; }
    int runningCount() const { return int(m_workers.size()); }
    // The number the next job add() takes will have.
    int jobCount() const { return int(m_jobs.size()); }

signals:
    void jobStarted(int job);
    void jobProgress(int job, int completed, int total, const QString& message);
    void jobFinished(int job, const batch::JobOutcome& outcome);
    // After the last job, or after stop() once the running ones have finished.
    void finished();

private:
    struct Worker;
    void fill();
    void launch(int job, int lanes);
    void finishWorker(Worker* worker, const QJsonObject& result, bool cleanExit);

    QString m_program;
    int m_maxJobs = 0;
    QList<JobRequest> m_jobs;
    int m_next = 0;
    int m_room = 1;
    int m_lanesInUse = 0;
    bool m_running = false;
    bool m_stopping = false;
    std::vector<std::unique_ptr<Worker>> m_workers;
};

} // namespace batch
