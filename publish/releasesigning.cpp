#include "publish/releasesigning.h"

#include "files/failure.h"
#include "publish/releasemanifest.h"
#include "publish/signingkey.h"

#include <QDir>
#include <QFileInfo>
#include <QSaveFile>

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace

QString signatureFilePath(const QString &manifestPath)
{
    return manifestPath + QLatin1String(".sig");
}

bool checkKeyOutsideRelease(const QString &keyFile, const QString &releaseDir, QString *error)
{
    // Links are resolved: the release listing skips links, but not a real file in the folder.
    const QString key = QFileInfo(keyFile).canonicalFilePath();
    const QString root = QFileInfo(releaseDir).canonicalFilePath();
    if (key.isEmpty() || root.isEmpty() || !key.startsWith(root + QLatin1Char('/')))
        return true;
    return fail(error, QStringLiteral("Refused: the signing key %1 lies inside the release "
                                      "folder and would be published to every player. Keep it "
                                      "off the server.")
                           .arg(shown(keyFile)));
}

bool checkSigningKey(const QString &keyFile, QString *error)
{
    // Signing nothing loads and uses the key the same way the manifest will.
    QByteArray ignored;
    return signManifest(keyFile, QByteArray(), &ignored, error);
}

bool writeSignedReleaseManifest(const QString &manifestPath, const QByteArray &document,
                                const QString &keyFile, QString *error)
{
    const QString path = signatureFilePath(manifestPath);
    QByteArray signature;
    if (!checkNoLinkAt(manifestPath, error) || !checkNoLinkAt(path, error) ||
        !signManifest(keyFile, document, &signature, error))
        return false;

    // The signature goes first: a client that fetches the new manifest already finds its
    // signature. One that fetches the old manifest in between finds a mismatch and tries the
    // next endpoint.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(signature + '\n') != signature.size() + 1 ||
        !file.commit())
        return fail(error,
                    QStringLiteral("Cannot write %1: %2").arg(shown(path), file.errorString()));

    QString manifestError;
    if (!writeReleaseManifest(manifestPath, document, &manifestError))
        return fail(error, QStringLiteral("%1\nThe new signature %2 does not match the manifest "
                                          "left in place; publish again.")
                               .arg(manifestError, shown(path)));
    return true;
}
