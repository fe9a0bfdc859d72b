#pragma once

#include <cstddef>
#include <cstdint>

// Incremental SHA-256 over the fastest library the platform offers. Kept free of
// Qt types so the Windows backend can be built and tested with mingw-w64 alone.
class Sha256
{
public:
    static constexpr std::size_t DigestSize = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // False once set-up or any later step failed; the digest is then worthless.
    bool isValid() const { return m_state != nullptr && !m_failed; }
    bool update(const void *data, std::size_t size);
    // Ends the hash; further updates fail.
    bool finish(std::uint8_t (&digest)[DigestSize]);
    // Starts a new hash in the same object, cheaper than a new object for many small inputs.
    bool restart();

private:
    struct State;
    State *m_state = nullptr;
    bool m_failed = false;
};
