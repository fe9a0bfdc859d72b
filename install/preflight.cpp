#include "update/updatecontroller.h"

#include "download/filehash.h"
#include "files/appversion.h"
#include "files/eventslices.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QCoreApplication>
#include <QDir>

// Before anything is fetched: a release that could only be installed through a link, or that
// would replace the running updater with something else, is refused while nothing is touched.
bool UpdateController::checkTargets(const UpdateManifest &manifest, QString *error)
{
    if (!linkOnPath(appDir, versionFilePath(appDir)).isEmpty())
        return fail(error, linkRefusal(QStringLiteral("version.json")));

    const QString ownPath = QCoreApplication::applicationFilePath();
    EventSlices slices;
    for (const UpdateFile &file : manifest.files) {
        const QString target = QDir(appDir).filePath(file.path);
        if (!linkOnPath(appDir, target).isEmpty())
            return fail(error, linkRefusal(file.path));
        // By identity, so that letter case, short names or another spelling cannot hide it.
        if (fsys::sameFile(target, ownPath) &&
            QString::fromLatin1(fileSha256Hex(target, nullptr, [&](qint64) {
                slices.yield();
            })).compare(file.hash, Qt::CaseInsensitive) != 0)
            return fail(
                error,
                QStringLiteral("Esta versao do updater ainda nao consegue atualizar a si mesma."));
    }
    return true;
}
