#include "update/updatecontroller.h"

#include "download/bytesize.h"
#include "download/chunkedtransfer.h"
#include "download/downloadplan.h"
#include "download/resumabletransfer.h"
#include "download/transferlog.h"
#include "download/transferscheduler.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFileInfo>

#include <limits>

namespace {

constexpr int TimeoutFloorMs = 2000;
// Room left beside what the files need, for the records and the system's own writes.
constexpr qint64 FreeSpaceMargin = 16 * 1024 * 1024;

qint64 saturatingAdd(qint64 a, qint64 b)
{
    return a > std::numeric_limits<qint64>::max() - b ? std::numeric_limits<qint64>::max() : a + b;
}

} // namespace

QString UpdateController::stagingDirectory(const UpdateManifest &manifest) const
{
    QString name =
        QStringLiteral("%1-build-%2")
            .arg(manifest.remoteVersion.version, QString::number(manifest.remoteVersion.build));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char('\\'), QLatin1Char('-'));
    name.replace(QLatin1Char(' '), QLatin1Char('-'));
    // A client folder at a drive root already ends in "/".
    return QDir(appDir).filePath(QStringLiteral(".update-staging/") + name);
}

bool UpdateController::downloadUpdateFiles(const UpdateConfig &config,
                                           const UpdateManifest &manifest,
                                           QList<StagedFile> *staged, QString *error)
{
    if (!staged)
        return fail(error, QStringLiteral("Lista de downloads ausente."));

    const QString folder = stagingDirectory(manifest);
    std::vector<FilePlan> plans = planDownloads(appDir, folder, manifest.files);

    // Each new copy is built beside the old one: a disk that cannot hold them all is found
    // out before the first byte, not at the last file.
    bool fetching = false;
    qint64 needed = FreeSpaceMargin;
    for (qsizetype i = 0; i < manifest.files.size(); ++i) {
        const FilePlan &plan = plans[std::size_t(i)];
        if (plan.state != FilePlan::State::Fetch)
            continue;
        fetching = true;
        needed =
            saturatingAdd(needed, qMax<qint64>(manifest.files.at(i).size - plan.partial.bytes, 0));
    }
    const qint64 room = fetching ? fsys::freeBytes(appDir) : -1;
    if (room >= 0 && needed > room)
        return fail(error, QStringLiteral("Espaco em disco insuficiente: a atualizacao precisa "
                                          "de %1 e ha %2 livres.")
                               .arg(formatByteSize(needed), formatByteSize(room)));

    // Made fresh as real folders: whatever stands in their place, a link above all, goes.
    if (!makeOwnFolder(appDir, folder))
        return fail(error, QStringLiteral("Nao foi possivel criar a pasta temporaria de update."));

    qint64 plannedTotal = 0;
    if (manifest.totalSize > 0) {
        plannedTotal = manifest.totalSize;
        emit progressModeChanged(false);
        emit progressChanged(0, plannedTotal);
    } else {
        for (const UpdateFile &file : manifest.files) {
            if (file.size > 0)
                plannedTotal += file.size;
        }
        emit progressModeChanged(plannedTotal <= 0);
        if (plannedTotal > 0)
            emit progressChanged(0, plannedTotal);
    }

    OwnFolders folders{appDir, {folder}};
    int current = -1; // the transfer of the file the status names
    const int timeoutMs = qMax(config.downloadTimeoutMs, TimeoutFloorMs);
    TransferScheduler scheduler(networkManager, config.maxParallelDownloads,
                                qint64(config.maxDownloadRateKib) * 1024, timeoutMs);
    ChunkedFiles chunked(&scheduler, &folders, networkManager, timeoutMs);
    for (qsizetype i = 0; i < manifest.files.size(); ++i) {
        const UpdateFile &file = manifest.files.at(i);
        const QString installed = QDir(appDir).filePath(file.path);
        if (plans[std::size_t(i)].state != FilePlan::State::Fetch ||
            !ChunkedFiles::candidate(file, installed))
            continue;
        emit statusChanged(QStringLiteral("Baixando atualizacao"),
                           QStringLiteral("%1\nComparando com a copia instalada")
                               .arg(QDir::toNativeSeparators(file.path)));
        chunked.prepare(int(i), file, installed, stagingPaths(folder, file.path));
    }
    chunked.layout(int(manifest.files.size()));

    connect(&scheduler, &TransferScheduler::started, this, [&](int item) {
        if (!chunked.opens(item))
            return;
        const int index = chunked.fileOf(item);
        const UpdateFile &file = manifest.files.at(index);
        current = item;
        emit statusChanged(
            repairing ? QStringLiteral("Reparando arquivos")
                      : QStringLiteral("Baixando atualizacao"),
            QStringLiteral("%1\nTamanho: %2")
                .arg(QDir::toNativeSeparators(file.path), formatByteSize(file.size)));
        scheduler.addDone(plans[std::size_t(index)].onDisk + chunked.kept(index));
    });
    qint64 shown = 0;
    const auto showHeld = [&] {
        if (scheduler.bytesHeld() > shown) {
            shown = scheduler.bytesHeld();
            emit progressChanged(qMin(shown, plannedTotal), plannedTotal);
        }
    };
    connect(&scheduler, &TransferScheduler::progressed, this, [&](int item) {
        if (plannedTotal > 0)
            return showHeld();
        // Without sizes, the bar follows the file being announced, against the server's length.
        const Transfer *transfer = scheduler.inFlight(item);
        if (item == current && transfer->length() > 0)
            emit progressChanged(transfer->held(), transfer->length());
    });
    // A chunked file has sizes, and so has the release.
    connect(&chunked, &ChunkedFiles::copied, this, [&](qint64 bytes) {
        scheduler.addDone(bytes);
        showHeld();
    });
    connect(&scheduler, &TransferScheduler::finished, this, [&] {
        shown = scheduler.bytesHeld();
        if (plannedTotal > 0)
            emit progressChanged(qMin(shown, plannedTotal), plannedTotal);
    });

    const auto whole = [&](int index) -> std::unique_ptr<Transfer> {
        FilePlan &plan = plans[std::size_t(index)];
        if (plan.state != FilePlan::State::Fetch)
            return nullptr;
        const UpdateFile &file = manifest.files.at(index);
        return std::make_unique<ResumableTransfer>(file, stagingPaths(folder, file.path),
                                                   std::move(plan.partial), &folders);
    };
    const TransferLog logged(runLog, scheduler, manifest.files, plans, chunked.count(),
                             [&](int item) { return chunked.fileOf(item); });
    QString failure;
    if (!scheduler.run(
            chunked.count(), [&](int item) { return chunked.make(item, whole); }, nullptr,
            &failure))
        return fail(error, failure);

    for (qsizetype i = 0; i < manifest.files.size(); ++i) {
        const UpdateFile &file = manifest.files.at(i);
        // Already in place: nothing to fetch, nothing to replace.
        staged->append(StagedFile{file, plans[std::size_t(i)].state == FilePlan::State::InPlace
                                            ? QString()
                                            : stagingPaths(folder, file.path).staged});
    }
    return true;
}
