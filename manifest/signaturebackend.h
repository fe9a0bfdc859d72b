#pragma once

// Between signature.cpp, which handles the text formats, and the one curve backend per
// platform (signature_openssl.cpp, signature_cng.cpp).

#include <QByteArray>

namespace signature_detail {

constexpr int SpkiPrefixSize = 26;
constexpr int SpkiSize = 91; // the prefix, then the point 04||X||Y
constexpr int CoordinateSize = 32;
constexpr int SignatureSize = 64; // r||s

// True when spki is the prefix of a P-256 key followed by an uncompressed point; the point
// itself is not checked.
bool hasSpkiShape(const QByteArray &spki);

// The key of the point X||Y (64 bytes) in the shape above.
QByteArray spkiFromPoint(const QByteArray &point);

// Backend: spki has the shape above. True when its point lies on the curve.
bool isPublicKeyValid(const QByteArray &spki);
// Backend: spki has the shape above and signature is r||s.
bool verifyP1363(const QByteArray &spki, const QByteArray &message, const QByteArray &signature);

} // namespace signature_detail
