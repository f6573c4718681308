#include "platform/posix/OpenSslLibrary.h"

#include "platform/OpenSslLibraries.h"
#include "platform/posix/SharedLibrary.h"

namespace platform {

#define CRYPTO_FUNCTION(name) decltype(&::name) name = nullptr;
#define SSL_FUNCTION(name) decltype(&::name) name = nullptr;
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION

namespace {

std::string LoadCryptoLibrary()
{
    const std::string named = std::string("the cryptography library ") + kCryptoLibrary;
    void* library = nullptr;
    if (std::string failure = OpenSharedLibrary(named, kCryptoLibrary, &library); !failure.empty())
        return failure;
    std::string missing;
#define CRYPTO_FUNCTION(name) Resolve(library, #name, &name, &missing);
#define SSL_FUNCTION(name)
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION
    return missing.empty() ? std::string() : named + " lacks " + missing;
}

std::string LoadSslLibrary()
{
    if (!LoadCrypto().empty()) return LoadCrypto();
    const std::string named = std::string("the TLS library ") + kSslLibrary;
    void* library = nullptr;
    if (std::string failure = OpenSharedLibrary(named, kSslLibrary, &library); !failure.empty())
        return failure;
    std::string missing;
#define CRYPTO_FUNCTION(name)
#define SSL_FUNCTION(name) Resolve(library, #name, &name, &missing);
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION
    return missing.empty() ? std::string() : named + " lacks " + missing;
}

}  // namespace

const std::string& LoadCrypto()
{
    static const std::string failure = LoadCryptoLibrary();
    return failure;
}

const std::string& LoadSsl()
{
    static const std::string failure = LoadSslLibrary();
    return failure;
}

}  // namespace platform
