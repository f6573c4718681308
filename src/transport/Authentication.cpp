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
constexpr int kAuthFailed = 535;
constexpr const char* kHidden = "<hidden>";

// The run's secret: got once (the OAuth token before the first connection,
// a password at the first AUTH), used by every connection that logs in, and
// wiped when the run ends.
struct RunSecret {
    std::string secret;
    bool ready = false;
    bool oauth = false;  // an access token, which a refusal may renew once
    bool renewed = false;
    void Wipe()
    {
        platform::WipeSecret(&secret);
        ready = oauth = renewed = false;
    }
};
RunSecret s_Secret;

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

[[noreturn]] void FailAuth(const Exchange& at, const std::string& why, bool temporary = false)
{
    const ServerName& server = at.connection.Server();
    CSMTPException error(AUTH_FAILED);
    error << "Authentication as \"" << at.user << "\" with " << at.name << " at server \""
          << server.host << "\" port " << server.port << " failed: " << why << ".";
    if (temporary) MarkTemporary(error);
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
    // 4xx: the server cannot check logins just now (RFC 4954: 454 4.7.0).
    FailAuth(at, answer, code / 100 == 4);
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

std::string BearerResponse(const Exchange& at, const std::string& token)
{
    const ServerName& server = at.connection.Server();
    return at.mechanism == SaslMechanism::XOAUTH2
               ? XOAuth2Response(at.user, token)
               : OAuthBearerResponse(at.user, server.host, server.port, token);
}

// A token the server does not take comes back as a 334 carrying the error,
// which is acknowledged so that the server sends its failure reply. False,
// with *why, when the server refused the token itself.
bool TryBearer(const Exchange& at, const std::string& token, std::string* why)
{
    std::string response = BearerResponse(at, token);
    std::string line = InitialResponse(at, response);
    const platform::SecretGuard wipeResponse(&response);
    const platform::SecretGuard wipeLine(&line);
    int code = Step(at, line, "AUTH " + at.name + " <hidden>");
    if (code == kContinue) {
        const std::string error = Challenge(at);
        code = Step(at, kOAuthErrorAnswer, kOAuthErrorAnswer);
        *why = Quoted(at.connection) + " after the error " + core::PrintablePeerText(error);
        if (code / 100 == 4) FailAuth(at, *why, true);
        return false;
    }
    if (code == kAuthFailed) {
        *why = Quoted(at.connection);
        return false;
    }
    Expect(at, code, kAuthenticated);
    return true;
}

// A refused access token may have been revoked before its time: the run
// gets a fresh one once and asks again on the same connection.
void Bearer(const Exchange& at)
{
    std::string why;
    if (TryBearer(at, s_Secret.secret, &why)) return;
    if (!s_Secret.oauth || s_Secret.renewed) FailAuth(at, why);
    s_Secret.renewed = true;
    std::string fresh = oauth::AccessToken(at.user, s_Secret.secret);
    platform::WipeSecret(&s_Secret.secret);
    s_Secret.secret.swap(fresh);
    if (!TryBearer(at, s_Secret.secret, &why)) FailAuth(at, why);
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

RunCredentials::RunCredentials(const ServerName& server, bool news)
{
    s_Secret.Wipe();
    const std::string user = server.user.empty() ? g_SmtpUser : server.user;
    const char* given = std::getenv("QUILLEX_SMTP_PASSWORD");
    if (news || user.empty() || server.security == Security::PLAIN || (given && *given) ||
        !g_SmtpPasswordCommand.empty() || !oauth::InUse() || !NamesOAuthMechanism(g_SmtpAuth))
        return;
    try {
        s_Secret.secret = oauth::AccessToken(user);
        s_Secret.ready = s_Secret.oauth = true;
    } catch (const CSMTPException& error) {
        // What to do must reach the user also without -v.
        if (!g_Verbose && !g_FrontEndReportsFailures) std::fprintf(stderr, "%s\n", error.what());
        throw;
    }
}

RunCredentials::~RunCredentials()
{
    s_Secret.Wipe();
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
    if (!s_Secret.ready) {
        if (!FetchSecret("QUILLEX_SMTP_PASSWORD", g_SmtpPasswordCommand, g_SmtpPassword,
                         &s_Secret.secret, &why))
            FailAuth(at, why);
        s_Secret.ready = true;
    }
    const std::string& secret = s_Secret.secret;
    switch (at.mechanism) {
    case SaslMechanism::SCRAM_SHA_256: Scram(at, secret); break;
    case SaslMechanism::PLAIN: Plain(at, secret); break;
    case SaslMechanism::LOGIN: Login(at, secret); break;
    case SaslMechanism::XOAUTH2:
    case SaslMechanism::OAUTHBEARER: Bearer(at); break;
    }
}

}  // namespace transport
