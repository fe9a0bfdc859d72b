#pragma once

#include "manifest/updatemanifest.h"

#include <QList>
#include <QString>

// What a player on an earlier release gets from this one: the files added, changed and
// unchanged, and the bytes that player fetches (the updater skips files already in place).
struct ReleaseDelta
{
    QStringList added;
    QStringList changed;
    int unchanged = 0;
    qint64 fetchedBytes = 0;
    qint64 releaseBytes = 0;
};

// oldManifest is a manifest file as QuorvexPublish wrote it for the earlier release.
bool compareWithRelease(const QString &oldManifest, const QList<UpdateFile> &files,
                        ReleaseDelta *delta, QString *error = nullptr);
