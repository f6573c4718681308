#include "platform/Appending.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

void UseBinaryInput() {}

void UseBinaryOutput() {}

bool AppendToFile(const char* path, const std::string& text, std::string* why)
{
    int fd;
    do {
        fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        *why = std::strerror(errno);
        return false;
    }
    ssize_t written;
    do {
        written = write(fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    close(fd);
    if (written == static_cast<ssize_t>(text.size())) return true;
    *why = written < 0 ? std::strerror(error) : "short write";
    return false;
}

}  // namespace platform
