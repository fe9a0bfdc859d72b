#pragma once

#include "manifest/updatemanifest.h"

#include <QString>

struct StagedFile
{
    UpdateFile file;
    QString stagedPath; // absolute path of the verified copy; empty: already installed as is
};

// Where one file of a release lives while it is fetched. The partial copy and the server's
// validator for it have trees of their own beside the version folder, so that no release
// path can stand for another file's partial copy.
struct StagingPaths
{
    QString staged;    // the verified copy
    QString partial;   // bytes received so far
    QString validator; // the ETag or Last-Modified the partial copy was started under
};

inline StagingPaths stagingPaths(const QString &versionFolder, const QString &path)
{
    return {versionFolder + QLatin1Char('/') + path,
            versionFolder + QStringLiteral(".part/") + path,
            versionFolder + QStringLiteral(".etag/") + path};
}
