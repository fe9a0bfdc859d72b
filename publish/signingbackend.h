#pragma once

// Between signingkey.cpp, which reads and writes key files, and the one curve backend per
// platform (signingkey_openssl.cpp, signingkey_cng.cpp). Keys are P-256; public keys come as
// the DER SubjectPublicKeyInfo of manifest/signaturebackend.h, signatures as r||s.

#include <QByteArray>
#include <QString>

namespace signing_detail {

// A new key: pem gets its private key as PKCS#8 PEM, spki its public key.
bool generateKey(QByteArray *pem, QByteArray *spki, QString *error);

// Signs message with the private key in pem; spki gets the key's public half. error gets a
// reason without the file's name.
bool signWithKey(const QByteArray &pem, const QByteArray &message, QByteArray *signature,
                 QByteArray *spki, QString *error);

// Overwrites a secret in memory, in a way the compiler keeps.
void wipe(QByteArray *secret);

} // namespace signing_detail
