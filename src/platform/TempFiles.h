#pragma once

#include <string>

// Names for temporary files.
namespace platform {

// The path of a file that does not exist yet, in directory (or, when that is
// not an existing directory, in the system's own temporary directory), whose
// name begins with prefix. "" when no such name can be found. The file is
// not created.
std::string UniqueTempName(const char* directory, const char* prefix);

// The directory used when the environment names none.
const char* DefaultTempDirectory();
// The fixed name used when no unique name can be found.
const char* FallbackTempName();

}  // namespace platform
