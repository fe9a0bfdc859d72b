// Runs one whole update in-process with a 5 ms heartbeat timer and reports the
// longest time the GUI thread went without processing events, per phase. Only the timer
// beats: a signal of the controller's own, emitted in the middle of blocked work, would
// hide the block.
//
// usage: bench_guistall <client folder> <client program> <client linger ms>
// The client program is started first (lingering as asked) and handed over as the
// process to wait for, as the game client does.
#include "app/launchoptions.h"
#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMap>
#include <QProcess>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4) {
        std::fprintf(stderr,
                     "usage: bench_guistall <client folder> <client program> <linger ms>\n");
        return 2;
    }

    QProcess client;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"), args.at(3));
    client.setProcessEnvironment(env);
    client.start(args.at(2), {});
    if (!client.waitForStarted(5000))
        return 2;

    LaunchOptions options;
    options.appDir = args.at(1);
    options.clientExecutable = args.at(2);
    options.waitPid = client.processId();
    UpdateController controller(options);

    QString phase = QStringLiteral("check");
    QMap<QString, qint64> worst;
    QElapsedTimer clock;
    clock.start();
    qint64 last = 0;
    auto beat = [&] {
        const qint64 now = clock.elapsed();
        worst[phase] = qMax(worst.value(phase), now - last);
        last = now;
    };
    QObject::connect(&controller, &UpdateController::statusChanged, &controller,
                     [&](const QString &title, const QString &) {
                         if (title == QLatin1String("Baixando atualizacao"))
                             phase = QStringLiteral("download");
                         else if (title == QLatin1String("Aplicando atualizacao"))
                             phase = QStringLiteral("client wait");
                         else if (title == QLatin1String("Aplicando arquivo"))
                             phase = QStringLiteral("replace");
                     });
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    QObject::connect(&heartbeat, &QTimer::timeout, &controller, beat);
    heartbeat.start(5);

    bool ok = false;
    QString message;
    QObject::connect(&controller, &UpdateController::finished, &controller,
                     [&](bool success, bool, const QString &text) {
                         ok = success;
                         message = text;
                         QCoreApplication::quit();
                     });
    controller.start();
    app.exec();
    client.waitForFinished(5000);

    for (auto it = worst.cbegin(); it != worst.cend(); ++it)
        std::printf("max_gap_ms %s %lld\n", qPrintable(it.key()), it.value());
    std::printf("result %s %s\n", ok ? "ok" : "failed", qPrintable(message));
    return ok ? 0 : 1;
}
