#include "platform/posix/SystemProfile.h"

#include <cstdlib>

#include <unistd.h>

namespace platform {

std::string SystemProfilePath(const char* fileName)
{
    const char* variable = std::getenv("XDG_CONFIG_DIRS");
    const std::string list = variable && *variable ? variable : "/etc/xdg";
    for (std::size_t start = 0; start <= list.size();) {
        std::size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        const std::string directory = list.substr(start, end - start);
        start = end + 1;
        if (directory.empty() || directory[0] != '/') continue;
        const std::string path = directory + "/" + fileName;
        if (access(path.c_str(), F_OK) == 0) return path;
    }
    return std::string();
}

}  // namespace platform
