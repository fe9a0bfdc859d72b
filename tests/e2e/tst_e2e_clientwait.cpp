// The updater waiting for the real client process named by --wait-pid.
#include "tests/e2e/e2esupport.h"
#include "tests/support/nginxserver.h"
#include "tests/support/testsupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

class ClientWaitEndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void waitsForTheClient_data();
    void waitsForTheClient();
};

void ClientWaitEndToEndTest::initTestCase()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));
}

void ClientWaitEndToEndTest::waitsForTheClient_data()
{
    QTest::addColumn<int>("lingerMs"); // -1: runs until ended
    QTest::addColumn<bool>("endedByForce");

    QTest::newRow("client exits by itself") << 2000 << false;
    QTest::newRow("client will not exit") << -1 << true;
}

void ClientWaitEndToEndTest::waitsForTheClient()
{
    QFETCH(int, lingerMs);
    QFETCH(bool, endedByForce);

    const FileSet files = {{QStringLiteral("QuorvexEmulator"), readAll(sampleClientPath())},
                           {QStringLiteral("data/mundo.pak"), QByteArray(50000, 'w')}};
    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("5.0"), 1, files));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    ClientFolder client;
    QVERIFY(client.write(QStringLiteral("data/mundo.pak"), "antigo"));
    QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));

    // The running client, started from its folder as a player would.
    QProcess running;
    QProcessEnvironment env = client.environment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), client.file(QStringLiteral("first.json")));
    env.insert(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"), QString::number(lingerMs));
    running.setProcessEnvironment(env);
    running.setWorkingDirectory(client.path());
    running.start(client.executable(), {});
    QVERIFY(running.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(client.file(QStringLiteral("first.json"))).size() > 0, 5000);

    QElapsedTimer clock;
    clock.start();
    const int code = runUpdater(
        client, {QStringLiteral("--wait-pid"), QString::number(running.processId())}, 90000);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(code, 0);
    QVERIFY(running.waitForFinished(5000));
    if (endedByForce) {
        QVERIFY2(elapsed >= 29000, qPrintable(QString::number(elapsed)));
        QCOMPARE(running.exitStatus(), QProcess::CrashExit);
    } else {
        QVERIFY2(elapsed < 20000, qPrintable(QString::number(elapsed)));
        QCOMPARE(running.exitStatus(), QProcess::NormalExit);
        QCOMPARE(running.exitCode(), 0);
    }
    QCOMPARE(readAll(client.file(QStringLiteral("data/mundo.pak"))),
             files.value(QStringLiteral("data/mundo.pak")));
    QCOMPARE(client.installedVersion(), QStringLiteral("5.0 build 1"));
    QStringList arguments;
    QString cwd;
    QVERIFY2(readLaunchRecord(client, &arguments, &cwd), "the updated client was not started");
}

QTEST_GUILESS_MAIN(ClientWaitEndToEndTest)
#include "tst_e2e_clientwait.moc"
