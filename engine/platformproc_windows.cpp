#include "engine/platformproc.h"

#include <QProcess>

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

void startInOwnGroup(QProcess& process)
{
    // A console group of its own, so that a Ctrl-C reaches the batch alone,
    // and no console window of its own.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments* arguments) {
        arguments->flags |= CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;
    });
}

void signalGroup(const QProcess&, GroupSignal)
{
    // Windows has no job control: a console's Ctrl-Z is a character.
}

} // namespace batch
