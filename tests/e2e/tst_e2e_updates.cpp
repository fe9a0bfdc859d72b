// The real updater executable against nginx, as the client would start it.
#include "tests/e2e/e2esupport.h"

#include <QElapsedTimer>
#include <QTcpServer>

namespace {

const QString Manifest = QStringLiteral("/manifest.json");

FileSet releaseFiles()
{
    return {{QStringLiteral("QuorvexEmulator"), readFile(sampleClientPath())},
            {QStringLiteral("data/textures.pak"), QByteArray(300000, 't')},
            {QStringLiteral("data/maps/porto velho.bin"), QByteArray(120000, 'm')},
            {QStringLiteral("LEIAME.txt"), QByteArray("versao nova\n")},
            {QStringLiteral("vazio.dat"), QByteArray()}};
}

const FileSet OldClientFiles = {{QStringLiteral("data/textures.pak"), "texturas antigas"},
                                {QStringLiteral("LEIAME.txt"), "versao antiga\n"},
                                {QStringLiteral("saves/slot1.sav"), "progresso do jogador"}};

// The old folder with the release's files laid over it and a new version.json.
FileSet updated(FileSet before, const FileSet &release, const FileSet &after)
{
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        before.insert(it.key(), it.value());
    before.insert(QStringLiteral("version.json"), after.value(QStringLiteral("version.json")));
    return before;
}

void expectClientStarted(const ClientFolder &client)
{
    QTRY_VERIFY2_WITH_TIMEOUT(QFileInfo(client.record()).size() > 0, "client not started", 10000);
    const QJsonObject record = QJsonDocument::fromJson(readFile(client.record())).object();
    QCOMPARE(record.value(QLatin1String("arguments")).toVariant().toStringList(),
             ForwardedArguments);
    QCOMPARE(QDir(record.value(QLatin1String("cwd")).toString()).canonicalPath(),
             QDir(client.path()).canonicalPath());
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runsToTheClient_data();
    void runsToTheClient();
    void resumesAnInterruptedDownload();
    void waitsForTheRunningClient_data();
    void waitsForTheRunningClient();
    void badFileFailsWithDialog_data();
    void badFileFailsWithDialog();
};

void EndToEndTest::initTestCase()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));
    QVERIFY(QFileInfo::exists(updaterExecutablePath()));
}

void EndToEndTest::runsToTheClient_data()
{
    QTest::addColumn<QString>("installedVersion"); // empty: no version.json
    QTest::addColumn<int>("installedBuild");
    QTest::addColumn<QString>("firstEndpoint"); // tried before the manifest_url
    QTest::addColumn<bool>("updates");

    QTest::newRow("first install, no version.json") << QString() << 0 << QString() << true;
    QTest::newRow("newer build of the same version")
        << QStringLiteral("2.0.0") << 6 << QString() << true;
    QTest::newRow("up to date") << QStringLiteral("2.0.0") << 7 << QString() << false;
    QTest::newRow("first endpoint refuses connections")
        << QString() << 0 << QStringLiteral("refused") << true;
    QTest::newRow("first endpoint serves a broken manifest")
        << QString() << 0 << QStringLiteral("/broken/manifest.json") << true;
}

void EndToEndTest::runsToTheClient()
{
    QFETCH(QString, installedVersion);
    QFETCH(int, installedBuild);
    QFETCH(QString, firstEndpoint);
    QFETCH(bool, updates);

    QTemporaryDir release;
    QVERIFY(publish(release.path(), QStringLiteral("2.0.0"), 7, releaseFiles()));
    QVERIFY(writeFile(release.filePath(QStringLiteral("broken/manifest.json")),
                      "{\"version\": \"9.9\", \"files\": ["));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));
    QUrl first;
    if (firstEndpoint == QLatin1String("refused")) {
        QTcpServer probe; // closed again at once, so nothing listens on its port
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        first = QUrl(QStringLiteral("http://127.0.0.1:%1/manifest.json").arg(probe.serverPort()));
    } else if (!firstEndpoint.isEmpty()) {
        first = nginx.url(firstEndpoint);
    }

    ClientFolder client;
    QVERIFY(client.write(OldClientFiles));
    if (!installedVersion.isEmpty())
        QVERIFY(client.writeVersion(installedVersion, installedBuild));
    QVERIFY(client.configure(nginx.url(Manifest), first));
    const FileSet before = client.snapshot();

    QCOMPARE(runUpdater(client), 0);
    const FileSet after = client.snapshot();
    QCOMPARE(after, updates ? updated(before, releaseFiles(), after) : before);
    QCOMPARE(client.installedVersion(), QStringLiteral("2.0.0 build 7"));
    QVERIFY(!client.hasStaging());
    expectClientStarted(client);
    QTRY_COMPARE(nginx.accessedPaths().count(Manifest), 1);
    // Only the broken endpoint is on nginx's log; "refused" and none never are.
    QCOMPARE(nginx.accessedPaths().count(firstEndpoint),
             qsizetype(firstEndpoint.startsWith(QLatin1Char('/'))));
    if (!updates)
        QCOMPARE(nginx.accessedPaths(), QStringList{Manifest});
}

void EndToEndTest::resumesAnInterruptedDownload()
{
    FileSet files;
    for (int i = 0; i < 6; ++i)
        files.insert(QStringLiteral("data/part%1.bin").arg(i), QByteArray(600000, char('a' + i)));
    QTemporaryDir release;
    QVERIFY(publish(release.path(), QStringLiteral("3.0"), 1, files));

    ClientFolder client;
    QVERIFY(client.write(OldClientFiles));
    FileSet before;
    {
        NginxServer slow(release.path());
        // nginx sends the first second's worth of each reply at once, so every file
        // must be well above the rate to take a while.
        slow.setRateLimit(200000);
        QVERIFY2(slow.start(), qPrintable(slow.lastError()));
        QVERIFY(client.configure(slow.url(Manifest)));
        before = client.snapshot();

        QProcess updater;
        startUpdater(updater, client);
        // Killed once two files are complete and the third is on its way.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(client.filePath(
                                     QStringLiteral(".update-staging/3.0-build-1/data/part2.bin"))),
                                 20000);
        updater.kill();
        QVERIFY(updater.waitForFinished(5000));
    }
    QCOMPARE(client.snapshot(), before);
    QVERIFY(!QFileInfo::exists(client.record()));

    NginxServer fast(release.path());
    QVERIFY2(fast.start(), qPrintable(fast.lastError()));
    QVERIFY(client.configure(fast.url(Manifest)));
    const FileSet configured = client.snapshot();
    QCOMPARE(runUpdater(client), 0);

    const FileSet after = client.snapshot();
    QCOMPARE(after, updated(configured, files, after));
    expectClientStarted(client);
    QTRY_VERIFY(fast.accessedPaths().contains(QStringLiteral("/files/data/part5.bin")));
    const QStringList fetched = fast.accessedPaths();
    for (int i = 0; i < 6; ++i)
        QVERIFY2(fetched.contains(QStringLiteral("/files/data/part%1.bin").arg(i)) == (i >= 2),
                 qPrintable(fetched.join(QLatin1Char(' '))));
}

void EndToEndTest::waitsForTheRunningClient_data()
{
    QTest::addColumn<int>("lingerMs"); // -1: runs until ended
    QTest::addColumn<bool>("endedByForce");

    QTest::newRow("client exits by itself") << 3000 << false;
    QTest::newRow("client will not exit") << -1 << true;
}

void EndToEndTest::waitsForTheRunningClient()
{
    QFETCH(int, lingerMs);
    QFETCH(bool, endedByForce);

    const FileSet files = {{QStringLiteral("data/mundo.pak"), QByteArray(50000, 'w')}};
    QTemporaryDir release;
    QVERIFY(publish(release.path(), QStringLiteral("5.0"), 1, files));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));
    ClientFolder client;
    QVERIFY(client.write({{QStringLiteral("data/mundo.pak"), "antigo"}}));
    QVERIFY(client.configure(nginx.url(Manifest)));

    // The running client, started from its folder as a player would.
    QProcess running;
    QProcessEnvironment env = client.environment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"),
               client.filePath(QStringLiteral("first.json")));
    env.insert(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"), QString::number(lingerMs));
    running.setProcessEnvironment(env);
    running.setWorkingDirectory(client.path());
    QElapsedTimer clock;
    clock.start();
    running.start(client.executable(), {});
    QVERIFY(running.waitForStarted(5000));

    QProcess updater;
    startUpdater(updater, client,
                 {QStringLiteral("--wait-pid"), QString::number(running.processId())});
    QCOMPARE(finish(updater, 90000), 0);
    const qint64 elapsed = clock.elapsed();
    QVERIFY(running.waitForFinished(5000));
    if (endedByForce) {
        QVERIFY2(elapsed >= 30000, qPrintable(QString::number(elapsed)));
        QCOMPARE(running.exitStatus(), QProcess::CrashExit);
    } else {
        QVERIFY2(elapsed >= 3000 && elapsed < 20000, qPrintable(QString::number(elapsed)));
        QCOMPARE(running.exitStatus(), QProcess::NormalExit);
    }
    QCOMPARE(client.snapshot().value(QStringLiteral("data/mundo.pak")), files.first());
    QCOMPARE(client.installedVersion(), QStringLiteral("5.0 build 1"));
    expectClientStarted(client);
}

void EndToEndTest::badFileFailsWithDialog_data()
{
    QTest::addColumn<bool>("missing"); // else: bytes that do not match the hash

    QTest::newRow("a file answers 404") << true;
    QTest::newRow("a file does not match its hash") << false;
}

void EndToEndTest::badFileFailsWithDialog()
{
    QFETCH(bool, missing);
    QUORVEX_REQUIRE_TOOL(VirtualDisplay::isAvailable(), QStringLiteral("Xvfb and xdotool"));

    QTemporaryDir release;
    QVERIFY(publish(release.path(), QStringLiteral("2.0.0"), 7, releaseFiles()));
    const QString victim = release.filePath(QStringLiteral("files/data/maps/porto velho.bin"));
    QVERIFY(missing ? QFile::remove(victim) : writeFile(victim, "outros bytes"));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    ClientFolder client;
    QVERIFY(client.write(OldClientFiles));
    QVERIFY(client.writeVersion(QStringLiteral("1.0"), 1));
    QVERIFY(client.configure(nginx.url(Manifest)));
    const FileSet before = client.snapshot();

    VirtualDisplay display;
    const QString name = display.start();
    QVERIFY(!name.isEmpty());
    QProcess updater;
    startUpdater(updater, client, {}, name);
    QVERIFY(display.dismissWindow(QStringLiteral("Atualizacao falhou"), 60000));
    QCOMPARE(finish(updater, 10000), 1);
    QCOMPARE(client.snapshot(), before);
    QVERIFY(!QFileInfo::exists(client.record()));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e_updates.moc"
