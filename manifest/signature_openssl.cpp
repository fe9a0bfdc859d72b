#include "manifest/signature.h"

#include "manifest/opensslhandles.h"
#include "manifest/signaturebackend.h"

#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <memory>

using namespace signature_detail;

namespace {

using namespace ossl;

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

Key publicKey(const QByteArray &spki)
{
    const unsigned char *cursor = bytes(spki);
    Key key(d2i_PUBKEY(nullptr, &cursor, long(spki.size())));
    if (key && cursor != bytes(spki) + spki.size())
        key.reset();
    return key;
}

} // namespace

namespace signature_detail {

bool isPublicKeyValid(const QByteArray &spki)
{
    // Decoding already refuses a point off the curve; the check adds the point at infinity
    // and the subgroup.
    const Key key = publicKey(spki);
    const KeyContext context(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    return context && EVP_PKEY_public_check(context.get()) == 1;
}

bool verifyP1363(const QByteArray &spki, const QByteArray &message, const QByteArray &signature)
{
    if (signature.size() != SignatureSize)
        return false;
    const Key key = publicKey(spki);
    if (!key)
        return false;

    // libcrypto verifies DER signatures; r||s goes through ECDSA_SIG to get there.
    Signature pair(ECDSA_SIG_new());
    BIGNUM *r = BN_bin2bn(bytes(signature), CoordinateSize, nullptr);
    BIGNUM *s = BN_bin2bn(bytes(signature) + CoordinateSize, CoordinateSize, nullptr);
    if (!pair || !r || !s || ECDSA_SIG_set0(pair.get(), r, s) != 1) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char *der = nullptr;
    const int derSize = i2d_ECDSA_SIG(pair.get(), &der);
    const Buffer ownedDer(der);
    if (derSize <= 0)
        return false;

    const DigestContext context(EVP_MD_CTX_new());
    return context &&
           EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), der, size_t(derSize), bytes(message),
                            size_t(message.size())) == 1;
}

} // namespace signature_detail
