#include "download/filehash.h"

#include "download/sha256.h"

#include <QDir>
#include <QFile>

namespace {

constexpr qint64 BlockSize = 65536;

QString readError(const QString &path, const QString &reason)
{
    return QStringLiteral("Nao foi possivel ler '%1': %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

} // namespace

bool hashFileInto(const QString &path, Sha256 *hash, qint64 *length, const BlockCallback &onBlock,
                  QString *error)
{
    QFile file(path);
    // Unbuffered: blocks go straight from the kernel into our buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (error)
            *error = readError(path, file.errorString());
        return false;
    }
    QByteArray block(BlockSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 n = file.read(block.data(), BlockSize);
        if (n < 0) {
            // A digest of the part read so far would pass for the file's.
            if (error)
                *error = readError(path, file.errorString());
            return false;
        }
        if (n == 0)
            break;
        hash->update(block.constData(), std::size_t(n));
        total += n;
        if (onBlock)
            onBlock(total);
    }
    if (length)
        *length = total;
    return true;
}

QByteArray finishHex(Sha256 *hash)
{
    std::uint8_t digest[Sha256::DigestSize];
    if (!hash->finish(digest))
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), qsizetype(Sha256::DigestSize))
        .toHex();
}

QByteArray fileSha256Hex(const QString &path, QString *error, const BlockCallback &onBlock)
{
    Sha256 hash;
    if (!hashFileInto(path, &hash, nullptr, onBlock, error))
        return {};
    const QByteArray hex = finishHex(&hash);
    if (hex.isEmpty() && error)
        *error = readError(path, QStringLiteral("falha no calculo do SHA-256"));
    return hex;
}
