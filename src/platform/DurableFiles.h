#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Files that survive a crash or a power cut whole or not at all, folders
// readable by their owner only, and locks that die with their process.
namespace platform {

// Makes the folder at path, owner-only, unless it is already a folder;
// true when it is one afterwards.
bool MakePrivateFolder(const std::string& path);

// Calls visit with each name in a folder, without "." and "..", as the
// folder is read; false when it cannot be read.
bool VisitFolder(const std::string& path, const std::function<void(const std::string&)>& visit);

// The last change of the file at path, in seconds since 1970; -1 when unknown.
long long FileChangeTime(const std::string& path);

// A file written under a temporary name in its folder that takes its final
// name only when committed: flushed to disk, renamed over any file of that
// name, and the folder flushed. Removed when it is never committed.
class DurableFile {
public:
    DurableFile() = default;
    DurableFile(const DurableFile&) = delete;
    DurableFile& operator=(const DurableFile&) = delete;
    ~DurableFile();

    // False when no file can be made in folder.
    bool Create(const std::string& folder);
    FILE* File() const { return m_File; }
    // False, the file removed, when it cannot be written or named path.
    bool Commit(const std::string& path);

private:
    std::string m_Folder;
    std::string m_Name;
    FILE* m_File = nullptr;
};

// Moves a file to path in the same volume, replacing, flushed to disk.
bool MoveFileDurably(const std::string& from, const std::string& to);
// Removes a file and flushes its folder; true when it is gone.
bool RemoveFileDurably(const std::string& path);

// An exclusive lock on a file, taken without waiting and released when the
// object goes or its process dies.
class FileLock {
public:
    FileLock() = default;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock();

    // False when the file cannot be opened or another holds the lock.
    bool TryLock(const std::string& path);

private:
    long long m_Handle = -1;
};

}  // namespace platform
