#pragma once

// Signed manifests: ECDSA over P-256 with SHA-256, through the platform's own crypto
// (libcrypto, or CNG on Windows). signature.cpp holds the text formats; signature_openssl.cpp
// and signature_cng.cpp the curve work.
//
// - Public key: one line of base64 of the key's DER SubjectPublicKeyInfo (91 bytes: the fixed
//   P-256 prefix, then the uncompressed point 04||X||Y).
// - Signature: one line of base64 of r||s (64 bytes, each half big-endian) over the manifest's
//   exact bytes, kept beside it as "<manifest>.sig".
// - Private key (publishing only): a PKCS#8 PEM file.

#include <QByteArray>
#include <QString>

// Decodes and checks a public key line, white space around it allowed: the exact P-256 format
// above, with a point on the curve. spki (may be absent) gets the 91 DER bytes; it is left
// as it was on failure.
bool parseManifestPublicKey(const QString &line, QByteArray *spki);

// True only when signatureText, one line of base64 with white space around it allowed, holds
// a valid signature of message under spki (as parseManifestPublicKey gives it). Malformed text,
// a malformed key and a wrong signature all give false.
bool verifyManifestSignature(const QByteArray &spki, const QByteArray &message,
                             const QByteArray &signatureText);

// Signing is for the publisher's machine and needs OpenSSL; elsewhere both fail with a message.

// Makes a new key pair and writes its private key to keyFile, readable by its owner only and
// never over an existing file. publicKeyLine gets the matching public key line.
bool generateSigningKey(const QString &keyFile, QString *publicKeyLine, QString *error = nullptr);

// Signs message with the private key in keyFile; signatureText gets one line of base64 without
// a line break.
bool signManifest(const QString &keyFile, const QByteArray &message, QByteArray *signatureText,
                  QString *error = nullptr);
