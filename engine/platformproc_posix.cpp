#include "engine/platformproc.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>

#include <csignal>
#include <cstdlib>
#include <unistd.h>

#ifdef Q_OS_LINUX
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

QByteArray bootIdentity()
{
    QFile bootId(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return bootId.open(QIODevice::ReadOnly) ? bootId.readAll().trimmed() : QByteArray();
}

void endWorker(int exitCode)
{
    std::exit(exitCode);
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
