#include "update/updatecontroller.h"

#include "download/filehash.h"
#include "files/appversion.h"
#include "files/eventslices.h"
#include "files/failure.h"
#include "files/fileidentity.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "files/loadedfiles.h"

#include <QDir>
#include <QHash>
#include <QSet>

namespace {

QString shown(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// The folders a release path lies in, outermost first: a/b/c gives a and a/b.
QStringList foldersOf(const QString &path)
{
    QStringList folders;
    for (qsizetype slash = path.indexOf(QLatin1Char('/')); slash > 0;
         slash = path.indexOf(QLatin1Char('/'), slash + 1))
        folders.append(path.left(slash));
    return folders;
}

} // namespace

// Before anything is fetched, while nothing is touched: a release that could only be installed
// through a link the player did not make for it, over the player's own folders, into the
// updater's own files, or that would replace the running updater with something else, is
// refused, naming the path.
bool UpdateController::checkTargets(const UpdateConfig &config, const UpdateManifest &manifest,
                                    QString *error)
{
    if (!linkOnPath(appDir, versionFilePath(appDir)).isEmpty())
        return fail(error, linkRefusal(QStringLiteral("version.json")));

    // The updater's own files by identity, so that no other name (a hard link, a link, a short
    // name, another letter case) hides them. Records map to an empty path.
    QHash<QByteArray, QString> own;
    for (const char *name : {"version.json", "updater_config.json", ".quorvex-updater.lock"}) {
        const QByteArray key = fsys::fileKey(QDir(appDir).filePath(QLatin1String(name)));
        if (!key.isEmpty())
            own.insert(key, QString());
    }
    const QStringList running = loadedFiles();
    for (const QString &file : running) {
        const QByteArray key = fsys::fileKey(file);
        if (!key.isEmpty() && !own.contains(key))
            own.insert(key, file);
    }

    QSet<QString> paths;
    for (const UpdateFile &file : manifest.files)
        paths.insert(fsys::nameKey(file.path));
    QSet<QString> foldersSeen;
    QSet<QString> throughLinks; // where paths that pass a player's folder link really lie
    EventSlices slices;
    for (const UpdateFile &file : manifest.files) {
        const QString target = QDir(appDir).filePath(file.path);
        for (const QString &folder : foldersOf(file.path)) {
            if (paths.contains(fsys::nameKey(folder)))
                return fail(error, QStringLiteral("O manifesto usa '%1' como arquivo e como pasta.")
                                       .arg(shown(folder)));
            if (foldersSeen.contains(folder))
                continue;
            const QString place = QDir(appDir).filePath(folder);
            if (fsys::isShortNameAlias(place))
                return fail(error, shortNameRefusal(file.path));
            const fsys::EntryKind kind = fsys::entryKind(place);
            if (kind == fsys::EntryKind::File || kind == fsys::EntryKind::Other)
                return fail(error,
                            QStringLiteral("Nao foi possivel criar a pasta de destino para '%1'.")
                                .arg(shown(file.path)));
            foldersSeen.insert(folder);
        }
        if (fsys::isShortNameAlias(target))
            return fail(error, shortNameRefusal(file.path));
        if (!refusedLinkOn(appDir, target).isEmpty())
            return fail(error, linkRefusal(file.path));
        // Two folder links to one place would make two paths of the release one file.
        if (!linkOnPath(appDir, target).isEmpty()) {
            const QString location = fsys::nameKey(realLocation(target));
            if (throughLinks.contains(location))
                return fail(error, linkRefusal(file.path));
            throughLinks.insert(location);
        }

        const fsys::EntryKind kind = fsys::entryKind(target);
        if (kind == fsys::EntryKind::Folder &&
            !QDir(target).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot))
            return fail(error, folderRefusal(file.path));
        const auto found =
            kind == fsys::EntryKind::File ? own.constFind(fsys::fileKey(target)) : own.cend();
        if (found != own.cend()) {
            // One of the updater's own files under another name than its own.
            if (found->isEmpty() ||
                fsys::realPath(target).compare(fsys::realPath(*found), Qt::CaseInsensitive) != 0)
                return fail(error, linkRefusal(file.path));
            if (*found == running.constFirst() && !config.selfUpdate &&
                QString::fromLatin1(fileSha256Hex(target, nullptr, [&](qint64) {
                    slices.yield();
                })).compare(file.hash, Qt::CaseInsensitive) != 0)
                return fail(error, QStringLiteral(
                                       "Esta versao do updater ainda nao consegue atualizar a si "
                                       "mesma."));
        }
        slices.yield();
    }
    return true;
}
