#include "jobframe/parentwatch.h"

#include <QtGlobal>

#include <cstdlib>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>
#endif

namespace batch {

bool parentGone()
{
#ifdef Q_OS_UNIX
    bool named = false;
    const qint64 parent = qEnvironmentVariableIntValue("QPB_PARENT_PID", &named);
    // A parent that ended has handed its children to another process.
    return named && parent > 0 && qint64(::getppid()) != parent;
#else
    return false;
#endif
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

} // namespace batch
