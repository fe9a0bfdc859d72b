#pragma once

#include "files/appversion.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QUrl>

// Where a file's chunk index is published, pinned by the manifest like the file itself.
struct ChunkIndexRef
{
    QUrl url;         // absolute, http or https
    qint64 size = -1; // -1: the file has no usable index and is fetched whole
    QString hash;     // SHA-256 of the index, 64 lower-case hex digits
};

struct UpdateFile
{
    QString path; // relative to the client folder, forward slashes, sanitised
    QString hash; // SHA-256 hex, trimmed and lower-cased
    qint64 size = -1;
    QUrl url; // absolute
    ChunkIndexRef chunks = {};
};

struct UpdateManifest
{
    AppVersion remoteVersion;
    QString minClientVersion;
    qint64 totalSize = -1;
    QDateTime date;
    QString changelog;
    QList<UpdateFile> files;
};

// manifestUrl is the endpoint that was requested; relative file urls resolve against it.
// On failure manifest is left as it was.
bool parseUpdateManifest(const QByteArray &data, const QUrl &manifestUrl, UpdateManifest *manifest,
                         QString *error = nullptr);

// Returns the cleaned relative path, or an empty text when the path could leave the folder.
QString sanitizeRelativePath(const QString &path);

// Names the updater keeps for itself in the client folder (its record, its configuration,
// Names the updater keeps for itself in the client folder (its record, its configuration,
// its staging folder, its lock, the transient names of files being replaced and the copies of
// its own running files set aside), and the folder of chunk indexes published beside a
// release's files, compared ignoring letter case; a release may not hold them.
bool isUpdaterOwnedPath(const QString &path);
