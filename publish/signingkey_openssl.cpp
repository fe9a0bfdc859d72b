#include "publish/signingbackend.h"

#include "files/failure.h"
#include "manifest/opensslhandles.h"
#include "manifest/signaturebackend.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

using namespace signature_detail;

namespace {

using namespace ossl;

QByteArray publicKeyDer(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    const Buffer owned(der);
    return size > 0 ? QByteArray(reinterpret_cast<const char *>(der), size) : QByteArray();
}

// An encrypted key would make OpenSSL prompt on the terminal; refuse it instead.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

} // namespace

namespace signing_detail {

bool generateKey(QByteArray *pem, QByteArray *spki, QString *error)
{
    const KeyContext context(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context.get(), NID_X9_62_prime256v1) != 1 ||
        EVP_PKEY_keygen(context.get(), &generated) != 1)
        return fail(error, QStringLiteral("OpenSSL could not generate a P-256 key"));
    const Key key(generated);

    // Secure memory is wiped when freed, so the private key does not linger in the heap.
    const Bio bio(BIO_new(BIO_s_secmem()));
    if (!bio ||
        PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(error, QStringLiteral("OpenSSL could not encode the private key"));
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    if (size <= 0)
        return fail(error, QStringLiteral("OpenSSL could not encode the private key"));
    *pem = QByteArray(data, qsizetype(size));
    *spki = publicKeyDer(key.get());
    return true;
}

bool signWithKey(const QByteArray &pem, const QByteArray &message, QByteArray *signature,
                 QByteArray *spki, QString *error)
{
    Key key;
    const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
    if (bio)
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    if (!key)
        return fail(error, QStringLiteral("it holds no private key in PEM form (or one protected "
                                          "by a passphrase)"));
    *spki = publicKeyDer(key.get());
    if (!hasSpkiShape(*spki))
        return fail(error, QStringLiteral("not a P-256 key"));

    const DigestContext context(EVP_MD_CTX_new());
    const auto in = reinterpret_cast<const unsigned char *>(message.constData());
    size_t derSize = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &derSize, in, size_t(message.size())) != 1)
        return fail(error, QStringLiteral("OpenSSL could not sign"));
    QByteArray der(qsizetype(derSize), Qt::Uninitialized);
    unsigned char *derBytes = reinterpret_cast<unsigned char *>(der.data());
    if (EVP_DigestSign(context.get(), derBytes, &derSize, in, size_t(message.size())) != 1)
        return fail(error, QStringLiteral("OpenSSL could not sign"));

    // libcrypto signs in DER; clients take r||s.
    const unsigned char *cursor = derBytes;
    const Signature pair(d2i_ECDSA_SIG(nullptr, &cursor, long(derSize)));
    QByteArray rs(SignatureSize, '\0');
    unsigned char *out = reinterpret_cast<unsigned char *>(rs.data());
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    if (pair)
        ECDSA_SIG_get0(pair.get(), &r, &s);
    if (!r || !s || BN_bn2binpad(r, out, CoordinateSize) != CoordinateSize ||
        BN_bn2binpad(s, out + CoordinateSize, CoordinateSize) != CoordinateSize)
        return fail(error, QStringLiteral("OpenSSL gave a signature of an unexpected form"));
    *signature = rs;
    return true;
}

void wipe(QByteArray *secret)
{
    OPENSSL_cleanse(secret->data(), size_t(secret->size()));
}

} // namespace signing_detail
