// Test helper of the Windows build: runs a program with the argument 0 that
// the test chooses (Wine would pass the program's own path), with standard
// input, output and error passed through, and ends with its exit code.
//   quillex_launch PROGRAM ARGV0 [ARGS...]
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// Quotes one argument so that the runtime's command-line parser gives it back unchanged.
std::string Quoted(const std::string& argument)
{
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
        return argument;
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) return 126;
    std::string commandLine;
    for (int i = 2; i < argc; ++i) {
        if (i > 2) commandLine += ' ';
        commandLine += Quoted(argv[i]);
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    // Wine now and then fails to start a process on a loaded machine; that is
    // the test bench's trouble, not the program's, so it is tried again.
    DWORD error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (CreateProcessA(argv[1], &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &process)) {
            error = 0;
            break;
        }
        error = GetLastError();
        Sleep(200);
    }
    if (error != 0) {
        std::fprintf(stderr, "quillex_launch: cannot start %s: error %lu\n", argv[1],
                     static_cast<unsigned long>(error));
        return 127;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 127;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(code);
}
