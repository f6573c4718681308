#include "platform/TempFiles.h"

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

#include <memory>

namespace platform {

namespace {

bool IsDirectory(const char* path)
{
    const DWORD attributes = GetFileAttributesA(path);
    return *path && attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The runtime's _tempnam prefers the directory named by TMP to the one it is
// given; while it runs, TMP is hidden so that an existing directory of the
// caller's choice wins. A missing one still leaves the choice to the runtime.
class HiddenTmp {
public:
    explicit HiddenTmp(bool hide)
    {
        const char* value = hide ? getenv("TMP") : nullptr;
        if (!value) return;
        m_Saved = std::make_unique<std::string>(value);
        _putenv_s("TMP", "");
    }
    ~HiddenTmp()
    {
        if (m_Saved) _putenv_s("TMP", m_Saved->c_str());
    }
    HiddenTmp(const HiddenTmp&) = delete;
    HiddenTmp& operator=(const HiddenTmp&) = delete;

private:
    std::unique_ptr<std::string> m_Saved;
};

}  // namespace

std::string UniqueTempName(const char* directory, const char* prefix)
{
    // The directory may point into the environment, which changing TMP rebuilds.
    const std::string chosen(directory);
    char* name;
    {
        HiddenTmp hidden(IsDirectory(chosen.c_str()));
        name = _tempnam(chosen.c_str(), prefix);
    }
    if (!name) return "";
    std::string path(name);
    free(name);
    return path;
}

const char* DefaultTempDirectory()
{
    return "C:\\TEMP\\";
}

const char* FallbackTempName()
{
    return ".\\~mail.tmp";
}

}  // namespace platform
