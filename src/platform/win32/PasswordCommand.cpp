#include "platform/PasswordCommand.h"

#include <windows.h>

#include <vector>

#include "platform/Crypto.h"

namespace platform {

namespace {

class Handle {
public:
    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close()
    {
        if (m_Handle && m_Handle != INVALID_HANDLE_VALUE) CloseHandle(m_Handle);
        m_Handle = nullptr;
    }
    HANDLE m_Handle = nullptr;
};

std::string SystemMessage(DWORD code)
{
    char text[256] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == '.' || message.back() == ' '))
        message.pop_back();
    return message.empty() ? "error " + std::to_string(code) : message;
}

// Standard input from NUL, standard output into the pipe, standard error
// ours; only these three handles are inherited (sockets would be too).
class ChildHandles {
public:
    bool Open(HANDLE output)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        m_Input.m_Handle = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                       &inherit, OPEN_EXISTING, 0, nullptr);
        if (m_Input.m_Handle == INVALID_HANDLE_VALUE) return false;
        const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        if (error && error != INVALID_HANDLE_VALUE &&
            !DuplicateHandle(GetCurrentProcess(), error, GetCurrentProcess(), &m_Error.m_Handle, 0,
                             TRUE, DUPLICATE_SAME_ACCESS))
            m_Error.m_Handle = nullptr;
        m_List = {m_Input.m_Handle, output};
        if (m_Error.m_Handle) m_List.push_back(m_Error.m_Handle);
        m_Output = output;

        SIZE_T size = 0;
        InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        m_Attributes.resize(size);
        m_Info.lpAttributeList =
            reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_Attributes.data());
        if (!InitializeProcThreadAttributeList(m_Info.lpAttributeList, 1, 0, &size)) return false;
        m_Initialized = true;
        return UpdateProcThreadAttribute(m_Info.lpAttributeList, 0,
                                         PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_List.data(),
                                         m_List.size() * sizeof(HANDLE), nullptr, nullptr);
    }
    ~ChildHandles()
    {
        if (m_Initialized) DeleteProcThreadAttributeList(m_Info.lpAttributeList);
    }
    STARTUPINFOEXA* Info()
    {
        m_Info.StartupInfo.cb = sizeof m_Info;
        m_Info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        m_Info.StartupInfo.hStdInput = m_Input.m_Handle;
        m_Info.StartupInfo.hStdOutput = m_Output;
        m_Info.StartupInfo.hStdError = m_Error.m_Handle;
        return &m_Info;
    }

private:
    Handle m_Input, m_Error;
    HANDLE m_Output = nullptr;
    std::vector<HANDLE> m_List;
    std::vector<char> m_Attributes;
    STARTUPINFOEXA m_Info = {};
    bool m_Initialized = false;
};

// Reads to the end; keeps the bytes up to the first LF in *line.
void ReadFirstLine(HANDLE pipe, std::string* line)
{
    char buffer[4096];
    bool lineEnded = false;
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        if (lineEnded) continue;
        std::size_t length = 0;
        while (length < got && buffer[length] != '\n') ++length;
        line->append(buffer, length);
        lineEnded = length < got;
    }
    SecureZeroMemory(buffer, sizeof buffer);
    if (!line->empty() && (*line)[line->size() - 1] == '\r') line->erase(line->size() - 1);
}

}  // namespace

bool RunPasswordCommand(const std::string& command, std::string* secret, std::string* why)
{
    WipeSecret(secret);
    if (command.find_first_not_of(" \t") == std::string::npos) {
        *why = "the password command is empty";
        return false;
    }
    const std::string program = "\"" + command.substr(0, command.find_first_of(" \t")) + "\"";
    Handle outputRead, outputWrite;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&outputRead.m_Handle, &outputWrite.m_Handle, &inherit, 0) ||
        !SetHandleInformation(outputRead.m_Handle, HANDLE_FLAG_INHERIT, 0)) {
        *why = "no pipe for the password command: " + SystemMessage(GetLastError());
        return false;
    }
    ChildHandles handles;
    if (!handles.Open(outputWrite.m_Handle)) {
        *why = "the password command could not be prepared: " + SystemMessage(GetLastError());
        return false;
    }
    // "/s" makes cmd take everything between the outer quotes as it is.
    std::string line = "cmd.exe /s /c \"" + command + "\"";
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE,
                        EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW, nullptr, nullptr,
                        &handles.Info()->StartupInfo, &process)) {
        *why =
            "the password command " + program + " cannot be run: " + SystemMessage(GetLastError());
        return false;
    }
    Handle processHandle, threadHandle;
    processHandle.m_Handle = process.hProcess;
    threadHandle.m_Handle = process.hThread;
    outputWrite.Close();

    ReadFirstLine(outputRead.m_Handle, secret);
    DWORD status = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    if (!GetExitCodeProcess(process.hProcess, &status)) status = 1;
    if (status != 0)
        *why = "the password command " + program + " exited with status " + std::to_string(status);
    else if (secret->empty())
        *why = "the password command " + program + " printed an empty first line";
    if (status != 0 || secret->empty()) {
        WipeSecret(secret);
        return false;
    }
    return true;
}

}  // namespace platform
