#pragma once

#include <cstddef>
#include <cstdint>

// Incremental SHA-256 over the platform's accelerated library: CNG on Windows,
// OpenSSL's EVP elsewhere, Qt's portable code only where neither exists.
// Free of Qt types so the Windows backend builds and is tested on its own.
class Sha256
{
public:
    static constexpr std::size_t DigestSize = 32;

    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // False once any step has failed; the digest is then meaningless.
    bool isValid() const { return m_valid; }
    bool update(const void *data, std::size_t size);
    // Ends the hash; the object cannot be fed again afterwards.
    bool finish(std::uint8_t (&digest)[DigestSize]);

private:
    void *m_state = nullptr;
    bool m_valid = false;
};
