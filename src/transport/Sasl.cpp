#include "transport/Sasl.h"

#include <cctype>
#include <cstddef>
#include <initializer_list>
#include <string_view>

#include "core/PeerText.h"
#include "core/Text.h"
#include "mime/Encoders.h"
#include "platform/Crypto.h"

namespace transport {

namespace {

struct MechanismName {
    SaslMechanism mechanism;
    const char* name;     // as servers advertise it
    const char* setting;  // as the user writes it
};

// In the order "auto" prefers them; the OAuth ones are never chosen by it.
constexpr MechanismName kMechanisms[] = {
    {SaslMechanism::SCRAM_SHA_256, "SCRAM-SHA-256", "scram-sha-256"},
    {SaslMechanism::PLAIN, "PLAIN", "plain"},
    {SaslMechanism::LOGIN, "LOGIN", "login"},
    {SaslMechanism::XOAUTH2, "XOAUTH2", "xoauth2"},
    {SaslMechanism::OAUTHBEARER, "OAUTHBEARER", "oauthbearer"},
};

constexpr std::size_t kNonceBytes = 24;
constexpr unsigned long kMaxIterations = 1000000;
constexpr std::size_t kShownErrorLength = 200;

using core::Lower;
using core::Trimmed;

bool Advertised(const std::vector<std::string>& advertised, const char* name)
{
    for (const std::string& word : advertised)
        if (Lower(word) == Lower(name)) return true;
    return false;
}

std::string Offers(const std::vector<std::string>& advertised)
{
    if (advertised.empty()) return "it offers none";
    std::string list = "it offers:";
    for (const std::string& word : advertised) list += " " + core::PrintablePeerText(word);
    return list;
}

bool Refuse(std::string* why, const std::string& reason)
{
    *why = reason;
    return false;
}

// A user name as a SCRAM or GS2 "saslname".
// One buffer of the final size: a string that grows leaves the secret in
// the blocks it frees, where no wipe reaches.
std::string Joined(std::initializer_list<std::string_view> pieces)
{
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    std::string joined;
    joined.reserve(size);
    for (const std::string_view piece : pieces) joined.append(piece.data(), piece.size());
    return joined;
}

std::string EscapedName(const std::string& user)
{
    std::string escaped;
    for (const char c : user) {
        if (c == '=')
            escaped += "=3D";
        else if (c == ',')
            escaped += "=2C";
        else
            escaped += c;
    }
    return escaped;
}

// Server text as a reason may show it: printable ASCII, and not too much of it.
std::string Shown(const std::string& text)
{
    std::string shown;
    for (const char c : text.substr(0, kShownErrorLength)) {
        const unsigned char u = static_cast<unsigned char>(c);
        shown += u >= 0x20 && u < 0x7F ? c : '?';
    }
    return text.size() > kShownErrorLength ? shown + "..." : shown;
}

// The value of "name=" at the start of the attribute list from position at,
// moving at past it and its comma; false when the next attribute is another.
bool TakeAttribute(const std::string& message, char name, std::size_t* at, std::string* value)
{
    if (*at + 2 > message.size() || message[*at] != name || message[*at + 1] != '=') return false;
    const std::size_t start = *at + 2;
    const std::size_t comma = message.find(',', start);
    const std::size_t end = comma == std::string::npos ? message.size() : comma;
    *value = message.substr(start, end - start);
    *at = comma == std::string::npos ? message.size() : comma + 1;
    return true;
}

bool PrintableNonce(const std::string& nonce)
{
    for (const char c : nonce)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return false;
    return true;
}

// 1 to kMaxIterations in decimal digits; 0 for anything else.
unsigned long IterationCount(const std::string& text)
{
    if (text.empty() || text.size() > 7) return 0;
    unsigned long count = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return 0;
        count = count * 10 + static_cast<unsigned long>(c - '0');
    }
    return count <= kMaxIterations ? count : 0;
}

std::string Xor(const std::string& a, const std::string& b)
{
    std::string result = a;
    for (std::size_t i = 0; i < result.size() && i < b.size(); ++i)
        result[i] = static_cast<char>(result[i] ^ b[i]);
    return result;
}

// Compares without stopping at the first difference.
bool SameBytes(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
    return difference == 0;
}

}  // namespace

const char* SaslName(SaslMechanism mechanism)
{
    for (const MechanismName& entry : kMechanisms)
        if (entry.mechanism == mechanism) return entry.name;
    return "";
}

bool SaslTakesToken(SaslMechanism mechanism)
{
    return mechanism == SaslMechanism::XOAUTH2 || mechanism == SaslMechanism::OAUTHBEARER;
}

bool ChooseSaslMechanism(const std::vector<std::string>& advertised, const std::string& setting,
                         SaslMechanism* chosen, std::string* why)
{
    const std::string wanted = Lower(Trimmed(setting));
    if (wanted.empty() || wanted == "auto") {
        for (const MechanismName& entry : kMechanisms) {
            if (SaslTakesToken(entry.mechanism) || !Advertised(advertised, entry.name)) continue;
            *chosen = entry.mechanism;
            return true;
        }
        return Refuse(why, "the server offers none of SCRAM-SHA-256, PLAIN and LOGIN (" +
                               Offers(advertised) + ")");
    }
    for (const MechanismName& entry : kMechanisms) {
        if (wanted != entry.setting) continue;
        if (!Advertised(advertised, entry.name))
            return Refuse(why, std::string("the server does not offer ") + entry.name + " (" +
                                   Offers(advertised) + ")");
        *chosen = entry.mechanism;
        return true;
    }
    return Refuse(why, "\"" + Shown(Trimmed(setting)) +
                           "\" is not a mechanism; write auto, scram-sha-256, plain, login, "
                           "xoauth2 or oauthbearer");
}

std::string SaslEncode(const std::string& bytes)
{
    return EncodeBase64Line(bytes.data(), bytes.size());
}

bool SaslDecode(const std::string& text, std::string* bytes)
{
    return DecodeBase64(text, bytes);
}

std::string PlainResponse(const std::string& user, const std::string& password)
{
    std::string message =
        Joined({std::string_view("\0", 1), user, std::string_view("\0", 1), password});
    const platform::SecretGuard guard(&message);
    return SaslEncode(message);
}

std::string LoginUserResponse(const std::string& user)
{
    return SaslEncode(user);
}

std::string LoginPasswordResponse(const std::string& password)
{
    return SaslEncode(password);
}

std::string XOAuth2Response(const std::string& user, const std::string& token)
{
    std::string message = Joined({"user=", user,
                                  "\x01"
                                  "auth=Bearer ",
                                  token, "\x01\x01"});
    const platform::SecretGuard guard(&message);
    return SaslEncode(message);
}

std::string OAuthBearerResponse(const std::string& user, const std::string& host,
                                std::uint16_t port, const std::string& token)
{
    std::string message =
        Joined({"n,a=", EscapedName(user), ",\x01host=", host, "\x01port=", std::to_string(port),
                "\x01"
                "auth=Bearer ",
                token, "\x01\x01"});
    const platform::SecretGuard guard(&message);
    return SaslEncode(message);
}

ScramSha256Client::~ScramSha256Client()
{
    platform::WipeSecret(&m_ServerSignature);
}

bool ScramSha256Client::ClientFirst(const std::string& user, std::string* message, std::string* why)
{
    if (m_Nonce.empty()) {
        std::string random;
        if (!platform::RandomBytes(kNonceBytes, &random))
            return Refuse(why, "the system gave no random bytes for the SCRAM nonce");
        m_Nonce = SaslEncode(random);
    }
    m_ClientFirstBare = "n=" + EscapedName(user) + ",r=" + m_Nonce;
    *message = "n,," + m_ClientFirstBare;
    return true;
}

bool ScramSha256Client::ClientFinal(const std::string& serverFirst, const std::string& password,
                                    std::string* message, std::string* why)
{
    if (m_ClientFirstBare.empty()) return Refuse(why, "SCRAM client-first message not sent yet");
    std::size_t at = 0;
    std::string error, extension, nonce, salt64, count;
    if (TakeAttribute(serverFirst, 'e', &at, &error))
        return Refuse(why, "the server refused: " + Shown(error));
    if (TakeAttribute(serverFirst, 'm', &at, &extension))
        return Refuse(why, "the server requires a SCRAM extension this program does not know");
    if (!TakeAttribute(serverFirst, 'r', &at, &nonce) ||
        !TakeAttribute(serverFirst, 's', &at, &salt64) ||
        !TakeAttribute(serverFirst, 'i', &at, &count))
        return Refuse(why, "the server's SCRAM challenge is not \"r=...,s=...,i=...\"");
    if (nonce.size() <= m_Nonce.size() || nonce.compare(0, m_Nonce.size(), m_Nonce) != 0 ||
        !PrintableNonce(nonce))
        return Refuse(why, "the server's SCRAM nonce does not extend the client's");
    std::string salt;
    if (!SaslDecode(salt64, &salt) || salt.empty())
        return Refuse(why, "the server's SCRAM salt is not base64");
    const unsigned long iterations = IterationCount(count);
    if (iterations == 0)
        return Refuse(why, "the server's SCRAM iteration count \"" + Shown(count) +
                               "\" is not a number of 1 to 1000000");

    const std::string withoutProof = "c=biws,r=" + nonce;
    const std::string authMessage = m_ClientFirstBare + "," + serverFirst + "," + withoutProof;
    std::string salted = platform::Pbkdf2Sha256(password, salt, static_cast<unsigned>(iterations));
    std::string clientKey = platform::HmacSha256(salted, "Client Key");
    std::string storedKey = platform::Sha256(clientKey);
    std::string clientSignature = platform::HmacSha256(storedKey, authMessage);
    std::string serverKey = platform::HmacSha256(salted, "Server Key");
    m_ServerSignature = platform::HmacSha256(serverKey, authMessage);
    std::string proof = Xor(clientKey, clientSignature);
    const bool computed = !salted.empty() && !clientKey.empty() && !storedKey.empty() &&
                          !clientSignature.empty() && !serverKey.empty() &&
                          !m_ServerSignature.empty();
    if (computed) *message = withoutProof + ",p=" + SaslEncode(proof);
    for (std::string* secret :
         {&salted, &clientKey, &storedKey, &clientSignature, &serverKey, &proof})
        platform::WipeSecret(secret);
    if (!computed) {
        platform::WipeSecret(&m_ServerSignature);
        return Refuse(why, "the system's cryptography failed to compute the SCRAM proof");
    }
    return true;
}

bool ScramSha256Client::VerifyServerFinal(const std::string& serverFinal, std::string* why) const
{
    if (m_ServerSignature.empty()) return Refuse(why, "SCRAM client-final message not sent yet");
    std::size_t at = 0;
    std::string value;
    if (TakeAttribute(serverFinal, 'e', &at, &value))
        return Refuse(why, "the server refused: " + Shown(value));
    std::string signature;
    if (!TakeAttribute(serverFinal, 'v', &at, &value) || !SaslDecode(value, &signature))
        return Refuse(why, "the server's last SCRAM message carries no signature");
    if (!SameBytes(signature, m_ServerSignature))
        return Refuse(why, "the server's SCRAM signature is wrong: it does not know the password");
    return true;
}

}  // namespace transport
