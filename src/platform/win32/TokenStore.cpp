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
// beside the first, whose text begins with how many there are and their
// generation. The numbered ones carry the generation in their names, so that
// a reader never joins pieces of two saves.
namespace platform {
namespace {

constexpr std::size_t kPieceSize = 5 * 512;  // CRED_MAX_CREDENTIAL_BLOB_SIZE of current Windows

struct FreeCredential {
    void operator()(CREDENTIALW* credential) const { CredFree(credential); }
};

// The credential's name: the three parts of the key, each with its length,
// so that no two keys share a name.
// Generation 0 is that of entries saved before pieces had generations.
std::wstring TargetName(const TokenKey& key, std::size_t piece, unsigned long long generation = 0)
{
    std::string name = "Quillex OAuth";
    for (const std::string* part : {&key.endpoint, &key.clientId, &key.user})
        name += " " + std::to_string(part->size()) + ":" + *part;
    if (piece > 0) name += " #" + std::to_string(piece + 1);
    if (piece > 0 && generation > 0) name += "." + std::to_string(generation);
    return Wide(name);
}

// The count of pieces and the generation at the start of the first piece:
// "pieces.generation " (older saves: "pieces ").
void ReadHead(const std::string& text, unsigned long long* pieces, unsigned long long* generation)
{
    char* end = nullptr;
    *pieces = std::strtoull(text.c_str(), &end, 10);
    *generation = *end == '.' ? std::strtoull(end + 1, nullptr, 10) : 0;
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

// The fields, each after its length:
// "pieces.generation expiry access-length access refresh".
std::string Serialize(const StoredTokens& tokens, std::size_t pieces, unsigned long long generation)
{
    return std::to_string(pieces) + "." + std::to_string(generation) + " " +
           std::to_string(tokens.expiresAt) + " " + std::to_string(tokens.accessToken.size()) +
           " " + tokens.accessToken + tokens.refreshToken;
}

std::size_t PiecesFor(const StoredTokens& tokens, unsigned long long generation)
{
    for (std::size_t pieces = 1;; ++pieces)
        if (Serialize(tokens, pieces, generation).size() <= pieces * kPieceSize) return pieces;
}

bool Parse(const std::string& text, StoredTokens* tokens)
{
    const char* at = text.c_str();
    char* end = nullptr;
    std::strtoull(at, &end, 10);                        // the count of pieces, read already
    if (*end == '.') std::strtoull(end + 1, &end, 10);  // and the generation
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
    unsigned long long pieces = 0;
    unsigned long long generation = 0;
    ReadHead(text, &pieces, &generation);
    for (std::size_t piece = 1; piece < pieces; ++piece) {
        std::string more;
        const SecretGuard wipeMore(&more);
        bool there = false;
        if (!ReadPiece(TargetName(key, piece, generation), &more, &there, why)) return false;
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
    std::string old;
    const SecretGuard wipeOld(&old);
    bool found = false;
    if (!ReadPiece(TargetName(key, 0), &old, &found, why)) return false;
    unsigned long long oldPieces = 0;
    unsigned long long oldGeneration = 0;
    if (found) ReadHead(old, &oldPieces, &oldGeneration);
    const unsigned long long generation = oldGeneration + 1;
    const std::size_t pieces = PiecesFor(tokens, generation);
    std::string text = Serialize(tokens, pieces, generation);
    const SecretGuard wipe(&text);
    // The first piece last: until it is written, the old one names the old pieces.
    for (std::size_t piece = pieces; piece-- > 0;) {
        const std::size_t start = piece * kPieceSize;
        if (!WritePiece(TargetName(key, piece, generation), key, text.data() + start,
                        std::min(kPieceSize, text.size() - start), why))
            return false;
    }
    for (std::size_t piece = 1; piece < oldPieces; ++piece)
        CredDeleteW(TargetName(key, piece, oldGeneration).c_str(), CRED_TYPE_GENERIC, 0);
    return true;
}

TokenStoreLock::~TokenStoreLock()
{
    if (m_Handle == -1) return;
    const HANDLE mutex = reinterpret_cast<HANDLE>(m_Handle);
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

bool TokenStoreLock::Take(int seconds, std::string* why)
{
    const HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\Quillex OAuth tokens");
    if (!mutex) {
        *why = "the lock of the tokens cannot be made: " + SystemText(GetLastError());
        return false;
    }
    // A holder that died leaves the mutex abandoned, and it is taken.
    const DWORD waited = WaitForSingleObject(mutex, static_cast<DWORD>(seconds) * 1000);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        m_Handle = reinterpret_cast<std::intptr_t>(mutex);
        return true;
    }
    CloseHandle(mutex);
    *why = waited == WAIT_TIMEOUT
               ? "another run holds the lock of the tokens"
               : "the lock of the tokens cannot be taken: " + SystemText(GetLastError());
    return false;
}

}  // namespace platform
