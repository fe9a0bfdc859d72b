#include "update/updatecontroller.h"

#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>

namespace {

QString absoluteCleanPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// A relative executable is joined to the folder as the caller gave it, before
// the folder itself is made absolute.
QString resolveExecutable(const QString &givenAppDir, const QString &executable)
{
    const QString joined =
        QDir::isRelativePath(executable) ? QDir(givenAppDir).filePath(executable) : executable;
    return absoluteCleanPath(joined);
}

} // namespace

UpdateController::UpdateController(const LaunchOptions &options, QObject *parent)
    : QObject(parent), appDir(absoluteCleanPath(options.appDir)),
      clientExecutable(resolveExecutable(options.appDir, options.clientExecutable)),
      launchArguments(options.launchArguments), waitPid(options.waitPid), repair(options.repair),
      networkManager(new QNetworkAccessManager(this))
{}
