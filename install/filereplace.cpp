#include "update/updatecontroller.h"

#include "files/eventslices.h"
#include "files/failure.h"
#include "files/fileidentity.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "files/loadedfiles.h"
#include "install/leftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace {

constexpr qint64 CopyBlockSize = 1024 * 1024;

// A copy under a name of its own, in slices, then renamed into place, so the target is never
// seen half written: for a staging folder on another volume than the file's place (a folder
// the player linked to another disk), and for a staged copy that has a second name.
bool copyInto(const QString &from, const QString &to, QFileDevice::Permissions permissions,
              EventSlices &slices)
{
    const QString incoming = to + QStringLiteral(".quorvex-new");
    QFile in(from);
    QFile out(incoming);
    bool ok = in.open(QIODevice::ReadOnly) && fsys::openOwnFile(&out, QIODevice::WriteOnly);
    QByteArray block(CopyBlockSize, Qt::Uninitialized);
    for (qint64 n = 1; ok && n > 0; slices.yield()) {
        n = in.read(block.data(), CopyBlockSize);
        ok = n >= 0 && out.write(block.constData(), n) == n;
    }
    out.close();
    ok = ok && out.error() == QFileDevice::NoError &&
         (!permissions || QFile::setPermissions(incoming, permissions)) &&
         fsys::renameEntry(incoming, to);
    if (!ok)
        fsys::removeFile(incoming);
    return ok;
}

// The staged copy goes into place by rename when it is the updater's alone; one with a second
// name (a hard link to some other file) is copied, so that nothing done to the installed file
// reaches that other one.
bool place(const QString &staged, const QString &target, QFileDevice::Permissions permissions,
           EventSlices &slices)
{
    if (fsys::isSoleFile(staged) && (!permissions || QFile::setPermissions(staged, permissions)) &&
        fsys::renameEntry(staged, target))
        return true;
    return copyInto(staged, target, permissions, slices);
}

} // namespace

// Each file is moved into place by rename. Its old copy waits under a name only the updater
// uses until the new one is in place (the caller removes it, once the client runs again), so a kill
// at any moment leaves every file old and whole or new and whole, and the next run finishes the
// job. A file the running updater is made of cannot be removed while it runs (Windows): it is set
// aside under a name of its own, which is never put back, and a later run removes it.
bool UpdateController::applyStagedFiles(const QList<StagedFile> &staged, QStringList *replaced,
                                        QString *error)
{
    QSet<QByteArray> running;
    for (const QString &file : loadedFiles()) {
        const QByteArray key = fsys::fileKey(file);
        if (!key.isEmpty())
            running.insert(key);
    }
    EventSlices slices;
    QStringList placed;
    QSet<QString> folders; // made or found already in this run
    for (const StagedFile &entry : staged) {
        const QString target = QDir::cleanPath(QDir(appDir).filePath(entry.file.path));
        const QString shown = QDir::toNativeSeparators(entry.file.path);
        if (!refusedLinkOn(appDir, target).isEmpty())
            return fail(error, linkRefusal(entry.file.path));
        // A file already in place may still have the old copy an interrupted run kept.
        if (entry.stagedPath.isEmpty()) {
            settleLeftovers(target);
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
        settleLeftovers(target);
        const fsys::EntryKind kind = fsys::entryKind(target);
        // Only an empty folder was let through; the player's files are never moved aside.
        if (kind == fsys::EntryKind::Folder && !QDir().rmdir(target))
            return fail(error, folderRefusal(entry.file.path));
        const bool existed = kind != fsys::EntryKind::Missing && kind != fsys::EntryKind::Folder;
        const QString old = existed && running.contains(fsys::fileKey(target)) ? asideName(target)
                                                                               : backupName(target);
        // Downloads carry no permissions; keep the old file's, such as its executable bit.
        const QFileDevice::Permissions permissions =
            existed ? QFile::permissions(target) : QFileDevice::Permissions();
        if (existed && !fsys::renameEntry(target, old))
            return fail(error,
                        QStringLiteral("Nao foi possivel substituir '%1'. O arquivo provavelmente "
                                       "ainda esta em uso.")
                            .arg(shown));
        if (!place(entry.stagedPath, target, permissions, slices)) {
            if (existed)
                fsys::renameEntry(old, target);
            return fail(error,
                        QStringLiteral("Falha ao copiar '%1' para o destino final.").arg(shown));
        }
        if (existed)
            replaced->append(old);
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
