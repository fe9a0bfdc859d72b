// The updater killed at random moments of an update; the next run must finish the job.
#include "tests/e2e/e2esupport.h"

#include <QElapsedTimer>
#include <QRandomGenerator>

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
    FileSet old = {{QStringLiteral("saves/slot1.sav"), "progresso"}};
    for (int i = 0; i < 400; ++i) {
        const QString path = QStringLiteral("data/%1/file%2.dat").arg(i % 7).arg(i);
        files.insert(path, QByteArray(2000 + 37 * i, char('a' + i % 26)));
        if (i % 2 == 0)
            old.insert(path, "antigo " + QByteArray::number(i));
    }
    QTemporaryDir release;
    QVERIFY(publish(release.path(), QStringLiteral("4.0"), 2, files));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);

    // How long a whole run takes here bounds the random kill moments.
    qint64 fullRunMs = 0;
    {
        ClientFolder client;
        QVERIFY(client.configure(nginx.url(QStringLiteral("/manifest.json"))));
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(runUpdater(client), 0);
        fullRunMs = qMax<qint64>(clock.elapsed(), 50);
    }

    const QDeadlineTimer budget(45000);
    int interrupted = 0;
    for (int round = 1; round <= 25 && !budget.hasExpired(); ++round) {
        ClientFolder client;
        QVERIFY(client.write(old));
        QVERIFY(client.writeVersion(QStringLiteral("3.9"), 9));
        QVERIFY(client.configure(nginx.url(QStringLiteral("/manifest.json"))));

        QProcess updater;
        startUpdater(updater, client);
        const int delay = int(random.bounded(quint32(fullRunMs)));
        if (!updater.waitForFinished(delay)) {
            updater.kill();
            QVERIFY(updater.waitForFinished(5000));
            ++interrupted;
        }

        const QString where =
            QStringLiteral("round %1, killed after %2 ms, seed %3").arg(round).arg(delay).arg(seed);
        QVERIFY2(runUpdater(client) == 0, qPrintable(where));
        // Every release file new, everything else as it was, and no backup left over.
        FileSet expected = old;
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            expected.insert(it.key(), it.value());
        FileSet after = client.snapshot();
        after.remove(QStringLiteral("version.json"));
        after.remove(QStringLiteral("QuorvexEmulator"));
        after.remove(QStringLiteral("updater_config.json"));
        QVERIFY2(after == expected, qPrintable(where));
        QCOMPARE(client.installedVersion(), QStringLiteral("4.0 build 2"));
        QVERIFY(!client.hasStaging());
    }
    QVERIFY2(interrupted > 0, qPrintable(QString::number(seed)));
}

QTEST_GUILESS_MAIN(CrashSafetyTest)
#include "tst_e2e_crash.moc"
