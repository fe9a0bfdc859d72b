#include "files/folderguard.h"

#include "files/eventslices.h"
#include "files/filesystem.h"

#include <QDir>
#include <QFile>
#include <QStringList>

namespace {

// The components of path below root, each as a full path, outermost first.
QStringList componentsBelow(const QString &root, const QString &path)
{
    QStringList components;
    QString current = QDir::cleanPath(path);
    const QString top = QDir::cleanPath(root);
    while (current.size() > top.size() && current.startsWith(top, Qt::CaseInsensitive)) {
        components.prepend(current);
        current = QDir::cleanPath(current + QStringLiteral("/.."));
    }
    return components;
}

} // namespace

QString linkOnPath(const QString &root, const QString &path)
{
    const QStringList components = componentsBelow(root, path);
    for (const QString &component : components) {
        const fsys::EntryKind kind = fsys::entryKind(component);
        if (kind == fsys::EntryKind::Link)
            return component;
        if (kind == fsys::EntryKind::Missing)
            break;
    }
    return QString();
}

QString linkRefusal(const QString &relativePath)
{
    return QStringLiteral("O caminho '%1' passa por um link e nao sera alterado.")
        .arg(QDir::toNativeSeparators(relativePath));
}

bool makeOwnFolder(const QString &root, const QString &folder)
{
    const QStringList components = componentsBelow(root, folder);
    for (const QString &component : components) {
        switch (fsys::entryKind(component)) {
        case fsys::EntryKind::Folder:
            continue;
        case fsys::EntryKind::Link:
            if (!fsys::removeLink(component))
                return false;
            break;
        case fsys::EntryKind::Missing:
            break;
        default:
            if (!QFile::remove(component))
                return false;
        }
        if (!QDir().mkdir(component))
            return false;
    }
    return !components.isEmpty() && fsys::entryKind(folder) == fsys::EntryKind::Folder;
}

namespace {

void removeBelow(const QString &path, EventSlices *slices)
{
    switch (fsys::entryKind(path)) {
    case fsys::EntryKind::Missing:
        return;
    case fsys::EntryKind::Link:
        fsys::removeLink(path);
        return;
    case fsys::EntryKind::Folder:
        break;
    default:
        QFile::remove(path);
        return;
    }
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        removeBelow(path + QLatin1Char('/') + name, slices);
        if (slices)
            slices->yield();
    }
    QDir().rmdir(path);
}

} // namespace

void removeTree(const QString &root, const QString &path, EventSlices *slices)
{
    const QString link = linkOnPath(root, path);
    if (!link.isEmpty())
        fsys::removeLink(link);
    else
        removeBelow(path, slices);
}
