#include "app/console.h"

#include <cstdio>
#include <io.h>
#include <string>

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
        // The system ends the process a few seconds after this returns: the
        // batch ends its workers now, publishing nothing.
        events().terminated = 1;
        Sleep(4000);
        return TRUE;
    default:
        return FALSE;
    }
}

HANDLE consoleInput()
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    return input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode) ? input : nullptr;
}

// A line typed on the console as UTF-16, whatever the console's code page:
// a password may hold any character.
QString readConsoleLine(HANDLE input)
{
    std::wstring line;
    wchar_t character = 0;
    DWORD read = 0;
    while (ReadConsoleW(input, &character, 1, &read, nullptr) && read == 1 && character != L'\n') {
        if (character != L'\r')
            line.push_back(character);
    }
    return QString::fromStdWString(line);
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

void suspendSelf()
{
    // Windows has no job control: Ctrl-Z on a console is a character.
}

std::optional<QString> readHidden(const QString& question)
{
    HANDLE input = consoleInput();
    if (!input)
        return std::nullopt;
    write(stderr, question);
    DWORD mode = 0;
    GetConsoleMode(input, &mode);
    SetConsoleMode(input, mode & ~DWORD(ENABLE_ECHO_INPUT));
    const QString answer = readConsoleLine(input);
    SetConsoleMode(input, mode);
    write(stderr, QStringLiteral("\n"));
    return answer;
}

void write(FILE* stream, const QString& text)
{
    std::fflush(stream);
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0;
    if (handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
        std::fputs(text.toUtf8().constData(), stream);
        std::fflush(stream);
        return;
    }
    const std::wstring wide = text.toStdWString();
    DWORD written = 0;
    for (size_t done = 0; done < wide.size(); done += written) {
        if (!WriteConsoleW(handle, wide.data() + done, DWORD(wide.size() - done), &written,
                           nullptr) ||
            written == 0)
            return;
    }
}

bool outputIsTerminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0 &&
           (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

OutputSetup::OutputSetup()
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(output, &mode))
        return; // a file or a pipe takes the UTF-8 bytes as they are
    m_codePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    m_mode = mode;
    m_modeChanged = SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

OutputSetup::~OutputSetup()
{
    if (m_codePage)
        SetConsoleOutputCP(m_codePage);
    if (m_modeChanged)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), DWORD(m_mode));
}

void giveUsualPermissions(int)
{
    // New files take their folder's access rules on Windows.
}

} // namespace batch::console
