#pragma once

#include <cstdint>
#include <string>

#include "platform/Crypto.h"

// Where the OAuth tokens of the sign-in live between runs. An entry is
// keyed by the token endpoint, the client ID and the user, so that several
// accounts live side by side. No client secret is ever stored.
namespace platform {

struct TokenKey {
    std::string endpoint;
    std::string clientId;
    std::string user;
};

struct StoredTokens {
    std::string refreshToken;
    std::string accessToken;
    std::int64_t expiresAt = 0;  // seconds since 1970 of the access token's end
    ~StoredTokens()
    {
        WipeSecret(&refreshToken);
        WipeSecret(&accessToken);
    }
};

// The store as a user would name it: a path, or the name of a vault.
std::string TokenStoreLocation();

// *found says whether the key has an entry. False, with *why, when the
// store cannot be read or may be read by others.
bool LoadTokens(const TokenKey& key, StoredTokens* tokens, bool* found, std::string* why);

// Replaces (or adds) the key's entry; the other entries stay. Savers hold
// the TokenStoreLock, so that no entry saved at the same moment is lost.
bool SaveTokens(const TokenKey& key, const StoredTokens& tokens, std::string* why);

// One process at a time holds it, for the whole store. Released when it goes.
class TokenStoreLock {
public:
    TokenStoreLock() = default;
    TokenStoreLock(const TokenStoreLock&) = delete;
    TokenStoreLock& operator=(const TokenStoreLock&) = delete;
    ~TokenStoreLock();
    // Waits at most seconds for another holder; false, with *why, without it.
    bool Take(int seconds, std::string* why);

private:
    std::intptr_t m_Handle = -1;
};

}  // namespace platform
