#pragma once

#include <string>
#include <vector>

// The settings ("profile") file, in the layout of Windows ini files:
// "[Section]" lines, then "key=value" lines; lines starting with ";" are comments.
namespace platform {

// A bare file name lives where the platform keeps per-user settings; a name
// with a directory part is used as given.
constexpr const char* kProfileFileName = "Quillex.ini";

// Where the file of that name lives; empty when no directory is known.
std::string ProfileFilePath(const char* fileName = kProfileFileName);

// The file that reads take: the one of ProfileFilePath when it exists, else
// (POSIX) the first file of that name in $XDG_CONFIG_DIRS, /etc/xdg by
// default, which serves every user of the machine.
std::string ReadProfileFilePath(const char* fileName = kProfileFileName);

// The value of key in [section], or defaultValue when the file, the section
// or the key is missing. Section and key names match without regard to case;
// the value loses its surrounding blanks and one pair of enclosing quotes.
std::string ReadProfileString(const char* section, const char* key, const char* defaultValue,
                              const char* fileName = kProfileFileName);
// The values of the keys in [section] from one reading of the file, as
// ReadProfileString gives each ("" for a missing one).
std::vector<std::string> ReadProfileStrings(const char* section,
                                            const std::vector<const char*>& keys,
                                            const char* fileName = kProfileFileName);

// Sets key in [section], creating the file, the section and the key as
// needed; other sections, keys and comments stay as they are. Returns false
// when the file cannot be read or written, or the value holds a line break;
// the old file then stays whole.
bool WriteProfileString(const char* section, const char* key, const char* value,
                        const char* fileName = kProfileFileName);

}  // namespace platform
