#include "update/updatecontroller.h"

#include "files/eventslices.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

constexpr qint64 CopyBlockSize = 1024 * 1024;

// For a staging folder on another volume than the file's place: a copy under a name of its
// own, in slices, then renamed into place, so the target is never seen half written.
bool copyInto(const QString &from, const QString &to, EventSlices &slices)
{
    const QString incoming = to + QStringLiteral(".quorvex-new");
    QFile::remove(incoming);
    QFile in(from);
    QFile out(incoming);
    bool ok = in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly);
    QByteArray block(CopyBlockSize, Qt::Uninitialized);
    for (qint64 n = 1; ok && n > 0; slices.yield()) {
        n = in.read(block.data(), CopyBlockSize);
        ok = n >= 0 && out.write(block.constData(), n) == n;
    }
    out.close();
    ok = ok && out.error() == QFileDevice::NoError && fsys::renameEntry(incoming, to);
    if (!ok)
        QFile::remove(incoming);
    return ok;
}

} // namespace

// Each file is moved into place by rename. Its old copy waits under a name only the updater
// uses until the new one is in place, so a kill at any moment leaves every file old and whole
// or new and whole, and the next run finishes the job.
bool UpdateController::applyStagedFiles(const QList<StagedFile> &staged, QString *error)
{
    EventSlices slices;
    QStringList placed;
    QSet<QString> folders; // made or found already in this run
    for (const StagedFile &entry : staged) {
        const QString target = QDir::cleanPath(QDir(appDir).filePath(entry.file.path));
        const QString backup = target + QStringLiteral(".quorvex-bak");
        const QString shown = QDir::toNativeSeparators(entry.file.path);
        if (!linkOnPath(appDir, target).isEmpty())
            return fail(error, linkRefusal(entry.file.path));
        // A file already in place may still have the old copy an interrupted run kept.
        if (entry.stagedPath.isEmpty()) {
            if (fsys::entryKind(backup) == fsys::EntryKind::File)
                QFile::remove(backup);
            continue;
        }

        emit statusChanged(QStringLiteral("Aplicando arquivo"),
                           QStringLiteral("Substituindo %1").arg(shown));
        const QString folder = QFileInfo(target).path();
        if (!folders.contains(folder)) {
            if (!QDir().mkpath(folder))
                return fail(error,
                            QStringLiteral("Nao foi possivel criar a pasta de destino para '%1'.")
                                .arg(shown));
            folders.insert(folder);
        }

        // An old copy without its file means a run was cut off mid-swap: it is the only
        // copy of the old file, so it goes back first.
        const fsys::EntryKind backupKind = fsys::entryKind(backup);
        if (backupKind == fsys::EntryKind::Link)
            fsys::removeLink(backup);
        else if (backupKind == fsys::EntryKind::File) {
            if (fsys::entryKind(target) == fsys::EntryKind::Missing)
                fsys::renameEntry(backup, target);
            else
                QFile::remove(backup);
        }

        const bool existed = fsys::entryKind(target) != fsys::EntryKind::Missing;
        // Downloads carry no permissions; keep the old file's, such as its executable bit.
        if (existed)
            QFile::setPermissions(entry.stagedPath, QFile::permissions(target));
        if (existed && !fsys::renameEntry(target, backup))
            return fail(error,
                        QStringLiteral("Nao foi possivel substituir '%1'. O arquivo provavelmente "
                                       "ainda esta em uso.")
                            .arg(shown));
        if (!fsys::renameEntry(entry.stagedPath, target) &&
            !copyInto(entry.stagedPath, target, slices)) {
            if (existed)
                fsys::renameEntry(backup, target);
            return fail(error,
                        QStringLiteral("Falha ao copiar '%1' para o destino final.").arg(shown));
        }
        QFile::remove(backup);
        placed.append(target);
        slices.yield();
    }

    // On the disk before the new version is recorded: a crash now cannot leave the record
    // naming files the disk never got.
    bool synced = true;
    QString syncError;
    runOffThread([&] { synced = fsys::syncFiles(placed, &syncError); });
    if (!synced)
        return fail(error, QStringLiteral("Nao foi possivel gravar '%1': %2")
                               .arg(QDir::toNativeSeparators(appDir), syncError));
    return true;
}
