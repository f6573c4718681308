#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// The client side of the SASL mechanisms used with SMTP AUTH: what to send,
// computed from what the server sent, with no I/O. Responses that travel in
// base64 are returned encoded, on one line and without CR LF; the SCRAM
// messages are returned and taken decoded, as the mechanism defines them.
//
// Nothing here throws. A refusal returns false and puts the reason in *why:
// a lower-case phrase without a final stop, e.g. "the server does not offer
// PLAIN (it offers: LOGIN CRAM-MD5)", meant to follow "authentication
// failed: " in an AUTH_FAILED message. A reason never holds a secret.
//
// The returned responses hold the secret in a reversible form: wipe them
// (platform::WipeSecret) once sent.
namespace transport {

enum class SaslMechanism { SCRAM_SHA_256, PLAIN, LOGIN, XOAUTH2, OAUTHBEARER };

// The name in AUTH commands and EHLO replies: "SCRAM-SHA-256", "PLAIN", ...
const char* SaslName(SaslMechanism mechanism);

// True for XOAUTH2 and OAUTHBEARER, whose secret is an OAuth2 access token.
bool SaslTakesToken(SaslMechanism mechanism);

// Chooses by the setting text ("auto", "scram-sha-256", "plain", "login",
// "xoauth2", "oauthbearer"; any case, blanks around it ignored, empty means
// "auto") among the mechanisms the server advertises (the words of its AUTH
// line, any case). "auto" takes the first offered of SCRAM-SHA-256, PLAIN
// and LOGIN, never an OAuth one. Refused: an unknown setting, a named
// mechanism the server does not offer, no usable mechanism; the reason lists
// what the server offers.
bool ChooseSaslMechanism(const std::vector<std::string>& advertised, const std::string& setting,
                         SaslMechanism* chosen, std::string* why);

// Base64 on one line, and its strict inverse (false for anything that is not
// base64 on one line, e.g. a 334 text of words), for challenges and answers.
std::string SaslEncode(const std::string& bytes);
bool SaslDecode(const std::string& text, std::string* bytes);

// PLAIN (RFC 4616) initial response, empty authorisation identity:
// base64("\0" user "\0" password).
std::string PlainResponse(const std::string& user, const std::string& password);

// LOGIN: the answers to the first and the second 334, whatever their text.
std::string LoginUserResponse(const std::string& user);
std::string LoginPasswordResponse(const std::string& password);

// XOAUTH2 initial response: base64("user=" user ^A "auth=Bearer " token ^A ^A).
std::string XOAuth2Response(const std::string& user, const std::string& token);

// OAUTHBEARER (RFC 7628) initial response: base64("n,a=" user "," ^A
// "host=" host ^A "port=" port ^A "auth=Bearer " token ^A ^A); "," and "="
// in the user name are escaped as "=2C" and "=3D".
std::string OAuthBearerResponse(const std::string& user, const std::string& host,
                                std::uint16_t port, const std::string& token);

// The answer to a 334 that carries an OAuth error (a JSON status): the
// server then ends the exchange with its failure reply.
constexpr const char* kOAuthErrorAnswer = "AQ==";
// Cancels an exchange (RFC 4954); the server replies 501.
constexpr const char* kSaslCancel = "*";

// SCRAM-SHA-256 (RFC 5802, RFC 7677) without channel binding ("n,,"), and
// without SASLprep: the user name and password go as they are. One object
// per exchange; the calls come in order.
class ScramSha256Client {
public:
    // The client nonce: 24 random bytes in base64, drawn in ClientFirst.
    ScramSha256Client() = default;
    // A fixed nonce, for tests only.
    explicit ScramSha256Client(std::string nonce) : m_Nonce(std::move(nonce)) {}
    ScramSha256Client(const ScramSha256Client&) = delete;
    ScramSha256Client& operator=(const ScramSha256Client&) = delete;
    ~ScramSha256Client();

    // *message = "n,,n=" user "," "r=" nonce, with "=" and "," in the user
    // name escaped as "=3D" and "=2C". Refused: no random nonce to be had.
    bool ClientFirst(const std::string& user, std::string* message, std::string* why);

    // From the decoded server-first message ("r=...,s=...,i=..."),
    // *message = "c=biws,r=" nonce ",p=" proof. Refused: not after
    // ClientFirst; a malformed message; an extension the server requires
    // ("m="); a server nonce that does not extend the client's or holds a
    // byte outside printable ASCII; a salt that is not base64 or is empty; an
    // iteration count that is not a decimal number of 1 to 1,000,000; a
    // failure of the system's cryptography.
    bool ClientFinal(const std::string& serverFirst, const std::string& password,
                     std::string* message, std::string* why);

    // True when the decoded server-final message proves that the server
    // knows the password: its "v=" is the expected server signature. Refused:
    // not after ClientFinal; "e=" (the reason quotes the server's error);
    // a missing or wrong signature.
    bool VerifyServerFinal(const std::string& serverFinal, std::string* why) const;

private:
    std::string m_Nonce;
    std::string m_ClientFirstBare;
    std::string m_ServerSignature;  // expected; empty until ClientFinal succeeded
};

}  // namespace transport
