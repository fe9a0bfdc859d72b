#pragma once

// Signed manifests: ECDSA over P-256 with SHA-256, through the platform's own crypto
// (libcrypto, or CNG on Windows). signature.cpp holds the text formats; signature_openssl.cpp
// and signature_cng.cpp the curve work.
//
// - Public key: one line of base64 of the key's DER SubjectPublicKeyInfo (91 bytes: the fixed
//   P-256 prefix, then the uncompressed point 04||X||Y).
// - Signature: one line of base64 of r||s (64 bytes, each half big-endian) over the manifest's
//   exact bytes, kept beside it as "<manifest>.sig".
// - Private key: a PKCS#8 PEM file, made and used by QuorvexPublish (publish/signingkey.h).

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
