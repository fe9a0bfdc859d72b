#include "download/sha256.h"

#include <openssl/evp.h>

struct Sha256::State
{
    EVP_MD_CTX *context = nullptr;
};

Sha256::Sha256()
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    if (!context)
        return;
    if (EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context);
        return;
    }
    m_state = new State{context};
}

Sha256::~Sha256()
{
    if (m_state)
        EVP_MD_CTX_free(m_state->context);
    delete m_state;
}

bool Sha256::update(const void *data, std::size_t size)
{
    if (!isValid())
        return false;
    if (size > 0 && EVP_DigestUpdate(m_state->context, data, size) != 1)
        m_failed = true;
    return !m_failed;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    if (!isValid())
        return false;
    unsigned int length = 0;
    const bool ok =
        EVP_DigestFinal_ex(m_state->context, digest, &length) == 1 && length == DigestSize;
    // The context is spent either way.
    m_failed = true;
    return ok;
}

bool Sha256::restart()
{
    m_failed = !m_state || EVP_DigestInit_ex(m_state->context, EVP_sha256(), nullptr) != 1;
    return !m_failed;
}
