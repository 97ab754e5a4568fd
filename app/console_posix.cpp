#include "app/console.h"

#include <QTextStream>

#include <cstdio>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace batch::console {

namespace {

// The terminal as it was before a prompt turned echo off.
termios terminalBeforePrompt{};

void restoreTerminalAndEnd(int signal)
{
    ::tcsetattr(0, TCSAFLUSH, &terminalBeforePrompt);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void countInterrupt(int)
{
    events().interrupts = events().interrupts + 1;
}

void noteTermination(int)
{
    events().terminated = 1;
}

void noteSuspension(int)
{
    events().suspended = 1;
}

} // namespace

void catchEvents()
{
    forgetEvents();
    std::signal(SIGINT, countInterrupt);
    std::signal(SIGTERM, noteTermination);
    std::signal(SIGTSTP, noteSuspension);
}

void releaseEvents()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    std::signal(SIGTSTP, SIG_DFL);
}

void suspendSelf()
{
    std::raise(SIGSTOP);
}

std::optional<QString> readHidden(const QString& question)
{
    if (!::isatty(0))
        return std::nullopt;
    write(stderr, question);
    const bool quiet = ::tcgetattr(0, &terminalBeforePrompt) == 0;
    if (quiet) {
        termios silent = terminalBeforePrompt;
        silent.c_lflag &= ~tcflag_t(ECHO);
        std::signal(SIGINT, restoreTerminalAndEnd);
        std::signal(SIGTERM, restoreTerminalAndEnd);
        ::tcsetattr(0, TCSAFLUSH, &silent);
    }
    QTextStream in(stdin);
    const QString answer = in.readLine();
    if (quiet) {
        ::tcsetattr(0, TCSAFLUSH, &terminalBeforePrompt);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
    }
    write(stderr, QStringLiteral("\n"));
    return answer;
}

void write(FILE* stream, const QString& text)
{
    std::fputs(text.toUtf8().constData(), stream);
    std::fflush(stream);
}

bool outputIsTerminal()
{
    return ::isatty(1);
}

OutputSetup::OutputSetup() = default;
OutputSetup::~OutputSetup() = default;

void giveUsualPermissions(int descriptor)
{
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(descriptor, 0666 & ~mask);
}

} // namespace batch::console
