#include "publish/signingkey.h"

#include "files/failure.h"
#include "manifest/signaturebackend.h"
#include "publish/inputfile.h"
#include "publish/keyfile.h"
#include "publish/signingbackend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace signature_detail;
using namespace signing_detail;

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// Signs and checks the result as a client would: nothing a client would refuse is handed out.
bool signChecked(const QByteArray &pem, const QByteArray &message, QByteArray *signature,
                 QByteArray *spki, QString *error)
{
    if (!signWithKey(pem, message, signature, spki, error))
        return false;
    if (!hasSpkiShape(*spki) || !isPublicKeyValid(*spki))
        return fail(error, QStringLiteral("not a P-256 key"));
    if (!verifyP1363(*spki, message, *signature))
        return fail(error, QStringLiteral("its signature does not verify"));
    return true;
}

bool writeNewKeyFile(const QString &keyFile, const QByteArray &pem, QString *error)
{
    QFile file(keyFile);
    QString reason;
    if (!createOwnerOnlyFile(&file, &reason)) {
        if (QFileInfo::exists(keyFile) || QFileInfo(keyFile).isSymLink())
            return fail(error, QStringLiteral("%1 already exists; a signing key is never "
                                              "overwritten.")
                                   .arg(shown(keyFile)));
        return fail(error, QStringLiteral("Cannot create %1: %2").arg(shown(keyFile), reason));
    }
    if (file.write(pem) != pem.size() || !file.flush()) {
        const QString written = file.errorString();
        file.close();
        file.remove();
        return fail(error, QStringLiteral("Cannot write %1: %2").arg(shown(keyFile), written));
    }
    file.close();
    return true;
}

} // namespace

bool generateSigningKey(const QString &keyFile, QString *publicKeyLine, QString *error)
{
    if (!publicKeyLine)
        return fail(error, QStringLiteral("No text to receive the public key."));
    QByteArray pem;
    QByteArray spki;
    QByteArray signature;
    QByteArray readBack;
    QString reason;
    // The new key signs once before it is written, read back from its PEM as signing will.
    bool made = generateKey(&pem, &spki, &reason) &&
                signChecked(pem, QByteArray("quorvex"), &signature, &readBack, &reason);
    if (made && readBack != spki) {
        made = false;
        reason = QStringLiteral("its file would hold another key");
    }
    if (!made) {
        wipe(&pem);
        return fail(error, QStringLiteral("Could not make a signing key: %1.").arg(reason));
    }
    const bool written = writeNewKeyFile(keyFile, pem, error);
    wipe(&pem);
    if (!written)
        return false;
    *publicKeyLine = QString::fromLatin1(spki.toBase64());
    return true;
}

bool signManifest(const QString &keyFile, const QByteArray &message, QByteArray *signatureText,
                  QString *error)
{
    if (!signatureText)
        return fail(error, QStringLiteral("No text to receive the signature."));
    QByteArray pem;
    if (!readInputFile(keyFile, MaxKeyFileSize, &pem, error))
        return false;
    QByteArray signature;
    QByteArray spki;
    QString reason;
    const bool made = signChecked(pem, message, &signature, &spki, &reason);
    wipe(&pem);
    if (!made)
        return fail(error, QStringLiteral("Cannot sign with %1: %2.").arg(shown(keyFile), reason));
    *signatureText = signature.toBase64();
    return true;
}
