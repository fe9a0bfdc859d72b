#pragma once

// Shared by the readers of the JSON records kept in the client folder.

#include <QJsonValue>
#include <QString>

// The record called name inside appDir.
QString recordFilePath(const QString &appDir, const QString &name);

// The records are small; a file past this is not one of them.
constexpr qint64 RecordSizeLimit = 1024 * 1024;

// Only a whole number that fits an int counts; 7.5, "7" or 1e12 give the fallback.
int wholeInt(const QJsonValue &value, int fallback);
