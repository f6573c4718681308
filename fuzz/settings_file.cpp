// Settings-file reader (and writer): any file content loads into the settings
// buffers without overrun or line breaks, or is refused; a key written is
// read back as written, and the other keys keep their values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "FuzzSupport.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Settings.h"
#include "platform/ProfileFile.h"

namespace {

const char* const kKeys[] = {"HOST",      "Return Address", "Organization",
                             "NNTP HOST", "NNTP User",      "NNTP Passws"};
std::string s_Path;

void WriteFile(const std::string& content)
{
    FILE* f = std::fopen(s_Path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

std::string Read(const char* key)
{
    return platform::ReadProfileString("Setup", key, "\x01missing");
}

// A value that reads back unchanged: no blanks around it, no enclosing quotes.
bool ReadsBackAsIs(const std::string& value)
{
    if (value.empty()) return true;
    const std::string blanks = " \t\r\n";
    if (blanks.find(value.front()) != std::string::npos ||
        blanks.find(value.back()) != std::string::npos)
        return false;
    return !(value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
             value.back() == value.front());
}

void CheckWrite(const char* key, const std::string& value)
{
    std::string before[6];
    for (int i = 0; i < 6; ++i) before[i] = Read(kKeys[i]);
    const bool written = platform::WriteProfileString("Setup", key, value.c_str(), s_Path.c_str());
    const bool breaks = value.find_first_of("\r\n") != std::string::npos;
    if (written == breaks) fuzzcheck::Fail("write refused or allowed wrongly", value);
    for (int i = 0; i < 6; ++i) {
        const std::string after = Read(kKeys[i]);
        if (kKeys[i] == key && written) {
            if (ReadsBackAsIs(value) && after != value)
                fuzzcheck::Fail("value not read back", after);
        } else if (after != before[i]) {
            fuzzcheck::Fail("another key changed", after);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string dir = fuzzcheck::EnterWorkDirectory("ini");
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    s_Path = dir + "/Quillex.ini";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    const int key = provider.ConsumeIntegralInRange(0, 5);
    const std::string value = provider.ConsumeRandomLengthString(200);
    WriteFile(provider.ConsumeRemainingBytesAsString());

    ResetFrontendState();
    CSMTPEmail mail;
    LoadSettings(mail);
    fuzzcheck::CheckMessage(mail);

    CheckWrite(kKeys[key], std::string(value.c_str()));
    return 0;
}
