#include "platform/Files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

FILE* CreateExclusiveFile(const char* path)
{
    int fd;
    do {
        fd = open(path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return nullptr;
    FILE* file = fdopen(fd, "w+b");
    if (!file) {
        const int error = errno;
        close(fd);
        unlink(path);
        errno = error;
    }
    return file;
}

bool RemoveFile(const char* path)
{
    return unlink(path) == 0;
}

}  // namespace platform
