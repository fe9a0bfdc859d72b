// The updater killed at random moments of an update; the next run must finish the job.
#include "tests/e2e/e2esupport.h"
#include "tests/support/nginxserver.h"
#include "tests/support/testsupport.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

class CrashSafetyTest : public QObject
{
    Q_OBJECT

private slots:
    void killedRunIsFinishedByTheNext();
};

void CrashSafetyTest::killedRunIsFinishedByTheNext()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));

    // Many small files make the replacement phase long enough to be hit often.
    FileSet files;
    FileSet old;
    for (int i = 0; i < 400; ++i) {
        const QString path = QStringLiteral("data/%1/file%2.dat").arg(i % 7).arg(i);
        files.insert(path, QByteArray(2000 + 37 * i, char('a' + i % 26)));
        if (i % 2 == 0)
            old.insert(path, QByteArray("antigo ") + QByteArray::number(i));
    }
    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("4.0"), 2, files));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    qInfo("seed %u", seed);

    // How long a whole run takes here bounds the random kill moments.
    qint64 fullRunMs = 0;
    {
        ClientFolder client;
        QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runUpdater(client), 0);
        fullRunMs = qMax<qint64>(clock.elapsed(), 50);
    }

    const QDeadlineTimer budget(45000);
    int rounds = 0;
    int interrupted = 0;
    while (rounds < 25 && !budget.hasExpired()) {
        ++rounds;
        ClientFolder client;
        for (auto it = old.cbegin(); it != old.cend(); ++it)
            QVERIFY(client.write(it.key(), it.value()));
        QVERIFY(client.write(QStringLiteral("saves/slot1.sav"), "progresso"));
        QVERIFY(client.writeVersion(QStringLiteral("3.9"), 9));
        QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));
        const FileSet before = client.snapshot();

        QProcess updater;
        updater.setProcessEnvironment(client.environment());
        updater.start(updaterExecutablePath(), client.updaterArguments());
        QVERIFY(updater.waitForStarted(5000));
        const int delay = int(random.bounded(quint32(fullRunMs)));
        if (!updater.waitForFinished(delay)) {
            updater.kill();
            QVERIFY(updater.waitForFinished(5000));
            ++interrupted;
        }

        const QString where = QStringLiteral("round %1, killed after %2 ms, seed %3")
                                  .arg(rounds)
                                  .arg(delay)
                                  .arg(seed);
        QVERIFY2(runUpdater(client) == 0, qPrintable(where));
        const FileSet after = client.snapshot();
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY2(after.value(it.key()) == it.value(),
                     qPrintable(where + QLatin1Char(' ') + it.key()));
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            QVERIFY2(!it.key().endsWith(QLatin1String(".bak")),
                     qPrintable(where + QLatin1Char(' ') + it.key()));
            if (!files.contains(it.key()) && it.key() != QLatin1String("version.json"))
                QVERIFY2(before.value(it.key()) == it.value(),
                         qPrintable(where + QLatin1Char(' ') + it.key()));
        }
        QCOMPARE(client.installedVersion(), QStringLiteral("4.0 build 2"));
        QVERIFY(!client.hasStaging());
    }
    qInfo("%d rounds, %d of them interrupted", rounds, interrupted);
    QVERIFY(interrupted > 0);
}

QTEST_GUILESS_MAIN(CrashSafetyTest)
#include "tst_e2e_crash.moc"
