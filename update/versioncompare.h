#pragma once

#include <QList>
#include <QString>

struct AppVersion;

QList<int> parseVersionNumbers(const QString &text);

// Negative when a is older than b, zero when equal, positive when newer.
int compareVersionStrings(const QString &a, const QString &b);
int compareVersions(const AppVersion &a, const AppVersion &b);
