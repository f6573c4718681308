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
// The pointers shadow OpenSSL's names in this namespace, so the calls, and
// OpenSSL's macros over them (SSL_set_tlsext_host_name is SSL_ctrl, the
// stacks are OPENSSL_sk_*), read as usual.
namespace platform {

// Empty once libcrypto is loaded and every function below it resolved, else
// why not. Loads at the first call only.
const std::string& LoadCrypto();

// The same for libssl, with libcrypto.
const std::string& LoadSsl();

#define QUILLEX_CRYPTO_FUNCTIONS(F)                                                               \
    F(ASN1_STRING_get0_data) F(ASN1_STRING_length) F(ASN1_TIME_to_tm) F(BIO_clear_flags)          \
    F(BIO_ctrl) F(BIO_free) F(BIO_get_data) F(BIO_get_new_index) F(BIO_meth_free) F(BIO_meth_new)  \
    F(BIO_meth_set_ctrl) F(BIO_meth_set_read) F(BIO_meth_set_write) F(BIO_new) F(BIO_s_mem)        \
    F(BIO_set_data) F(BIO_set_init) F(ERR_clear_error) F(ERR_get_error) F(ERR_peek_last_error)     \
    F(ERR_reason_error_string) F(EVP_Digest) F(EVP_Q_mac) F(EVP_sha256) F(GENERAL_NAMES_free)      \
    F(OPENSSL_sk_num) F(OPENSSL_sk_value) F(PKCS5_PBKDF2_HMAC) F(X509_NAME_print_ex)               \
    F(X509_STORE_CTX_get0_cert) F(X509_STORE_CTX_get_current_cert) F(X509_STORE_CTX_get_error)    \
    F(X509_STORE_CTX_get_ex_data) F(X509_VERIFY_PARAM_set1_ip_asc)                                \
    F(X509_VERIFY_PARAM_set_hostflags) F(X509_digest) F(X509_free) F(X509_get0_notAfter)           \
    F(X509_get0_notBefore) F(X509_get_ext_d2i) F(X509_get_issuer_name) F(X509_get_subject_name)    \
    F(X509_up_ref) F(X509_verify_cert_error_string)

#define QUILLEX_SSL_FUNCTIONS(F)                                                                  \
    F(SSL_CIPHER_get_name) F(SSL_CTX_ctrl) F(SSL_CTX_free) F(SSL_CTX_load_verify_locations)        \
    F(SSL_CTX_new) F(SSL_CTX_set_default_verify_paths) F(SSL_alert_desc_string_long) F(SSL_connect) \
    F(SSL_ctrl) F(SSL_free) F(SSL_get0_param) F(SSL_get0_peer_certificate) F(SSL_get_current_cipher) \
    F(SSL_get_error) F(SSL_get_ex_data) F(SSL_get_ex_data_X509_STORE_CTX_idx) F(SSL_get_version)   \
    F(SSL_has_pending) F(SSL_new) F(SSL_pending) F(SSL_read_ex) F(SSL_set1_host) F(SSL_set_bio)     \
    F(SSL_set_ex_data) F(SSL_set_verify) F(SSL_shutdown) F(SSL_write_ex) F(TLS_client_method)

#define QUILLEX_OPENSSL_DECLARE(name) extern decltype(&::name) name;
QUILLEX_CRYPTO_FUNCTIONS(QUILLEX_OPENSSL_DECLARE)
QUILLEX_SSL_FUNCTIONS(QUILLEX_OPENSSL_DECLARE)
#undef QUILLEX_OPENSSL_DECLARE

}  // namespace platform
