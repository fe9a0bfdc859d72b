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
{
    // Every status the player sees, and the end, also go to the log; before the run holds the
    // folder, and after its end, the log is closed and takes nothing.
    connect(this, &UpdateController::statusChanged, this,
            [this](const QString &title, const QString &detail) {
                runLog.write(QStringLiteral("status: %1: %2").arg(title, detail));
            });
    connect(this, &UpdateController::finished, this,
            [this](bool success, bool updated, const QString &message) {
                const QString outcome = !success  ? QStringLiteral("falha: %1").arg(message)
                                        : updated ? QStringLiteral("sucesso, arquivos instalados")
                                                  : QStringLiteral("sucesso");
                runLog.write(QStringLiteral("fim (codigo de saida %1): %2")
                                 .arg(QString::number(success ? 0 : 1), outcome));
                runLog.close();
            });
}
