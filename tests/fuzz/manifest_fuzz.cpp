// libFuzzer entry: the manifest parser, the path sanitiser and the chunk index parser on
// arbitrary bytes.
#include "download/chunkindex.h"
#include "manifest/updatemanifest.h"

#include <QDir>
#include <QUrl>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    static const QUrl base(QStringLiteral("https://updates.quorvex.test/canal/manifest.json"));

    UpdateManifest manifest;
    QString error;
    if (parseUpdateManifest(bytes, base, &manifest, &error)) {
        for (const UpdateFile &file : manifest.files) {
            // Whatever the parser accepts must stay inside the client folder.
            const QString joined = QDir::cleanPath(QStringLiteral("/client/") + file.path);
            if (file.path.isEmpty() || !joined.startsWith(QLatin1String("/client/")))
                std::abort();
        }
    }

    const QString path = sanitizeRelativePath(QString::fromUtf8(bytes));
    // A second pass may only trim the leading blank that "./ x" leaves behind.
    if (!path.isEmpty() && sanitizeRelativePath(path) != path.trimmed())
        std::abort();

    // An index accepted is exactly what the publisher would have written for it.
    ChunkIndex index;
    if (parseChunkIndex(bytes, &index) && chunkIndexDocument(index) != bytes)
        std::abort();
    return 0;
}
