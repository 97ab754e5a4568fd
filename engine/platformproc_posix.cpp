#include "engine/platformproc.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <sys/prctl.h>
#endif

namespace batch {

bool parentGone()
{
    bool named = false;
    const qint64 parent = qEnvironmentVariableIntValue("QPB_PARENT_PID", &named);
    // A parent that ended has handed its children to another process.
    return named && parent > 0 && qint64(::getppid()) != parent;
}

void watchParent()
{
#ifdef Q_OS_LINUX
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
#endif
    // The parent may have ended before the request above took effect.
    if (parentGone())
        std::_Exit(3);
}

void startInOwnGroup(QProcess& process)
{
    process.setChildProcessModifier([] { ::setpgid(0, 0); });
}

bool processRunning(qint64 pid)
{
    // A process of another user's answers, but with EPERM.
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
}

QByteArray bootIdentity()
{
    QFile bootId(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return bootId.open(QIODevice::ReadOnly) ? bootId.readAll().trimmed() : QByteArray();
}

void endWorker(int exitCode)
{
    std::exit(exitCode);
}

bool standardStreamsOpen()
{
    return ::fcntl(0, F_GETFD) != -1 && ::fcntl(1, F_GETFD) != -1;
}

void limitRecognitionThreads(char** argv)
{
#ifdef Q_OS_LINUX
    if (qEnvironmentVariableIsSet("OMP_THREAD_LIMIT"))
        return;
    qputenv("OMP_THREAD_LIMIT", "1");
    ::execv("/proc/self/exe", argv);
    // Still here: run without the limit rather than not at all.
#else
    Q_UNUSED(argv);
#endif
}

QString executablePath(const char* argv0)
{
#ifdef Q_OS_LINUX
    const QString self = QFile::symLinkTarget(QStringLiteral("/proc/self/exe"));
    if (!self.isEmpty())
        return self;
#endif
    return QFileInfo(QFile::decodeName(argv0)).absoluteFilePath();
}

std::optional<QByteArray> peekStandardInput(qsizetype limit)
{
#ifdef Q_OS_LINUX
    // Read, then put back as a memory file that takes stdin's place.
    const int memory = ::memfd_create("quorvin-request", MFD_CLOEXEC);
    if (memory < 0)
        return std::nullopt;
    QByteArray bytes;
    char chunk[65536];
    while (bytes.size() <= limit && !bytes.contains('\n')) {
        const ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bytes.append(chunk, got);
    }
    bool written = true;
    for (qsizetype done = 0; written && done < bytes.size();) {
        const ssize_t put = ::write(memory, bytes.constData() + done, size_t(bytes.size() - done));
        written = put > 0;
        done += put > 0 ? put : 0;
    }
    // The memory file must not close with exec: it is a re-executed worker's stdin.
    const bool replaced = written && ::lseek(memory, 0, SEEK_SET) == 0 && ::dup2(memory, 0) >= 0;
    ::close(memory);
    if (!replaced)
        return std::nullopt;
    return bytes;
#else
    Q_UNUSED(limit);
    return std::nullopt;
#endif
}

QString workerProgram()
{
    return QCoreApplication::applicationFilePath();
}

void signalGroup(const QProcess& process, GroupSignal signal)
{
    const qint64 pid = process.processId();
    if (pid > 0)
        ::kill(-static_cast<pid_t>(pid), signal == GroupSignal::Stop ? SIGSTOP : SIGCONT);
}

} // namespace batch
