#include "mime/TempFileName.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/TempFiles.h"

namespace {

const char* TempDirectory()
{
    for (const char* variable : {"MAIL_TEMP", "TEMP", "TMP"})
        if (const char* value = std::getenv(variable)) return value;
    return platform::DefaultTempDirectory();
}

}  // namespace

void MakeTempFileName(char* buffer)
{
    std::string name = platform::UniqueTempName(TempDirectory(), "~mail");
    // A name that does not fit is no name: it is never cut.
    if (name.empty() || name.size() >= static_cast<std::size_t>(kTempNameCapacity))
        name = platform::FallbackTempName();
    std::memcpy(buffer, name.c_str(), name.size() + 1);
}
