#include "manifest/updatemanifest.h"
#include "manifest/updaterequest.h"
#include "update/updatecontroller.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// The reply wait may take no less than this, whatever the configuration says.
constexpr int CheckTimeoutFloorMs = 1000;

} // namespace

bool UpdateController::fetchManifest(const UpdateConfig &config, UpdateManifest *manifest,
                                     QString *error)
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
        if (!url.isValid() || url.isEmpty())
            continue;

        QNetworkReply *reply = networkManager->get(makeUpdateRequest(url));
        const bool timedOut = awaitReply(reply, deadlineMs);
        // An aborted reply is closed and has nothing left to read.
        const QByteArray body = reply->isOpen() ? reply->readAll() : QByteArray();
        const QNetworkReply::NetworkError code = reply->error();
        const QString replyError = reply->errorString();
        reply->deleteLater();

        const QString urlText = url.toString();
        if (code != QNetworkReply::NoError) {
            // Two-argument arg() fills both markers at once, so a "%20" in the
            // url is never taken for a marker.
            lastError =
                timedOut
                    ? QStringLiteral("Tempo esgotado ao buscar o manifesto em %1.").arg(urlText)
                    : QStringLiteral("Falha ao baixar o manifesto em %1: %2")
                          .arg(urlText, replyError);
            continue;
        }

        // Relative file urls resolve against the configured endpoint, not the
        // place a redirect ended at.
        QString parseError;
        if (parseUpdateManifest(body, url, manifest, &parseError))
            return true;
        lastError = QStringLiteral("%1 (%2)").arg(parseError, urlText);
    }

    if (error)
        *error = lastError;
    return false;
}
