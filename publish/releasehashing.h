#pragma once

// The SHA-256 and size of every release file, hashed on every core, and for each big file
// its chunk index, made in the same read. Indexes are published in the release folder under
// .quorvex-chunks/, each named by the SHA-256 of the file it describes, and the manifest's
// entry of the file points at it ("chunks": url, size and SHA-256 of the index).
//
//     ChunkIndexes indexes;
//     describeReleaseFiles(dir, paths, baseUrl, ReleaseHashing(), &files, &indexes, &error);
//     writeChunkIndexes(dir, indexes, &error);   // before the manifest that names them

#include "manifest/updatemanifest.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <functional>

// The folder, at the root of the release, that holds the chunk indexes.
QString chunkIndexFolder();

// Index documents by the SHA-256 (hex) of the file each describes.
using ChunkIndexes = QHash<QString, QByteArray>;

struct ReleaseHashing
{
    // Files of at least this many bytes get a chunk index; 0: none does.
    qint64 chunkMinSize = 8 * 1024 * 1024;
    // Hears the files done and the bytes hashed so far, on the calling thread.
    std::function<void(int, qint64)> progress;
};

// baseUrl empty: urls relative to a manifest at the root of the release folder. An index that
// would exceed 1 % of its file is left out (only with very small files).
bool describeReleaseFiles(const QString &releaseDir, const QStringList &paths, const QUrl &baseUrl,
                          const ReleaseHashing &how, QList<UpdateFile> *files,
                          ChunkIndexes *indexes, QString *error = nullptr);

// Writes each index into the release's index folder; one already there with the same bytes is
// left untouched. Refuses an index folder that is a link.
bool writeChunkIndexes(const QString &releaseDir, const ChunkIndexes &indexes,
                       QString *error = nullptr);
