// The real updater executable against nginx, as the client would start it.
#include "tests/e2e/e2esupport.h"
#include "tests/support/nginxserver.h"
#include "tests/support/testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTcpServer>
#include <QTest>

namespace {

const QStringList ForwardedArguments = {QStringLiteral("--perfil"),
                                        QStringLiteral(" Jogador \"Um\" ")};

FileSet releaseFiles()
{
    return {{QStringLiteral("QuorvexEmulator"), readAll(sampleClientPath())},
            {QStringLiteral("data/textures.pak"), QByteArray(300000, 't')},
            {QStringLiteral("data/maps/porto velho.bin"), QByteArray(120000, 'm')},
            {QStringLiteral("LEIAME.txt"), QByteArray("versao nova\n")},
            {QStringLiteral("vazio.dat"), QByteArray()}};
}

FileSet oldClientFiles()
{
    return {{QStringLiteral("data/textures.pak"), QByteArray("texturas antigas")},
            {QStringLiteral("LEIAME.txt"), QByteArray("versao antiga\n")},
            {QStringLiteral("saves/slot1.sav"), QByteArray("progresso do jogador")}};
}

void fill(const ClientFolder &client, const FileSet &files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        QVERIFY(client.write(it.key(), it.value()));
}

// The files of the release plus whatever of the old folder the release does not name.
FileSet expectedAfterUpdate(const FileSet &before, const FileSet &release)
{
    FileSet expected = before;
    for (auto it = release.cbegin(); it != release.cend(); ++it)
        expected.insert(it.key(), it.value());
    expected.remove(QStringLiteral("version.json"));
    return expected;
}

FileSet withoutVersion(FileSet files)
{
    files.remove(QStringLiteral("version.json"));
    return files;
}

quint16 refusingPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes away
}

} // namespace

class EndToEndTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installs_data();
    void installs();
    void alreadyUpToDate();
    void failsOverToTheNextEndpoint_data();
    void failsOverToTheNextEndpoint();
    void resumesAnInterruptedDownload();
    void badFileFailsWithDialog_data();
    void badFileFailsWithDialog();

private:
    void expectClientStarted(const ClientFolder &client);
};

void EndToEndTest::initTestCase()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));
    QVERIFY(QFileInfo::exists(updaterExecutablePath()));
}

void EndToEndTest::expectClientStarted(const ClientFolder &client)
{
    QStringList arguments;
    QString cwd;
    QVERIFY2(readLaunchRecord(client, &arguments, &cwd), "the client was not started");
    QCOMPARE(arguments, ForwardedArguments);
    QCOMPARE(QDir(cwd).canonicalPath(), QDir(client.path()).canonicalPath());
}

void EndToEndTest::installs_data()
{
    QTest::addColumn<QString>("installedVersion"); // empty: no version.json
    QTest::addColumn<int>("installedBuild");

    QTest::newRow("first install, no version.json") << QString() << 0;
    QTest::newRow("older version") << QStringLiteral("1.9.9") << 40;
    QTest::newRow("newer build of the same version") << QStringLiteral("2.0.0") << 6;
}

void EndToEndTest::installs()
{
    QFETCH(QString, installedVersion);
    QFETCH(int, installedBuild);

    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("2.0.0"), 7, releaseFiles()));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    ClientFolder client;
    fill(client, oldClientFiles());
    if (!installedVersion.isEmpty())
        QVERIFY(client.writeVersion(installedVersion, installedBuild));
    QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));
    const FileSet before = client.snapshot();

    QCOMPARE(runUpdater(client), 0);

    QCOMPARE(withoutVersion(client.snapshot()), expectedAfterUpdate(before, releaseFiles()));
    QCOMPARE(client.installedVersion(), QStringLiteral("2.0.0 build 7"));
    QVERIFY(!client.hasStaging());
    expectClientStarted(client);
    QVERIFY(QFileInfo(client.executable()).isExecutable());
}

void EndToEndTest::alreadyUpToDate()
{
    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("2.0.0"), 7, releaseFiles()));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    ClientFolder client;
    fill(client, oldClientFiles());
    QVERIFY(client.writeVersion(QStringLiteral("2.0.0"), 7));
    QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));
    const FileSet before = client.snapshot();

    QCOMPARE(runUpdater(client), 0);
    QCOMPARE(client.snapshot(), before);
    QVERIFY(!client.hasStaging());
    expectClientStarted(client);
    QCOMPARE(nginx.accessedPaths(), QStringList{QStringLiteral("/manifest.json")});
}

void EndToEndTest::failsOverToTheNextEndpoint_data()
{
    QTest::addColumn<bool>("firstIsUp"); // up: it serves a broken manifest

    QTest::newRow("first endpoint refuses connections") << false;
    QTest::newRow("first endpoint serves a broken manifest") << true;
}

void EndToEndTest::failsOverToTheNextEndpoint()
{
    QFETCH(bool, firstIsUp);

    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("2.0.0"), 7, releaseFiles()));
    NginxServer second(release.path());
    QVERIFY2(second.start(), qPrintable(second.lastError()));

    QTemporaryDir brokenRoot;
    QFile broken(brokenRoot.filePath(QStringLiteral("manifest.json")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("{\"version\": \"9.9\", \"files\": [");
    broken.close();
    NginxServer first(brokenRoot.path());
    QUrl firstUrl = QUrl(QStringLiteral("http://127.0.0.1:%1/manifest.json").arg(refusingPort()));
    if (firstIsUp) {
        QVERIFY2(first.start(), qPrintable(first.lastError()));
        firstUrl = first.url(QStringLiteral("/manifest.json"));
    }

    ClientFolder client;
    fill(client, oldClientFiles());
    QVERIFY(client.configure({firstUrl}, second.url(QStringLiteral("/manifest.json"))));
    const FileSet before = client.snapshot();

    QCOMPARE(runUpdater(client), 0);
    QCOMPARE(withoutVersion(client.snapshot()), expectedAfterUpdate(before, releaseFiles()));
    QCOMPARE(client.installedVersion(), QStringLiteral("2.0.0 build 7"));
    expectClientStarted(client);
    if (firstIsUp)
        QCOMPARE(first.accessedPaths(), QStringList{QStringLiteral("/manifest.json")});
    QCOMPARE(second.accessCount(QStringLiteral("/manifest.json")), 1);
}

void EndToEndTest::resumesAnInterruptedDownload()
{
    FileSet files;
    for (int i = 0; i < 6; ++i)
        files.insert(QStringLiteral("data/part%1.bin").arg(i), QByteArray(600000, char('a' + i)));
    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("3.0"), 1, files));

    ClientFolder client;
    fill(client, oldClientFiles());
    FileSet before;
    const QString staged = client.file(QStringLiteral(".update-staging/3.0-build-1/"));
    {
        NginxServer slow(release.path());
        // nginx sends the first second's worth of each reply at once, so every file
        // must be well above the rate to take a while.
        slow.setRateLimit(200000);
        QVERIFY2(slow.start(), qPrintable(slow.lastError()));
        QVERIFY(client.configure({}, slow.url(QStringLiteral("/manifest.json"))));
        before = client.snapshot();

        QProcess updater;
        updater.setProcessEnvironment(client.environment());
        updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        updater.start(updaterExecutablePath(), client.updaterArguments());
        QVERIFY(updater.waitForStarted(5000));
        // Killed once two files are complete and the third is on its way.
        const QString third = staged + QStringLiteral("data/part2.bin");
        QTRY_VERIFY2_WITH_TIMEOUT(
            QFileInfo::exists(third),
            qPrintable(QStringLiteral("updater %1, staged: %2")
                           .arg(updater.state() == QProcess::Running ? QStringLiteral("running")
                                                                     : QStringLiteral("ended"))
                           .arg(QDir(staged + QStringLiteral("data"))
                                    .entryList(QDir::Files)
                                    .join(QLatin1Char(' ')))),
            20000);
        updater.kill();
        QVERIFY(updater.waitForFinished(5000));
        QCOMPARE(updater.exitStatus(), QProcess::CrashExit);
    }
    QCOMPARE(client.snapshot(), before);
    QVERIFY(!QFileInfo::exists(client.record()));

    NginxServer fast(release.path());
    QVERIFY2(fast.start(), qPrintable(fast.lastError()));
    QVERIFY(client.configure({}, fast.url(QStringLiteral("/manifest.json"))));
    const FileSet configured = client.snapshot();
    QCOMPARE(runUpdater(client), 0);

    QCOMPARE(withoutVersion(client.snapshot()), expectedAfterUpdate(configured, files));
    expectClientStarted(client);
    const QStringList fetched = fast.accessedPaths();
    QVERIFY2(!fetched.contains(QStringLiteral("/files/data/part0.bin")) &&
                 !fetched.contains(QStringLiteral("/files/data/part1.bin")),
             qPrintable(fetched.join(QLatin1Char(' '))));
    for (int i = 2; i < 6; ++i)
        QVERIFY(fetched.contains(QStringLiteral("/files/data/part%1.bin").arg(i)));
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

    ReleaseFolder release;
    QVERIFY(release.publish(QStringLiteral("2.0.0"), 7, releaseFiles()));
    const QString victim = QStringLiteral("data/maps/porto velho.bin");
    QVERIFY(missing ? release.remove(victim) : release.tamper(victim, "outros bytes"));
    NginxServer nginx(release.path());
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    ClientFolder client;
    fill(client, oldClientFiles());
    QVERIFY(client.writeVersion(QStringLiteral("1.0"), 1));
    QVERIFY(client.configure({}, nginx.url(QStringLiteral("/manifest.json"))));
    const FileSet before = client.snapshot();

    VirtualDisplay display;
    QVERIFY(display.start());
    bool dialogSeen = false;
    QCOMPARE(runUpdaterToDialog(display, client, &dialogSeen), 1);
    QVERIFY(dialogSeen);
    QCOMPARE(client.snapshot(), before);
    QVERIFY(!QFileInfo::exists(client.record()));
}

QTEST_GUILESS_MAIN(EndToEndTest)
#include "tst_e2e_updates.moc"
