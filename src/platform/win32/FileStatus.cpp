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

// Only the backslash: a forward slash stays part of the name.
bool IsPathSeparator(char c)
{
    return c == '\\';
}

const char* FileNamePart(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (IsPathSeparator(*p)) name = p + 1;
    return name;
}

}  // namespace platform
