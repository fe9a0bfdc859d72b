#include "files/appversion.h"
#include "manifest/updatemanifest.h"
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
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString changelog = QStringLiteral("Novos mapas\nCorrecao de \"travamentos\"");

// Space-separated words, with @DIR@ standing for the test's temporary folder.
QStringList words(const QString &text, const QString &dir)
{
    QStringList list = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    list.replaceInStrings(QStringLiteral("@DIR@"), dir);
    return list;
}

// The exit code, or -1 when the tool did not end by itself in time.
int publish(const QStringList &arguments, QString *err = nullptr)
{
    QProcess process;
    process.start(QStringLiteral(QUORVEX_PUBLISH_EXE), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (err)
        *err = QString::fromUtf8(process.readAllStandardError());
    return process.exitCode();
}

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(QRandomGenerator::global()->generate());
    return bytes;
}

const QString releaseOptions = QStringLiteral("--release-dir @DIR@ --version 1.4.0 --build 12 ");

} // namespace

class TestPublish : public QObject
{
    Q_OBJECT

private slots:
    void manifestRecords_data();
    void manifestRecords();
    void outcomes_data();
    void outcomes();
    void roundTripThroughUpdater();
};

void TestPublish::manifestRecords_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("fetchedFrom");
    QTest::addColumn<QString>("urlPrefix");
    const auto row = [](const char *tag, const char *options, const char *output,
                        const char *fetchedFrom, const char *urlPrefix) {
        QTest::newRow(tag) << QString::fromLatin1(options) << QString::fromLatin1(output)
                           << QString::fromLatin1(fetchedFrom) << QString::fromLatin1(urlPrefix);
    };
    row("relative to the manifest", "", "manifest.json", "http://h/releases/1.4.0/manifest.json",
        "http://h/releases/1.4.0/");
    row("base url", "--base-url https://cdn.test/r/1.4.0", "manifest.json",
        "https://api.test/manifest.json", "https://cdn.test/r/1.4.0/");
    row("base url with slash, output elsewhere",
        "--base-url https://cdn.test/r/ --output @DIR@/../m.json", "../m.json",
        "https://api.test/x/manifest.json", "https://cdn.test/r/");
}

void TestPublish::manifestRecords()
{
    QFETCH(QString, options);
    QFETCH(QString, output);
    QFETCH(QString, fetchedFrom);
    QFETCH(QString, urlPrefix);

    // Path, its percent-encoded form and content, in the order the manifest must keep:
    // byte-wise on UTF-8, so "." first and "A" before "a".
    const QList<std::tuple<QString, QString, QByteArray>> files = {
        {QStringLiteral(".hidden"), QStringLiteral(".hidden"), "h"},
        {QStringLiteral("A.txt"), QStringLiteral("A.txt"), "upper"},
        {QStringLiteral("a/z.bin"), QStringLiteral("a/z.bin"), randomBytes(70000)},
        {QStringLiteral("dir with space/a\u00e7\u00e3o #1.dat"),
         QStringLiteral("dir%20with%20space/a%C3%A7%C3%A3o%20%231.dat"), "acao"},
        {QStringLiteral("empty"), QStringLiteral("empty"), QByteArray()},
    };
    QTemporaryDir tmp;
    const QString dir = tmp.filePath(QStringLiteral("release"));
    qint64 total = 0;
    for (const auto &[path, encoded, content] : files) {
        QVERIFY(writeFile(dir + QLatin1Char('/') + path, content));
        total += content.size();
    }
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("notes.txt")), changelog.toUtf8() + '\n'));

    const QStringList arguments =
        words(releaseOptions + options +
                  QStringLiteral(" --changelog-file @DIR@/../notes.txt --min-client-version 1.2.0"),
              dir);
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-1);
    // Twice: the first run's manifest must not be listed by the second.
    for (int pass = 0; pass < 2; ++pass) {
        QString err;
        QVERIFY2(publish(arguments, &err) == 0, qPrintable(err));
    }
    const QDateTime after = QDateTime::currentDateTimeUtc().addSecs(1);

    const QByteArray document = readFile(dir + QLatin1Char('/') + output);
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
        const auto &[path, encoded, content] = files.at(i);
        const UpdateFile &got = manifest.files.at(i);
        QCOMPARE(got.path, path);
        QCOMPARE(got.hash,
                 QString::fromLatin1(
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex()));
        QCOMPARE(got.size, qint64(content.size()));
        QCOMPARE(got.url, QUrl::fromEncoded((urlPrefix + encoded).toUtf8()));
    }
}

// Exit 0 with a manifest listing "listed"; 1 for usage errors and 2 for unsafe names or no
// files, both without a manifest. Every word of "warned" shows in the tool's errors.
void TestPublish::outcomes_data()
{
    QTest::addColumn<QString>("files"); // "a>b": a symbolic link a to b
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("warned");
    QTest::addColumn<QString>("listed");

    const auto row = [](const char *tag, const QString &files, int code, const char *warned,
                        const char *listed, const QString &options = releaseOptions) {
        QTest::newRow(tag) << files << options << code << QString::fromUtf8(warned)
                           << QString::fromUtf8(listed);
    };
    row("names equal ignoring case", QStringLiteral("Data/Map.pak data/map.pak"), 0,
        "Data/Map.pak data/map.pak", "Data/Map.pak data/map.pak");
    row("symbolic link", QStringLiteral("real.txt link.txt>real.txt"), 0, "link.txt", "real.txt");
    row("file the updater manages", QStringLiteral("version.json game.exe"), 0, "version.json",
        "game.exe version.json");

    const auto unsafe = [&](const char *tag, const char *name) {
        row(tag, QStringLiteral("ok.txt ") + QString::fromUtf8(name), 2, name, "");
    };
    unsafe("backslash", "data\\x.pak");
    unsafe("folder with trailing dot", "old./x.pak");
    unsafe("nested device name", "bin/AUX");
    unsafe("windows wildcard", "what?.txt");
    row("empty release", QString(), 2, "", "");

    const auto usage = [&](const char *tag, const char *options) {
        row(tag, QStringLiteral("ok.txt"), 1, "", "",
            QStringLiteral("--release-dir @DIR@ ") + QLatin1String(options));
    };
    usage("blank version", "--build 1 --version \t");
    usage("version unfit for a folder", "--build 1 --version 1:0");
    usage("negative build", "--version 1 --build -1");
    usage("build beyond 32 bits", "--version 1 --build 2147483648");
    usage("missing release folder", "--version 1 --build 1 --release-dir @DIR@/no");
    usage("both changelogs", "--version 1 --build 1 --changelog a --changelog-file @DIR@/ok.txt");
    usage("base url not http", "--version 1 --build 1 --base-url ftp://cdn.test/r");
}

void TestPublish::outcomes()
{
    QFETCH(QString, files);
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(QString, warned);
    QFETCH(QString, listed);

    QTemporaryDir tmp;
    for (const QString &file : words(files, QString())) {
        const QString name = file.section(QLatin1Char('>'), 0, 0);
        const QString target = file.section(QLatin1Char('>'), 1);
#ifdef Q_OS_WIN
        if (!target.isEmpty())
            QSKIP("QFile::link makes a shortcut, a regular file, on Windows");
#endif
        if (target.isEmpty() ? !writeFile(tmp.filePath(name), name.toUtf8())
                             : !QFile::link(tmp.filePath(target), tmp.filePath(name)))
            QSKIP("this file system refuses the name itself");
    }

    QString err;
    QCOMPARE(publish(words(options, tmp.path()), &err), exitCode);
    for (const QString &name : words(warned, QString()))
        QVERIFY2(err.contains(QDir::toNativeSeparators(name)), qPrintable(err));
    const QString manifest = tmp.filePath(QStringLiteral("manifest.json"));
    QCOMPARE(QFile::exists(manifest), exitCode == 0);
    QStringList paths;
    const QJsonArray entries = QJsonDocument::fromJson(readFile(manifest))
                                   .object()
                                   .value(QLatin1String("files"))
                                   .toArray();
    for (const QJsonValue &entry : entries)
        paths << entry.toObject().value(QLatin1String("path")).toString();
    QCOMPARE(paths, words(listed, QString()));
}

void TestPublish::roundTripThroughUpdater()
{
    QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), QStringLiteral("nginx"));
    QTemporaryDir tmp;
    // The space also reaches nginx's configuration through its root.
    const QString release = tmp.filePath(QStringLiteral("release 1.4.0"));
    const QString client = tmp.filePath(QStringLiteral("client"));
    // Byte-wise order on UTF-8, the order of the manifest and so of the downloads; one is empty.
    const QStringList paths = {QStringLiteral("Texturas e Sons/can\u00e7\u00e3o \u00f1.ogg"),
                               QStringLiteral("bin/game.dll"), QStringLiteral("data/maps/m1.bin"),
                               QStringLiteral("data/vazio.dat"), QStringLiteral("readme.txt")};
    for (const QString &path : paths)
        QVERIFY(writeFile(release + QLatin1Char('/') + path,
                          path.contains(QLatin1String("vazio"))
                              ? QByteArray()
                              : randomBytes(1000 + int(path.size()) * 5000)));
    QString err;
    QVERIFY2(publish(words(releaseOptions, release), &err) == 0, qPrintable(err));

    NginxServer nginx(release);
    QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));
    const QString clientExe = client + QLatin1Char('/') + QFileInfo(sampleClientPath()).fileName();
    QVERIFY(QDir().mkpath(client));
    QVERIFY(QFile::copy(sampleClientPath(), clientExe));
    QVERIFY(writeFile(client + QStringLiteral("/readme.txt"), "old readme"));
    QVERIFY(writeFile(client + QStringLiteral("/keep.txt"), "not in the release"));
    QVERIFY(writeAppVersion(client, AppVersion{QStringLiteral("1.3.9"), 4}));
    QVERIFY(writeFile(client + QStringLiteral("/updater_config.json"),
                      R"({"enabled": true, "manifest_url": ")" +
                          nginx.url(QStringLiteral("/manifest.json")).toEncoded() + "\"}"));

    const QString record = tmp.filePath(QStringLiteral("client-started.json"));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record);
    QProcess updater;
    updater.setProcessEnvironment(environment);
    updater.start(updaterExecutablePath(),
                  {QStringLiteral("--app-dir"), client, QStringLiteral("--app-executable"),
                   clientExe, QStringLiteral("--launch-arg"), QStringLiteral("--server=eu 1")});
    QVERIFY2(updater.waitForFinished(60000) && updater.exitStatus() == QProcess::NormalExit &&
                 updater.exitCode() == 0,
             "the updater did not end with 0 within 60 s");

    for (const QString &path : paths)
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
    QTRY_COMPARE_WITH_TIMEOUT(
        nginx.accessedPaths(),
        QStringLiteral("/manifest.json /Texturas%20e%20Sons/can%C3%A7%C3%A3o%20%C3%B1.ogg "
                       "/bin/game.dll /data/maps/m1.bin /data/vazio.dat /readme.txt")
            .split(QLatin1Char(' ')),
        5000);
}

QTEST_GUILESS_MAIN(TestPublish)
#include "tst_publish.moc"
