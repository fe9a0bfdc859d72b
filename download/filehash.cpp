#include "download/filehash.h"

#include "download/sha256.h"

#include <QDir>
#include <QFile>

namespace {

constexpr qint64 kBlockSize = 65536;

} // namespace

QByteArray fileSha256Hex(const QString &path, QString *error)
{
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = QStringLiteral("Nao foi possivel ler '%1': %2")
                         .arg(QDir::toNativeSeparators(path), reason);
        return QByteArray();
    };

    QFile file(path);
    // Unbuffered: the blocks are large, a second copy through QFile's buffer only costs time.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(file.errorString());

    Sha256 hash;
    char block[kBlockSize];
    for (;;) {
        const qint64 got = file.read(block, kBlockSize);
        // A read error half-way must not pass for the digest of a shorter file.
        if (got < 0)
            return fail(file.errorString());
        if (got == 0)
            break;
        hash.update(block, std::size_t(got));
    }
    std::uint8_t digest[Sha256::DigestSize];
    if (!hash.finish(digest))
        return fail(QStringLiteral("SHA-256"));
    return QByteArray(reinterpret_cast<const char *>(digest), Sha256::DigestSize).toHex();
}
