#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class Sha256;

// Called after each block with the bytes read so far: a place to yield to events or report.
using BlockCallback = std::function<void(qint64)>;

// Feeds the whole content of a file to hash; length (may be absent) gets the bytes fed.
bool hashFileInto(const QString &path, Sha256 *hash, qint64 *length,
                  const BlockCallback &onBlock = {}, QString *error = nullptr);

// SHA-256 of a file's content as 64 lower-case hex digits; empty when the file cannot be
// read.
QByteArray fileSha256Hex(const QString &path, QString *error = nullptr,
                         const BlockCallback &onBlock = {});

// The digest as 64 lower-case hex digits; empty when the hash failed.
QByteArray finishHex(Sha256 *hash);
