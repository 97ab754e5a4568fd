// What the command-line batch and the watch share: the operation and its
// options read into a request, the messages of a usage error, and the report.
#pragma once

#include "app/console.h"
#include "engine/platformproc.h"
#include "protocol/request.h"
#include "runner/batchrunner.h"
#include "runner/folderwatch.h"
#include "runner/sources.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

namespace batch {

inline constexpr int usageError = 2;

// Writes `text` to standard output or error at once.
void say(FILE* stream, const QString& text);
// Says `message` and where help is; returns usageError.
int usage(const QString& message);

// A command as given: "OPERATION [OPTIONS] FILE…", or "watch FOLDER
// OPERATION [OPTIONS]".
struct Command
{
    const Operation* operation = nullptr;
    JobRequest request; // what every job shares
    QString report;     // where the report goes; "" for none
    int maxJobs = 0;    // 0 lets the machine decide
    QStringList files;  // the files and folders given to a batch
    bool watching = false;
    WatchSettings watch;
};
// Reads `arguments` (those after "batch"), asking for passwords where the
// operation needs them. -1 when the command goes on; otherwise the exit
// status, help or the usage error having been said.
int readCommand(const QStringList& arguments, Command& command);

// After Ctrl-Z: the workers stop with this process, and go on with it when
// it is continued. Nothing when no suspension was asked for.
template <typename Workers> void followSuspension(Workers& workers)
{
    console::Events& events = console::events();
    if (!events.suspended)
        return;
    // Stopped with the batch, or they would publish meanwhile.
    workers.signalWorkers(GroupSignal::Stop);
    console::suspendSelf();
    events.suspended = 0;
    workers.signalWorkers(GroupSignal::Continue);
}

// A file's line when it is done: its state, the source, the result, the note.
QString outcomeLine(const QString& input, const JobOutcome& outcome);

// Publishes the report at `path` (JSON, or CSV by its name) as results are:
// never over an existing file. False, said on standard error, when it fails.
bool writeReport(const QString& path, const JobRequest& settings,
                 const QList<ReportEntry>& entries);

} // namespace batch
