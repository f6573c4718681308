#include "platform/posix/OpenSslLibrary.h"

#include <dlfcn.h>

#include "platform/OpenSslLibraries.h"

namespace platform {

#define CRYPTO_FUNCTION(name) decltype(&::name) name = nullptr;
#define SSL_FUNCTION(name) decltype(&::name) name = nullptr;
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION

namespace {

template <typename Function>
void Resolve(void* library, const char* name, Function* slot, std::string* missing)
{
    *slot = reinterpret_cast<Function>(dlsym(library, name));
    if (!*slot && missing->empty()) *missing = name;
}

// Empty once the library is loaded, else why not; *library is its handle.
std::string Open(const char* what, const char* soname, void** library)
{
    *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (*library) return std::string();
    const char* why = dlerror();
    return std::string(what) + soname + " cannot be loaded" +
           (why ? std::string(": ") + why : std::string());
}

std::string LoadCryptoLibrary()
{
    void* library = nullptr;
    const char* what = "the cryptography library ";
    std::string failure = Open(what, kCryptoLibrary, &library);
    if (!failure.empty()) return failure;
    std::string missing;
#define CRYPTO_FUNCTION(name) Resolve(library, #name, &name, &missing);
#define SSL_FUNCTION(name)
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION
    return missing.empty() ? std::string()
                           : what + std::string(kCryptoLibrary) + " lacks " + missing;
}

std::string LoadSslLibrary()
{
    if (!LoadCrypto().empty()) return LoadCrypto();
    void* library = nullptr;
    const char* what = "the TLS library ";
    std::string failure = Open(what, kSslLibrary, &library);
    if (!failure.empty()) return failure;
    std::string missing;
#define CRYPTO_FUNCTION(name)
#define SSL_FUNCTION(name) Resolve(library, #name, &name, &missing);
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION
    return missing.empty() ? std::string() : what + std::string(kSslLibrary) + " lacks " + missing;
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
