#pragma once

// The files QuorvexPublish reads besides the release itself: change notes, an earlier
// manifest, a signing key. Each must be a regular file of a known bound, so that a pipe or a
// device named by mistake fails at once with a clear message instead of blocking or filling
// memory.

#include <QByteArray>
#include <QString>

constexpr qint64 MaxChangelogFileSize = 1024 * 1024;
// The most a client accepts as a manifest body.
constexpr qint64 MaxManifestFileSize = 32 * 1024 * 1024;
constexpr qint64 MaxKeyFileSize = 64 * 1024;

bool readInputFile(const QString &path, qint64 limit, QByteArray *content,
                   QString *error = nullptr);
