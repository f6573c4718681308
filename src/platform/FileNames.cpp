#include "platform/FileStatus.h"

namespace platform {

namespace {

const char* AfterLast(const char* path, bool (*isSeparator)(char))
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (isSeparator(*p)) name = p + 1;
    return name;
}

}  // namespace

const char* FileNamePart(const char* path)
{
    return AfterLast(path, IsPathSeparator);
}

const char* ProgramNamePart(const char* path)
{
    return AfterLast(path, IsProgramPathSeparator);
}

}  // namespace platform
