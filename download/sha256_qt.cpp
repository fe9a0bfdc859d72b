#include "download/sha256.h"

#include <QCryptographicHash>

#include <cstring>

Sha256::Sha256() : m_state(new QCryptographicHash(QCryptographicHash::Sha256)), m_valid(true)
{}

Sha256::~Sha256()
{
    delete static_cast<QCryptographicHash *>(m_state);
}

bool Sha256::update(const void *data, std::size_t size)
{
    auto *hash = static_cast<QCryptographicHash *>(m_state);
    const char *bytes = static_cast<const char *>(data);
    while (size > 0) {
        const qsizetype piece = size > 1u << 30 ? qsizetype(1) << 30 : qsizetype(size);
        hash->addData(QByteArrayView(bytes, piece));
        bytes += piece;
        size -= std::size_t(piece);
    }
    return m_valid;
}

bool Sha256::finish(std::uint8_t (&digest)[DigestSize])
{
    const QByteArray result = static_cast<QCryptographicHash *>(m_state)->result();
    std::memcpy(digest, result.constData(), DigestSize);
    return m_valid;
}
