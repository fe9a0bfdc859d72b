#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

class ClientWaitTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void returnsAtOnceWithoutAProcess_data();
    void returnsAtOnceWithoutAProcess();
    void waitsForAClientThatExitsByItself();
    void stillRunningAfterTheBudget_data();
    void stillRunningAfterTheBudget();

private:
    // The sample client, lingering lingerMs (-1: until killed).
    bool startChild(int lingerMs)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"), QString::number(lingerMs));
        env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"),
                   m_dir->filePath(QStringLiteral("r.json")));
        m_child->setProcessEnvironment(env);
        m_child->start(sampleClientPath(), {});
        return m_child->waitForStarted(10000);
    }
    LaunchOptions options(qint64 pid, const QString &executable = sampleClientPath()) const
    {
        LaunchOptions options;
        options.appDir = m_dir->path();
        options.clientExecutable = executable;
        options.waitPid = pid;
        return options;
    }

    QTemporaryDir *m_dir = nullptr;
    QProcess *m_child = nullptr;
};

void ClientWaitTest::init()
{
    m_dir = new QTemporaryDir;
    m_child = new QProcess;
}

// Whatever a test left running is ended here.
void ClientWaitTest::cleanup()
{
    m_child->kill();
    m_child->waitForFinished(10000);
    delete m_child;
    delete m_dir;
}

void ClientWaitTest::returnsAtOnceWithoutAProcess_data()
{
    QTest::addColumn<int>("lingerMs"); // of a child started first; -2: none
    QTest::addColumn<qint64>("pid");   // added to the child's id
    QTest::newRow("pid zero") << -2 << qint64(0);
    QTest::newRow("negative pid") << -2 << qint64(-4242);
    QTest::newRow("already exited") << 0 << qint64(0);
    // A truncating implementation would land on the running child and wait 30 s.
    QTest::newRow("beyond the pid range") << -1 << (qint64(1) << 32);
}

void ClientWaitTest::returnsAtOnceWithoutAProcess()
{
    QFETCH(int, lingerMs);
    QFETCH(qint64, pid);
    if (lingerMs > -2) {
        QVERIFY(startChild(lingerMs));
        pid += m_child->processId();
        if (lingerMs == 0)
            QVERIFY(m_child->waitForFinished(10000));
    }

    // The running child is named as the client, so a wrong open would also end it.
    UpdateController controller(options(pid));
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QString error = QStringLiteral("untouched");
    QElapsedTimer clock;
    clock.start();
    QVERIFY(controller.waitForClientExit(&error));
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(error, QStringLiteral("untouched"));
    QCOMPARE(status.count(), 0);
    QCOMPARE(m_child->state(), lingerMs == -1 ? QProcess::Running : QProcess::NotRunning);
}

void ClientWaitTest::waitsForAClientThatExitsByItself()
{
    QVERIFY(startChild(1500));
    UpdateController controller(options(m_child->processId()));
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    // The window must keep getting events while the run waits.
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(100);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(controller.waitForClientExit(nullptr));
    QVERIFY2(clock.elapsed() >= 1000 && clock.elapsed() < 15000,
             qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
    QCOMPARE(status.count(), 0);
    QVERIFY(m_child->waitForFinished(10000));
    QCOMPARE(m_child->exitStatus(), QProcess::NormalExit);
}

void ClientWaitTest::stillRunningAfterTheBudget_data()
{
    QTest::addColumn<bool>("isClient");
    QTest::newRow("the client, named in other letter case") << true;
    QTest::newRow("an unrelated program under the id") << false;
}

void ClientWaitTest::stillRunningAfterTheBudget()
{
    QFETCH(bool, isClient);
    QVERIFY(startChild(-1));
    UpdateController controller(
        options(m_child->processId(),
                isClient ? sampleClientPath().toUpper() : QStringLiteral("QuorvexEmulator.exe")));
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    // The status must come before the forced end, while the child still runs.
    QProcess::ProcessState stateAtStatus = QProcess::NotRunning;
    connect(&controller, &UpdateController::statusChanged, this,
            [&] { stateAtStatus = m_child->state(); });

    QString error;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(controller.waitForClientExit(&error), isClient);
    QVERIFY2(clock.elapsed() >= 30000, qPrintable(QString::number(clock.elapsed())));
    if (isClient) {
        QVERIFY(error.isEmpty());
        QCOMPARE(status.count(), 1);
        QCOMPARE(status.at(0).at(0).toString(), QStringLiteral("Aplicando atualizacao"));
        QCOMPARE(status.at(0).at(1).toString(),
                 QStringLiteral(
                     "O cliente principal ainda esta aberto. Tentando encerrar automaticamente."));
        QCOMPARE(stateAtStatus, QProcess::Running);
        QVERIFY(m_child->waitForFinished(10000));
        QCOMPARE(m_child->exitStatus(), QProcess::CrashExit);
    } else {
        QCOMPARE(error, QStringLiteral("O processo principal nao encerrou a tempo. Feche "
                                       "QuorvexEmulator.exe pelo Gerenciador de Tarefas e tente "
                                       "novamente."));
        QCOMPARE(status.count(), 0);
        QVERIFY(!m_child->waitForFinished(200));
    }
}

QTEST_GUILESS_MAIN(ClientWaitTest)
#include "tst_clientwait.moc"
