// Test helper of the end-to-end suite: the OAuth tokens that the program
// keeps in the Windows credential store, read and replaced through the same
// code.
//   quillex_token_tool get ENDPOINT CLIENT USER   prints EXPIRY TAB ACCESS TAB REFRESH
//   quillex_token_tool set ENDPOINT CLIENT USER EXPIRY ACCESS REFRESH
// Exits 1 when get finds no entry, 2 on a failure.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/TokenStore.h"

int main(int argc, char** argv)
{
    if (argc < 5) return 2;
    const platform::TokenKey key{argv[2], argv[3], argv[4]};
    const std::string command = argv[1];
    platform::StoredTokens tokens;
    std::string why;
    bool found = false;
    if (command == "set" && argc == 8) {
        tokens.expiresAt = std::atoll(argv[5]);
        tokens.accessToken = argv[6];
        tokens.refreshToken = argv[7];
        if (platform::SaveTokens(key, tokens, &why)) return 0;
    } else if (command == "get" && platform::LoadTokens(key, &tokens, &found, &why)) {
        if (!found) return 1;
        std::printf("%lld\t%s\t%s\n", static_cast<long long>(tokens.expiresAt),
                    tokens.accessToken.c_str(), tokens.refreshToken.c_str());
        return 0;
    }
    std::fprintf(stderr, "quillex_token_tool: %s\n", why.empty() ? "bad arguments" : why.c_str());
    return 2;
}
