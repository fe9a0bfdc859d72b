#pragma once

// Signing a release as it is published: the manifest's signature goes beside it, as
// "<manifest>.sig", and is in place before the manifest itself is replaced.
//
//     checkKeyOutsideRelease(keyFile, releaseDir, &error);  // before anything is read
//     checkSigningKey(keyFile, &error);                     // before the release is hashed
//     writeSignedReleaseManifest(outputPath, document, keyFile, &error);

#include <QByteArray>
#include <QString>

QString signatureFilePath(const QString &manifestPath);

// Fails when keyFile lies inside releaseDir, where publishing would hand it to every player.
bool checkKeyOutsideRelease(const QString &keyFile, const QString &releaseDir,
                            QString *error = nullptr);

// Fails when keyFile cannot sign: missing, unreadable, not a P-256 key, or no signing here.
bool checkSigningKey(const QString &keyFile, QString *error = nullptr);

// Signs document, writes its signature atomically, then replaces the manifest atomically. A
// failure before the signature is written leaves both files as they were.
bool writeSignedReleaseManifest(const QString &manifestPath, const QByteArray &document,
                                const QString &keyFile, QString *error = nullptr);
