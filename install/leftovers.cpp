#include "install/leftovers.h"

#include "files/eventslices.h"
#include "files/fileidentity.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "files/loadedfiles.h"

#include <QDir>
#include <QFileInfo>

namespace {

void removeEntry(const QString &path)
{
    switch (fsys::entryKind(path)) {
    case fsys::EntryKind::Link:
        fsys::removeLink(path);
        break;
    case fsys::EntryKind::File:
        fsys::removeFile(path);
        break;
    default:
        break;
    }
}

} // namespace

QString backupName(const QString &target)
{
    return target + QStringLiteral(".quorvex-bak");
}

QString asideName(const QString &target)
{
    return target + QStringLiteral(".quorvex-old");
}

void settleLeftovers(const QString &target)
{
    const QString backup = backupName(target);
    if (fsys::entryKind(backup) == fsys::EntryKind::File &&
        fsys::entryKind(target) == fsys::EntryKind::Missing)
        fsys::renameEntry(backup, target);
    removeEntry(backup);
    removeEntry(asideName(target));
    removeEntry(target + QStringLiteral(".quorvex-new"));
}

void removeAsideCopies(const QString &appDir)
{
    QString root = fsys::realPath(appDir);
    if (root.isEmpty())
        return;
    if (!root.endsWith(QLatin1Char('/')))
        root += QLatin1Char('/');
    const QStringList files = loadedFiles();
    for (const QString &file : files) {
        // Real paths carry no link, so what lies below the client folder's is inside it.
        const QString real = fsys::realPath(file);
        if (real.startsWith(root, Qt::CaseInsensitive))
            removeEntry(asideName(real));
    }
}

void removeOtherStaging(const QString &appDir, const QString &versionFolder, EventSlices &slices)
{
    const QString root = QFileInfo(versionFolder).path();
    if (fsys::entryKind(root) != fsys::EntryKind::Folder)
        return;
    const QString name = QFileInfo(versionFolder).fileName();
    const QStringList kept{name, name + QStringLiteral(".part"), name + QStringLiteral(".etag")};
    const QStringList entries =
        QDir(root).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (!kept.contains(entry, Qt::CaseInsensitive))
            removeTree(appDir, root + QLatin1Char('/') + entry, &slices);
    }
}
