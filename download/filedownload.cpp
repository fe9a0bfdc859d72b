#include "update/updatecontroller.h"

#include "manifest/updaterequest.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// What the network layer may hold for us between two writes. Without a cap it buffers
// as fast as the socket delivers, so a disk slower than the link would pile the file up
// in memory.
constexpr qint64 ReplyBufferSize = 4 * 1024 * 1024;
constexpr qint64 WriteBlockSize = 1024 * 1024;

void drainTo(QNetworkReply *reply, QFile *output, QByteArray *block)
{
    // Write failures are left to the caller's hash check.
    while (reply->bytesAvailable() > 0) {
        const qint64 n = reply->read(block->data(), block->size());
        if (n <= 0)
            break;
        output->write(block->constData(), n);
    }
}

} // namespace

bool UpdateController::downloadFile(const UpdateFile &file, qint64 completedBytes,
                                    qint64 plannedTotal, int timeoutMs, const QString &targetPath,
                                    QString *error)
{
    QFile output(targetPath);
    if (!output.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        if (error)
            *error = QStringLiteral("Nao foi possivel criar '%1': %2")
                         .arg(QDir::toNativeSeparators(targetPath), output.errorString());
        return false;
    }

    QNetworkReply *reply = networkManager->get(makeUpdateRequest(file.url));
    reply->setReadBufferSize(ReplyBufferSize);

    QByteArray block(WriteBlockSize, Qt::Uninitialized);
    connect(reply, &QNetworkReply::readyRead, &output,
            [reply, &output, &block] { drainTo(reply, &output, &block); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, completedBytes, plannedTotal](qint64 bytesReceived, qint64 bytesTotal) {
                const qint64 received = qMax<qint64>(bytesReceived, 0);
                if (plannedTotal > 0)
                    emit progressChanged(completedBytes + received, plannedTotal);
                else if (bytesTotal > 0)
                    emit progressChanged(received, bytesTotal);
            });

    const bool timedOut = awaitReply(reply, qMax(timeoutMs, 2000));

    drainTo(reply, &output, &block);
    output.close();

    const QNetworkReply::NetworkError code = reply->error();
    const QString replyError = reply->errorString();
    reply->deleteLater();

    if (code != QNetworkReply::NoError) {
        QFile::remove(targetPath);
        if (error) {
            const QString shownPath = QDir::toNativeSeparators(file.path);
            *error = timedOut
                         ? QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(shownPath)
                         : QStringLiteral("Falha ao baixar '%1': %2").arg(shownPath, replyError);
        }
        return false;
    }
    return true;
}
