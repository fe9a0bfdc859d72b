#include "update/updatecontroller.h"

#include "download/bytesize.h"
#include "download/filehash.h"
#include "files/eventslices.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

bool sameHash(const QByteArray &computed, const QString &expected)
{
    return !computed.isEmpty() &&
           QString::fromLatin1(computed).compare(expected, Qt::CaseInsensitive) == 0;
}

// A regular file, not a link, whose size and content are those of the release.
bool holdsRelease(const QString &path, const UpdateFile &file, EventSlices &slices)
{
    return fsys::entryKind(path) == fsys::EntryKind::File &&
           (file.size < 0 || QFileInfo(path).size() == file.size) &&
           sameHash(fileSha256Hex(path, nullptr, [&](qint64) { slices.yield(); }), file.hash);
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

    // Made fresh as real folders: whatever stands in their place, a link above all, goes.
    const QString folder = stagingDirectory(manifest);
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
    qint64 completedBytes = 0;
    EventSlices slices;
    // Folders already made real in this run: thousands of files share a few of them.
    QSet<QString> ownFolders{folder};
    const auto ownFolder = [&](const QString &path) {
        const QString dir = QFileInfo(path).path();
        if (ownFolders.contains(dir))
            return true;
        if (!makeOwnFolder(appDir, dir))
            return false;
        ownFolders.insert(dir);
        return true;
    };
    // Anything that is not a plain file where one is expected goes, a link as a link.
    const auto clear = [&](const QString &path) {
        const fsys::EntryKind kind = fsys::entryKind(path);
        if (kind != fsys::EntryKind::File && kind != fsys::EntryKind::Missing)
            removeTree(appDir, path);
    };

    for (const UpdateFile &file : manifest.files) {
        const QString shownPath = QDir::toNativeSeparators(file.path);
        emit statusChanged(
            QStringLiteral("Baixando atualizacao"),
            QStringLiteral("%1\nTamanho: %2").arg(shownPath, formatByteSize(file.size)));

        const StagingPaths paths{folder + QLatin1Char('/') + file.path,
                                 folder + QStringLiteral(".part/") + file.path,
                                 folder + QStringLiteral(".etag/") + file.path};
        const QString installed = QDir(appDir).filePath(file.path);
        if (linkOnPath(appDir, installed).isEmpty() && holdsRelease(installed, file, slices)) {
            // Already in place: nothing to fetch, nothing to replace.
            completedBytes += QFileInfo(installed).size();
            staged->append(StagedFile{file, QString()});
        } else {
            for (const QString &path : {paths.staged, paths.partial, paths.validator}) {
                if (!ownFolder(path))
                    return fail(error, QStringLiteral("Nao foi possivel preparar a pasta de '%1'.")
                                           .arg(shownPath));
            }
            // A verified copy from an earlier run is reused; anything else in its place goes.
            if (!holdsRelease(paths.staged, file, slices)) {
                if (fsys::entryKind(paths.staged) != fsys::EntryKind::Missing)
                    removeTree(appDir, paths.staged);
                clear(paths.partial);
                clear(paths.validator);
                QByteArray digest;
                if (!downloadFile(file, completedBytes, plannedTotal, config.downloadTimeoutMs,
                                  paths, &digest, error))
                    return false;
                if (!sameHash(digest, file.hash)) {
                    QFile::remove(paths.partial);
                    QFile::remove(paths.validator);
                    return fail(error,
                                QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido %3.")
                                    .arg(shownPath, file.hash, QString::fromLatin1(digest)));
                }
                QString renameError;
                if (!fsys::renameEntry(paths.partial, paths.staged, &renameError))
                    return fail(error, QStringLiteral("Nao foi possivel gravar '%1': %2")
                                           .arg(shownPath, renameError));
                QFile::remove(paths.validator);
            }
            completedBytes += QFileInfo(paths.staged).size();
            staged->append(StagedFile{file, paths.staged});
        }
        if (plannedTotal > 0)
            emit progressChanged(qMin(completedBytes, plannedTotal), plannedTotal);
    }
    return true;
}
