#include "platform/PasswordCommand.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/Crypto.h"

namespace platform {

namespace {

// Words split at blanks; quotes keep blanks and each other inside a word.
bool SplitWords(const std::string& command, std::vector<std::string>* words, std::string* why)
{
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (const char c : command) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '\'' || c == '"') {
            quote = c;
            inWord = true;
        } else if (c == ' ' || c == '\t') {
            if (inWord) words->push_back(word);
            word.clear();
            inWord = false;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (quote) {
        *why = std::string("the password command has an unclosed ") + quote;
        return false;
    }
    if (inWord) words->push_back(word);
    if (words->empty()) {
        *why = "the password command is empty";
        return false;
    }
    return true;
}

class Descriptor {
public:
    Descriptor() = default;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    void Close()
    {
        if (m_Fd >= 0) close(m_Fd);
        m_Fd = -1;
    }
    int m_Fd = -1;
};

bool MakePipe(Descriptor* read, Descriptor* write)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    read->m_Fd = fds[0];
    write->m_Fd = fds[1];
    return true;
}

// In the child between fork and exec: only async-signal-safe calls. A failed
// exec sends its errno through the report pipe, which a successful exec closes.
[[noreturn]] void RunChild(char* const* argv, int output, int report)
{
    const int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(output, STDOUT_FILENO) < 0) {
        const int error = errno;
        (void)!write(report, &error, sizeof error);
        _exit(127);
    }
    execvp(argv[0], argv);
    const int error = errno;
    (void)!write(report, &error, sizeof error);
    _exit(127);
}

ssize_t ReadRetrying(int fd, char* buffer, std::size_t size)
{
    ssize_t got = read(fd, buffer, size);
    while (got < 0 && errno == EINTR) got = read(fd, buffer, size);
    return got;
}

// Reads to the end; keeps the bytes up to the first LF in *line.
void ReadFirstLine(int fd, std::string* line)
{
    char buffer[4096];
    bool lineEnded = false;
    for (;;) {
        const ssize_t got = ReadRetrying(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        if (lineEnded) continue;
        const std::size_t size = static_cast<std::size_t>(got);
        const char* end = static_cast<const char*>(memchr(buffer, '\n', size));
        line->append(buffer, end ? static_cast<std::size_t>(end - buffer) : size);
        lineEnded = end != nullptr;
    }
    explicit_bzero(buffer, sizeof buffer);
    if (!line->empty() && (*line)[line->size() - 1] == '\r') line->erase(line->size() - 1);
}

bool ExitedWell(pid_t child, const std::string& program, std::string* why)
{
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            *why =
                "the password command " + program + " could not be waited for: " + strerror(errno);
            return false;
        }
    }
    if (WIFSIGNALED(status)) {
        *why = "the password command " + program + " was ended by signal " +
               std::to_string(WTERMSIG(status));
        return false;
    }
    if (WEXITSTATUS(status) != 0) {
        *why = "the password command " + program + " exited with status " +
               std::to_string(WEXITSTATUS(status));
        return false;
    }
    return true;
}

}  // namespace

bool RunPasswordCommand(const std::string& command, std::string* secret, std::string* why)
{
    WipeSecret(secret);
    std::vector<std::string> words;
    if (!SplitWords(command, &words, why)) return false;
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(&word[0]);
    argv.push_back(nullptr);
    const std::string program = "\"" + words[0] + "\"";

    Descriptor outputRead, outputWrite, reportRead, reportWrite;
    if (!MakePipe(&outputRead, &outputWrite) || !MakePipe(&reportRead, &reportWrite)) {
        *why = std::string("no pipe for the password command: ") + strerror(errno);
        return false;
    }
    const pid_t child = fork();
    if (child < 0) {
        *why = std::string("the password command could not be started: ") + strerror(errno);
        return false;
    }
    if (child == 0) RunChild(argv.data(), outputWrite.m_Fd, reportWrite.m_Fd);
    outputWrite.Close();
    reportWrite.Close();

    int execError = 0;
    const bool execFailed =
        ReadRetrying(reportRead.m_Fd, reinterpret_cast<char*>(&execError), sizeof execError) ==
        static_cast<ssize_t>(sizeof execError);
    ReadFirstLine(outputRead.m_Fd, secret);
    const bool exited = ExitedWell(child, program, why);
    if (execFailed)
        *why = "the password command " + program + " cannot be run: " + strerror(execError);
    else if (exited && secret->empty())
        *why = "the password command " + program + " printed an empty first line";
    if (execFailed || !exited || secret->empty()) {
        WipeSecret(secret);
        return false;
    }
    return true;
}

}  // namespace platform
