#include "download/bytesize.h"
#include "download/filehash.h"
#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

using Response = TestHttpServer::Response;
using Delivery = TestHttpServer::Delivery;
using Progress = QList<QPair<qint64, qint64>>;
Q_DECLARE_METATYPE(TestHttpServer::Response)

namespace {

QByteArray sha(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

Response respond(const QByteArray &body, Delivery delivery = Delivery::Immediate, int status = 200)
{
    Response r;
    r.body = body;
    r.delivery = delivery;
    r.status = status;
    return r;
}

Progress progressOf(const QSignalSpy &spy)
{
    Progress values;
    for (const QList<QVariant> &args : spy)
        values.append({args.at(0).toLongLong(), args.at(1).toLongLong()});
    return values;
}

// A client folder, a loopback server and the release 1.0 build 1 it serves.
struct Release
{
    QTemporaryDir dir;
    TestHttpServer server;
    UpdateController controller{LaunchOptions{dir.path(), QStringLiteral("c"), {}, 0}};
    UpdateManifest manifest{AppVersion{QStringLiteral("1.0"), 1}, {}, -1, {}, {}, {}};

    void add(const QString &path, const QByteArray &content, const Response &served)
    {
        server.setResponse("/" + path.toLatin1(), served);
        manifest.files.append(UpdateFile{path, QString::fromLatin1(sha(content)), content.size(),
                                         server.url("/" + path.toLatin1())});
    }
    bool stage(QList<StagedFile> *staged, QString *error, int timeoutMs = 5000)
    {
        UpdateConfig config;
        config.downloadTimeoutMs = timeoutMs;
        return controller.downloadUpdateFiles(config, manifest, staged, error);
    }
};

#ifdef Q_OS_UNIX
// Makes every file write of this process stop at limit bytes, as on a full disk.
struct FileSizeLimit
{
    rlimit saved{};
    bool active = false;
    explicit FileSizeLimit(qint64 limit)
    {
        if (limit <= 0 || getrlimit(RLIMIT_FSIZE, &saved) != 0)
            return;
        std::signal(SIGXFSZ, SIG_IGN); // a failed write, not a killed process
        rlimit lowered = saved;
        lowered.rlim_cur = rlim_t(limit);
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit()
    {
        if (active)
            setrlimit(RLIMIT_FSIZE, &saved);
    }
};
#endif

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void byteSize_data();
    void byteSize();
    void fileHash();
    void stagingFolderAtDriveRoot();
    void stagedFailures_data();
    void stagedFailures();
    void stagedProgress_data();
    void stagedProgress();
    void reuseAndStaleCopies();
};

void TestDownload::byteSize_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("text");
    for (const char *row : {"-1=desconhecido", "1023=1023 B", "1024=1.00 KB", "10239=10.00 KB",
                            "10240=10.0 KB", "123456789=117.7 MB", "5497558138880=5120.0 GB"}) {
        const QStringList parts = QString::fromLatin1(row).split(QLatin1Char('='));
        QTest::newRow(row) << parts.first().toLongLong() << parts.last();
    }
}

void TestDownload::byteSize()
{
    QFETCH(qint64, bytes);
    // A comma-decimal locale must not leak into the text.
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    QTEST(formatByteSize(bytes), "text");
    QLocale::setDefault(QLocale::c());
}

void TestDownload::fileHash()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hash.bin"));
    const QByteArray content(3 * 65536 + 17, '\xa5'); // blocks and a tail
    QVERIFY(writeFile(path, content));
    QString error;
    QCOMPARE(fileSha256Hex(path, &error), sha(content));
    QVERIFY(error.isEmpty());
    const QString missing = dir.filePath(QStringLiteral("missing/hash.bin"));
    QVERIFY(fileSha256Hex(missing, &error).isEmpty());
    const QString expected = QStringLiteral("Nao foi possivel ler '%1': ");
    QVERIFY2(error.startsWith(expected.arg(QDir::toNativeSeparators(missing))), qPrintable(error));
    // A folder opens on some systems but reads fail; it must not hash as empty input.
    QVERIFY(fileSha256Hex(dir.path()).isEmpty());
}

void TestDownload::stagingFolderAtDriveRoot()
{
    // A root already ends in "/"; no "//" may follow it.
    const UpdateController controller(LaunchOptions{QDir::rootPath(), QStringLiteral("c"), {}, 0});
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{QStringLiteral("1"), 2};
    QCOMPARE(controller.stagingDirectory(manifest),
             QDir::rootPath() + QStringLiteral(".update-staging/1-build-2"));
}

void TestDownload::stagedFailures_data()
{
    QTest::addColumn<Response>("response"); // for data/a.bin, whose content is "real content"
    QTest::addColumn<QString>("message");   // prefix; {target} and {served} filled in later
    QTest::addColumn<QString>("blocker");   // a file put in the way first
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<qint64>("diskRoom"); // bytes a file may grow to; 0: unlimited
    QTest::addColumn<QString>("path");
    const auto row = [](const char *tag, const Response &response, const QString &message,
                        const QString &blocker = QString(), int timeoutMs = 5000,
                        qint64 diskRoom = 0, const QString &path = QStringLiteral("data/a.bin")) {
        QTest::newRow(tag) << response << message << blocker << timeoutMs << diskRoom << path;
    };
    const QString nativeA = QDir::toNativeSeparators(QStringLiteral("data/a.bin"));
    const QString timedOut = QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(nativeA);
    const QString prepare = QStringLiteral("Nao foi possivel preparar a pasta de '%1'.");
    const QString mismatch =
        QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido {served}.")
            .arg(nativeA, QString::fromLatin1(sha("real content").toUpper()));
    const QString staging = QStringLiteral(".update-staging/1.0-build-1/");
    Response truncated = respond(QByteArray(20000, 't'), Delivery::Truncate);
    truncated.truncateAfter = 7000;
    Response slow = respond(QByteArray(10000, 's'), Delivery::Trickle);
    slow.chunkSize = 100;
    slow.intervalMs = 50;

    row("version folder blocked", {},
        QStringLiteral("Nao foi possivel criar a pasta temporaria de update."),
        QStringLiteral(".update-staging"));
    row("parent folder blocked", {}, prepare.arg(nativeA), staging + QStringLiteral("data"));
    row("path leaving the folder", {},
        prepare.arg(QDir::toNativeSeparators(QStringLiteral("../../a.bin"))), {}, 5000, 0,
        QStringLiteral("../../a.bin"));
    row("target is a full folder", {}, QStringLiteral("Nao foi possivel criar '{target}': "),
        staging + QStringLiteral("data/a.bin/x"));
    row("404", respond({}, Delivery::Immediate, 404),
        QStringLiteral("Falha ao baixar '%1': ").arg(nativeA));
    row("too little", truncated, QStringLiteral("Falha ao baixar '%1': ").arg(nativeA));
    row("hang, zero timeout", respond({}, Delivery::Hang), timedOut, {}, 0);
    row("steady past the deadline of 1500 raised to 2000", slow, timedOut, {}, 1500);
    row("garbage", respond("garbage"), mismatch);
#ifdef Q_OS_UNIX
    // Served whole, this body passes: only the failing writes can make it fail.
    row("disk full", respond("real content"), mismatch, {}, 5000, 5);
#endif
}

void TestDownload::stagedFailures()
{
    QFETCH(Response, response);
    QFETCH(QString, message);
    QFETCH(QString, blocker);
    QFETCH(qint64, diskRoom);
    Release release;
    QVERIFY(release.server.listen());
    release.add(QStringLiteral("a.bin"), "real content", response);
    release.add(QStringLiteral("b.bin"), "second", respond("second"));
    QFETCH(QString, path);
    release.manifest.files[0].path = path;
    release.manifest.files[0].hash = release.manifest.files[0].hash.toUpper();
    if (!blocker.isEmpty())
        QVERIFY(writeFile(release.dir.filePath(blocker), "in the way"));

    QString error;
    QList<StagedFile> staged;
    QVERIFY(!release.stage(nullptr, &error));
    QCOMPARE(error, QStringLiteral("Lista de downloads ausente."));
    QElapsedTimer clock;
    clock.start();
    {
#ifdef Q_OS_UNIX
        const FileSizeLimit limit(diskRoom);
        QVERIFY(diskRoom == 0 || limit.active);
#endif
        QFETCH(int, timeoutMs);
        QVERIFY(!release.stage(&staged, &error, timeoutMs));
    }
    const qint64 elapsed = clock.elapsed();
    const QString target =
        release.dir.filePath(QStringLiteral(".update-staging/1.0-build-1/data/a.bin"));
    const bool copyStays = message.startsWith(QLatin1String("Hash invalido"));
    message.replace(QStringLiteral("{target}"), QDir::toNativeSeparators(target));
    message.replace(QStringLiteral("{served}"), QString::fromLatin1(sha(readFile(target))));
    QVERIFY2(error.startsWith(message), qPrintable(error));
    if (message.startsWith(QLatin1String("Tempo esgotado")))
        QVERIFY2(elapsed >= 1900 && elapsed < 4000, qPrintable(QString::number(elapsed)));
    QVERIFY(staged.isEmpty());
    QCOMPARE(release.server.requestCount("/b.bin"), 0);
    if (blocker.isEmpty())
        QCOMPARE(QFileInfo::exists(target), copyStays);
    else
        QCOMPARE(release.server.requestCount(), 0);
    // Nothing beside the version folder.
    QCOMPARE(
        QDir(release.dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
        QStringList{QStringLiteral(".update-staging")});
}

void TestDownload::stagedProgress_data()
{
    QTest::addColumn<qint64>("totalSize");
    QTest::addColumn<QList<qint64>>("sizes"); // in the manifest; the copies hold 80 and 30 bytes
    QTest::addColumn<bool>("lengthSent");
    QTest::addColumn<bool>("indeterminate");
    // First maximum, the highest value (the relay does not cap), and the last emission.
    QTest::addColumn<Progress>("seen");
    QTest::newRow("sum of positive sizes") << 0ll << QList<qint64>{200, -1} << true << false
                                           << Progress{{0, 200}, {110, 200}, {110, 200}};
    QTest::newRow("total below the copies") << 100ll << QList<qint64>{60, 60} << true << false
                                            << Progress{{0, 100}, {110, 100}, {100, 100}};
    // Each file then counts against its own length, once that is known.
    QTest::newRow("no sizes") << -1ll << QList<qint64>{-1, -1} << true << true
                              << Progress{{0, 80}, {80, 80}, {30, 30}};
    QTest::newRow("no sizes, no lengths")
        << -1ll << QList<qint64>{-1, -1} << false << true << Progress{{0, 80}, {80, 80}, {30, 30}};
}

void TestDownload::stagedProgress()
{
    QFETCH(QList<qint64>, sizes);
    QFETCH(bool, lengthSent);
    Release release;
    QVERIFY(release.server.listen());
    QFETCH(qint64, totalSize);
    release.manifest.totalSize = totalSize;
    for (const QString &path : {QStringLiteral("a.bin"), QStringLiteral("sub/c.bin")}) {
        Response r = respond(QByteArray(path.size() == 5 ? 80 : 30, 'x'));
        r.announceLength = lengthSent;
        release.add(path, r.body, r);
        release.manifest.files.last().size = sizes.at(release.manifest.files.size() - 1);
    }
    QSignalSpy mode(&release.controller, &UpdateController::progressModeChanged);
    QSignalSpy progress(&release.controller, &UpdateController::progressChanged);
    QSignalSpy status(&release.controller, &UpdateController::statusChanged);
    QList<StagedFile> staged;
    QString error;
    QVERIFY2(release.stage(&staged, &error), qPrintable(error));
    QCOMPARE(mode.size(), 1);
    QTEST(mode.first().first().toBool(), "indeterminate");
    const Progress values = progressOf(progress);
    QVERIFY(!values.isEmpty());
    QPair<qint64, qint64> highest = values.first();
    for (const auto &value : values) {
        QVERIFY2(value.second > 0, "a value against an unknown total");
        if (value.first > highest.first)
            highest = value;
    }
    QTEST((Progress{{0, values.first().second}, highest, values.last()}), "seen");
    QCOMPARE(status.size(), 2); // one per file
    const QString detail = QStringLiteral("%1\nTamanho: %2");
    QCOMPARE(status.last(),
             (QVariantList{QStringLiteral("Baixando atualizacao"),
                           detail.arg(QDir::toNativeSeparators(QStringLiteral("sub/c.bin")),
                                      formatByteSize(sizes.last()))}));
}

void TestDownload::reuseAndStaleCopies()
{
    Release release;
    QVERIFY(release.server.listen());
    // Slash, backslash and space each become a dash in the folder name.
    release.manifest.remoteVersion = AppVersion{QStringLiteral("2.0 beta/rc\\x"), 7};
    const QString folder =
        release.dir.filePath(QStringLiteral(".update-staging/2.0-beta-rc-x-build-7"));
    const QString outsidePath = release.dir.filePath(QStringLiteral("outside.txt"));
    const QByteArray keep("kept"), fresh("fresh content"), outside("outside, untouched");
    release.add(QStringLiteral("keep.bin"), keep, respond(keep));
    release.add(QStringLiteral("stale.bin"), fresh, respond(fresh));
    release.add(QStringLiteral("empty.bin"), QByteArray(), respond(QByteArray()));
    release.manifest.files[0].hash = release.manifest.files[0].hash.toUpper();
    release.manifest.totalSize = keep.size() + fresh.size();
    QVERIFY(writeFile(folder + QStringLiteral("/keep.bin"), keep));
    QVERIFY(writeFile(outsidePath, outside));
#ifdef Q_OS_UNIX
    // Written through in place, the stale copy would change a file outside the folder.
    QVERIFY(QFile::link(outsidePath, folder + QStringLiteral("/stale.bin")));
#else
    QVERIFY(writeFile(folder + QStringLiteral("/stale.bin"), outside));
#endif

    QSignalSpy progress(&release.controller, &UpdateController::progressChanged);
    QList<StagedFile> staged{StagedFile{}};
    QString error;
    QVERIFY2(release.stage(&staged, &error), qPrintable(error));
    QCOMPARE(release.server.requestCount("/keep.bin"), 0);
    QCOMPARE(release.server.requestCount("/stale.bin"), 1);
    QCOMPARE(release.server.requests().first().userAgent, QByteArray("QuorvexUpdater/1.0"));
    QCOMPARE(staged.size(), 4);
    QCOMPARE(staged.at(1).stagedPath, folder + QStringLiteral("/keep.bin"));
    QCOMPARE(readFile(staged.at(2).stagedPath), fresh);
    QVERIFY(!QFileInfo(staged.at(2).stagedPath).isSymLink());
    QCOMPARE(readFile(outsidePath), outside);
    // The reused copy counts before the first byte arrives.
    QCOMPARE(progressOf(progress).at(1),
             qMakePair(qint64(keep.size()), release.manifest.totalSize));
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
