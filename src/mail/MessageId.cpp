#include "mail/MessageId.h"

#include "core/CSMTPException.h"
#include "platform/Crypto.h"

namespace {

constexpr std::size_t kRandomBytes = 16;

// "jane@example.com" and "Jane <jane@example.com>" both give example.com.
std::string DomainOf(const std::string& sender)
{
    const std::size_t at = sender.rfind('@');
    if (at == std::string::npos) return std::string();
    const std::size_t end = sender.find_first_of("> \t", at + 1);
    return sender.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
}

}  // namespace

std::string MakeMessageId(const std::string& sender, const std::string& localHost)
{
    std::string random;
    if (!platform::RandomBytes(kRandomBytes, &random)) {
        CSMTPException error(UNKNOWN_ERROR);
        error << "The system's random source gave nothing for the Message-ID.";
        throw error;
    }
    static const char kHex[] = "0123456789abcdef";
    std::string id = "<";
    for (const unsigned char byte : random) {
        id += kHex[byte >> 4];
        id += kHex[byte & 0x0F];
    }
    const std::string domain = DomainOf(sender);
    return id + "@" + (domain.empty() ? localHost : domain) + ">";
}
