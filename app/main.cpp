#include "app/launchoptions.h"
#include "ui/updaterwindow.h"
#include "update/updatecontroller.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QIcon>
#include <QTimer>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QuorvexUpdater"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorvex Updater"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/branding/quorvex_icon.ico")));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Updater do cliente Quorvex"));
    addLaunchOptions(parser);
    // Help and bad options end the process here, before any window exists.
    parser.process(app);

    const LaunchOptions options = readLaunchOptions(parser, QCoreApplication::applicationDirPath());

    UpdaterWindow window;

    // The run starts first; the window appears once the run lets events through.
    QTimer presentTimer;
    presentTimer.setSingleShot(true);
    QObject::connect(&presentTimer, &QTimer::timeout, &window, &UpdaterWindow::presentWindow);
    presentTimer.start(150);

    UpdateController controller(options);
    QObject::connect(&controller, &UpdateController::statusChanged, &window,
                     &UpdaterWindow::setStatus);
    QObject::connect(&controller, &UpdateController::progressModeChanged, &window,
                     &UpdaterWindow::setProgressMode);
    QObject::connect(&controller, &UpdateController::progressChanged, &window,
                     &UpdaterWindow::setProgress);
    QObject::connect(&controller, &UpdateController::finished, &window,
                     &UpdaterWindow::handleFinished);
    controller.start();

    return QApplication::exec();
}
