#include "download/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

namespace {

struct CngState
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

Sha256::Sha256()
{
    auto *state = new CngState;
    m_state = state;
    // The hash object's memory is left to CNG (null buffer), available since Windows 7.
    m_valid =
        succeeded(
            BCryptOpenAlgorithmProvider(&state->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        succeeded(BCryptCreateHash(state->algorithm, &state->hash, nullptr, 0, nullptr, 0, 0));
}

Sha256::~Sha256()
{
    auto *state = static_cast<CngState *>(m_state);
    if (state->hash)
        BCryptDestroyHash(state->hash);
    if (state->algorithm)
        BCryptCloseAlgorithmProvider(state->algorithm, 0);
    delete state;
}

bool Sha256::update(const void *data, std::size_t size)
{
    auto *state = static_cast<CngState *>(m_state);
    const auto *bytes = static_cast<const unsigned char *>(data);
    // BCryptHashData takes a 32-bit length: feed larger blocks in pieces.
    while (m_valid && size > 0) {
        const ULONG piece = size > std::numeric_limits<ULONG>::max()
                                ? std::numeric_limits<ULONG>::max()
                                : static_cast<ULONG>(size);
        m_valid = succeeded(BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), piece, 0));
        bytes += piece;
        size -= piece;
    }
    return m_valid;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    auto *state = static_cast<CngState *>(m_state);
    if (m_valid)
        m_valid = succeeded(BCryptFinishHash(state->hash, digest, DigestSize, 0));
    return m_valid;
}
