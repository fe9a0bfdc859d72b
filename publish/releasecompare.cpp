#include "publish/releasecompare.h"

#include "download/chunkindex.h"
#include "download/chunkplan.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "publish/inputfile.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>

#include <utility>

namespace {

// The earlier file's index, from either folder, when it is really that file's.
bool findIndex(const QStringList &folders, const UpdateFile &file, ChunkIndex *index)
{
    for (const QString &folder : folders) {
        QByteArray bytes;
        if (fsys::readRegularFile(
                QDir(folder).filePath(chunkIndexFolder() + QLatin1Char('/') + file.hash),
                MaxChunkIndexBytes, &bytes) &&
            parseChunkIndex(bytes, index) && index->describes(file.size, file.hash))
            return true;
    }
    return false;
}

// What the updater fetches for a changed file: the missing chunks and the index, or the file.
qint64 chunkedCost(const UpdateFile &current, const UpdateFile &earlier,
                   const ChunkIndexes &indexes, const QStringList &folders)
{
    ChunkIndex now;
    ChunkIndex before;
    const QByteArray document = indexes.value(current.hash);
    if (document.isEmpty() || !parseChunkIndex(document, &now) ||
        !findIndex(folders, earlier, &before) || before.rule != now.rule)
        return -1;
    return fetchedBytes(planChunkedFile(now, oldChunkMap(before))) + document.size();
}

} // namespace

bool compareWithRelease(const QString &oldManifest, const QList<UpdateFile> &files,
                        const QString &releaseDir, const ChunkIndexes &indexes, ReleaseDelta *delta,
                        QString *error)
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
    const QStringList folders{QFileInfo(oldManifest).absolutePath(), releaseDir};
    QHash<QString, UpdateFile> earlierFiles;
    for (const UpdateFile &old : std::as_const(earlier.files))
        earlierFiles.insert(old.path, old);
    ReleaseDelta result;
    for (const UpdateFile &current : files) {
        result.releaseBytes += current.size;
        const auto old = earlierFiles.constFind(current.path);
        if (old != earlierFiles.constEnd() && old->hash == current.hash) {
            ++result.unchanged;
            continue;
        }
        (old == earlierFiles.constEnd() ? result.added : result.changed).append(current.path);
        result.fetchedBytes += current.size;
        const qint64 chunked =
            old == earlierFiles.constEnd() ? -1 : chunkedCost(current, *old, indexes, folders);
        result.chunkedBytes += chunked < 0 ? current.size : chunked;
        result.chunkedFiles += chunked < 0 ? 0 : 1;
    }
    *delta = result;
    return true;
}
