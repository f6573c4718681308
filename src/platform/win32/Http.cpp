#include "platform/Http.h"

#include "platform/win32/CertCheck.h"

#include <winhttp.h>

#include <chrono>
#include <cstdint>

// WinHTTP is told to let any certificate through, because the program's own
// check decides: it runs once the connection stands and the headers have
// gone, and the body, where every secret travels, goes only after it.
namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// WinHTTP's functions, resolved when the first request loads the system
// library: a run that only sends mail loads no HTTP code.
decltype(&::WinHttpCloseHandle) WinHttpCloseHandle = nullptr;
decltype(&::WinHttpSetTimeouts) WinHttpSetTimeouts = nullptr;
decltype(&::WinHttpCrackUrl) WinHttpCrackUrl = nullptr;
decltype(&::WinHttpOpen) WinHttpOpen = nullptr;
decltype(&::WinHttpSetOption) WinHttpSetOption = nullptr;
decltype(&::WinHttpQueryOption) WinHttpQueryOption = nullptr;
decltype(&::WinHttpConnect) WinHttpConnect = nullptr;
decltype(&::WinHttpOpenRequest) WinHttpOpenRequest = nullptr;
decltype(&::WinHttpSendRequest) WinHttpSendRequest = nullptr;
decltype(&::WinHttpWriteData) WinHttpWriteData = nullptr;
decltype(&::WinHttpReceiveResponse) WinHttpReceiveResponse = nullptr;
decltype(&::WinHttpQueryHeaders) WinHttpQueryHeaders = nullptr;
decltype(&::WinHttpReadData) WinHttpReadData = nullptr;

constexpr const char* kHttpLibrary = "winhttp.dll";

template <typename Function>
void Resolve(HMODULE library, const char* name, Function* slot, std::string* missing)
{
    // Through void (*)(): the one function type that converts to any other.
    *slot = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
    if (!*slot && missing->empty()) *missing = name;
}

// Empty once the library is loaded, else why not. Only the system's own
// copy is taken, never one planted beside the program.
std::string LoadWinHttp()
{
    const std::string named = std::string("the HTTP library ") + kHttpLibrary;
    HMODULE library = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) return named + " cannot be loaded: " + SystemText(GetLastError());
    std::string missing;
    Resolve(library, "WinHttpCloseHandle", &WinHttpCloseHandle, &missing);
    Resolve(library, "WinHttpSetTimeouts", &WinHttpSetTimeouts, &missing);
    Resolve(library, "WinHttpCrackUrl", &WinHttpCrackUrl, &missing);
    Resolve(library, "WinHttpOpen", &WinHttpOpen, &missing);
    Resolve(library, "WinHttpSetOption", &WinHttpSetOption, &missing);
    Resolve(library, "WinHttpQueryOption", &WinHttpQueryOption, &missing);
    Resolve(library, "WinHttpConnect", &WinHttpConnect, &missing);
    Resolve(library, "WinHttpOpenRequest", &WinHttpOpenRequest, &missing);
    Resolve(library, "WinHttpSendRequest", &WinHttpSendRequest, &missing);
    Resolve(library, "WinHttpWriteData", &WinHttpWriteData, &missing);
    Resolve(library, "WinHttpReceiveResponse", &WinHttpReceiveResponse, &missing);
    Resolve(library, "WinHttpQueryHeaders", &WinHttpQueryHeaders, &missing);
    Resolve(library, "WinHttpReadData", &WinHttpReadData, &missing);
    return missing.empty() ? std::string() : named + " lacks " + missing;
}

const std::string& LoadFailure()
{
    static const std::string failure = LoadWinHttp();
    return failure;
}

// Every fault WinHTTP itself could find: each is one the program's check refuses.
constexpr DWORD kLeftToOurCheck =
    SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
    SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
constexpr DWORD kTls13 = 0x2000;  // WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3, missing in older headers
// WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY (Windows 8.1 on): the user's proxy
// settings and PAC script, which the default proxy type ignores.
constexpr DWORD kAutomaticProxy = 4;

struct Handle {
    HINTERNET handle = nullptr;
    explicit Handle(HINTERNET opened) : handle(opened) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle()
    {
        if (handle) WinHttpCloseHandle(handle);
    }
};

struct FreeCertificate {
    void operator()(const CERT_CONTEXT* p) const { CertFreeCertificateContext(p); }
};

struct ErrorText {
    DWORD code;
    const char* text;
};

const ErrorText kErrorTexts[] = {
    {ERROR_WINHTTP_TIMEOUT, "the time limit ran out"},
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "the host name cannot be resolved"},
    {ERROR_WINHTTP_CANNOT_CONNECT, "the server cannot be reached"},
    {ERROR_WINHTTP_CONNECTION_ERROR, "the connection was broken"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "the server's answer is not HTTP"},
    {ERROR_WINHTTP_SECURE_FAILURE, "the TLS connection failed"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "the TLS connection failed"},
    {ERROR_WINHTTP_INVALID_URL, "the address is not valid"},
    {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, "the address is not valid"},
};

std::string WinHttpText(DWORD code)
{
    for (const ErrorText& known : kErrorTexts)
        if (known.code == code)
            return std::string(known.text) + " (WinHTTP error " + std::to_string(code) + ")";
    return code >= WINHTTP_ERROR_BASE && code <= WINHTTP_ERROR_LAST
               ? "WinHTTP error " + std::to_string(code)
               : SystemText(code);
}

struct Exchange {
    const HttpRequest& request;
    HttpResponse* response;
    std::string* why;
    Clock::time_point deadline;
    std::wstring host;
    INTERNET_PORT port = 0;
    bool secure = false;
    std::wstring path;

    bool Fail(const std::string& text)
    {
        *why = text;
        return false;
    }
    bool FailLast() { return Fail(WinHttpText(GetLastError())); }

    // Bounds the next step by what is left of the request's time.
    bool Bound(HINTERNET handle)
    {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Fail(WinHttpText(ERROR_WINHTTP_TIMEOUT));
        const int ms = left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
        return WinHttpSetTimeouts(handle, ms, ms, ms, ms) || FailLast();
    }

    bool Parse()
    {
        std::wstring url = Wide(request.url);
        URL_COMPONENTS parts{};
        parts.dwStructSize = sizeof parts;
        parts.dwHostNameLength = static_cast<DWORD>(-1);
        parts.dwUrlPathLength = static_cast<DWORD>(-1);
        parts.dwExtraInfoLength = static_cast<DWORD>(-1);
        if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts))
            return FailLast();
        host.assign(parts.lpszHostName, parts.dwHostNameLength);
        port = parts.nPort;
        secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
        path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
        path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        if (path.empty()) path = L"/";
        return true;
    }

    HINTERNET OpenSession()
    {
        HINTERNET session = WinHttpOpen(L"Quillex", kAutomaticProxy, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0);
        // Older systems do not know it.
        if (!session)
            session = WinHttpOpen(L"Quillex", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
        if (!session) return nullptr;
        DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | kTls13;
        if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols)) {
            // Systems without TLS 1.3 refuse the whole set.
            protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
            WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                             sizeof protocols);
        }
        return session;
    }

    bool Configure(HINTERNET handle)
    {
        DWORD never = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        DWORD noLogon = WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
        DWORD ignored = kLeftToOurCheck;
        return (WinHttpSetOption(handle, WINHTTP_OPTION_REDIRECT_POLICY, &never, sizeof never) &&
                WinHttpSetOption(handle, WINHTTP_OPTION_AUTOLOGON_POLICY, &noLogon,
                                 sizeof noLogon) &&
                (!secure || WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &ignored,
                                             sizeof ignored))) ||
               FailLast();
    }

    // The host as the certificate names it: an IPv6 address without its brackets.
    std::string CheckedName() const
    {
        const std::string name = Narrow(host.c_str());
        return name.size() > 2 && name.front() == '[' && name.back() == ']'
                   ? name.substr(1, name.size() - 2)
                   : name;
    }

    // The program's own verdict on the certificate of the connection that
    // the request has just been sent on.
    bool CheckCertificate(HINTERNET handle)
    {
        if (!secure) return true;
        const CERT_CONTEXT* raw = nullptr;
        DWORD size = sizeof raw;
        if (!WinHttpQueryOption(handle, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw)
            return Fail("the server's certificate cannot be had: " + WinHttpText(GetLastError()));
        const std::unique_ptr<const CERT_CONTEXT, FreeCertificate> certificate(raw);
        ServerCertificateCheck check;
        std::string reason;
        if ((request.caFile.empty() || check.TrustCaFile(request.caFile, &reason)) &&
            check.Check(certificate.get(), CheckedName(), &reason))
            return true;
        response->certificateRefused = true;
        return Fail("the server's certificate is refused: " + reason);
    }

    bool SendForm(HINTERNET handle)
    {
        std::size_t done = 0;
        while (done < request.form.size()) {
            DWORD put = 0;
            if (!Bound(handle) ||
                !WinHttpWriteData(handle, request.form.data() + done,
                                  static_cast<DWORD>(request.form.size() - done), &put))
                return *why == "" ? FailLast() : false;
            done += put;
        }
        return true;
    }

    bool ReadBody(HINTERNET handle)
    {
        std::string& body = response->body;
        for (;;) {
            const std::size_t had = body.size();
            body.resize(had + 16384);
            DWORD got = 0;
            const bool read = Bound(handle) && WinHttpReadData(handle, &body[had], 16384, &got);
            body.resize(had + (read ? got : 0));
            if (!read) return *why == "" ? FailLast() : false;
            if (got == 0) return true;
            if (body.size() > kHttpBodyLimit) return Fail("the response is longer than 1 MiB");
        }
    }

    bool Run()
    {
        if (!Parse()) return false;
        const Handle session(OpenSession());
        if (!session.handle) return FailLast();
        const Handle connection(WinHttpConnect(session.handle, host.c_str(), port, 0));
        if (!connection.handle) return FailLast();
        const bool post = !request.form.empty();
        const Handle exchange(WinHttpOpenRequest(
            connection.handle, post ? L"POST" : L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
            WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0));
        if (!exchange.handle || !Configure(exchange.handle) || !Bound(exchange.handle))
            return *why == "" ? FailLast() : false;
        const std::wstring headers =
            std::wstring(L"Accept: application/json\r\n") +
            (post ? L"Content-Type: application/x-www-form-urlencoded\r\n" : L"");
        if (!WinHttpSendRequest(exchange.handle, headers.c_str(), static_cast<DWORD>(-1),
                                WINHTTP_NO_REQUEST_DATA, 0, static_cast<DWORD>(request.form.size()),
                                0))
            return FailLast();
        if (!CheckCertificate(exchange.handle) || !SendForm(exchange.handle)) return false;
        if (!Bound(exchange.handle) || !WinHttpReceiveResponse(exchange.handle, nullptr))
            return *why == "" ? FailLast() : false;
        DWORD status = 0;
        DWORD size = sizeof status;
        if (!WinHttpQueryHeaders(
                exchange.handle, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            return FailLast();
        response->status = static_cast<long>(status);
        return ReadBody(exchange.handle);
    }
};

}  // namespace

bool SendHttpRequest(const HttpRequest& request, HttpResponse* response, std::string* why)
{
    response->status = 0;
    response->body.clear();
    response->certificateRefused = false;
    why->clear();
    if (!LoadFailure().empty()) {
        *why = LoadFailure();
        return false;
    }
    Exchange exchange{
        request, response, why,   Clock::now() + std::chrono::seconds(request.timeLimit),
        {},      0,        false, {}};
    return exchange.Run();
}

}  // namespace platform
