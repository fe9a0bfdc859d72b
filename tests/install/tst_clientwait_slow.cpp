#include "sampleprocess.h"
#include "update/updatecontroller.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

// Each row waits out the full budget the client gets to close by itself.
class ClientWaitSlowTest : public QObject
{
    Q_OBJECT

private slots:
    void stillRunningAfterTheBudget_data();
    void stillRunningAfterTheBudget();
};

void ClientWaitSlowTest::stillRunningAfterTheBudget_data()
{
    QTest::addColumn<bool>("isClient");
    QTest::newRow("the client, named in other letter case") << true;
    QTest::newRow("an unrelated program under the id") << false;
}

void ClientWaitSlowTest::stillRunningAfterTheBudget()
{
    QFETCH(bool, isClient);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess child;
    ProcessReaper reaper{child};
    QVERIFY(startSampleClient(child, -1, dir.path()));

    LaunchOptions options;
    options.appDir = dir.path();
    options.clientExecutable =
        isClient ? sampleClientPath().toUpper() : QStringLiteral("QuorvexEmulator.exe");
    options.waitPid = child.processId();
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    // The status must come before the forced end, while the child still runs.
    QProcess::ProcessState stateAtStatus = QProcess::NotRunning;
    connect(&controller, &UpdateController::statusChanged, this,
            [&] { stateAtStatus = child.state(); });

    QString error;
    QElapsedTimer clock;
    clock.start();
    const bool ok = controller.waitForClientExit(&error);
    QVERIFY2(clock.elapsed() >= 30000, qPrintable(QString::number(clock.elapsed())));

    if (isClient) {
        QVERIFY(ok);
        QVERIFY(error.isEmpty());
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("Aplicando atualizacao"));
        QCOMPARE(status.at(0).at(1).toString(),
                 QStringLiteral(
                     "O cliente principal ainda esta aberto. Tentando encerrar automaticamente."));
        QCOMPARE(stateAtStatus, QProcess::Running);
        QVERIFY(child.waitForFinished(10000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
    } else {
        QVERIFY(!ok);
        QCOMPARE(error, QStringLiteral("O processo principal nao encerrou a tempo. Feche "
                                       "QuorvexEmulator.exe pelo Gerenciador de Tarefas e tente "
                                       "novamente."));
        QCOMPARE(status.count(), 0);
        QVERIFY(!child.waitForFinished(200));
        QCOMPARE(child.state(), QProcess::Running);
    }
}

QTEST_GUILESS_MAIN(ClientWaitSlowTest)
#include "tst_clientwait_slow.moc"
