#pragma once

#include <QString>

struct AppVersion
{
    QString version;
    int build = 0;
};

QString versionFilePath(const QString &appDir);

// A missing version.json reads as "0.0.0" build 0; on failure version is left as it was.
bool readAppVersion(const QString &appDir, AppVersion *version, QString *error = nullptr);

// Atomic: the previous version.json survives any failure while writing.
bool writeAppVersion(const QString &appDir, const AppVersion &version, QString *error = nullptr);

QString appVersionText(const AppVersion &version);
