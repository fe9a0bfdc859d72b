#include "publish/releasecompare.h"

#include "files/failure.h"
#include "publish/inputfile.h"

#include <QDir>
#include <QHash>

#include <utility>

bool compareWithRelease(const QString &oldManifest, const QList<UpdateFile> &files,
                        ReleaseDelta *delta, QString *error)
{
    QByteArray document;
    if (!readInputFile(oldManifest, MaxManifestFileSize, &document, error))
        return false;
    UpdateManifest earlier;
    QString parseError;
    if (!parseUpdateManifest(document, QUrl(QStringLiteral("http://earlier/")), &earlier,
                             &parseError))
        return fail(error, QStringLiteral("Cannot read the earlier manifest %1: %2")
                               .arg(QDir::toNativeSeparators(oldManifest), parseError));
    QHash<QString, QString> earlierHashes;
    for (const UpdateFile &old : std::as_const(earlier.files))
        earlierHashes.insert(old.path, old.hash);
    ReleaseDelta result;
    for (const UpdateFile &current : files) {
        result.releaseBytes += current.size;
        const auto old = earlierHashes.constFind(current.path);
        if (old != earlierHashes.constEnd() && old.value() == current.hash) {
            ++result.unchanged;
            continue;
        }
        (old == earlierHashes.constEnd() ? result.added : result.changed).append(current.path);
        result.fetchedBytes += current.size;
    }
    *delta = result;
    return true;
}
