#include "platform/TempFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <ctime>

namespace platform {

namespace {

constexpr int kAttempts = 100;

bool IsDirectory(const char* path)
{
    struct stat info {};
    return *path && stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Anything at the path counts, a dangling symbolic link included.
bool Exists(const std::string& path)
{
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

std::string Suffix(std::uint64_t seed)
{
    static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string text;
    for (int i = 0; i < 6; ++i) {
        text += kDigits[seed % 36];
        seed /= 36;
    }
    return text;
}

std::uint64_t NextSeed()
{
    static std::uint64_t state = (std::uint64_t(getpid()) << 32) ^
                                 std::uint64_t(std::time(nullptr)) ^ std::uint64_t(clock());
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 17;
}

}  // namespace

std::string UniqueTempName(const char* directory, const char* prefix)
{
    std::string dir = IsDirectory(directory) ? directory : DefaultTempDirectory();
    if (dir.back() != '/') dir += '/';
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string path = dir + prefix + Suffix(NextSeed());
        if (!Exists(path)) return path;
    }
    return "";
}

const char* DefaultTempDirectory()
{
    return "/tmp/";
}

const char* FallbackTempName()
{
    return "./~mail.tmp";
}

}  // namespace platform
