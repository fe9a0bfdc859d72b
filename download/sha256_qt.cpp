#include "download/sha256.h"

#include <QByteArrayView>
#include <QCryptographicHash>

#include <cstring>

// Last resort for platforms without CNG or OpenSSL: about a tenth of their speed.
struct Sha256::State
{
    QCryptographicHash hash{QCryptographicHash::Sha256};
};

Sha256::Sha256() : m_state(new State)
{}

Sha256::~Sha256()
{
    delete m_state;
}

bool Sha256::update(const void *data, std::size_t size)
{
    if (!isValid())
        return false;
    const char *bytes = static_cast<const char *>(data);
    // QByteArrayView holds a signed size; feed huge buffers in pieces.
    constexpr std::size_t piece = std::size_t(1) << 30;
    while (size > 0) {
        const std::size_t n = size < piece ? size : piece;
        m_state->hash.addData(QByteArrayView(bytes, qsizetype(n)));
        bytes += n;
        size -= n;
    }
    return true;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    if (!isValid())
        return false;
    const QByteArray result = m_state->hash.result();
    m_failed = true;
    if (std::size_t(result.size()) != DigestSize)
        return false;
    std::memcpy(digest, result.constData(), DigestSize);
    return true;
}
