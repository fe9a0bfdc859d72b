#pragma once

#include <QByteArray>
#include <QString>

// SHA-256 of a file's content as 64 lower-case hex digits; empty when the file
// cannot be read.
QByteArray fileSha256Hex(const QString &path, QString *error = nullptr);
