#pragma once

// Signing keys and signatures on the publisher's machine, on Linux and Windows alike, in the
// formats of manifest/signature.h: a key made on either platform signs on the other.
//
// - Private key file: PKCS#8 PEM ("BEGIN PRIVATE KEY"), unencrypted. Windows reads the one
//   form a P-256 key takes there, which both platforms write.

#include <QByteArray>
#include <QString>

// Makes a new key pair and writes its private key to keyFile, readable by its owner only where
// the file system allows it and never over an existing file. publicKeyLine gets the matching
// public key line.
bool generateSigningKey(const QString &keyFile, QString *publicKeyLine, QString *error = nullptr);

// Signs message with the private key in keyFile; signatureText gets one line of base64 without
// a line break.
bool signManifest(const QString &keyFile, const QByteArray &message, QByteArray *signatureText,
                  QString *error = nullptr);
