#include "files/folderguard.h"

#include "files/eventslices.h"
#include "files/fileidentity.h"
#include "files/filesystem.h"

#include <QDir>
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

bool within(const QString &path, const QString &folder)
{
    return path.compare(folder, Qt::CaseInsensitive) == 0 ||
           path.startsWith(folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/'),
                           Qt::CaseInsensitive);
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

QString refusedLinkOn(const QString &root, const QString &path)
{
    const QStringList components = componentsBelow(root, path);
    QString realRoot;
    for (const QString &component : components) {
        const fsys::EntryKind kind = fsys::entryKind(component);
        if (kind == fsys::EntryKind::Missing)
            break;
        if (kind != fsys::EntryKind::Link)
            continue;
        if (component == components.constLast())
            return component;
        if (realRoot.isEmpty())
            realRoot = fsys::realPath(root);
        // A link back into the client folder or above it makes two paths one place, and may
        // reach the updater's own files under a name it does not guard.
        const QString to = fsys::realPath(component);
        // A volume mounted on a folder (a mount point on Windows) is reached by its own path
        // alone: no second path to anything, so it is updated in place like any folder.
        const QString own = fsys::realPath(QDir::cleanPath(component + QStringLiteral("/.."))) +
                            QLatin1Char('/') + component.section(QLatin1Char('/'), -1);
        if (!to.isEmpty() && to.compare(own, Qt::CaseInsensitive) == 0)
            continue;
        if (to.isEmpty() || realRoot.isEmpty() || fsys::entryKind(to) != fsys::EntryKind::Folder ||
            within(to, realRoot) || within(realRoot, to))
            return component;
    }
    return QString();
}

QString realLocation(const QString &path)
{
    QString existing = QDir::cleanPath(path);
    QString rest;
    for (;;) {
        const QString real = fsys::realPath(existing);
        if (!real.isEmpty())
            return rest.isEmpty() ? real : real + QLatin1Char('/') + rest;
        const qsizetype slash = existing.lastIndexOf(QLatin1Char('/'));
        if (slash <= 0)
            return QDir::cleanPath(path);
        rest = rest.isEmpty() ? existing.mid(slash + 1)
                              : existing.mid(slash + 1) + QLatin1Char('/') + rest;
        existing.truncate(slash);
    }
}

QString linkRefusal(const QString &relativePath)
{
    return QStringLiteral("O caminho '%1' passa por um link e nao sera alterado.")
        .arg(QDir::toNativeSeparators(relativePath));
}

QString folderRefusal(const QString &relativePath)
{
    return QStringLiteral("Ja existe uma pasta em '%1'; ela nao sera substituida por um arquivo.")
        .arg(QDir::toNativeSeparators(relativePath));
}

QString shortNameRefusal(const QString &relativePath)
{
    return QStringLiteral("O caminho '%1' usa um nome curto do Windows e nao sera alterado.")
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
            if (!fsys::removeFile(component))
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
        fsys::removeFile(path);
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
