#include "platform/FileStatus.h"

#include <sys/stat.h>

namespace platform {

bool FileSize(const char* path, std::uint64_t& size)
{
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    size = static_cast<std::uint64_t>(info.st_size);
    return true;
}

bool FilePermissions(const char* path, unsigned& mode)
{
    struct stat info {};
    if (stat(path, &info) != 0) return false;
    mode = static_cast<unsigned>(info.st_mode) & 07777u;
    return true;
}

bool IsPathSeparator(char c)
{
    return c == '/';
}

bool IsProgramPathSeparator(char c)
{
    return c == '/';
}

}  // namespace platform
