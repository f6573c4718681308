#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <string>

// OpenSSL's functions, resolved when the first hash or TLS session loads the
// libraries: a run that sends plain mail maps neither, and the loader's
// relocation of libcrypto is a large share of a short run's memory and time.
// The pointers shadow OpenSSL's names in this namespace, so that the calls,
// and OpenSSL's macros over them, read as usual.
namespace platform {

// Empty once libcrypto is loaded and each of its functions in the table
// resolved, else why not. Loads at the first call only.
const std::string& LoadCrypto();

// The same for libssl, with libcrypto.
const std::string& LoadSsl();

#define CRYPTO_FUNCTION(name) extern decltype(&::name) name;
#define SSL_FUNCTION(name) extern decltype(&::name) name;
#include "platform/posix/OpenSslFunctions.def"
#undef CRYPTO_FUNCTION
#undef SSL_FUNCTION

}  // namespace platform
