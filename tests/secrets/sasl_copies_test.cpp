// Its own program: the global allocator here checks every block freed while
// a response is built, so that a copy of the secret left behind shows.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "platform/Crypto.h"
#include "transport/Sasl.h"

namespace {

constexpr std::size_t kHeader = alignof(std::max_align_t);
bool g_Watching = false;
const std::string* g_Secret = nullptr;
int g_Frees = 0;
int g_FreedCopies = 0;

void CheckFreed(const char* block, std::size_t size)
{
    ++g_Frees;
    const std::string& secret = *g_Secret;
    for (std::size_t at = 0; at + secret.size() <= size; ++at)
        if (std::memcmp(block + at, secret.data(), secret.size()) == 0) ++g_FreedCopies;
}

}  // namespace

void* operator new(std::size_t size)
{
    char* block = static_cast<char*>(std::malloc(size + kHeader));
    if (!block) throw std::bad_alloc();
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

namespace {

void Release(void* pointer)
{
    if (!pointer) return;
    char* block = static_cast<char*>(pointer) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    if (g_Watching) CheckFreed(block + kHeader, size);
    std::memset(block + kHeader, 0xA5, size);
    std::free(block);
}

}  // namespace

void operator delete(void* pointer) noexcept
{
    Release(pointer);
}

void operator delete(void* pointer, std::size_t) noexcept
{
    Release(pointer);
}

namespace {

// Builds and wipes responses for secrets of many lengths, so that some
// string on the way would have had to grow; counts freed blocks that held one.
int FreedCopies(const std::function<std::string(const std::string&)>& build)
{
    g_FreedCopies = 0;
    g_Frees = 0;
    for (std::size_t length = 8; length < 300; length += 7) {
        std::string secret(length, 'S');
        secret.back() = '!';
        g_Secret = &secret;
        g_Watching = true;
        {
            std::string response = build(secret);
            platform::WipeSecret(&response);
        }
        g_Watching = false;
    }
    return g_FreedCopies;
}

TEST(SaslSecretCopies, ResponsesLeaveNoFreedCopyOfTheSecret)
{
    const std::string user = "someone@example.com";
    const struct {
        const char* name;
        std::function<std::string(const std::string&)> build;
    } rows[] = {
        {"PLAIN", [&](const std::string& s) { return transport::PlainResponse(user, s); }},
        {"LOGIN", [&](const std::string& s) { return transport::LoginPasswordResponse(s); }},
        {"XOAUTH2", [&](const std::string& s) { return transport::XOAuth2Response(user, s); }},
        {"OAUTHBEARER",
         [&](const std::string& s) {
             return transport::OAuthBearerResponse(user, "mail.example.com", 587, s);
         }},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FreedCopies(row.build), 0) << row.name;
        EXPECT_GT(g_Frees, 0) << row.name << ": the allocator saw no block freed";
    }
}

}  // namespace
