#include "platform/FileStatus.h"

#include <sys/stat.h>
#include <sys/types.h>

namespace platform {

bool FileSize(const char* path, std::uint64_t& size)
{
    struct _stat64 info {};
    if (_stat64(path, &info) != 0) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool FilePermissions(const char*, unsigned&)
{
    return false;
}

bool IsPathSeparator(char c)
{
    return c == '\\' || c == '/';
}

// Only the backslash: a forward slash stays part of the program's name.
bool IsProgramPathSeparator(char c)
{
    return c == '\\';
}

}  // namespace platform
