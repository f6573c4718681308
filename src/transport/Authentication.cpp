#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/PeerText.h"
#include "mail/CSMTPEmail.h"
#include "mail/Globals.h"
#include "oauth/OAuth.h"
#include "platform/Crypto.h"
#include "platform/PasswordCommand.h"
#include "transport/Capabilities.h"
#include "transport/Sasl.h"
#include "transport/Session.h"

namespace transport {
namespace {

constexpr int kAuthenticated = 235;
constexpr int kContinue = 334;
constexpr const char* kHidden = "<hidden>";

// Got before the session starts, used by the first AUTH, then wiped.
std::string s_OAuthToken;

bool NamesOAuthMechanism(const std::string& setting)
{
    std::string name;
    for (const char c : setting)
        if (c != ' ' && c != '\t') name += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return name == "xoauth2" || name == "oauthbearer";
}

// One exchange: what was asked for, of whom, and with what.
struct Exchange {
    Connection& connection;
    const std::string& user;
    SaslMechanism mechanism;
    std::string name;  // the mechanism, or the setting until one is chosen
};

[[noreturn]] void FailAuth(const Exchange& at, const std::string& why)
{
    const ServerName& server = at.connection.Server();
    CSMTPException error(AUTH_FAILED);
    error << "Authentication as \"" << at.user << "\" with " << at.name << " at server \""
          << server.host << "\" port " << server.port << " failed: " << why << ".";
    throw error;
}

// Sends one line of the exchange, shown under -d as shown, and reads the reply.
int Step(const Exchange& at, const std::string& line, const std::string& shown)
{
    at.connection.SendHidden(line, shown);
    at.connection.ReadReply(TimeLimit(kCommandTimeLimit));
    return at.connection.LastReply().Parsed().code;
}

std::string Quoted(const Connection& connection)
{
    return "the server answered \"" + FirstLine(connection.LastReply()) + "\"";
}

// Anything but the reply the exchange expects ends it.
void Expect(const Exchange& at, int code, int expected)
{
    if (code == expected) return;
    const std::string answer = Quoted(at.connection);
    // A challenge where none was due is cancelled; the server then refuses.
    if (code == kContinue) Step(at, kSaslCancel, kSaslCancel);
    FailAuth(at, answer);
}

// The challenge of a 334 reply, decoded; a text that is not base64 cancels.
std::string Challenge(const Exchange& at)
{
    const std::string text = at.connection.LastReply().Parsed().lines.at(0);
    std::string decoded;
    if (SaslDecode(text, &decoded)) return decoded;
    Step(at, kSaslCancel, kSaslCancel);
    FailAuth(at, "the server's challenge is not base64");
}

// "AUTH NAME response", built in one buffer that the caller wipes.
std::string InitialResponse(const Exchange& at, const std::string& response)
{
    std::string line = "AUTH " + at.name + " ";
    line.reserve(line.size() + response.size());
    line += response;
    return line;
}

void Plain(const Exchange& at, const std::string& secret)
{
    std::string response = PlainResponse(at.user, secret);
    std::string line = InitialResponse(at, response);
    const platform::SecretGuard wipeResponse(&response);
    const platform::SecretGuard wipeLine(&line);
    Expect(at, Step(at, line, "AUTH PLAIN <hidden>"), kAuthenticated);
}

void Login(const Exchange& at, const std::string& secret)
{
    // The texts of the two prompts say "Username:" and "Password:" in
    // base64 by custom only; their order is what counts.
    Expect(at, Step(at, "AUTH LOGIN", "AUTH LOGIN"), kContinue);
    Expect(at, Step(at, LoginUserResponse(at.user), kHidden), kContinue);
    std::string answer = LoginPasswordResponse(secret);
    const platform::SecretGuard wipe(&answer);
    Expect(at, Step(at, answer, kHidden), kAuthenticated);
}

// A token the server does not take comes back as a 334 carrying the error,
// which is acknowledged so that the server sends its failure reply.
void Bearer(const Exchange& at, std::string response)
{
    std::string line = InitialResponse(at, response);
    const platform::SecretGuard wipeResponse(&response);
    const platform::SecretGuard wipeLine(&line);
    int code = Step(at, line, "AUTH " + at.name + " <hidden>");
    if (code == kContinue) {
        const std::string error = Challenge(at);
        code = Step(at, kOAuthErrorAnswer, kOAuthErrorAnswer);
        FailAuth(at, Quoted(at.connection) + " after the error " + core::PrintablePeerText(error));
    }
    Expect(at, code, kAuthenticated);
}

// The server must prove that it knows the password too: a 235 without that
// proof, or with a wrong one, ends the run.
void Scram(const Exchange& at, const std::string& secret)
{
    ScramSha256Client scram;
    std::string message;
    std::string why;
    if (!scram.ClientFirst(at.user, &message, &why)) FailAuth(at, why);
    Expect(at, Step(at, "AUTH SCRAM-SHA-256 " + SaslEncode(message), "AUTH SCRAM-SHA-256 <hidden>"),
           kContinue);
    if (!scram.ClientFinal(Challenge(at), secret, &message, &why)) {
        Step(at, kSaslCancel, kSaslCancel);
        FailAuth(at, why);
    }
    std::string answer = SaslEncode(message);
    const platform::SecretGuard wipe(&answer);
    if (Step(at, answer, kHidden) == kAuthenticated)
        FailAuth(at, "the server accepted without proving that it knows the password");
    Expect(at, at.connection.LastReply().Parsed().code, kContinue);
    if (!scram.VerifyServerFinal(Challenge(at), &why)) {
        Step(at, kSaslCancel, kSaslCancel);
        FailAuth(at, why);
    }
    Expect(at, Step(at, "", ""), kAuthenticated);
}

}  // namespace

bool FetchSecret(const char* variable, const std::string& command, const std::string& stored,
                 std::string* secret, std::string* why)
{
    const char* given = std::getenv(variable);
    if (given && *given) {
        *secret = given;
        return true;
    }
    if (!command.empty()) {
        if (platform::RunPasswordCommand(command, secret, why)) return true;
        *why = "the password command failed: " + *why;
        return false;
    }
    *secret = stored;
    if (!secret->empty()) return true;
    *why = std::string("no password is set (") + variable +
           ", a password command or a password "
           "in the settings)";
    return false;
}

std::string SmtpUser(const Connection& connection)
{
    const std::string& named = connection.Server().user;
    return named.empty() ? g_SmtpUser : named;
}

void RefuseLoginInPlainText(const Connection& connection)
{
    if (SmtpUser(connection).empty() || connection.Server().security != Security::PLAIN) return;
    const ServerName& server = connection.Server();
    CSMTPException error(AUTH_FAILED);
    error << "A user name is set, but server \"" << server.host << "\" port " << server.port
          << " is reached in plain text, where a password would show to anyone on the way. "
             "Use smtps:// (TLS from the first byte) or submission:// (STARTTLS).";
    throw error;
}

void PrepareOAuthToken(const ServerName& server)
{
    const std::string user = server.user.empty() ? g_SmtpUser : server.user;
    const char* given = std::getenv("QUILLEX_SMTP_PASSWORD");
    if (user.empty() || server.security == Security::PLAIN || (given && *given) ||
        !g_SmtpPasswordCommand.empty() || !oauth::InUse() || !NamesOAuthMechanism(g_SmtpAuth))
        return;
    try {
        s_OAuthToken = oauth::AccessToken(user);
    } catch (const CSMTPException& error) {
        // What to do must reach the user also without -v.
        if (!g_Verbose && !g_FrontEndReportsFailures) std::fprintf(stderr, "%s\n", error.what());
        throw;
    }
}

void Authenticate(Connection& connection, const Capabilities* offered)
{
    const std::string user = SmtpUser(connection);
    if (user.empty()) return;
    Exchange at{connection, user, SaslMechanism::PLAIN, g_SmtpAuth.empty() ? "auto" : g_SmtpAuth};
    if (!offered) FailAuth(at, "the server refused EHLO, so it cannot be asked to authenticate");
    std::string why;
    if (!ChooseSaslMechanism(offered->Parameters("AUTH"), g_SmtpAuth, &at.mechanism, &why))
        FailAuth(at, why);
    at.name = SaslName(at.mechanism);
    connection.NoteAuthMechanism(at.name);
    std::string secret;
    const platform::SecretGuard wipe(&secret);
    if (!s_OAuthToken.empty()) {
        secret = s_OAuthToken;
        platform::WipeSecret(&s_OAuthToken);
    } else if (!FetchSecret("QUILLEX_SMTP_PASSWORD", g_SmtpPasswordCommand, g_SmtpPassword, &secret,
                            &why)) {
        FailAuth(at, why);
    }
    switch (at.mechanism) {
    case SaslMechanism::SCRAM_SHA_256: Scram(at, secret); break;
    case SaslMechanism::PLAIN: Plain(at, secret); break;
    case SaslMechanism::LOGIN: Login(at, secret); break;
    case SaslMechanism::XOAUTH2: Bearer(at, XOAuth2Response(user, secret)); break;
    case SaslMechanism::OAUTHBEARER:
        Bearer(at, OAuthBearerResponse(user, connection.Server().host, connection.Server().port,
                                       secret));
        break;
    }
}

}  // namespace transport
