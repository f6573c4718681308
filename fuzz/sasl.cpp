// SASL parsing: the base64 decoder, the SCRAM client fed server messages and
// the mechanism choice. Whatever comes in: a decoded text encodes back to
// itself (the decoder takes only canonical base64); a SCRAM refusal has a
// reason that never shows the password; an accepted server-first message
// gives "c=biws,r=" and a nonce that extends the client's, then ",p=" and a
// 32-byte proof; a verified server-final message starts with "v=".
// The input is the server-first message (raw, or base64 of it), a LF, the
// server-final message; its words also serve as an advertised AUTH list.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "mime/Encoders.h"
#include "transport/Sasl.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "sasl property broken: %s\ntext: ", what);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fputc('\n', stderr);
    std::abort();
}

constexpr char kNonce[] = "fuzzNonce";
constexpr char kPassword[] = "\x02pass\x03";

// Keeps at most three digits after each "i=", so that no input asks for a
// long key derivation; the bound on the count has its own unit test.
std::string WithSmallCounts(const std::string& text)
{
    std::string out;
    std::size_t digits = 4;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9' && digits < 3) {
            ++digits;
        } else if (c >= '0' && c <= '9' && digits == 3) {
            continue;
        } else {
            digits = i > 0 && text[i - 1] == 'i' && c == '=' ? 0 : 4;
        }
        out += c;
    }
    return out;
}

void CheckDecoder(const std::string& text)
{
    std::string bytes;
    if (!DecodeBase64(text, &bytes)) {
        if (!bytes.empty()) Fail("refused text leaves bytes", text);
        return;
    }
    if (EncodeBase64Line(bytes.data(), bytes.size()) != text) Fail("decoded text differs", text);
}

void CheckScram(const std::string& serverFirst, const std::string& serverFinal)
{
    transport::ScramSha256Client scram(kNonce);
    std::string message, why;
    if (!scram.ClientFirst("user", &message, &why)) Fail("client-first refused", why);
    if (!scram.ClientFinal(serverFirst, kPassword, &message, &why)) {
        if (why.empty() || why.find(kPassword) != std::string::npos)
            Fail("refusal without a reason, or showing the password", serverFirst);
        if (scram.VerifyServerFinal(serverFinal, &why)) Fail("verified before the proof", why);
        return;
    }
    const std::size_t proof = message.rfind(",p=");
    std::string bytes;
    if (message.compare(0, 9 + sizeof kNonce - 1, std::string("c=biws,r=") + kNonce) != 0 ||
        proof == std::string::npos || message.find(',', 9) != proof ||
        !DecodeBase64(message.substr(proof + 3), &bytes) || bytes.size() != 32)
        Fail("client-final message malformed", message);
    if (scram.VerifyServerFinal(serverFinal, &why) && serverFinal.compare(0, 2, "v=") != 0)
        Fail("verified without a signature", serverFinal);
}

std::string Lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void CheckChoice(const std::string& text)
{
    std::vector<std::string> advertised;
    std::string word;
    for (const char c : text + " ") {
        if (c != ' ') {
            word += c;
        } else if (!word.empty()) {
            advertised.push_back(word);
            word.clear();
        }
    }
    for (const char* setting :
         {"auto", "scram-sha-256", "plain", "login", "xoauth2", "oauthbearer", "other"}) {
        transport::SaslMechanism chosen;
        std::string why;
        if (!transport::ChooseSaslMechanism(advertised, setting, &chosen, &why)) {
            if (why.empty()) Fail("refusal without a reason", text);
            continue;
        }
        const std::string name = Lower(transport::SaslName(chosen));
        bool offered = false;
        for (const std::string& offer : advertised) offered = offered || Lower(offer) == name;
        if (!offered) Fail("chose a mechanism not offered", text);
        if (std::string(setting) == "auto" && transport::SaslTakesToken(chosen))
            Fail("auto chose OAuth", text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckDecoder(input);
    const std::size_t lf = input.find('\n');
    std::string first = WithSmallCounts(input.substr(0, lf));
    const std::string final = lf == std::string::npos ? "" : input.substr(lf + 1);
    std::string decoded;
    if (DecodeBase64(first, &decoded)) first = WithSmallCounts(decoded);
    CheckScram(first, final);
    CheckChoice(input);
    return 0;
}
