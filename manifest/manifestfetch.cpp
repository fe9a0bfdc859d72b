#include "manifest/signature.h"
#include "manifest/updatemanifest.h"
#include "manifest/updaterequest.h"
#include "update/updatecontroller.h"

namespace {

// The reply wait may take no less than this, whatever the configuration says.
constexpr int CheckTimeoutFloorMs = 1000;
// A manifest is a small document: anything beyond this is a server gone wrong.
constexpr qint64 ManifestLimit = 32 * 1024 * 1024;
constexpr qint64 SignatureLimit = 4096;

bool isHttp(const QUrl &url)
{
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

} // namespace

bool UpdateController::fetchManifest(const UpdateConfig &config, UpdateManifest *manifest,
                                     QString *error, const QDateTime &installedDate)
{
    // Without a record nothing could be kept, so no endpoint is bothered.
    if (!manifest) {
        if (error)
            *error = QStringLiteral("Estrutura UpdateManifest ausente.");
        return false;
    }

    const QList<QUrl> endpoints =
        config.manifestUrls.isEmpty() ? QList<QUrl>{config.manifestUrl} : config.manifestUrls;
    const int deadlineMs = qMax(config.checkTimeoutMs, CheckTimeoutFloorMs);
    QString lastError = QStringLiteral("Nenhum endpoint de manifesto valido configurado.");

    for (const QUrl &url : endpoints) {
        if (!url.isValid() || url.isEmpty() || !isHttp(url))
            continue;
        const QString urlText = shownUrl(url);
        const SmallFetch fetched = fetchSmall(networkManager, url, deadlineMs, ManifestLimit);
        if (!fetched.ok) {
            // Two-argument arg() fills both markers at once, so a "%20" in the url is never
            // taken for a marker.
            lastError =
                fetched.tooLarge
                    ? QStringLiteral("O manifesto em %1 excede o limite de 32 MiB.").arg(urlText)
                : fetched.timedOut
                    ? QStringLiteral("Tempo esgotado ao buscar o manifesto em %1.").arg(urlText)
                    : QStringLiteral("Falha ao baixar o manifesto em %1: %2")
                          .arg(urlText, fetched.error);
            continue;
        }

        // With a key configured, only bytes its owner signed are read at all.
        if (!config.publicKey.isEmpty()) {
            QUrl signatureUrl = url;
            signatureUrl.setPath(url.path() + QStringLiteral(".sig"));
            const SmallFetch signature =
                fetchSmall(networkManager, signatureUrl, deadlineMs, SignatureLimit);
            if (!signature.ok) {
                lastError = QStringLiteral("Assinatura do manifesto ausente em %1.").arg(urlText);
                continue;
            }
            if (!verifyManifestSignature(config.publicKey, fetched.body, signature.body)) {
                lastError = QStringLiteral("Assinatura do manifesto invalida em %1.").arg(urlText);
                continue;
            }
        }

        // Relative file urls resolve against the configured endpoint, not the place a
        // redirect ended at.
        QString parseError;
        UpdateManifest parsed;
        if (!parseUpdateManifest(fetched.body, url, &parsed, &parseError)) {
            lastError = QStringLiteral("%1 (%2)").arg(parseError, urlText);
            continue;
        }
        // A signature never expires: an older release, validly signed, served again by a
        // mirror would otherwise be taken whenever its version text happens to order higher.
        if (!config.publicKey.isEmpty() && installedDate.isValid() &&
            (!parsed.date.isValid() || parsed.date < installedDate)) {
            lastError =
                QStringLiteral("Manifesto mais antigo que a versao instalada em %1.").arg(urlText);
            continue;
        }
        *manifest = parsed;
        return true;
    }

    if (error)
        *error = lastError;
    return false;
}
