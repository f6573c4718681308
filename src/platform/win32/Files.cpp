#include "platform/Files.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>

namespace platform {

FILE* CreateExclusiveFile(const char* path)
{
    const int fd =
        _open(path, _O_CREAT | _O_EXCL | _O_BINARY | _O_RDWR | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    FILE* file = _fdopen(fd, "w+b");
    if (!file) {
        const int error = errno;
        _close(fd);
        DeleteFileA(path);
        errno = error;
    }
    return file;
}

bool RemoveFile(const char* path)
{
    return DeleteFileA(path) != 0;
}

}  // namespace platform
