#include "manifest/updaterequest.h"
#include "update/updatecontroller.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// A deadline this short would fail any real file before its first byte.
constexpr int kDownloadFloorMs = 2000;
// Caps what the network layer holds for us: without it a fast server outruns the disk
// and a large file piles up in memory.
constexpr qint64 kReadBufferBytes = 4 * 1024 * 1024;

void writeAvailable(QNetworkReply *reply, QFile *out)
{
    const QByteArray chunk = reply->readAll();
    if (!chunk.isEmpty())
        out->write(chunk);
}

} // namespace

bool UpdateController::downloadFile(const UpdateFile &file, qint64 completedBytes,
                                    qint64 plannedTotal, int timeoutMs, const QString &targetPath,
                                    QString *error)
{
    QFile out(targetPath);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        if (error)
            *error = QStringLiteral("Nao foi possivel criar '%1': %2")
                         .arg(QDir::toNativeSeparators(targetPath), out.errorString());
        return false;
    }

    QNetworkReply *reply = networkManager->get(makeUpdateRequest(file.url));
    reply->setReadBufferSize(kReadBufferBytes);
    QObject::connect(reply, &QNetworkReply::readyRead, &out,
                     [reply, &out] { writeAvailable(reply, &out); });
    QObject::connect(reply, &QNetworkReply::downloadProgress, this,
                     [this, completedBytes, plannedTotal](qint64 bytesReceived, qint64 bytesTotal) {
                         const qint64 received = bytesReceived < 0 ? 0 : bytesReceived;
                         if (plannedTotal > 0)
                             emit progressChanged(completedBytes + received, plannedTotal);
                         else if (bytesTotal > 0)
                             emit progressChanged(received, bytesTotal);
                     });

    const bool timedOut = awaitReply(reply, qMax(timeoutMs, kDownloadFloorMs));

    writeAvailable(reply, &out);
    out.close();
    const QNetworkReply::NetworkError code = reply->error();
    const QString reason = reply->errorString();
    reply->disconnect(this);
    reply->deleteLater();

    if (code != QNetworkReply::NoError) {
        QFile::remove(targetPath);
        if (error) {
            const QString shown = QDir::toNativeSeparators(file.path);
            *error = timedOut ? QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(shown)
                              : QStringLiteral("Falha ao baixar '%1': %2").arg(shown, reason);
        }
        return false;
    }
    return true;
}
