#include "manifest/signature.h"

#include "manifest/signaturebackend.h"

using namespace signature_detail;

namespace {

// id-ecPublicKey with the named curve prime256v1, then the BIT STRING of a 65-byte point.
constexpr char P256SpkiPrefix[SpkiPrefixSize + 1] =
    "\x30\x59\x30\x13\x06\x07\x2a\x86\x48\xce\x3d\x02\x01\x06\x08\x2a\x86\x48\xce\x3d\x03\x01"
    "\x07\x03\x42\x00";

// One line of standard, padded base64 spelt the one way that encodes its bytes; anything
// else is refused rather than repaired. Null unless it decodes to exactly size bytes.
QByteArray decodeBase64Line(QByteArray text, int size)
{
    text = text.trimmed();
    // Checked first: the text may come from a server and be of any length.
    if (text.size() != (size + 2) / 3 * 4)
        return QByteArray();
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size || decoded.decoded.toBase64() != text)
        return QByteArray();
    return decoded.decoded;
}

} // namespace

namespace signature_detail {

bool hasSpkiShape(const QByteArray &spki)
{
    return spki.size() == SpkiSize &&
           spki.startsWith(QByteArray::fromRawData(P256SpkiPrefix, SpkiPrefixSize)) &&
           spki.at(SpkiPrefixSize) == '\x04';
}

QByteArray spkiFromPoint(const QByteArray &point)
{
    return QByteArray::fromRawData(P256SpkiPrefix, SpkiPrefixSize) + '\x04' + point;
}

} // namespace signature_detail

bool parseManifestPublicKey(const QString &line, QByteArray *spki)
{
    // Non-Latin-1 text becomes '?', which base64 refuses.
    const QByteArray key = decodeBase64Line(line.toLatin1(), SpkiSize);
    if (!hasSpkiShape(key) || !isPublicKeyValid(key))
        return false;
    if (spki)
        *spki = key;
    return true;
}

bool verifyManifestSignature(const QByteArray &spki, const QByteArray &message,
                             const QByteArray &signatureText)
{
    const QByteArray signature = decodeBase64Line(signatureText, SignatureSize);
    return !signature.isNull() && hasSpkiShape(spki) && verifyP1363(spki, message, signature);
}
