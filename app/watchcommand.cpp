#include "app/watchcommand.h"

#include "app/console.h"

#include <QCoreApplication>
#include <QDir>
#include <QTimer>

using namespace Qt::StringLiterals;

namespace batch {

namespace {

class WatchCommand : public QObject
{
public:
    int run(const Command& command, const QString& workerProgram);

private:
    void pollInterrupts();

    FolderWatch m_watch;
    QTimer m_interruptPoll;
    QString m_failure;
    bool m_stopping = false;
};

int WatchCommand::run(const Command& command, const QString& workerProgram)
{
    if (const QString problem = watchProblem(command.watch, command.request); !problem.isEmpty())
        return usage(problem);
    m_watch.setWorkerProgram(workerProgram);
    m_watch.setMaxJobs(command.maxJobs);
    connect(&m_watch, &FolderWatch::fileFinished, this,
            [](const QString& path, const JobOutcome& outcome) {
                say(stdout, outcomeLine(path, outcome));
            });
    connect(&m_watch, &FolderWatch::trouble, this, [](const QString& message) {
        say(stderr, (message.isEmpty() ? u"已恢复访问被监视的文件夹。"_s : message) + u'\n');
    });
    connect(
        &m_watch, &FolderWatch::finished, this,
        [this](const QString& failure) {
            m_failure = failure;
            QCoreApplication::quit();
        },
        Qt::QueuedConnection);
    if (const QString refused = m_watch.start(command.watch, command.request); !refused.isEmpty()) {
        say(stderr, refused + u'\n');
        return 1;
    }
    say(stderr, u"正在监视 %1 → %2（Ctrl-C 结束）/ watching; Ctrl-C ends it\n"_s.arg(
                    QDir::toNativeSeparators(command.watch.folder),
                    QDir::toNativeSeparators(command.request.output)));
    console::catchEvents();
    connect(&m_interruptPoll, &QTimer::timeout, this, [this] { pollInterrupts(); });
    m_interruptPoll.start(100);
    QCoreApplication::exec();
    console::releaseEvents();
    if (!m_failure.isEmpty())
        say(stderr, m_failure + u'\n');
    const bool reported = writeReport(command.report, command.request, m_watch.reportEntries());
    return m_failure.isEmpty() && reported ? 0 : 1;
}

void WatchCommand::pollInterrupts()
{
    followSuspension(m_watch);
    const console::Events& events = console::events();
    if (events.terminated || events.interrupts >= 2) {
        m_watch.endNow();
    } else if (events.interrupts == 1 && !m_stopping) {
        m_stopping = true;
        if (m_watch.isWatching()) {
            m_watch.stop();
            say(stderr, u"\n正在停止监视：正在处理的文件完成后结束；再按 Ctrl-C 立即结束。\n"
                        u"Stopping: running files finish first; press Ctrl-C again to end "
                        u"them now.\n"_s);
        }
    }
}

} // namespace

int runWatchCommand(const Command& command, const QString& workerProgram)
{
    WatchCommand watch;
    return watch.run(command, workerProgram);
}

} // namespace batch
