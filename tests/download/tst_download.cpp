#include "download/bytesize.h"
#include "download/filehash.h"
#include "tests/support/testhttpserver.h"
#include "update/updatecontroller.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray sha(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

UpdateFile entry(const TestHttpServer &server, const QByteArray &path, const QByteArray &content)
{
    return {QString::fromUtf8(path), QString::fromLatin1(sha(content)), content.size(),
            server.url("/f/" + path)};
}

QStringList filesBelow(const QString &root)
{
    QStringList found;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(root).relativeFilePath(it.next()));
    found.sort();
    return found;
}

} // namespace

class DownloadTest : public QObject
{
    Q_OBJECT

private slots:
    void byteSize_data();
    void byteSize();
    void fileHash_data();
    void fileHash();
    void stagingFolderName_data();
    void stagingFolderName();
    void badServers_data();
    void badServers();
    void reusesVerifiedCopiesAndReplacesStaleOnes();
    void progress_data();
    void progress();
    void targetCannotBeCreated();
};

void DownloadTest::byteSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    const QList<QPair<qint64, const char *>> rows = {{-1, "desconhecido"},
                                                     {0, "0 B"},
                                                     {1023, "1023 B"},
                                                     {1024, "1.00 KB"},
                                                     {1536, "1.50 KB"},
                                                     {10239, "10.00 KB"},
                                                     {10240, "10.0 KB"},
                                                     {1048575, "1024.0 KB"},
                                                     {1048576, "1.00 MB"},
                                                     {123456789, "117.7 MB"},
                                                     {5368709120, "5.00 GB"},
                                                     {1099511627776, "1024.0 GB"},
                                                     {5497558138880, "5120.0 GB"}};
    for (const auto &row : rows)
        QTest::newRow(row.second) << row.first << QString::fromLatin1(row.second);
}

void DownloadTest::byteSize()
{
    QFETCH(qint64, bytes);
    QFETCH(QString, text);
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    QCOMPARE(formatByteSize(bytes), text);
}

void DownloadTest::fileHash_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("abc") << QByteArray("abc");
    QTest::newRow("exactly one block") << QByteArray(65536, 'x');
    QTest::newRow("several blocks and a tail") << QByteArray(3 * 65536 + 17, 'y');
}

void DownloadTest::fileHash()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("f.bin"));
    QVERIFY(writeFile(path, content));
    QCOMPARE(fileSha256Hex(path), sha(content));

    QString error;
    QVERIFY(fileSha256Hex(dir.filePath(QStringLiteral("missing")), &error).isEmpty());
    QVERIFY(error.startsWith(
        QStringLiteral("Nao foi possivel ler '%1': ")
            .arg(QDir::toNativeSeparators(dir.filePath(QStringLiteral("missing"))))));
}

void DownloadTest::stagingFolderName_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("name");
    QTest::newRow("plain") << QStringLiteral("1.4.0") << 12 << QStringLiteral("1.4.0-build-12");
    QTest::newRow("slash and space")
        << QStringLiteral("2.0 beta/rc") << 7 << QStringLiteral("2.0-beta-rc-build-7");
    QTest::newRow("backslash") << QStringLiteral("a\\b") << -1 << QStringLiteral("a-b-build--1");
    QTest::newRow("marker in version")
        << QStringLiteral("1%2") << 3 << QStringLiteral("1%2-build-3");
}

void DownloadTest::stagingFolderName()
{
    QFETCH(QString, version);
    QFETCH(int, build);
    QFETCH(QString, name);
    QTemporaryDir dir;
    LaunchOptions options;
    options.appDir = dir.path();
    UpdateController controller(options);
    UpdateManifest manifest;
    manifest.remoteVersion = {version, build};
    QCOMPARE(controller.stagingDirectory(manifest),
             QDir(dir.path()).filePath(QStringLiteral(".update-staging/") + name));
}

void DownloadTest::badServers_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<QString>("messageStart");
    // 0: 404, 1: closes without answering, 2: trickles past the deadline, 3: truncated body,
    // 4: more bytes than announced, 5: wrong bytes, 6: hangs
    QTest::newRow("404") << 0 << QStringLiteral("Falha ao baixar 'data/b.bin': ");
    QTest::newRow("closed at once") << 1 << QStringLiteral("Falha ao baixar 'data/b.bin': ");
    QTest::newRow("trickles past the deadline")
        << 2 << QStringLiteral("Tempo esgotado ao baixar 'data/b.bin'.");
    QTest::newRow("stops halfway") << 3 << QStringLiteral("Falha ao baixar 'data/b.bin': ");
    QTest::newRow("more than announced") << 4 << QStringLiteral("Hash invalido para 'data/b.bin'.");
    QTest::newRow("garbage") << 5 << QStringLiteral("Hash invalido para 'data/b.bin'. Esperado ");
    QTest::newRow("never answers") << 6 << QStringLiteral("Tempo esgotado ao baixar 'data/b.bin'.");
}

void DownloadTest::badServers()
{
    QFETCH(int, mode);
    QFETCH(QString, messageStart);

    TestHttpServer server;
    QVERIFY(server.listen());
    const QByteArray a(5000, 'a'), b(40000, 'b');
    server.setBody("/f/data/a.bin", a);
    TestHttpServer::Response r;
    r.body = b;
    switch (mode) {
    case 0:
        r.status = 404;
        r.body = "nao";
        break;
    case 1:
        r.delivery = TestHttpServer::Delivery::CloseAtOnce;
        break;
    case 2:
        r.delivery = TestHttpServer::Delivery::Trickle;
        r.chunkSize = 500;
        r.intervalMs = 100;
        break;
    case 3:
        r.delivery = TestHttpServer::Delivery::Truncate;
        r.truncateAfter = 20000;
        break;
    case 4:
        r.body = b + "extra";
        break;
    case 5:
        r.body = QByteArray(b.size(), 'z');
        break;
    case 6:
        r.delivery = TestHttpServer::Delivery::Hang;
        break;
    }
    server.setResponse("/f/data/b.bin", r);

    QTemporaryDir dir;
    LaunchOptions options;
    options.appDir = dir.path();
    UpdateController controller(options);
    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("1.0"), 2};
    manifest.files = {entry(server, "data/a.bin", a), entry(server, "data/b.bin", b),
                      entry(server, "data/c.bin", "c")};
    UpdateConfig config;
    config.downloadTimeoutMs = 0; // the 2000 ms floor applies
    QList<StagedFile> staged;
    QString error;
    QVERIFY(!controller.downloadUpdateFiles(config, manifest, &staged, &error));
    QVERIFY2(error.startsWith(QString(messageStart).replace(QLatin1Char('/'), QDir::separator())),
             qPrintable(error));
    QCOMPARE(staged.size(), 1);
    // Nothing outside the version folder, no partial file at the target, later files untried.
    QStringList expected = {QStringLiteral(".update-staging/1.0-build-2/data/a.bin")};
    if (mode == 4 || mode == 5)
        expected.append(QStringLiteral(".update-staging/1.0-build-2/data/b.bin"));
    QCOMPARE(filesBelow(dir.path()), expected);
    QCOMPARE(server.requestCount("/f/data/c.bin"), 0);
}

void DownloadTest::reusesVerifiedCopiesAndReplacesStaleOnes()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    const QByteArray a("conteudo a"), b("conteudo b"), empty;
    server.setBody("/f/a.bin", a);
    server.setBody("/f/b.bin", b);
    server.setBody("/f/vazio.bin", empty);

    QTemporaryDir dir;
    LaunchOptions options;
    options.appDir = dir.path();
    UpdateController controller(options);
    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("3.0"), 1};
    manifest.files = {entry(server, "a.bin", a), entry(server, "b.bin", b),
                      entry(server, "vazio.bin", empty)};
    manifest.files[0].hash = manifest.files[0].hash.toUpper();
    const QString folder = controller.stagingDirectory(manifest);
    QVERIFY(writeFile(folder + QStringLiteral("/a.bin"), a));                  // verified copy
    QVERIFY(writeFile(folder + QStringLiteral("/b.bin"), "bytes of another")); // stale copy

    QList<StagedFile> staged;
    QString error;
    QVERIFY2(controller.downloadUpdateFiles(UpdateConfig(), manifest, &staged, &error),
             qPrintable(error));
    QCOMPARE(server.requestCount("/f/a.bin"), 0);
    QCOMPARE(server.requestCount("/f/b.bin"), 1);
    QCOMPARE(staged.size(), 3);
    for (const StagedFile &s : std::as_const(staged)) {
        QCOMPARE(s.stagedPath, QDir(folder).filePath(s.file.path));
        QCOMPARE(fileSha256Hex(s.stagedPath), s.file.hash.toLower().toLatin1());
    }
    for (const TestHttpServer::Request &request : server.requests())
        QCOMPARE(request.userAgent, QByteArray("QuorvexUpdater/1.0"));
}

void DownloadTest::progress_data()
{
    QTest::addColumn<qint64>("totalSize");
    QTest::addColumn<bool>("sizesKnown");
    QTest::addColumn<bool>("busy");
    QTest::addColumn<qint64>("maximum"); // of every progressChanged; 0: none expected

    QTest::newRow("declared total") << qint64(90000) << true << false << qint64(90000);
    QTest::newRow("declared total smaller than the files")
        << qint64(1000) << true << false << qint64(1000);
    QTest::newRow("sum of sizes") << qint64(-1) << true << false << qint64(90000);
    QTest::newRow("nothing known") << qint64(-1) << false << true << qint64(0);
}

void DownloadTest::progress()
{
    QFETCH(qint64, totalSize);
    QFETCH(bool, sizesKnown);
    QFETCH(bool, busy);
    QFETCH(qint64, maximum);

    TestHttpServer server;
    QVERIFY(server.listen());
    const QByteArray a(30000, 'a'), b(60000, 'b');
    server.setBody("/f/a.bin", a);
    TestHttpServer::Response unannounced;
    unannounced.body = b;
    unannounced.announceLength = false;
    server.setResponse("/f/b.bin", unannounced);

    QTemporaryDir dir;
    LaunchOptions options;
    options.appDir = dir.path();
    UpdateController controller(options);
    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("1"), 1};
    manifest.totalSize = totalSize;
    manifest.files = {entry(server, "a.bin", a), entry(server, "b.bin", b)};
    if (!sizesKnown)
        manifest.files[0].size = manifest.files[1].size = -1;

    QSignalSpy mode(&controller, &UpdateController::progressModeChanged);
    QSignalSpy progress(&controller, &UpdateController::progressChanged);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QList<StagedFile> staged;
    QVERIFY(controller.downloadUpdateFiles(UpdateConfig(), manifest, &staged, nullptr));

    QCOMPARE(mode.size(), 1);
    QCOMPARE(mode.first().first().toBool(), busy);
    QCOMPARE(status.size(), 2);
    QCOMPARE(status.at(1).at(1).toString(),
             QStringLiteral("b.bin\nTamanho: %1")
                 .arg(sizesKnown ? QStringLiteral("58.6 KB") : QStringLiteral("desconhecido")));
    if (maximum == 0) {
        // Each file is reported against its own length, once the server makes it known.
        for (const QList<QVariant> &args : std::as_const(progress)) {
            const qint64 own = args.at(1).toLongLong();
            QVERIFY(own == a.size() || own == b.size());
            QVERIFY(args.at(0).toLongLong() <= own);
        }
        return;
    }
    QVERIFY(progress.size() >= 3);
    QCOMPARE(progress.first().at(0).toLongLong(), 0);
    qint64 last = -1;
    for (const QList<QVariant> &args : std::as_const(progress)) {
        QCOMPARE(args.at(1).toLongLong(), maximum);
        QVERIFY(args.at(0).toLongLong() >= last || args.at(0).toLongLong() <= maximum);
        last = args.at(0).toLongLong();
    }
    QCOMPARE(progress.last().at(0).toLongLong(), qMin<qint64>(maximum, 90000));
}

void DownloadTest::targetCannotBeCreated()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    QTemporaryDir dir;
    LaunchOptions options;
    options.appDir = dir.path();
    UpdateController controller(options);
    // A regular file where a folder must go.
    QVERIFY(writeFile(dir.filePath(QStringLiteral("blocker")), "x"));
    UpdateFile file = entry(server, "x.bin", "x");
    QString error;
    const QString target = dir.filePath(QStringLiteral("blocker/x.bin"));
    QVERIFY(!controller.downloadFile(file, 0, 0, 0, target, &error));
    QVERIFY2(
        error.startsWith(
            QStringLiteral("Nao foi possivel criar '%1': ").arg(QDir::toNativeSeparators(target))),
        qPrintable(error));
    QCOMPARE(server.requestCount(), 0);

    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("1"), 1};
    manifest.files = {file};
    manifest.files[0].path = QStringLiteral("sub/x.bin");
    QVERIFY(writeFile(controller.stagingDirectory(manifest) + QStringLiteral("/sub"), "file"));
    QList<StagedFile> staged;
    QVERIFY(!controller.downloadUpdateFiles(UpdateConfig(), manifest, &staged, &error));
    QCOMPARE(error, QStringLiteral("Nao foi possivel preparar a pasta de '%1'.")
                        .arg(QDir::toNativeSeparators(QStringLiteral("sub/x.bin"))));
}

QTEST_GUILESS_MAIN(DownloadTest)
#include "tst_download.moc"
