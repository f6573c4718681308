#include "platform/Crypto.h"

#include <string.h>
#include <sys/random.h>

#include <cerrno>
#include <climits>

#include "platform/posix/OpenSslLibrary.h"

namespace platform {

namespace {

constexpr std::size_t kSha256Size = 32;

const unsigned char* Bytes(const std::string& text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

unsigned char* Bytes(std::string& text)
{
    return reinterpret_cast<unsigned char*>(&text[0]);
}

}  // namespace

std::string Sha256(const std::string& data)
{
    if (!LoadCrypto().empty()) return std::string();
    std::string digest(kSha256Size, '\0');
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), Bytes(digest), &length, EVP_sha256(), nullptr) != 1 ||
        length != kSha256Size)
        return std::string();
    return digest;
}

std::string HmacSha256(const std::string& key, const std::string& data)
{
    if (!LoadCrypto().empty()) return std::string();
    std::string mac(kSha256Size, '\0');
    std::size_t length = 0;
    if (!EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), key.size(), Bytes(data),
                   data.size(), Bytes(mac), mac.size(), &length) ||
        length != kSha256Size) {
        WipeSecret(&mac);
        return std::string();
    }
    return mac;
}

std::string Pbkdf2Sha256(const std::string& password, const std::string& salt, unsigned iterations)
{
    if (iterations == 0 || iterations > INT_MAX || password.size() > INT_MAX ||
        salt.size() > INT_MAX || !LoadCrypto().empty())
        return std::string();
    std::string key(kSha256Size, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), Bytes(salt),
                          static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                          static_cast<int>(key.size()), Bytes(key)) != 1) {
        WipeSecret(&key);
        return std::string();
    }
    return key;
}

bool RandomBytes(std::size_t count, std::string* out)
{
    // The kernel's source, not OpenSSL's: its generator would load its
    // configuration and tables into every run that only needs a Message-ID.
    out->assign(count, '\0');
    std::size_t done = 0;
    while (done < count) {
        const ssize_t got = getrandom(&(*out)[done], count - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            out->clear();
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    return true;
}

void WipeSecret(std::string* secret)
{
    // The bytes past size() may still hold an earlier, longer value. glibc's
    // wipe, not OpenSSL's: plain runs wipe passwords too and load no OpenSSL.
    secret->resize(secret->capacity());
    if (!secret->empty()) explicit_bzero(&(*secret)[0], secret->size());
    secret->clear();
}

}  // namespace platform
