// The console the command-line batch runs in, as far as it differs between
// systems: the user's interrupts, a line typed without echo, whether output
// goes to a terminal, stopping with the shell's job control, and the
// permissions a new file of the user's gets. One implementation per system,
// chosen by the build.
#pragma once

#include <QString>

#include <csignal>
#include <cstdio>
#include <optional>

namespace batch::console {

// What the user asked of the batch, counted by the handlers that
// catchEvents() installs: Ctrl-C (Ctrl-Break), an order to end now (SIGTERM,
// the console window closed), a suspension (Ctrl-Z).
struct Events
{
    volatile std::sig_atomic_t interrupts = 0;
    volatile std::sig_atomic_t terminated = 0;
    volatile std::sig_atomic_t suspended = 0;
};
Events& events();
void forgetEvents();
void catchEvents(); // forgets what was caught before
void releaseEvents();

// Stops this process where the system has job control, until it is
// continued; returns then. Nothing elsewhere.
void suspendSelf();

// A line typed on the console without echo, `question` asked first on
// standard error; nothing when standard input is no console. An interrupt
// while it is asked gives the console its echo back before the batch ends.
std::optional<QString> readHidden(const QString& question);

// Writes `text` to `stream` (standard output or error) at once. A Windows
// console takes it as UTF-16: UTF-8 written there a byte at a time, as the C
// library writes an unbuffered stream, is garbled whatever the code page.
void write(FILE* stream, const QString& text);

// True when standard output is a terminal that draws the progress line.
bool outputIsTerminal();

// While it lives, the console shows what the batch writes: UTF-8 text and
// the progress line's escapes, which Windows 10's console takes only when
// asked; its own settings come back at the end. Nothing where terminals
// take both already.
class OutputSetup
{
public:
    OutputSetup();
    ~OutputSetup();
    OutputSetup(const OutputSetup&) = delete;
    OutputSetup& operator=(const OutputSetup&) = delete;

private:
    unsigned m_codePage = 0;
    unsigned long m_mode = 0;
    bool m_modeChanged = false;
};

// Gives the file open at `descriptor` the permissions a new file of the
// user's gets (the user's mask applied), where the system has such.
void giveUsualPermissions(int descriptor);

} // namespace batch::console
