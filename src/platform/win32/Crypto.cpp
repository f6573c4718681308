#include "platform/Crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>

namespace platform {

namespace {

constexpr std::size_t kSha256Size = 32;

PUCHAR Bytes(const std::string& text)
{
    // BCrypt takes its inputs through non-const pointers; it does not write them.
    return reinterpret_cast<PUCHAR>(const_cast<char*>(text.data()));
}

// An algorithm provider, closed when it goes out of scope.
class Provider {
public:
    explicit Provider(ULONG flags)
    {
        if (!BCRYPT_SUCCESS(
                BCryptOpenAlgorithmProvider(&m_Handle, BCRYPT_SHA256_ALGORITHM, nullptr, flags)))
            m_Handle = nullptr;
    }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    ~Provider()
    {
        if (m_Handle) BCryptCloseAlgorithmProvider(m_Handle, 0);
    }
    BCRYPT_ALG_HANDLE Handle() const { return m_Handle; }

private:
    BCRYPT_ALG_HANDLE m_Handle = nullptr;
};

// SHA-256, or HMAC-SHA-256 when a key is given.
std::string Digest(const std::string* key, const std::string& data)
{
    if (data.size() > ULONG_MAX || (key && key->size() > ULONG_MAX)) return std::string();
    Provider provider(key ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0);
    if (!provider.Handle()) return std::string();
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(provider.Handle(), &hash, nullptr, 0,
                                         key ? Bytes(*key) : nullptr,
                                         key ? static_cast<ULONG>(key->size()) : 0, 0)))
        return std::string();
    std::string digest(kSha256Size, '\0');
    const bool done =
        BCRYPT_SUCCESS(BCryptHashData(hash, Bytes(data), static_cast<ULONG>(data.size()), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(&digest[0]),
                                        static_cast<ULONG>(digest.size()), 0));
    BCryptDestroyHash(hash);
    if (!done) WipeSecret(&digest);
    return digest;
}

}  // namespace

std::string Sha256(const std::string& data)
{
    return Digest(nullptr, data);
}

std::string HmacSha256(const std::string& key, const std::string& data)
{
    return Digest(&key, data);
}

std::string Pbkdf2Sha256(const std::string& password, const std::string& salt, unsigned iterations)
{
    if (iterations == 0 || password.size() > ULONG_MAX || salt.size() > ULONG_MAX)
        return std::string();
    Provider provider(BCRYPT_ALG_HANDLE_HMAC_FLAG);
    if (!provider.Handle()) return std::string();
    std::string key(kSha256Size, '\0');
    if (!BCRYPT_SUCCESS(BCryptDeriveKeyPBKDF2(
            provider.Handle(), Bytes(password), static_cast<ULONG>(password.size()), Bytes(salt),
            static_cast<ULONG>(salt.size()), iterations, reinterpret_cast<PUCHAR>(&key[0]),
            static_cast<ULONG>(key.size()), 0)))
        WipeSecret(&key);
    return key;
}

bool RandomBytes(std::size_t count, std::string* out)
{
    out->assign(count, '\0');
    if (count == 0) return true;
    if (count > ULONG_MAX || !BCRYPT_SUCCESS(BCryptGenRandom(
                                 nullptr, reinterpret_cast<PUCHAR>(&(*out)[0]),
                                 static_cast<ULONG>(count), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
        out->clear();
        return false;
    }
    return true;
}

void WipeSecret(std::string* secret)
{
    // The bytes past size() may still hold an earlier, longer value.
    secret->resize(secret->capacity());
    if (!secret->empty()) SecureZeroMemory(&(*secret)[0], secret->size());
    secret->clear();
}

}  // namespace platform
