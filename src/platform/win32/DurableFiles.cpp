#include "platform/DurableFiles.h"

#include <windows.h>

#include <io.h>

#include "platform/Files.h"
#include "platform/TempFiles.h"

namespace platform {

bool MakePrivateFolder(const std::string& path)
{
    // A folder under the user's profile is the user's own.
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool VisitFolder(const std::string& path, const std::function<void(const std::string&)>& visit)
{
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") visit(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
}

long long FileChangeTime(const std::string& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    ULARGE_INTEGER ticks;
    ticks.LowPart = data.ftLastWriteTime.dwLowDateTime;
    ticks.HighPart = data.ftLastWriteTime.dwHighDateTime;
    return static_cast<long long>(ticks.QuadPart / 10000000ULL) - 11644473600LL;
}

DurableFile::~DurableFile()
{
    if (!m_File) return;
    std::fclose(m_File);
    DeleteFileA(m_Name.c_str());
}

bool DurableFile::Create(const std::string& folder)
{
    m_Folder = folder;
    const std::string name = UniqueTempName(folder.c_str(), ".new-");
    if (name.empty() || name.compare(0, folder.size(), folder) != 0) return false;
    m_File = CreateExclusiveFile(name.c_str());
    if (!m_File) return false;
    m_Name = name;
    return true;
}

bool DurableFile::Commit(const std::string& path)
{
    if (!m_File) return false;
    bool written = std::fflush(m_File) == 0 && !std::ferror(m_File) &&
                   FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(m_File))));
    written = std::fclose(m_File) == 0 && written;
    m_File = nullptr;
    if (written && MoveFileDurably(m_Name, path)) return true;
    DeleteFileA(m_Name.c_str());
    return false;
}

bool MoveFileDurably(const std::string& from, const std::string& to)
{
    return MoveFileExA(from.c_str(), to.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFileDurably(const std::string& path)
{
    return DeleteFileA(path.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

FileLock::~FileLock()
{
    if (m_Handle < 0) return;
    const HANDLE handle = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(m_Handle));
    OVERLAPPED at = {};
    UnlockFileEx(handle, 0, 1, 0, &at);
    CloseHandle(handle);
}

bool FileLock::TryLock(const std::string& path)
{
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    OVERLAPPED at = {};
    if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        CloseHandle(handle);
        return false;
    }
    m_Handle = static_cast<long long>(reinterpret_cast<INT_PTR>(handle));
    return true;
}

}  // namespace platform
