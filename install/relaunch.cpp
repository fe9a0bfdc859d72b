#include "update/updatecontroller.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

bool UpdateController::relaunchClient(QString *error)
{
    if (!QFileInfo::exists(clientExecutable)) {
        if (error)
            *error = QStringLiteral("Executavel principal nao encontrado em %1.")
                         .arg(QDir::toNativeSeparators(clientExecutable));
        return false;
    }
    if (!QProcess::startDetached(clientExecutable, launchArguments, appDir)) {
        if (error)
            *error = QStringLiteral("Nao foi possivel reabrir o cliente principal.");
        return false;
    }
    return true;
}
