#include "platform/TokenStore.h"

#include "platform/Crypto.h"
#include "platform/win32/CertCheck.h"

#include <wincred.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

// Each account is one generic credential of the Windows credential store,
// named after its key. A credential holds at most 2560 bytes on Windows, and
// a provider's tokens may take more: the rest goes to numbered credentials
// beside the first, whose text begins with how many there are.
namespace platform {
namespace {

constexpr std::size_t kPieceSize = 5 * 512;  // CRED_MAX_CREDENTIAL_BLOB_SIZE of current Windows

struct FreeCredential {
    void operator()(CREDENTIALW* credential) const { CredFree(credential); }
};

// The credential's name: the three parts of the key, each with its length,
// so that no two keys share a name.
std::wstring TargetName(const TokenKey& key, std::size_t piece)
{
    std::string name = "Quillex OAuth";
    for (const std::string* part : {&key.endpoint, &key.clientId, &key.user})
        name += " " + std::to_string(part->size()) + ":" + *part;
    if (piece > 0) name += " #" + std::to_string(piece + 1);
    return Wide(name);
}

std::string StoreError(const char* doing)
{
    return std::string("the Windows credential store cannot ") + doing + ": " +
           SystemText(GetLastError());
}

// One piece; *found is false when it does not exist.
bool ReadPiece(const std::wstring& target, std::string* text, bool* found, std::string* why)
{
    CREDENTIALW* raw = nullptr;
    *found = CredReadW(target.c_str(), CRED_TYPE_GENERIC, 0, &raw) != FALSE;
    const std::unique_ptr<CREDENTIALW, FreeCredential> credential(raw);
    if (!*found) {
        if (GetLastError() == ERROR_NOT_FOUND) return true;
        *why = StoreError("be read");
        return false;
    }
    text->assign(reinterpret_cast<const char*>(credential->CredentialBlob),
                 credential->CredentialBlobSize);
    SecureZeroMemory(credential->CredentialBlob, credential->CredentialBlobSize);
    return true;
}

bool WritePiece(const std::wstring& target, const TokenKey& key, const char* data,
                std::size_t length, std::string* why)
{
    std::wstring user = Wide(key.user);
    CREDENTIALW credential{};
    credential.Type = CRED_TYPE_GENERIC;
    credential.TargetName = const_cast<wchar_t*>(target.c_str());
    credential.CredentialBlob = reinterpret_cast<BYTE*>(const_cast<char*>(data));
    credential.CredentialBlobSize = static_cast<DWORD>(length);
    credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
    credential.UserName = &user[0];
    if (CredWriteW(&credential, 0)) return true;
    *why = StoreError("be written");
    return false;
}

// The fields, each after its length: "pieces expiry access-length access refresh".
std::string Serialize(const StoredTokens& tokens, std::size_t pieces)
{
    return std::to_string(pieces) + " " + std::to_string(tokens.expiresAt) + " " +
           std::to_string(tokens.accessToken.size()) + " " + tokens.accessToken +
           tokens.refreshToken;
}

std::size_t PiecesFor(const StoredTokens& tokens)
{
    for (std::size_t pieces = 1;; ++pieces)
        if (Serialize(tokens, pieces).size() <= pieces * kPieceSize) return pieces;
}

bool Parse(const std::string& text, StoredTokens* tokens)
{
    const char* at = text.c_str();
    char* end = nullptr;
    std::strtoull(at, &end, 10);  // the count of pieces, read already
    tokens->expiresAt = std::strtoll(end, &end, 10);
    const unsigned long long length = std::strtoull(end, &end, 10);
    if (*end != ' ') return false;
    const std::size_t start = static_cast<std::size_t>(end + 1 - at);
    if (length > text.size() - start) return false;
    tokens->accessToken = text.substr(start, length);
    tokens->refreshToken = text.substr(start + length);
    return true;
}

}  // namespace

std::string TokenStoreLocation()
{
    return "the Windows credential store";
}

bool LoadTokens(const TokenKey& key, StoredTokens* tokens, bool* found, std::string* why)
{
    std::string text;
    const SecretGuard wipe(&text);
    if (!ReadPiece(TargetName(key, 0), &text, found, why)) return false;
    if (!*found) return true;
    const unsigned long long pieces = std::strtoull(text.c_str(), nullptr, 10);
    for (std::size_t piece = 1; piece < pieces; ++piece) {
        std::string more;
        const SecretGuard wipeMore(&more);
        bool there = false;
        if (!ReadPiece(TargetName(key, piece), &more, &there, why)) return false;
        text += more;
        *found = *found && there;
    }
    if (*found && Parse(text, tokens)) return true;
    *found = false;
    *why = "the tokens in the Windows credential store are damaged: run quillex -login";
    return false;
}

bool SaveTokens(const TokenKey& key, const StoredTokens& tokens, std::string* why)
{
    const std::size_t pieces = PiecesFor(tokens);
    std::string text = Serialize(tokens, pieces);
    const SecretGuard wipe(&text);
    // The first piece last: until it is written, the old one names the old count.
    for (std::size_t piece = pieces; piece-- > 0;) {
        const std::size_t start = piece * kPieceSize;
        if (!WritePiece(TargetName(key, piece), key, text.data() + start,
                        std::min(kPieceSize, text.size() - start), why))
            return false;
    }
    return true;
}

}  // namespace platform
