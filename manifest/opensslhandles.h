#pragma once

// OpenSSL objects that free themselves, for the signature code (verification here, signing in
// QuorvexPublish).

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

namespace ossl {

struct FreeKey
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct FreeKeyContext
{
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct FreeDigestContext
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct FreeSignature
{
    void operator()(ECDSA_SIG *signature) const { ECDSA_SIG_free(signature); }
};
struct FreeBio
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct FreeBuffer
{
    void operator()(unsigned char *buffer) const { OPENSSL_free(buffer); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, FreeKeyContext>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, FreeDigestContext>;
using Signature = std::unique_ptr<ECDSA_SIG, FreeSignature>;
using Bio = std::unique_ptr<BIO, FreeBio>;
using Buffer = std::unique_ptr<unsigned char, FreeBuffer>;

} // namespace ossl
