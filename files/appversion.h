#pragma once

#include <QDateTime>
#include <QString>

struct AppVersion
{
    QString version;
    int build = 0;
};

QString versionFilePath(const QString &appDir);

// A missing version.json reads as "0.0.0" build 0; on failure version is left as it was.
// releaseDate, when given, gets the installed release's own date (invalid when not recorded).
bool readAppVersion(const QString &appDir, AppVersion *version, QString *error = nullptr,
                    QDateTime *releaseDate = nullptr);

// Atomic: the previous version.json survives any failure while writing. A valid releaseDate,
// the date of the release's manifest, is recorded with it, so that a signed release older
// than the installed one is never taken for an update.
bool writeAppVersion(const QString &appDir, const AppVersion &version, QString *error = nullptr,
                     const QDateTime &releaseDate = QDateTime());

QString appVersionText(const AppVersion &version);
