#include "update/updatecontroller.h"

#include "download/resumabletransfer.h"
#include "files/eventslices.h"
#include "files/failure.h"
#include "manifest/updaterequest.h"

#include <QDir>
#include <QEventLoop>
#include <QTimer>

namespace {

// Attempts in a row that bring no new byte before a file is given up on.
constexpr int FutileAttempts = 3;
constexpr int TimeoutFloorMs = 2000;
// A link that just dropped is given a moment before the next futile attempt.
constexpr int RetryPauseMs = 1000;

void pause(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec(QEventLoop::AllEvents);
}

} // namespace

bool UpdateController::downloadFile(const UpdateFile &file, qint64 completedBytes,
                                    qint64 plannedTotal, int timeoutMs, const StagingPaths &paths,
                                    QByteArray *digest, QString *error)
{
    const QString shownPath = QDir::toNativeSeparators(file.path);
    EventSlices slices;
    ResumableTransfer transfer(networkManager, file.url, file.size, paths.partial, paths.validator);
    QString openError;
    if (!transfer.open(slices, &openError))
        return fail(error, QStringLiteral("Nao foi possivel criar '%1': %2")
                               .arg(QDir::toNativeSeparators(paths.partial), openError));

    // Bytes of the whole update when its total is known, else of this file alone.
    const auto relay = [&](qint64 held) {
        if (plannedTotal > 0)
            emit progressChanged(completedBytes + held, plannedTotal);
        else if (file.size > 0)
            emit progressChanged(held, file.size);
    };
    int futile = 0;
    for (;;) {
        const qint64 before = transfer.bytesHeld();
        switch (transfer.attempt(qMax(timeoutMs, TimeoutFloorMs), relay)) {
        case ResumableTransfer::Outcome::Complete:
            *digest = transfer.digestHex();
            return true;
        case ResumableTransfer::Outcome::StartOver:
            // Starting over from nothing is not progress.
            if (before > 0)
                continue;
            break;
        case ResumableTransfer::Outcome::Refused:
            return fail(error,
                        QStringLiteral("Falha ao baixar '%1': %2")
                            .arg(shownPath, withoutPassword(transfer.errorText(), file.url)));
        case ResumableTransfer::Outcome::TooLarge:
            transfer.discard();
            return fail(error,
                        QStringLiteral("O arquivo '%1' excede o tamanho informado no manifesto.")
                            .arg(shownPath));
        case ResumableTransfer::Outcome::WriteFailed:
            return fail(error, QStringLiteral("Nao foi possivel gravar '%1': %2")
                                   .arg(shownPath, transfer.errorText()));
        case ResumableTransfer::Outcome::Broken:
            break;
        }
        if (transfer.bytesHeld() > before) {
            futile = 0;
            continue;
        }
        if (++futile == FutileAttempts)
            return fail(error,
                        transfer.timedOut()
                            ? QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(shownPath)
                            : QStringLiteral("Falha ao baixar '%1': %2")
                                  .arg(shownPath, withoutPassword(transfer.errorText(), file.url)));
        pause(RetryPauseMs * futile);
    }
}
