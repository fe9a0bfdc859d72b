// Runs one update as QuorvexUpdater does, with the same options, but without the window:
// each signal of the controller becomes a line on stdout, so scenario scripts read what the
// player would have seen. Exit code 0 after success, 1 after failure.
#include "app/launchoptions.h"
#include "update/updatecontroller.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    addLaunchOptions(parser);
    parser.process(app);
    UpdateController controller(readLaunchOptions(parser, QCoreApplication::applicationDirPath()));

    QTextStream out(stdout);
    const auto say = [&out](const QString &line) {
        out << QString(line).replace(QLatin1Char('\n'), QLatin1String("\\n")) << Qt::endl;
    };
    QObject::connect(&controller, &UpdateController::statusChanged,
                     [&](const QString &title, const QString &detail) {
                         say(QStringLiteral("status %1: %2").arg(title, detail));
                     });
    QObject::connect(&controller, &UpdateController::progressChanged, [&](qint64 v, qint64 max) {
        say(QStringLiteral("progress %1/%2").arg(v).arg(max));
    });
    QObject::connect(&controller, &UpdateController::finished,
                     [&](bool success, bool updated, const QString &message) {
                         say(QStringLiteral("finished %1 %2 %3")
                                 .arg(int(success))
                                 .arg(int(updated))
                                 .arg(message));
                         QCoreApplication::exit(success ? 0 : 1);
                     });
    controller.start();
    return QCoreApplication::exec();
}
