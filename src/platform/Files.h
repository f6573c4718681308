#pragma once

#include <cstdio>

// Files beyond plain stdio.
namespace platform {

// Creates a new file at path for reading and writing ("w+b"), readable by its
// owner only. Never opens an existing file or follows a link: when anything
// already exists at path, or the file cannot be made, returns null.
FILE* CreateExclusiveFile(const char* path);

// Removes the file named path; false when it could not be removed.
bool RemoveFile(const char* path);

}  // namespace platform
