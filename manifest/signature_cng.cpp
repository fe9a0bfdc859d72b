#include "manifest/signature.h"

#include "manifest/cnghandles.h"
#include "manifest/signaturebackend.h"

#include <cstring>

using namespace signature_detail;
using cng::HashHandle;
using cng::KeyHandle;
using cng::Provider;

namespace {

constexpr ULONG DigestSize = 32;

// CNG checks that the point lies on the curve when it imports a public key.
bool importPublicKey(const Provider &ecdsa, const QByteArray &spki, KeyHandle *key)
{
    const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, CoordinateSize};
    QByteArray blob(qsizetype(sizeof header), '\0');
    std::memcpy(blob.data(), &header, sizeof header);
    // X and Y follow the 0x04 that opens the uncompressed point.
    blob.append(spki.mid(SpkiPrefixSize + 1, 2 * CoordinateSize));
    return ecdsa.handle &&
           BCryptImportKeyPair(ecdsa.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key->handle,
                               reinterpret_cast<PUCHAR>(blob.data()), ULONG(blob.size()), 0) >= 0;
}

bool sha256(const QByteArray &message, UCHAR (&digest)[DigestSize])
{
    const Provider algorithm(BCRYPT_SHA256_ALGORITHM);
    HashHandle hash;
    if (!algorithm.handle ||
        BCryptCreateHash(algorithm.handle, &hash.handle, nullptr, 0, nullptr, 0, 0) < 0)
        return false;
    // BCryptHashData takes a non-const pointer and a 32-bit length; it does not write.
    PUCHAR data = reinterpret_cast<PUCHAR>(const_cast<char *>(message.constData()));
    qsizetype left = message.size();
    constexpr qsizetype piece = qsizetype(1) << 30;
    while (left > 0) {
        const ULONG n = ULONG(left < piece ? left : piece);
        if (BCryptHashData(hash.handle, data, n, 0) < 0)
            return false;
        data += n;
        left -= n;
    }
    return BCryptFinishHash(hash.handle, digest, DigestSize, 0) >= 0;
}

} // namespace

namespace signature_detail {

bool isPublicKeyValid(const QByteArray &spki)
{
    const Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    KeyHandle key;
    return importPublicKey(ecdsa, spki, &key);
}

bool verifyP1363(const QByteArray &spki, const QByteArray &message, const QByteArray &signature)
{
    if (signature.size() != SignatureSize)
        return false;
    const Provider ecdsa(BCRYPT_ECDSA_P256_ALGORITHM);
    KeyHandle key;
    UCHAR digest[DigestSize];
    if (!importPublicKey(ecdsa, spki, &key) || !sha256(message, digest))
        return false;
    // CNG takes r||s as it is; it does not write to the signature.
    PUCHAR rs = reinterpret_cast<PUCHAR>(const_cast<char *>(signature.constData()));
    return BCryptVerifySignature(key.handle, nullptr, digest, DigestSize, rs, SignatureSize, 0) ==
           0;
}

} // namespace signature_detail
