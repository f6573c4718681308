#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "core/CSMTPException.h"
#include "core/PeerText.h"
#include "mail/Globals.h"
#include "mime/Encoders.h"
#include "oauth/OAuthLogin.h"
#include "platform/Clock.h"
#include "platform/Crypto.h"
#include "platform/Sockets.h"

namespace oauth {
namespace {

constexpr long kDefaultInterval = 5;  // RFC 8628: when the server names none
constexpr long kSlowDownStep = 5;
constexpr long kDefaultCodeLifetime = 900;
constexpr int kBrowserTimeLimit = 600;  // for the person at the browser
constexpr int kRedirectTimeLimit = 10;  // for the browser's one request
constexpr std::size_t kRedirectLimit = 16 * 1024;
constexpr const char* kClosePage =
    "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Quillex</title></head>"
    "<body><p>The sign-in is done. You may close this window.</p></body></html>";

// ---- device flow (RFC 8628)

void PrintCode(const ServerAnswer& answer)
{
    std::fprintf(stderr, "To sign in, open %s and enter the code %s\n",
                 Shown(answer.verificationUri).c_str(), Shown(answer.userCode).c_str());
    if (!answer.verificationUriComplete.empty())
        std::fprintf(stderr, "Or open %s\n", Shown(answer.verificationUriComplete).c_str());
    std::fflush(stderr);
}

void Sleep(long seconds)
{
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
}

// ---- browser flow (RFC 8252 with PKCE, RFC 7636)

std::string Base64Url(const std::string& bytes)
{
    return EncodeBase64Url(bytes.data(), bytes.size());
}

std::string RandomText(std::size_t bytes)
{
    std::string random;
    if (!platform::RandomBytes(bytes, &random)) Fail("no random bytes are to be had");
    const platform::SecretGuard wipe(&random);
    return Base64Url(random);
}

class Listener {
public:
    Listener() : m_Socket(platform::ListenOnLoopback(&m_Port))
    {
        if (m_Socket == platform::kInvalidSocket)
            Fail("no port on 127.0.0.1 can take the browser's redirect");
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    ~Listener() { platform::CloseSocket(m_Socket); }
    platform::Socket Socket() const { return m_Socket; }
    std::uint16_t Port() const { return m_Port; }

private:
    std::uint16_t m_Port = 0;
    platform::Socket m_Socket;
};

struct SocketCloser {
    platform::Socket socket;
    ~SocketCloser() { platform::CloseSocket(socket); }
};

// The query of the request line "GET /path?query HTTP/1.1"; false when the
// browser asked for something else (another page), which gets a 404.
bool ReadRedirect(platform::Socket socket, std::string* query)
{
    const platform::Deadline deadline = platform::DeadlineAfter(kRedirectTimeLimit);
    std::string request;
    char buffer[2048];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kRedirectLimit) {
        std::size_t got = 0;
        if (platform::ReceiveSome(socket, buffer, sizeof buffer, deadline, &got) !=
            platform::IoStatus::OK)
            return false;
        request.append(buffer, got);
    }
    const std::string line = request.substr(0, request.find("\r\n"));
    platform::WipeSecret(&request);
    const std::size_t mark = line.find('?');
    if (line.rfind("GET /", 0) != 0 || mark == std::string::npos) return false;
    *query = line.substr(mark + 1, line.rfind(' ') - mark - 1);
    return true;
}

// 200 for the redirect of this sign-in; 400 for any other request, which
// may come from any process on this machine.
void Answer(platform::Socket socket, bool found)
{
    const std::string body = found ? kClosePage : "Bad request";
    const std::string reply = std::string(found ? "HTTP/1.1 200 OK" : "HTTP/1.1 400 Bad Request") +
                              "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    const platform::SendPiece piece{reply.data(), reply.size()};
    platform::SendPieces(socket, &piece, 1, platform::DeadlineAfter(kRedirectTimeLimit));
}

// A pasted address: its query, without a fragment.
std::string PastedQuery(std::string line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    const std::size_t mark = line.find('?');
    if (mark == std::string::npos) return line;
    return line.substr(mark + 1, line.find('#') == std::string::npos ? std::string::npos
                                                                     : line.find('#') - mark - 1);
}

bool ReadInputLine(std::string* line)
{
    char buffer[1024];
    line->clear();
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        *line += buffer;
        if (!line->empty() && line->back() == '\n') return true;
    }
    return !line->empty();
}

// The query of the redirect: from the browser, or pasted on standard input.
std::string AwaitRedirect(const Listener& listener, const std::string& state)
{
    const platform::Deadline deadline = platform::DeadlineAfter(kBrowserTimeLimit);
    bool watchInput = true;
    for (;;) {
        switch (platform::WaitForConnectionOrInput(listener.Socket(), watchInput, deadline)) {
        case platform::WaitResult::TIMED_OUT: Fail("nobody signed in within 10 minutes");
        case platform::WaitResult::FAILED: Fail("the redirect cannot be waited for");
        case platform::WaitResult::INPUT: {
            std::string line;
            if (!ReadInputLine(&line)) {
                watchInput = false;
                break;
            }
            const std::string query = PastedQuery(line);
            platform::WipeSecret(&line);
            if (!query.empty()) return query;
            break;
        }
        case platform::WaitResult::CONNECTION: {
            const SocketCloser browser{platform::AcceptConnection(listener.Socket())};
            if (browser.socket == platform::kInvalidSocket) break;
            std::string query;
            const bool found =
                ReadRedirect(browser.socket, &query) && QueryValue(query, "state") == state;
            Answer(browser.socket, found);
            if (found) return query;
            platform::WipeSecret(&query);
            break;
        }
        }
    }
}

std::string AuthorizationUrl(Config& config, const std::string& redirect, const std::string& state,
                             const std::string& challenge)
{
    const std::string endpoint = AuthorizeEndpoint(config);
    RefuseInsecureUrl(endpoint, "authorization endpoint");
    Form form{
        {"response_type", "code"}, {"client_id", config.clientId}, {"redirect_uri", redirect}};
    if (!config.scope.empty()) form.emplace_back("scope", config.scope);
    form.emplace_back("state", state);
    form.emplace_back("code_challenge", challenge);
    form.emplace_back("code_challenge_method", "S256");
    return endpoint + (endpoint.find('?') == std::string::npos ? "?" : "&") + EncodeForm(form) +
           config.authorizeExtra;
}

}  // namespace

void DeviceSignIn(Config& config, platform::StoredTokens* tokens)
{
    const std::string url = DeviceEndpoint(config);
    Form form;
    const FormGuard wipe(form);
    AddClient(config, form);
    if (!config.scope.empty()) form.emplace_back("scope", config.scope);
    const platform::HttpResponse response = Request(url, form, "device endpoint");
    ServerAnswer code;
    std::string why;
    if (!ParseServerAnswer(response.body, &code, &why))
        Fail("the device endpoint \"" + Shown(url) + "\" answered HTTP " +
             std::to_string(response.status) + " with what is not its answer: " + why);
    if (response.status != 200 || !code.error.empty() || code.deviceCode.empty() ||
        code.userCode.empty() || code.verificationUri.empty())
        FailWithAnswer("device endpoint", url, response, code);
    PrintCode(code);
    long interval = code.interval > 0 ? code.interval : kDefaultInterval;
    const std::time_t end =
        platform::CurrentTime() + (code.expiresIn > 0 ? code.expiresIn : kDefaultCodeLifetime);
    bool failing = false;  // the last poll failed for the time being
    for (;;) {
        if (platform::CurrentTime() + interval > end) {
            if (failing) FailTemporarily("the code expired while the token endpoint failed");
            Fail("the code expired before the sign-in was done");
        }
        Sleep(interval);
        Form poll{{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"},
                  {"device_code", code.deviceCode}};
        ServerAnswer answer;
        platform::HttpResponse polled;
        try {
            polled = Exchange(config, poll, &answer);
        } catch (const CSMTPException& error) {
            if (!IsTemporaryFailure(error)) throw;
            // RFC 8628: a poll that timed out waits longer the next time.
            if (g_Verbose || g_Debug) std::fprintf(stderr, "%s\n", error.what());
            failing = true;
            interval *= 2;
            continue;
        }
        failing = false;
        if (answer.error == "authorization_pending") continue;
        if (answer.error == "slow_down") {
            interval += kSlowDownStep;
            continue;
        }
        TakeTokens(config, polled, answer, tokens);
        return;
    }
}

void BrowserSignIn(Config& config, platform::StoredTokens* tokens)
{
    std::string verifier = RandomText(32);
    const platform::SecretGuard wipeVerifier(&verifier);
    const std::string state = RandomText(16);
    const Listener listener;
    const std::string redirect = "http://127.0.0.1:" + std::to_string(listener.Port()) + "/";
    const std::string url =
        AuthorizationUrl(config, redirect, state, Base64Url(platform::Sha256(verifier)));
    std::fprintf(stderr, "To sign in, open %s\n", core::PrintablePeerText(url).c_str());
    std::fflush(stderr);
    std::string query = AwaitRedirect(listener, state);
    const platform::SecretGuard wipeQuery(&query);
    if (QueryValue(query, "state") != state)
        Fail("the redirect does not carry the state of this sign-in, so it is not taken");
    const std::string error = QueryValue(query, "error");
    if (!error.empty()) {
        const std::string description = QueryValue(query, "error_description");
        Fail("the sign-in was refused: " + Shown(error) +
             (description.empty() ? std::string() : " (" + Shown(description) + ")"));
    }
    Form form{{"grant_type", "authorization_code"},
              {"code", QueryValue(query, "code")},
              {"redirect_uri", redirect},
              {"code_verifier", verifier}};
    ServerAnswer answer;
    const platform::HttpResponse response = Exchange(config, form, &answer);
    TakeTokens(config, response, answer, tokens);
}

}  // namespace oauth
