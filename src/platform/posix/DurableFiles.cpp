#include "platform/DurableFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform {
namespace {

std::string FolderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool SyncFolder(const std::string& folder)
{
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

}  // namespace

bool MakePrivateFolder(const std::string& path)
{
    if (mkdir(path.c_str(), 0700) == 0) {
        SyncFolder(FolderOf(path));
        return true;
    }
    struct stat status;
    return errno == EEXIST && stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool VisitFolder(const std::string& path, const std::function<void(const std::string&)>& visit)
{
    DIR* folder = opendir(path.c_str());
    if (!folder) return false;
    std::string name;
    while (const dirent* entry = readdir(folder)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        name = entry->d_name;
        visit(name);
    }
    closedir(folder);
    return true;
}

long long FileChangeTime(const std::string& path)
{
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_mtime) : -1;
}

DurableFile::~DurableFile()
{
    if (!m_File) return;
    std::fclose(m_File);
    unlink(m_Name.c_str());
}

bool DurableFile::Create(const std::string& folder)
{
    m_Folder = folder;
    std::string name = folder + "/.new-XXXXXX";
    const int fd = mkstemp(&name[0]);
    if (fd < 0) return false;
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_File = fdopen(fd, "w+b");
    if (!m_File) {
        close(fd);
        unlink(name.c_str());
        return false;
    }
    m_Name = name;
    return true;
}

bool DurableFile::Commit(const std::string& path)
{
    if (!m_File) return false;
    bool written = std::fflush(m_File) == 0 && !std::ferror(m_File) && fsync(fileno(m_File)) == 0;
    written = std::fclose(m_File) == 0 && written;
    m_File = nullptr;
    if (written && rename(m_Name.c_str(), path.c_str()) == 0) return SyncFolder(m_Folder);
    unlink(m_Name.c_str());
    return false;
}

bool MoveFileDurably(const std::string& from, const std::string& to)
{
    if (rename(from.c_str(), to.c_str()) != 0) return false;
    SyncFolder(FolderOf(from));
    return SyncFolder(FolderOf(to));
}

bool RemoveFileDurably(const std::string& path)
{
    if (unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    SyncFolder(FolderOf(path));
    return true;
}

FileLock::~FileLock()
{
    if (m_Handle >= 0) close(static_cast<int>(m_Handle));
}

bool FileLock::TryLock(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    m_Handle = fd;
    return true;
}

}  // namespace platform
