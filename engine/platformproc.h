// The few process calls that differ between systems: a worker that lives only
// as long as the process that started it, and workers in groups of their own
// that the batch stops, continues and ends as one. One implementation per
// system, chosen by the build.
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

class QProcess;

namespace batch {

// Asks the system to end this process when its parent ends, and ends it now
// if the parent named by QPB_PARENT_PID has already gone. Call first thing.
// A window or a command line that is killed, hung up on or timed out must not
// leave workers that go on to publish results nobody records.
void watchParent();

// True when QPB_PARENT_PID names a parent that is no longer this process's
// parent; false when no parent was named.
bool parentGone();

// Starts `process` in a group of its own, so that a Ctrl-C on the terminal
// reaches the batch, which decides what becomes of its workers, and not the
// workers themselves. Call before start().
void startInOwnGroup(QProcess& process);

// What tells this boot of this machine from every other: the kernel's boot id,
// or on Windows the minute the system started.
QByteArray bootIdentity();

// True when standard input and output are open. Must run before the
// application object exists, which may open files of its own in their place.
bool standardStreamsOpen();

// Tesseract's OpenMP runtime (on Linux) reads its thread limit once, when it
// is loaded, and spin-waits badly when it runs more threads than there are
// free cores. Qt Core already loads it (for BLAKE2), so the limit must be in
// the environment before the process starts: a recognition worker
// re-executes itself once with it set. Nothing where Tesseract has no OpenMP.
void limitRecognitionThreads(char** argv);

// True when a process with this id runs on this machine.
bool processRunning(qint64 pid);

// This executable's path, from the system where it tells; else from `argv0`.
QString executablePath(const char* argv0);

// Standard input's first line (up to its line end, or `limit` bytes past it)
// without taking it from the stream: whoever reads standard input next reads
// the same bytes. Nothing when that cannot be done.
std::optional<QByteArray> peekStandardInput(qsizetype limit);

// The program the command-line batch starts its workers as: this one, or on
// Windows, when this is the console twin (.com), the window's executable
// beside it, which starts without a console of its own.
QString workerProgram();

// Ends a worker that has given its answer and released everything it held.
// On Windows the libraries' exit handlers are skipped: one of them waited
// forever at exit for a thread the system had already ended, after the result
// was published, and the batch waited with it. Elsewhere the process ends as usual.
[[noreturn]] void endWorker(int exitCode);

enum class GroupSignal
{
    Stop,     // job control: the batch was stopped (Ctrl-Z)
    Continue, // and continued
};
// Passes a job-control signal on to the group `process` leads; nothing where
// the system has no job control.
void signalGroup(const QProcess& process, GroupSignal signal);

} // namespace batch
