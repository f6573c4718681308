#pragma once

#include <cstddef>
#include <string>

// Hashing, keyed hashing, key derivation and random bytes from the system's
// cryptography (OpenSSL on POSIX, BCrypt on Windows; random bytes from the
// kernel's getrandom on POSIX), on bytes held in std::string. The results
// are raw bytes, not text.
namespace platform {

// The 32-byte SHA-256 of the data; empty when the system's cryptography failed.
std::string Sha256(const std::string& data);

// The 32-byte HMAC-SHA-256 of the data under the key; empty on failure.
std::string HmacSha256(const std::string& key, const std::string& data);

// 32 bytes of PBKDF2 with HMAC-SHA-256; empty on failure or for 0 iterations.
std::string Pbkdf2Sha256(const std::string& password, const std::string& salt, unsigned iterations);

// Replaces *out with count bytes from the system's random source; false
// (and *out empty) when it cannot give them.
bool RandomBytes(std::size_t count, std::string* out);

// Overwrites every byte the string holds, up to its capacity, in a way the
// compiler keeps, and empties it. For passwords, tokens and keys.
void WipeSecret(std::string* secret);

// Wipes the string when it goes out of scope.
class SecretGuard {
public:
    explicit SecretGuard(std::string* secret) : m_Secret(secret) {}
    SecretGuard(const SecretGuard&) = delete;
    SecretGuard& operator=(const SecretGuard&) = delete;
    ~SecretGuard() { WipeSecret(m_Secret); }

private:
    std::string* m_Secret;
};

}  // namespace platform
