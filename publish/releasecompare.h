#pragma once

#include "manifest/updatemanifest.h"
#include "publish/releasehashing.h"

#include <QList>
#include <QString>

// What a player on an earlier release gets from this one: the files added, changed and
// unchanged, and the bytes that player fetches (the updater skips files already in place),
// whole or by chunks.
struct ReleaseDelta
{
    QStringList added;
    QStringList changed;
    int unchanged = 0;
    qint64 fetchedBytes = 0;
    qint64 releaseBytes = 0;
    // With chunk indexes: the missing chunks and each index instead of a changed file, where
    // both its new index and its earlier one are found; other files count whole.
    qint64 chunkedBytes = 0;
    int chunkedFiles = 0;
};

// oldManifest is a manifest file as QuorvexPublish wrote it for the earlier release. The
// earlier files' indexes are looked for beside it and in this release's index folder.
bool compareWithRelease(const QString &oldManifest, const QList<UpdateFile> &files,
                        const QString &releaseDir, const ChunkIndexes &indexes, ReleaseDelta *delta,
                        QString *error = nullptr);
