#include "app/console.h"

#include <QTextStream>

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace batch::console {

namespace {

BOOL WINAPI onControl(DWORD type)
{
    switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
        events().interrupts = events().interrupts + 1;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        events().terminated = 1;
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void catchEvents()
{
    forgetEvents();
    SetConsoleCtrlHandler(onControl, TRUE);
}

void releaseEvents()
{
    SetConsoleCtrlHandler(onControl, FALSE);
}

void suspendSelf() {}

std::optional<QString> readHidden(const QString& question)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode))
        return std::nullopt;
    std::fputs(question.toUtf8().constData(), stderr);
    std::fflush(stderr);
    // The console gives its echo back by itself when the process ends.
    SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    QTextStream in(stdin);
    const QString answer = in.readLine();
    SetConsoleMode(input, mode);
    std::fputs("\n", stderr);
    return answer;
}

bool outputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void giveUsualPermissions(int) {}

} // namespace batch::console
