#pragma once

// Builds the manifest document of a release folder, the one the updater reads.
//
//     QStringList paths, warnings;
//     listReleaseFiles(dir, outputPath, &paths, &warnings, &error);  // I/O
//     checkReleasePaths(paths, &warnings, &error);                  // refuses unsafe names
//     describeReleaseFiles(...);                                     // releasehashing.h
//     writeReleaseManifest(outputPath, releaseManifestDocument(info, files), &error);

#include "files/appversion.h"
#include "manifest/updatemanifest.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

struct ReleaseInfo
{
    AppVersion version;
    QString minClientVersion; // empty: not written
    QString changelog;
    QDateTime date; // written in UTC, whole seconds
};

// Every regular file under releaseDir, as relative paths with "/" in manifest order
// (byte-wise on UTF-8). excludedFile (the manifest itself), its "<excludedFile>.sig" and the
// folder of chunk indexes are left out; symbolic links and special files are skipped with a
// warning.
bool listReleaseFiles(const QString &releaseDir, const QString &excludedFile, QStringList *paths,
                      QStringList *warnings, QString *error = nullptr);

// Fails when a path would not reach the same file on a client, listing every such path.
// Names the updater keeps for itself are refused too; paths that only differ in letter case
// are warnings.
bool checkReleasePaths(const QStringList &paths, QStringList *warnings, QString *error = nullptr);

// Percent-encodes each segment of path, then prefixes baseUrl (if any) with one "/" between.
QUrl releaseFileUrl(const QString &path, const QUrl &baseUrl);

QByteArray releaseManifestDocument(const ReleaseInfo &info, const QList<UpdateFile> &files);

// Fails when a link (symbolic link, junction, reparse point) stands at path.
bool checkNoLinkAt(const QString &path, QString *error = nullptr);

// Atomic: a reader never sees half a manifest, and a failure keeps the previous one. Refuses
// a link at path.
bool writeReleaseManifest(const QString &path, const QByteArray &document,
                          QString *error = nullptr);
