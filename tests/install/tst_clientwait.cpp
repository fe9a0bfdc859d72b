#include "sampleprocess.h"
#include "update/updatecontroller.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

LaunchOptions optionsFor(const QString &appDir, const QString &executable, qint64 pid)
{
    LaunchOptions options;
    options.appDir = appDir;
    options.clientExecutable = executable;
    options.waitPid = pid;
    return options;
}

} // namespace

class ClientWaitTest : public QObject
{
    Q_OBJECT

private slots:
    void returnsAtOnceWithoutAProcess_data();
    void returnsAtOnceWithoutAProcess();
    void waitsForAClientThatExitsByItself();
};

void ClientWaitTest::returnsAtOnceWithoutAProcess_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("pid zero") << QStringLiteral("zero");
    QTest::newRow("negative pid") << QStringLiteral("negative");
    QTest::newRow("already exited") << QStringLiteral("exited");
    // A truncating implementation would land on the running child and wait 30 s.
    QTest::newRow("beyond the pid range") << QStringLiteral("beyond");
}

void ClientWaitTest::returnsAtOnceWithoutAProcess()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    QProcess child;
    ProcessReaper reaper{child};
    qint64 pid = 0;
    if (kind == QLatin1String("negative")) {
        pid = -4242;
    } else if (kind == QLatin1String("exited")) {
        QVERIFY(startSampleClient(child, 0, dir.path()));
        pid = child.processId();
        QVERIFY(child.waitForFinished(10000));
    } else if (kind == QLatin1String("beyond")) {
        QVERIFY(startSampleClient(child, -1, dir.path()));
        pid = (qint64(1) << 32) + child.processId();
    }

    // The running child is named as the client, so a wrong open would also end it.
    UpdateController controller(optionsFor(dir.path(), sampleClientPath(), pid));
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QString error = QStringLiteral("untouched");
    QElapsedTimer clock;
    clock.start();
    QVERIFY(controller.waitForClientExit(&error));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(error, QStringLiteral("untouched"));
    QCOMPARE(status.count(), 0);
    if (kind == QLatin1String("beyond"))
        QCOMPARE(child.state(), QProcess::Running);
}

void ClientWaitTest::waitsForAClientThatExitsByItself()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess child;
    ProcessReaper reaper{child};
    QVERIFY(startSampleClient(child, 1500, dir.path()));

    UpdateController controller(optionsFor(dir.path(), sampleClientPath(), child.processId()));
    QSignalSpy status(&controller, &UpdateController::statusChanged);

    // The window must keep getting events while the run waits.
    int ticks = 0;
    QTimer ticker;
    ticker.setInterval(100);
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start();

    QElapsedTimer clock;
    clock.start();
    QVERIFY(controller.waitForClientExit(nullptr));
    const qint64 elapsed = clock.elapsed();
    ticker.stop();

    QVERIFY2(elapsed >= 1000 && elapsed < 15000, qPrintable(QString::number(elapsed)));
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QCOMPARE(status.count(), 0);
    QVERIFY(child.waitForFinished(10000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
}

QTEST_GUILESS_MAIN(ClientWaitTest)
#include "tst_clientwait.moc"
