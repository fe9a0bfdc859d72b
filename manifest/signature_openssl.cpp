#include "manifest/signature.h"

#include "files/failure.h"
#include "manifest/signaturebackend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

struct FreeKey
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct FreeKeyContext
{
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};
struct FreeDigestContext
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct FreeSignature
{
    void operator()(ECDSA_SIG *signature) const { ECDSA_SIG_free(signature); }
};
struct FreeBio
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};
struct FreeBuffer
{
    void operator()(unsigned char *buffer) const { OPENSSL_free(buffer); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, FreeKeyContext>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, FreeDigestContext>;
using Signature = std::unique_ptr<ECDSA_SIG, FreeSignature>;
using Bio = std::unique_ptr<BIO, FreeBio>;
using Buffer = std::unique_ptr<unsigned char, FreeBuffer>;

// A private key file is small; anything much larger is the wrong file.
constexpr qint64 MaxKeyFileSize = 64 * 1024;

const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

Key publicKey(const QByteArray &spki)
{
    const unsigned char *cursor = bytes(spki);
    Key key(d2i_PUBKEY(nullptr, &cursor, long(spki.size())));
    if (key && cursor != bytes(spki) + spki.size())
        key.reset();
    return key;
}

QByteArray publicKeyDer(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    const Buffer owned(der);
    return size > 0 ? QByteArray(reinterpret_cast<const char *>(der), size) : QByteArray();
}

// Fails for anything but a P-256 key whose public half has the exact shape clients expect.
QByteArray checkedPublicKey(EVP_PKEY *key)
{
    const QByteArray spki = publicKeyDer(key);
    return hasSpkiShape(spki) && isPublicKeyValid(spki) ? spki : QByteArray();
}

// An encrypted key would make OpenSSL prompt on the terminal; refuse it instead.
int noPassphrase(char *, int, int, void *)
{
    return -1;
}

Key readPrivateKey(const QString &keyFile, QString *error)
{
    QFile file(keyFile);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(error, QStringLiteral("Cannot read the signing key %1: %2")
                        .arg(shown(keyFile), file.errorString()));
        return Key();
    }
    QByteArray pem = file.read(MaxKeyFileSize + 1);
    Key key;
    if (pem.size() <= MaxKeyFileSize) {
        const Bio bio(BIO_new_mem_buf(pem.constData(), int(pem.size())));
        if (bio)
            key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr));
    }
    OPENSSL_cleanse(pem.data(), size_t(pem.size()));
    if (!key)
        fail(error, QStringLiteral("%1 holds no private key in PEM form (or one protected by a "
                                   "passphrase).")
                        .arg(shown(keyFile)));
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

bool generateSigningKey(const QString &keyFile, QString *publicKeyLine, QString *error)
{
    if (!publicKeyLine)
        return fail(error, QStringLiteral("No text to receive the public key."));

    const KeyContext context(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
    EVP_PKEY *generated = nullptr;
    if (!context || EVP_PKEY_keygen_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_ec_paramgen_curve_nid(context.get(), NID_X9_62_prime256v1) != 1 ||
        EVP_PKEY_keygen(context.get(), &generated) != 1)
        return fail(error, QStringLiteral("OpenSSL could not generate a P-256 key."));
    const Key key(generated);
    const QByteArray spki = checkedPublicKey(key.get());
    if (spki.isEmpty())
        return fail(error, QStringLiteral("OpenSSL generated a key of an unexpected form."));

    // Secure memory is wiped when freed, so the private key does not linger in the heap.
    const Bio pem(BIO_new(BIO_s_secmem()));
    if (!pem ||
        PEM_write_bio_PrivateKey(pem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return fail(error, QStringLiteral("OpenSSL could not encode the private key."));
    char *pemData = nullptr;
    const long pemSize = BIO_get_mem_data(pem.get(), &pemData);

    // NewOnly is O_EXCL: an existing file, or a link planted in its place, is never opened.
    QFile file(keyFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered,
                   QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        if (QFileInfo::exists(keyFile) || QFileInfo(keyFile).isSymLink())
            return fail(error, QStringLiteral("%1 already exists; a signing key is never "
                                              "overwritten.")
                                   .arg(shown(keyFile)));
        return fail(error,
                    QStringLiteral("Cannot create %1: %2").arg(shown(keyFile), file.errorString()));
    }
    if (pemSize <= 0 || file.write(pemData, pemSize) != pemSize || !file.flush()) {
        const QString reason = file.errorString();
        file.close();
        file.remove();
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(shown(keyFile), reason));
    }
    file.close();

    *publicKeyLine = QString::fromLatin1(spki.toBase64());
    return true;
}

bool signManifest(const QString &keyFile, const QByteArray &message, QByteArray *signatureText,
                  QString *error)
{
    if (!signatureText)
        return fail(error, QStringLiteral("No text to receive the signature."));
    const Key key = readPrivateKey(keyFile, error);
    if (!key)
        return false;
    const QByteArray spki = checkedPublicKey(key.get());
    if (spki.isEmpty())
        return fail(error, QStringLiteral("%1 is not a P-256 key.").arg(shown(keyFile)));

    const DigestContext context(EVP_MD_CTX_new());
    size_t derSize = 0;
    if (!context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &derSize, bytes(message), size_t(message.size())) !=
            1)
        return fail(error, QStringLiteral("OpenSSL could not sign with %1.").arg(shown(keyFile)));
    QByteArray der(qsizetype(derSize), Qt::Uninitialized);
    unsigned char *derBytes = reinterpret_cast<unsigned char *>(der.data());
    if (EVP_DigestSign(context.get(), derBytes, &derSize, bytes(message), size_t(message.size())) !=
        1)
        return fail(error, QStringLiteral("OpenSSL could not sign with %1.").arg(shown(keyFile)));

    const unsigned char *cursor = derBytes;
    const Signature pair(d2i_ECDSA_SIG(nullptr, &cursor, long(derSize)));
    QByteArray signature(SignatureSize, '\0');
    unsigned char *out = reinterpret_cast<unsigned char *>(signature.data());
    const BIGNUM *r = nullptr;
    const BIGNUM *s = nullptr;
    if (pair)
        ECDSA_SIG_get0(pair.get(), &r, &s);
    if (!r || !s || BN_bn2binpad(r, out, CoordinateSize) != CoordinateSize ||
        BN_bn2binpad(s, out + CoordinateSize, CoordinateSize) != CoordinateSize)
        return fail(error, QStringLiteral("OpenSSL gave a signature of an unexpected form."));

    // A signature that clients would refuse is never handed out.
    if (!verifyP1363(spki, message, signature))
        return fail(
            error,
            QStringLiteral("The signature made with %1 does not verify.").arg(shown(keyFile)));
    *signatureText = signature.toBase64();
    return true;
}
