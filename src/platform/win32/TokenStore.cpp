#include "platform/TokenStore.h"

#include "platform/Crypto.h"

namespace platform {

StoredTokens::~StoredTokens()
{
    WipeSecret(&refreshToken);
    WipeSecret(&accessToken);
}

std::string TokenStoreLocation()
{
    return "the Windows credential store";
}

bool LoadTokens(const TokenKey&, StoredTokens*, bool* found, std::string* why)
{
    *found = false;
    *why = "the token store is not built into this Windows version yet";
    return false;
}

bool SaveTokens(const TokenKey&, const StoredTokens&, std::string* why)
{
    *why = "the token store is not built into this Windows version yet";
    return false;
}

}  // namespace platform
