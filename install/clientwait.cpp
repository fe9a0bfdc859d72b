#include "install/clientprocess.h"
#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>

namespace {

// How long the client gets to close by itself before it is ended by force.
constexpr qint64 kClientExitBudgetMs = 30000;
// Short slices keep the window painting and draggable during the wait.
constexpr int kWaitSliceMs = 50;
constexpr int kEventSliceMs = 50;
constexpr unsigned int kForcedExitCode = 0;
constexpr int kForcedEndGraceMs = 5000;

QString normalisedPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

// Only the client itself may be ended; a process whose path cannot be read is
// given the benefit of the doubt, since the id came from the client.
bool mayEndProcess(const std::string &imagePath, const QString &clientExecutable)
{
    if (imagePath.empty())
        return true;
    const QString image = normalisedPath(QString::fromStdString(imagePath));
    return image.compare(normalisedPath(clientExecutable), Qt::CaseInsensitive) == 0;
}

} // namespace

bool UpdateController::waitForClientExit(QString *error)
{
    if (waitPid <= 0)
        return true;

    ClientProcess process;
    if (!process.open(waitPid))
        return true;

    const bool mayEnd = mayEndProcess(process.imagePath(), clientExecutable);

    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < kClientExitBudgetMs) {
        const ClientProcess::WaitResult result = process.wait(kWaitSliceMs);
        if (result == ClientProcess::WaitResult::Exited)
            return true;
        if (result == ClientProcess::WaitResult::Failed) {
            process.close();
            if (error)
                *error =
                    QStringLiteral("Nao foi possivel verificar se o processo principal encerrou.");
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, kEventSliceMs);
    }

    if (mayEnd) {
        emit statusChanged(
            repairing ? QStringLiteral("Aplicando reparo")
                      : QStringLiteral("Aplicando atualizacao"),
            QStringLiteral("O cliente principal ainda esta aberto. Tentando encerrar "
                           "automaticamente."));
        if (process.terminate(kForcedExitCode) &&
            process.wait(kForcedEndGraceMs) == ClientProcess::WaitResult::Exited)
            return true;
    }
    process.close();
    if (error)
        *error =
            QStringLiteral("O processo principal nao encerrou a tempo. Feche "
                           "QuorvexEmulator.exe pelo Gerenciador de Tarefas e tente novamente.");
    return false;
}
