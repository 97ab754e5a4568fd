#include "app/batchcommand.h"

#include "app/commandline.h"
#include "app/console.h"
#include "app/stampoptions.h"
#include "app/watchcommand.h"

#include "engine/pdfdocument.h"
#include "engine/platformfs.h"
#include "protocol/catalogue.h"
#include "protocol/ocroptions.h"
#include "protocol/protocol.h"
#include "protocol/request.h"
#include "runner/batchrunner.h"
#include "runner/sources.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

class BatchCommand : public QObject
{
public:
    int run(const Command& command, const QString& workerProgram);

private:
    int prepare(const Command& command);
    void onFinished(int chunkJob, const JobOutcome& outcome);
    void startNextChunk();
    void onChunkFinished();
    void showProgress(const QString& current = QString());
    void pollInterrupts();
    bool writeReport();
    // A usage error found once the files are known: the report still says
    // what became of each.
    int refuseBatch(const QString& message, int code);

    const Operation* m_operation = nullptr;
    QList<JobRequest> m_jobs;
    JobRequest m_settings; // what every job shares, for the report
    QList<QList<int>> m_entriesOfJob;
    QList<ReportEntry> m_entries;
    QString m_report;
    int m_maxJobs = 0;
    qsizetype m_chunkStart = 0;
    int m_finished = 0;
    int m_succeeded = 0;   // entries
    int m_skipped = 0;     // entries given twice, done once
    int m_nothingToDo = 0; // entries that needed nothing done
    bool m_terminal = false;
    BatchRunner m_runner;
    QTimer m_interruptPoll;
};

int BatchCommand::prepare(const Command& command)
{
    m_operation = command.operation;
    m_report = command.report;
    m_maxJobs = command.maxJobs;
    JobRequest request = command.request;
    const OperationKind kind = m_operation->kind;
    const QStringList files = command.files;
    m_settings = request;

    // The files: as the window takes them, each refusal with its reason, but
    // any number of them; a file given twice is done once, and said so.
    QStringList inputs;
    QList<ReportEntry> refused;
    bool anyRefused = false;
    for (const Refusal& refusal : takeFiles(files, inputs, std::numeric_limits<qsizetype>::max(),
                                            sourceKind(*m_operation))) {
        say(stderr,
            u"未添加 %1：%2\n"_s.arg(QDir::toNativeSeparators(refusal.path), refusal.reason));
        const bool twice = refusal.reason == u"已在列表中"_s;
        anyRefused = anyRefused || !twice;
        m_skipped += twice ? 1 : 0;
        refused.append({refusal.path, twice ? u"已跳过"_s : u"未添加"_s, QString(),
                        twice ? u"与列表中的另一项是同一文件，只处理一次"_s : refusal.reason});
    }
    m_entries = refused;
    for (const QString& input : std::as_const(inputs)) {
        if (!m_report.isEmpty() && sameFile(m_report, input))
            return usage(u"请选择独立的报告文件名。"_s);
    }
    // A merge is one document: a part missing would make it another one.
    if (kind == OperationKind::Merge && anyRefused) {
        QList<ReportEntry> untouched;
        for (const QString& input : std::as_const(inputs))
            untouched.append({input, u"未处理"_s, QString(), u"其他文件无法添加，合并未进行"_s});
        m_entries = untouched + m_entries;
        return refuseBatch(u"合并未进行：以上文件无法添加，未生成合并文档。/ nothing was merged: "
                           u"the files above cannot be added."_s,
                           1);
    }
    // Files given that none could be added are failures, as in a longer list;
    // a command without any file is a usage error.
    if (kind != OperationKind::Merge && inputs.isEmpty() && anyRefused)
        return refuseBatch(u"以上文件均未添加，未处理任何文件。/ none of the files above could "
                           u"be added."_s,
                           1);
    if (inputs.size() < (kind == OperationKind::Merge ? 2 : 1))
        return refuseBatch(kind == OperationKind::Merge
                               ? u"请添加有效文件；合并至少需要 2 份，单批最多 200 份。"_s
                               : u"请添加要处理的文件。/ name the files to process."_s,
                           usageError);
    // A merge is one document: more sources than it takes would be a partial one.
    if (oneJobForAll(request) && inputs.size() > maxSources)
        return usage(u"合并最多 200 份文件，共给出 %1 份；未处理任何文件。"_s.arg(inputs.size()));
    if (!QDir().mkpath(request.output) || !QFileInfo(request.output).isWritable())
        return usage(
            u"输出位置无效：请选择可写的文件夹。/ the output folder cannot be written: "_s +
            request.output);

    QList<ReportEntry> listed;
    for (const QString& input : std::as_const(inputs))
        listed.append({input, u"等待处理"_s, QString(), QString()});
    m_entries = listed + m_entries;
    if (oneJobForAll(request)) {
        request.inputs = inputs;
        m_jobs.append(request);
        QList<int> all;
        for (int i = 0; i < inputs.size(); ++i)
            all.append(i);
        m_entriesOfJob.append(all);
    } else {
        // Bates numbers go on from file to file in list order.
        const QList<qint64> bates = kind == OperationKind::Stamp && request.batesDigits > 0
                                        ? batesStarts(inputs, request.password, request.batesStart)
                                        : QList<qint64>();
        for (int i = 0; i < inputs.size(); ++i) {
            request.inputs = {inputs.at(i)};
            request.sequence = i + 1;
            if (!bates.isEmpty())
                request.batesStart = bates.at(i);
            m_jobs.append(request);
            m_entriesOfJob.append(QList<int>{i});
        }
    }
    return -1;
}

int BatchCommand::refuseBatch(const QString& message, int code)
{
    say(stderr, message + u'\n');
    writeReport();
    return code;
}

void BatchCommand::showProgress(const QString& current)
{
    if (!m_terminal)
        return;
    constexpr int width = 30;
    const int total = int(m_jobs.size());
    const int filled = total > 0 ? m_finished * width / total : width;
    say(stdout,
        u"\r\033[K[%1%2] %3 / %4"_s.arg(QString(filled, u'#'), QString(width - filled, u'-'))
                .arg(m_finished)
                .arg(total) +
            (current.isEmpty() ? QString() : u" · "_s + current));
}

// The jobs run as successive batches of at most 200, as the window runs one.
void BatchCommand::startNextChunk()
{
    const qsizetype size = std::min<qsizetype>(maxSources, m_jobs.size() - m_chunkStart);
    m_runner.start(m_jobs.mid(m_chunkStart, size));
}

void BatchCommand::onChunkFinished()
{
    m_chunkStart += maxSources;
    if (console::events().interrupts == 0 && console::events().terminated == 0 &&
        m_chunkStart < m_jobs.size())
        startNextChunk();
    else
        QCoreApplication::quit();
}

void BatchCommand::onFinished(int chunkJob, const JobOutcome& outcome)
{
    const int job = int(m_chunkStart) + chunkJob;
    ++m_finished;
    if (m_terminal)
        say(stdout, u"\r\033[K"_s);
    for (const int index : m_entriesOfJob.at(job)) {
        ReportEntry& entry = m_entries[index];
        entry.state = outcome.state;
        entry.output = outcome.output;
        entry.detail = outcome.detail;
        m_succeeded += outcome.succeeded ? 1 : 0;
        m_nothingToDo += outcome.skipped ? 1 : 0;
        say(stdout, outcomeLine(entry.input, outcome));
    }
    showProgress();
}

void BatchCommand::pollInterrupts()
{
    followSuspension(m_runner);
    const console::Events& events = console::events();
    if ((events.terminated || events.interrupts >= 2) && m_runner.isRunning()) {
        m_runner.endNow();
    } else if (events.interrupts >= 1 && !m_runner.isStopping() && m_runner.isRunning()) {
        m_runner.stop();
        say(stderr,
            u"\n正在停止：不再开始新文件，正在处理的文件完成后结束；再按 Ctrl-C 立即结束。\n"
            u"Stopping: no new files; press Ctrl-C again to end the running ones now.\n"_s);
    }
}

int BatchCommand::run(const Command& command, const QString& workerProgram)
{
    const int prepared = prepare(command);
    if (prepared >= 0)
        return prepared;
    m_terminal = console::outputIsTerminal();
    console::catchEvents();
    connect(&m_interruptPoll, &QTimer::timeout, this, [this] { pollInterrupts(); });
    m_interruptPoll.start(100);

    m_runner.setWorkerProgram(workerProgram);
    m_runner.setMaxJobs(m_maxJobs);
    // Recognition reports its pages as the window shows them.
    connect(&m_runner, &BatchRunner::jobProgress, this,
            [this](int, int completed, int total, const QString& message) {
                showProgress(message.isEmpty() ? u"当前文档 %1 / %2 页"_s.arg(completed).arg(total)
                                               : message);
            });
    connect(&m_runner, &BatchRunner::jobFinished, this,
            [this](int job, const JobOutcome& outcome) { onFinished(job, outcome); });
    connect(
        &m_runner, &BatchRunner::finished, this, [this] { onChunkFinished(); },
        Qt::QueuedConnection);
    showProgress();
    startNextChunk();
    // The runner reports each batch's end through the queue, so the loop
    // always runs until the last one.
    QCoreApplication::exec();
    console::releaseEvents();
    if (m_terminal)
        say(stdout, u"\n"_s);
    // What a stop left unstarted is named as what was done is, here and in the report.
    for (ReportEntry& entry : m_entries) {
        if (entry.state != u"等待处理"_s)
            continue;
        entry.state = u"未开始"_s;
        entry.detail = u"批处理已停止，此文件未开始处理"_s;
        say(stdout, u"未开始  "_s + QDir::toNativeSeparators(entry.input) + u'\n');
    }

    const qsizetype files = m_entries.size() - m_skipped;
    const QString skipped = m_nothingToDo ? u" · 已跳过 %1"_s.arg(m_nothingToDo) : QString();
    say(stdout, u"%1 份文件 · 成功 %2%3 · 未成功 %4\n"_s.arg(files)
                    .arg(m_succeeded)
                    .arg(skipped)
                    .arg(files - m_succeeded - m_nothingToDo));
    const bool reported = writeReport();
    return m_succeeded + m_nothingToDo == files && reported ? 0 : 1;
}

bool BatchCommand::writeReport()
{
    return batch::writeReport(m_report, m_settings, m_entries);
}

} // namespace

int runBatchCommand(const QStringList& arguments, const QString& workerProgram)
{
    const console::OutputSetup output;
    Command command;
    if (const int read = readCommand(arguments, command); read >= 0)
        return read;
    if (command.watching)
        return runWatchCommand(command, workerProgram);
    BatchCommand batch;
    return batch.run(command, workerProgram);
}

} // namespace batch
