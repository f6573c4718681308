#include "platform/Appending.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

namespace platform {

void UseBinaryInput()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

void UseBinaryOutput()
{
    _setmode(_fileno(stdout), _O_BINARY);
}

bool AppendToFile(const char* path, const std::string& text, std::string* why)
{
    // Append-only access makes every write land at the end, whoever else appends.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *why = "Windows error " + std::to_string(GetLastError());
        return false;
    }
    DWORD written = 0;
    const BOOL ok =
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (ok && written == text.size()) return true;
    *why = ok ? std::string("short write") : "Windows error " + std::to_string(error);
    return false;
}

}  // namespace platform
