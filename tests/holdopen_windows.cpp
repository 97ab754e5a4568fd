// Holds a file open for writing as a scanner does while it saves a scan:
// copies SOURCE to TARGET, then keeps TARGET open (readers let in, writers
// not) for SECONDS before closing it. For the Wine checks of a watched folder.
#include <windows.h>

#include <cwchar>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 4)
        return 2;
    HANDLE source = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE)
        return 1;
    std::vector<char> bytes(1 << 20);
    DWORD read = 0;
    HANDLE target = CreateFileW(argv[2], GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (target == INVALID_HANDLE_VALUE)
        return 1;
    while (ReadFile(source, bytes.data(), DWORD(bytes.size()), &read, nullptr) && read > 0) {
        DWORD written = 0;
        if (!WriteFile(target, bytes.data(), read, &written, nullptr) || written != read)
            return 1;
    }
    CloseHandle(source);
    FlushFileBuffers(target);
    Sleep(DWORD(std::wcstoul(argv[3], nullptr, 10) * 1000));
    CloseHandle(target);
    return 0;
}
