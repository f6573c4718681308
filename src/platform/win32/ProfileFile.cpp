#include "platform/ProfileFile.h"

#include <windows.h>

// The system headers name a function of their own so.
#undef WriteProfileString

#include <cstring>
#include <vector>

namespace platform {

namespace {

constexpr DWORD kFirstBufferSize = 512;
constexpr DWORD kMaxBufferSize = 1u << 20;

}  // namespace

// The profile functions place a bare file name in the Windows directory.
std::string ProfileFilePath(const char* fileName)
{
    if (std::strpbrk(fileName, "\\/")) return fileName;
    char directory[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return std::string(directory, length) + "\\" + fileName;
}

// The Windows directory already serves every user.
std::string ReadProfileFilePath(const char* fileName)
{
    return ProfileFilePath(fileName);
}

std::string ReadProfileString(const char* section, const char* key, const char* defaultValue,
                              const char* fileName)
{
    // A value that fills the buffer may have been cut: read it again with more room.
    for (DWORD size = kFirstBufferSize;; size *= 2) {
        std::vector<char> buffer(size);
        const DWORD length =
            GetPrivateProfileStringA(section, key, defaultValue, buffer.data(), size, fileName);
        if (length < size - 1 || size >= kMaxBufferSize) return std::string(buffer.data(), length);
    }
}

// The profile functions keep the file in memory themselves.
std::vector<std::string> ReadProfileStrings(const char* section,
                                            const std::vector<const char*>& keys,
                                            const char* fileName)
{
    std::vector<std::string> values;
    for (const char* key : keys) values.push_back(ReadProfileString(section, key, "", fileName));
    return values;
}

bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName)
{
    // The file keeps one value per line: a line break would start a key of its own.
    if (std::strpbrk(value, "\r\n")) return false;
    return WritePrivateProfileStringA(section, key, value, fileName) != 0;
}

}  // namespace platform
