// Option loop: any argument vector is applied without overrun; values that
// do not fit are refused, receivers with control bytes are refused, and no
// header value or setting can hold a line break that starts a line of its own.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "frontend/FrontendGlobals.h"
#include "frontend/Options.h"

namespace {

constexpr std::size_t kMaxArguments = 64;

// Arguments are the input split at zero bytes. A "/" becomes "_" so that
// address files ("@name") stay inside the fuzzer's own directory (a device
// named there would be read without end, as the user asked).
std::vector<std::string> SplitArguments(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments(1, "quillex");
    std::string current;
    for (std::size_t i = 0; i < size && arguments.size() < kMaxArguments; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == '\0') {
            arguments.push_back(current);
            current.clear();
        } else {
            current += c == '/' ? '_' : c;
        }
    }
    if (arguments.size() < kMaxArguments) arguments.push_back(current);
    return arguments;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzcheck::EnterWorkDirectory("opt");
    // An address file for "@list" arguments.
    FILE* f = std::fopen("list", "wb");
    if (!f) std::abort();
    std::fputs("a@example.test\n\nName <b@example.test>, c@example.test\n@list2\n", f);
    std::fclose(f);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments = SplitArguments(data, size);
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    ResetFrontendState();
    g_ProgramName = "quillex";
    CSMTPEmail mail;
    FILE* input = nullptr;
    try {
        const int result =
            ReadOptions(static_cast<int>(arguments.size()), argv.data(), mail, input);
        if (result != 0 && result != -1) std::abort();
    } catch (const CSMTPException& refused) {
        if (refused.m_Code != BAD_ARGUMENTS_FROM_FORM) std::abort();
    }
    if (input != nullptr && input != stdin) std::abort();
    fuzzcheck::CheckMessage(mail);
    return 0;
}
