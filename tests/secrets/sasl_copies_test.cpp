// Its own program: its global allocator looks into every block freed while a
// response is built, where a copy of the secret that no wipe reached shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "platform/Crypto.h"
#include "transport/Sasl.h"

namespace {

constexpr std::size_t kHeader = alignof(std::max_align_t);
const std::string* g_Secret = nullptr;  // watched while set
int g_Frees = 0;
int g_FreedCopies = 0;

void Release(void* pointer)
{
    if (!pointer) return;
    char* block = static_cast<char*>(pointer) - kHeader;
    std::size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    for (std::size_t at = 0; g_Secret && at + g_Secret->size() <= size; ++at)
        g_FreedCopies += std::memcmp(block + kHeader + at, g_Secret->data(), g_Secret->size()) == 0;
    g_Frees += g_Secret != nullptr;
    std::free(block);
}

}  // namespace

void* operator new(std::size_t size)
{
    char* block = static_cast<char*>(std::malloc(size + kHeader));
    if (!block) throw std::bad_alloc();
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}
void operator delete(void* pointer) noexcept
{
    Release(pointer);
}
void operator delete(void* pointer, std::size_t) noexcept
{
    Release(pointer);
}

namespace {

using Build = std::string (*)(const std::string& secret);

// Secrets of many lengths, so that a string growing on the way would move.
TEST(SaslSecretCopies, ResponsesLeaveNoFreedCopyOfTheSecret)
{
    const Build rows[] = {
        [](const std::string& s) { return transport::PlainResponse("me@example.test", s); },
        [](const std::string& s) { return transport::XOAuth2Response("me@example.test", s); },
        [](const std::string& s) {
            return transport::OAuthBearerResponse("me@example.test", "mx.example.test", 587, s);
        },
    };
    for (const Build build : rows) {
        g_Frees = g_FreedCopies = 0;
        for (std::size_t length = 8; length < 300; length += 7) {
            const std::string secret = std::string(length - 1, 'S') + "!";
            g_Secret = &secret;
            std::string response = build(secret);
            platform::WipeSecret(&response);
            g_Secret = nullptr;
        }
        EXPECT_EQ(g_FreedCopies, 0);
        EXPECT_GT(g_Frees, 0) << "the allocator saw no block freed";
    }
}

}  // namespace
