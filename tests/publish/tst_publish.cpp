#include "files/appversion.h"
#include "manifest/updatemanifest.h"
#include "publish/releasemanifest.h"
#include "tests/support/nginxserver.h"
#include "tests/support/testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

namespace {

struct Run
{
    int exitCode = -1;
    QString out;
    QString err;
};

Run publish(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUORVEX_PUBLISH_EXE), arguments);
    Run run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        run.err = QStringLiteral("QuorvexPublish did not finish");
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.err = QString::fromUtf8(process.readAllStandardError());
    return run;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

// Relative path, the same path percent-encoded, content. Listed in the order a manifest must
// keep: byte-wise on UTF-8, so "A" before "a" and "." first.
struct ReleaseFile
{
    QString path;
    QString encoded;
    QByteArray content;
};

QList<ReleaseFile> sampleRelease()
{
    return {
        {QStringLiteral(".hidden"), QStringLiteral(".hidden"), "h"},
        {QStringLiteral("A.txt"), QStringLiteral("A.txt"), "upper"},
        {QStringLiteral("a/z.bin"), QStringLiteral("a/z.bin"), randomBytes(70000)},
        {QStringLiteral("b.txt"), QStringLiteral("b.txt"), "bee"},
        {QStringLiteral("dir with space/a\u00e7\u00e3o #1.dat"),
         QStringLiteral("dir%20with%20space/a%C3%A7%C3%A3o%20%231.dat"), "acao"},
        {QStringLiteral("empty"), QStringLiteral("empty"), QByteArray()},
    };
}

QStringList baseArguments(const QString &releaseDir)
{
    return {QStringLiteral("--release-dir"), releaseDir,
            QStringLiteral("--version"),     QStringLiteral("1.4.0"),
            QStringLiteral("--build"),       QStringLiteral("12")};
}

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void manifestRecords_data();
    void manifestRecords();
    void refusedNames_data();
    void refusedNames();
    void usageErrors_data();
    void usageErrors();
    void warnings_data();
    void warnings();
    void roundTripThroughUpdater();
};

void TestPublish::manifestRecords_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<bool>("separateOutput");
    QTest::addColumn<QString>("fetchedFrom");
    QTest::addColumn<QString>("urlPrefix");
    QTest::addColumn<QString>("changelog");

    QTest::newRow("relative to the manifest")
        << QStringList{QStringLiteral("--changelog"), QStringLiteral("Novos mapas")} << false
        << QStringLiteral("http://127.0.0.1:8080/releases/1.4.0/manifest.json")
        << QStringLiteral("http://127.0.0.1:8080/releases/1.4.0/") << QStringLiteral("Novos mapas");
    QTest::newRow("base url") << QStringList{QStringLiteral("--base-url"),
                                             QStringLiteral("https://cdn.quorvex.test/r/1.4.0")}
                              << false << QStringLiteral("https://api.quorvex.test/manifest.json")
                              << QStringLiteral("https://cdn.quorvex.test/r/1.4.0/") << QString();
    QTest::newRow("base url with slash, output elsewhere, changelog file")
        << QStringList{QStringLiteral("--base-url"), QStringLiteral("https://cdn.quorvex.test/r/")}
        << true << QStringLiteral("https://api.quorvex.test/x/manifest.json")
        << QStringLiteral("https://cdn.quorvex.test/r/")
        << QStringLiteral("Linha 1\nLinha 2 com \"aspas\"");
}

void TestPublish::manifestRecords()
{
    QFETCH(QStringList, extra);
    QFETCH(bool, separateOutput);
    QFETCH(QString, fetchedFrom);
    QFETCH(QString, urlPrefix);
    QFETCH(QString, changelog);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString release = tmp.filePath(QStringLiteral("release"));
    const QList<ReleaseFile> files = sampleRelease();
    qint64 total = 0;
    for (const ReleaseFile &file : files) {
        QVERIFY(writeFile(release + QLatin1Char('/') + file.path, file.content));
        total += file.content.size();
    }
    QStringList arguments = baseArguments(release) + extra;
    arguments << QStringLiteral("--min-client-version") << QStringLiteral("1.2.0");
    QString output = release + QStringLiteral("/manifest.json");
    if (separateOutput) {
        output = tmp.filePath(QStringLiteral("manifest-1.4.0.json"));
        const QString notes = tmp.filePath(QStringLiteral("notes.txt"));
        QVERIFY(writeFile(notes, changelog.toUtf8() + "\n"));
        arguments << QStringLiteral("--output") << output << QStringLiteral("--changelog-file")
                  << notes;
    }

    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    // Twice: the manifest of the first run must not show up as a file of the second.
    for (int pass = 0; pass < 2; ++pass) {
        const Run run = publish(arguments);
        QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    }
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

    const QByteArray document = readFile(output);
    const QString date =
        QJsonDocument::fromJson(document).object().value(QLatin1String("date")).toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ$"))
                 .match(date)
                 .hasMatch(),
             qPrintable(date));

    UpdateManifest manifest;
    QString error;
    QVERIFY2(parseUpdateManifest(document, QUrl(fetchedFrom), &manifest, &error),
             qPrintable(error));
    QCOMPARE(manifest.remoteVersion.version, QStringLiteral("1.4.0"));
    QCOMPARE(manifest.remoteVersion.build, 12);
    QCOMPARE(manifest.minClientVersion, QStringLiteral("1.2.0"));
    QCOMPARE(manifest.changelog, changelog);
    QCOMPARE(manifest.totalSize, total);
    QVERIFY(manifest.date >= before && manifest.date <= after);
    QCOMPARE(manifest.files.size(), files.size());
    for (qsizetype i = 0; i < files.size(); ++i) {
        const UpdateFile &got = manifest.files.at(i);
        const ReleaseFile &want = files.at(i);
        QCOMPARE(got.path, want.path);
        QCOMPARE(got.hash, sha256(want.content));
        QCOMPARE(got.size, qint64(want.content.size()));
        QCOMPARE(got.url, QUrl::fromEncoded((urlPrefix + want.encoded).toUtf8()));
    }
}

void TestPublish::refusedNames_data()
{
    QTest::addColumn<QString>("name");

    QTest::newRow("backslash") << QStringLiteral("data\\x.pak");
    QTest::newRow("trailing dot") << QStringLiteral("readme.");
    QTest::newRow("trailing space") << QStringLiteral("readme.txt ");
    QTest::newRow("folder with trailing dot") << QStringLiteral("old./x.pak");
    QTest::newRow("device name") << QStringLiteral("con.txt");
    QTest::newRow("nested device name") << QStringLiteral("bin/AUX");
    QTest::newRow("windows wildcard") << QStringLiteral("what?.txt");
}

void TestPublish::refusedNames()
{
    QFETCH(QString, name);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("ok.txt")), "fine"));
    if (!writeFile(tmp.filePath(name), "bad"))
        QSKIP("this file system refuses the name itself");

    const Run run = publish(baseArguments(tmp.path()));
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains(name), qPrintable(run.err));
    QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("manifest.json"))));
}

void TestPublish::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString release = QStringLiteral("--release-dir");
    const QString version = QStringLiteral("--version");
    const QString build = QStringLiteral("--build");
    const QString dir = QStringLiteral("@DIR@");

    QTest::newRow("no version") << QStringList{release, dir, build, QStringLiteral("1")};
    QTest::newRow("blank version")
        << QStringList{release, dir, version, QStringLiteral("  "), build, QStringLiteral("1")};
    QTest::newRow("version unfit for a folder name")
        << QStringList{release, dir, version, QStringLiteral("1.0:rc"), build, QStringLiteral("1")};
    QTest::newRow("no build") << QStringList{release, dir, version, QStringLiteral("1.0")};
    QTest::newRow("negative build")
        << QStringList{release, dir, version, QStringLiteral("1.0"), build, QStringLiteral("-1")};
    QTest::newRow("build beyond 32 bits") << QStringList{
        release, dir, version, QStringLiteral("1.0"), build, QStringLiteral("2147483648")};
    QTest::newRow("missing release folder") << QStringList{release, QStringLiteral("@DIR@/nowhere"),
                                                           version, QStringLiteral("1.0"),
                                                           build,   QStringLiteral("1")};
    QTest::newRow("both changelogs") << QStringList{release,
                                                    dir,
                                                    version,
                                                    QStringLiteral("1.0"),
                                                    build,
                                                    QStringLiteral("1"),
                                                    QStringLiteral("--changelog"),
                                                    QStringLiteral("a"),
                                                    QStringLiteral("--changelog-file"),
                                                    QStringLiteral("@DIR@/a.txt")};
    QTest::newRow("base url not http") << QStringList{release,
                                                      dir,
                                                      version,
                                                      QStringLiteral("1.0"),
                                                      build,
                                                      QStringLiteral("1"),
                                                      QStringLiteral("--base-url"),
                                                      QStringLiteral("ftp://cdn.quorvex.test/r")};
    QTest::newRow("base url relative") << QStringList{release,
                                                      dir,
                                                      version,
                                                      QStringLiteral("1.0"),
                                                      build,
                                                      QStringLiteral("1"),
                                                      QStringLiteral("--base-url"),
                                                      QStringLiteral("releases/1.0")};
    QTest::newRow("unknown option") << QStringList{release,
                                                   dir,
                                                   version,
                                                   QStringLiteral("1.0"),
                                                   build,
                                                   QStringLiteral("1"),
                                                   QStringLiteral("--verbose")};
}

void TestPublish::usageErrors()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("a.txt")), "a"));
    arguments.replaceInStrings(QStringLiteral("@DIR@"), tmp.path());

    const Run run = publish(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY(!run.err.isEmpty());
    QVERIFY(!QFile::exists(tmp.filePath(QStringLiteral("manifest.json"))));
}

void TestPublish::warnings_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("link");
    QTest::addColumn<QStringList>("warned");
    QTest::addColumn<QStringList>("listed");

    QTest::newRow("names equal ignoring case")
        << QStringList{QStringLiteral("Data/Map.pak"), QStringLiteral("data/map.pak")} << QString()
        << QStringList{QStringLiteral("Data/Map.pak"), QStringLiteral("data/map.pak")}
        << QStringList{QStringLiteral("Data/Map.pak"), QStringLiteral("data/map.pak")};
    QTest::newRow("symbolic link")
        << QStringList{QStringLiteral("real.txt")} << QStringLiteral("link.txt")
        << QStringList{QStringLiteral("link.txt")} << QStringList{QStringLiteral("real.txt")};
    QTest::newRow("file the updater manages")
        << QStringList{QStringLiteral("version.json"), QStringLiteral("game.exe")} << QString()
        << QStringList{QStringLiteral("version.json")}
        << QStringList{QStringLiteral("game.exe"), QStringLiteral("version.json")};
}

void TestPublish::warnings()
{
    QFETCH(QStringList, files);
    QFETCH(QString, link);
    QFETCH(QStringList, warned);
    QFETCH(QStringList, listed);

    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    for (const QString &file : files)
        QVERIFY(writeFile(tmp.filePath(file), file.toUtf8()));
    if (!link.isEmpty()) {
#ifdef Q_OS_WIN
        QSKIP("QFile::link makes a shortcut, a regular file, on Windows");
#endif
        QVERIFY(QFile::link(tmp.filePath(files.constFirst()), tmp.filePath(link)));
    }

    const Run run = publish(baseArguments(tmp.path()));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));
    for (const QString &name : warned)
        QVERIFY2(run.err.contains(QDir::toNativeSeparators(name)), qPrintable(run.err));

    UpdateManifest manifest;
    QVERIFY(parseUpdateManifest(readFile(tmp.filePath(QStringLiteral("manifest.json"))),
                                QUrl(QStringLiteral("http://127.0.0.1/manifest.json")), &manifest));
    QStringList paths;
    for (const UpdateFile &file : qAsConst(manifest.files))
        paths.append(file.path);
    QCOMPARE(paths, listed);
}

void TestPublish::roundTripThroughUpdater()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    // The space also reaches nginx's configuration through its root.
    const QString release = tmp.filePath(QStringLiteral("release 1.4.0"));
    const QString client = tmp.filePath(QStringLiteral("client"));
    // Byte-wise order on UTF-8, the order of the manifest and so of the downloads.
    const QList<QPair<QString, QString>> releasePaths = {
        {QStringLiteral("Texturas e Sons/can\u00e7\u00e3o \u00f1.ogg"),
         QStringLiteral("/Texturas%20e%20Sons/can%C3%A7%C3%A3o%20%C3%B1.ogg")},
        {QStringLiteral("bin/game.dll"), QStringLiteral("/bin/game.dll")},
        {QStringLiteral("data/maps/m1.bin"), QStringLiteral("/data/maps/m1.bin")},
        {QStringLiteral("data/vazio.dat"), QStringLiteral("/data/vazio.dat")},
        {QStringLiteral("readme.txt"), QStringLiteral("/readme.txt")},
    };
    for (const auto &[path, encoded] : releasePaths) {
        Q_UNUSED(encoded);
        const QByteArray content = path.endsWith(QLatin1String("vazio.dat"))
                                       ? QByteArray()
                                       : randomBytes(1000 + int(path.size()) * 5000);
        QVERIFY(writeFile(release + QLatin1Char('/') + path, content));
    }

    const Run run = publish(baseArguments(release));
    QVERIFY2(run.exitCode == 0, qPrintable(run.err));

    NginxServer nginx(release);
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));

    const QString clientExe = client + QLatin1Char('/') + QFileInfo(sampleClientPath()).fileName();
    QVERIFY(QDir().mkpath(client));
    QVERIFY(QFile::copy(sampleClientPath(), clientExe));
    QVERIFY(QFile::setPermissions(clientExe, QFile(sampleClientPath()).permissions()));
    QVERIFY(writeFile(client + QStringLiteral("/readme.txt"), "old readme"));
    QVERIFY(writeFile(client + QStringLiteral("/keep.txt"), "not in the release"));
    QVERIFY(writeAppVersion(client, AppVersion{QStringLiteral("1.3.9"), 4}));
    QJsonObject config;
    config.insert(QStringLiteral("enabled"), true);
    config.insert(QStringLiteral("manifest_url"),
                  nginx.url(QStringLiteral("/manifest.json")).toString());
    QVERIFY(
        writeFile(client + QStringLiteral("/updater_config.json"), QJsonDocument(config).toJson()));

    const QString record = tmp.filePath(QStringLiteral("client-started.json"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record);
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(updaterExecutablePath(),
                  {QStringLiteral("--app-dir"), client, QStringLiteral("--app-executable"),
                   clientExe, QStringLiteral("--launch-arg"), QStringLiteral("--server=eu 1")});
    const bool ended = updater.waitForFinished(60000);
    if (!ended) {
        updater.kill();
        updater.waitForFinished(5000);
    }
    QVERIFY2(ended, "the updater did not finish within 60 s");
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    for (const auto &[path, encoded] : releasePaths)
        QVERIFY2(readFile(client + QLatin1Char('/') + path) ==
                     readFile(release + QLatin1Char('/') + path),
                 qPrintable(path));
    QCOMPARE(readFile(client + QStringLiteral("/keep.txt")), QByteArray("not in the release"));
    QVERIFY(!QFile::exists(client + QStringLiteral("/manifest.json")));
    QVERIFY(!QFileInfo::exists(client + QStringLiteral("/.update-staging")));
    AppVersion installed;
    QVERIFY(readAppVersion(client, &installed));
    QCOMPARE(installed.version, QStringLiteral("1.4.0"));
    QCOMPARE(installed.build, 12);

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    const QJsonObject started = QJsonDocument::fromJson(readFile(record)).object();
    QCOMPARE(started.value(QLatin1String("arguments")).toArray(),
             QJsonArray{QStringLiteral("--server=eu 1")});

    // The manifest, then each file once, at the address its encoded path names.
    QStringList expected{QStringLiteral("/manifest.json")};
    for (const auto &[path, encoded] : releasePaths)
        expected << encoded;
    QTRY_COMPARE_WITH_TIMEOUT(nginx.accessedPaths(), expected, 5000);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
