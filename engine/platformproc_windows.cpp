#include "engine/platformproc.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QProcess>

#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <string>

#include <windows.h>

namespace batch {

bool parentGone()
{
    return false;
}

void watchParent()
{
    // Workers end with their parent through the job object the runner
    // places itself in.
}

namespace {

// A job object that ends every process in it when its last handle closes,
// which the system does when this process ends, however it ends. Never
// closed here. Only workers join it: a viewer the window opens a result in
// must outlive the window.
HANDLE workerJob()
{
    static const HANDLE job = [] {
        HANDLE created = CreateJobObjectW(nullptr, nullptr);
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (created && !SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits,
                                                sizeof limits)) {
            CloseHandle(created);
            created = nullptr;
        }
        return created;
    }();
    return job;
}

void joinWorkerJob(qint64 processId)
{
    HANDLE job = workerJob();
    HANDLE process = OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, DWORD(processId));
    if (!job || !process)
        return;
    AssignProcessToJobObject(job, process);
    CloseHandle(process);
}

} // namespace

void startInOwnGroup(QProcess& process)
{
    // A console group of its own, so that a Ctrl-C reaches the batch alone,
    // and no console window of its own.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;
    });
    // The worker and whatever it starts end with this process.
    QObject::connect(&process, &QProcess::started, &process,
                     [&process] { joinWorkerJob(process.processId()); });
}

bool processRunning(qint64 pid)
{
    if (pid <= 0 || pid > qint64(MAXDWORD))
        return false;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!process)
        return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
    CloseHandle(process);
    return running;
}

QByteArray bootIdentity()
{
    const qint64 bootMs = QDateTime::currentMSecsSinceEpoch() - qint64(GetTickCount64());
    return QByteArray::number(bootMs / 60000);
}

void endWorker(int exitCode)
{
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), UINT(exitCode));
    std::_Exit(exitCode); // not reached
}

bool standardStreamsOpen()
{
    return _get_osfhandle(0) != -1 && _get_osfhandle(1) != -1;
}

void limitRecognitionThreads(char**)
{
    // The Windows build of Tesseract has no OpenMP: one thread per job.
}

QString executablePath(const char*)
{
    // The wide form: argv is in the ANSI code page, which may not hold the path.
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    return QString::fromWCharArray(path.data(), int(length));
}

std::optional<QByteArray> peekStandardInput(qsizetype limit)
{
    // A worker's stdin is a pipe, whose content can be looked at without
    // being taken. The parent writes the request at once: wait for its line
    // end, or for the pipe to close, at most a few seconds.
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == INVALID_HANDLE_VALUE || GetFileType(input) != FILE_TYPE_PIPE)
        return std::nullopt;
    QByteArray bytes(limit + 1, '\0');
    for (int waited = 0; waited < 5000; waited += 5) {
        DWORD seen = 0;
        DWORD available = 0;
        if (!PeekNamedPipe(input, bytes.data(), DWORD(bytes.size()), &seen, &available, nullptr))
            return std::nullopt; // closed and empty, or no pipe after all
        const QByteArray peeked = bytes.left(seen);
        if (peeked.contains('\n') || seen == DWORD(bytes.size()))
            return peeked;
        Sleep(5);
    }
    return std::nullopt;
}

QString workerProgram()
{
    QString self = QCoreApplication::applicationFilePath();
    if (self.endsWith(u".com", Qt::CaseInsensitive))
        self = self.chopped(4) + u".exe";
    return self;
}

void signalGroup(const QProcess&, GroupSignal)
{
    // Windows has no job control: a console's Ctrl-Z is a character.
}

} // namespace batch
