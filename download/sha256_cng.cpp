#include "download/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <limits>

struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
};

namespace {

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

} // namespace

Sha256::Sha256()
{
    State state;
    if (!succeeded(
            BCryptOpenAlgorithmProvider(&state.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return;
    // No object buffer: CNG allocates the hash object itself (Windows 7 and later).
    if (!succeeded(BCryptCreateHash(state.algorithm, &state.hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(state.algorithm, 0);
        return;
    }
    m_state = new State(state);
}

Sha256::~Sha256()
{
    if (m_state) {
        BCryptDestroyHash(m_state->hash);
        BCryptCloseAlgorithmProvider(m_state->algorithm, 0);
    }
    delete m_state;
}

bool Sha256::update(const void *data, std::size_t size)
{
    if (!isValid())
        return false;
    // BCryptHashData takes a non-const pointer and a 32-bit length; it does not write.
    PUCHAR bytes = static_cast<PUCHAR>(const_cast<void *>(data));
    constexpr std::size_t piece = std::numeric_limits<ULONG>::max() / 2 + 1;
    while (size > 0) {
        const std::size_t n = size < piece ? size : piece;
        if (!succeeded(BCryptHashData(m_state->hash, bytes, static_cast<ULONG>(n), 0))) {
            m_failed = true;
            return false;
        }
        bytes += n;
        size -= n;
    }
    return true;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    if (!isValid())
        return false;
    const bool ok = succeeded(BCryptFinishHash(m_state->hash, digest, DigestSize, 0));
    m_failed = true;
    return ok;
}

bool Sha256::restart()
{
    if (!m_state)
        return false;
    BCryptDestroyHash(m_state->hash);
    m_state->hash = nullptr;
    m_failed =
        !succeeded(BCryptCreateHash(m_state->algorithm, &m_state->hash, nullptr, 0, nullptr, 0, 0));
    return !m_failed;
}
