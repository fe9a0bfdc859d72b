#include "download/sha256.h"

#include <openssl/evp.h>

Sha256::Sha256()
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    m_valid = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    m_state = context;
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_state));
}

bool Sha256::update(const void *data, std::size_t size)
{
    if (m_valid && size > 0)
        m_valid = EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_state), data, size) == 1;
    return m_valid;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    unsigned int length = 0;
    if (m_valid)
        m_valid = EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(m_state), digest, &length) == 1 &&
                  length == DigestSize;
    return m_valid;
}
