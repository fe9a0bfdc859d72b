#include "download/bytesize.h"
#include "download/filehash.h"
#include "tests/support/testhttpserver.h"
#include "update/updatecontroller.h"

#include <QCryptographicHash>
#include <QDir>
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

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

Response respond(Delivery delivery, const QByteArray &body = QByteArray(4096, 'x'))
{
    Response r;
    r.delivery = delivery;
    r.body = body;
    return r;
}

Progress progressOf(const QSignalSpy &spy)
{
    Progress values;
    for (const QList<QVariant> &args : spy)
        values.append({args.at(0).toLongLong(), args.at(1).toLongLong()});
    return values;
}

UpdateFile fileEntry(const TestHttpServer &server, const QString &path, const QByteArray &content)
{
    return UpdateFile{path, QString::fromLatin1(sha(content)), content.size(),
                      server.url("/" + path.toLatin1())};
}

const QString nativeA = QDir::toNativeSeparators(QStringLiteral("data/a.bin"));

// Makes every file write of this process stop at limit bytes, as on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 limit)
    {
#ifdef Q_OS_UNIX
        if (limit <= 0 || getrlimit(RLIMIT_FSIZE, &m_saved) != 0)
            return;
        std::signal(SIGXFSZ, SIG_IGN); // a failed write, not a killed process
        rlimit lowered = m_saved;
        lowered.rlim_cur = rlim_t(limit);
        m_active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
#else
        Q_UNUSED(limit);
#endif
    }
    ~FileSizeLimit()
    {
#ifdef Q_OS_UNIX
        if (m_active)
            setrlimit(RLIMIT_FSIZE, &m_saved);
#endif
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;
    bool isActive() const
    {
        return m_active;
    }

private:
#ifdef Q_OS_UNIX
    rlimit m_saved{};
#endif
    bool m_active = false;
};

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void byteSize_data();
    void byteSize();
    void fileHash_data();
    void fileHash();
    void stagingFolder_data();
    void stagingFolder();
    void progressRelay_data();
    void progressRelay();
    void stagedFailures_data();
    void stagedFailures();
    void stagedProgress_data();
    void stagedProgress();
    void reuseAndStaleCopies();

private:
    QTemporaryDir m_dir;
};

void TestDownload::byteSize_data()
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
        QTest::addRow("%lld", row.first) << row.first << QString::fromLatin1(row.second);
}

void TestDownload::byteSize()
{
    QFETCH(qint64, bytes);
    // A comma-decimal locale must not leak into the text.
    QLocale::setDefault(QLocale(QLocale::Portuguese, QLocale::Brazil));
    QTEST(formatByteSize(bytes), "text");
    QLocale::setDefault(QLocale::c());
}

void TestDownload::fileHash_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("abc") << QByteArray("abc");
    QTest::newRow("one block") << QByteArray(65536, 'q');
    QTest::newRow("blocks and a tail") << QByteArray(3 * 65536 + 17, '\xa5');
}

void TestDownload::fileHash()
{
    QFETCH(QByteArray, content);
    const QString path = m_dir.filePath(QStringLiteral("hash.bin"));
    QVERIFY(writeFile(path, content));
    QString error = QStringLiteral("untouched");
    QCOMPARE(fileSha256Hex(path, &error), sha(content));
    QCOMPARE(error, QStringLiteral("untouched"));

    const QString missing = m_dir.filePath(QStringLiteral("missing/hash.bin"));
    QVERIFY(fileSha256Hex(missing, &error).isEmpty());
    QVERIFY2(
        error.startsWith(
            QStringLiteral("Nao foi possivel ler '%1': ").arg(QDir::toNativeSeparators(missing))),
        qPrintable(error));
    // A folder opens on some systems but reads fail; it must not hash as empty input.
    QVERIFY(fileSha256Hex(m_dir.path()).isEmpty());
}

void TestDownload::stagingFolder_data()
{
    QTest::addColumn<QString>("appDir"); // empty: the test's folder
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("folder");
    QTest::newRow("plain") << ""
                           << "1.4.0" << 12 << "1.4.0-build-12";
    QTest::newRow("slash and space") << ""
                                     << "2.0 beta/rc" << 7 << "2.0-beta-rc-build-7";
    QTest::newRow("backslash, untrimmed") << ""
                                          << " 3\\1 " << 0 << "-3-1--build-0";
    QTest::newRow("client at a drive root") << QDir::rootPath() << "1" << 2 << "1-build-2";
}

void TestDownload::stagingFolder()
{
    QFETCH(QString, appDir);
    QFETCH(QString, version);
    QFETCH(int, build);
    QFETCH(QString, folder);
    // A root already ends in "/"; no "//" may follow it.
    const QString prefix = appDir.isEmpty() ? m_dir.path() + QLatin1Char('/') : appDir;
    UpdateController controller(LaunchOptions{prefix, QStringLiteral("c"), {}, 0});
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{version, build};
    QCOMPARE(controller.stagingDirectory(manifest),
             prefix + QStringLiteral(".update-staging/") + folder);
}

void TestDownload::progressRelay_data()
{
    QTest::addColumn<qint64>("completed");
    QTest::addColumn<qint64>("planned");
    QTest::addColumn<int>("bodySize");
    QTest::addColumn<bool>("announced");
    QTest::addColumn<Progress>("last"); // empty: nothing emitted
    QTest::newRow("against the update total")
        << 400ll << 1000ll << 600 << true << Progress{{1000, 1000}};
    QTest::newRow("past the total, not capped")
        << 400ll << 1000ll << 900 << true << Progress{{1300, 1000}};
    QTest::newRow("unannounced, with total")
        << 100ll << 1000ll << 600 << false << Progress{{700, 1000}};
    QTest::newRow("own length, no total") << 0ll << 0ll << 600 << true << Progress{{600, 600}};
    // Without a length Qt reports the size only once the body is complete.
    QTest::newRow("unannounced, no total") << 0ll << -1ll << 600 << false << Progress{{600, 600}};
}

void TestDownload::progressRelay()
{
    QFETCH(qint64, completed);
    QFETCH(qint64, planned);
    QFETCH(int, bodySize);
    QFETCH(bool, announced);
    QFETCH(Progress, last);
    QTemporaryDir dir;
    TestHttpServer server;
    QVERIFY(server.listen());
    Response r = respond(Delivery::Immediate, QByteArray(bodySize, 'p'));
    r.announceLength = announced;
    server.setResponse("/p.bin", r);
    const QString target = dir.filePath(QStringLiteral("p.bin"));
    QVERIFY(writeFile(target, QByteArray(5000, 'o'))); // longer than the body: must not survive

    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("c"), {}, 0});
    QSignalSpy progress(&controller, &UpdateController::progressChanged);
    QString error;
    QVERIFY2(
        controller.downloadFile(UpdateFile{QStringLiteral("p.bin"), {}, -1, server.url("/p.bin")},
                                completed, planned, 5000, target, &error),
        qPrintable(error));
    QCOMPARE(readFile(target), r.body);
    QCOMPARE(server.requests().size(), 1);
    QCOMPARE(server.requests().first().method, QByteArray("GET"));
    QCOMPARE(server.requests().first().userAgent, QByteArray("QuorvexUpdater/1.0"));
    const Progress seen = progressOf(progress);
    QCOMPARE(seen.isEmpty() ? Progress() : Progress{seen.last()}, last);
    if (planned <= 0 && !announced) {
        for (const auto &value : seen)
            QCOMPARE(value, last.first());
    }
}

void TestDownload::stagedFailures_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("blocker"); // a file put in the way first
    QTest::addColumn<qint64>("diskRoom"); // bytes a file may grow to; 0: unlimited
    QTest::addColumn<QString>("message"); // prefix; {target} and {served} filled in later
    QTest::addColumn<bool>("copyStays");
    const QString a = QStringLiteral("data/a.bin");
    const QString failed = QStringLiteral("Falha ao baixar '%1': ").arg(nativeA);
    const QString timedOut = QStringLiteral("Tempo esgotado ao baixar '%1'.").arg(nativeA);
    const QString prepare = QStringLiteral("Nao foi possivel preparar a pasta de '%1'.");
    const QString mismatch =
        QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido {served}.")
            .arg(nativeA, QString::fromLatin1(sha("real content").toUpper()));
    Response notFound;
    notFound.status = 404;
    Response truncated = respond(Delivery::Truncate, QByteArray(20000, 't'));
    truncated.truncateAfter = 7000;
    Response shortBody = respond(Delivery::Immediate);
    shortBody.contentLength = 8192;
    Response longBody = respond(Delivery::Immediate, "real content");
    longBody.contentLength = 5;
    Response slow = respond(Delivery::Trickle, QByteArray(10000, 's'));
    slow.chunkSize = 100;
    slow.intervalMs = 50;
    const QString staging = QStringLiteral(".update-staging/1.0-build-1/");
    QTest::newRow("version folder blocked")
        << Response() << 5000 << a << ".update-staging" << 0ll
        << QStringLiteral("Nao foi possivel criar a pasta temporaria de update.") << false;
    QTest::newRow("parent folder blocked")
        << Response() << 5000 << a << staging + QStringLiteral("data") << 0ll
        << prepare.arg(nativeA) << false;
    QTest::newRow("path leaving the folder")
        << Response() << 5000 << "../../a.bin"
        << "" << 0ll << prepare.arg(QDir::toNativeSeparators(QStringLiteral("../../a.bin")))
        << false;
    QTest::newRow("target is a full folder")
        << Response() << 5000 << a << staging + QStringLiteral("data/a.bin/x") << 0ll
        << "Nao foi possivel criar '{target}': " << false;
    QTest::newRow("404") << notFound << 5000 << a << "" << 0ll << failed << false;
    QTest::newRow("nothing") << respond(Delivery::CloseAtOnce) << 5000 << a << "" << 0ll << failed
                             << false;
    QTest::newRow("too little") << truncated << 5000 << a << "" << 0ll << failed << false;
    QTest::newRow("short of its length") << shortBody << 5000 << a << "" << 0ll << failed << false;
    QTest::newRow("hang, zero timeout")
        << respond(Delivery::Hang) << 0 << a << "" << 0ll << timedOut << false;
    QTest::newRow("steady past the deadline")
        << slow << 1500 << a << "" << 0ll << timedOut << false;
    QTest::newRow("garbage") << respond(Delivery::Immediate, "%2 garbage") << 5000 << a << "" << 0ll
                             << mismatch << true;
    QTest::newRow("too much") << respond(Delivery::Immediate, "real content and more") << 5000 << a
                              << "" << 0ll << mismatch << true;
    QTest::newRow("beyond its length") << longBody << 5000 << a << "" << 0ll << mismatch << true;
    QTest::newRow("empty body") << respond(Delivery::Immediate, QByteArray()) << 5000 << a << ""
                                << 0ll << mismatch << true;
#ifdef Q_OS_UNIX
    // Served whole, this body passes: only the failing writes can make it fail.
    QTest::newRow("disk full") << respond(Delivery::Immediate, "real content") << 5000 << a << ""
                               << 5ll << mismatch << true;
#endif
}

void TestDownload::stagedFailures()
{
    QFETCH(Response, response);
    QFETCH(int, timeoutMs);
    QFETCH(QString, path);
    QFETCH(QString, blocker);
    QFETCH(qint64, diskRoom);
    QFETCH(QString, message);
    QFETCH(bool, copyStays);
    QTemporaryDir dir;
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setResponse("/a.bin", response);
    server.setBody("/b.bin", "second");
    if (!blocker.isEmpty())
        QVERIFY(writeFile(dir.filePath(blocker), "in the way"));

    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("c"), {}, 0});
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{QStringLiteral("1.0"), 1};
    UpdateFile first = fileEntry(server, QStringLiteral("a.bin"), "real content");
    first.path = path;
    first.hash = first.hash.toUpper();
    manifest.files = {first, fileEntry(server, QStringLiteral("b.bin"), "second")};
    UpdateConfig config;
    config.downloadTimeoutMs = timeoutMs;

    QString error;
    QList<StagedFile> staged;
    QVERIFY(!controller.downloadUpdateFiles(config, manifest, nullptr, &error));
    QCOMPARE(error, QStringLiteral("Lista de downloads ausente."));
    {
        const FileSizeLimit limit(diskRoom);
        QVERIFY(diskRoom == 0 || limit.isActive());
        QVERIFY(!controller.downloadUpdateFiles(config, manifest, &staged, &error));
    }
    const QString target = dir.filePath(QStringLiteral(".update-staging/1.0-build-1/data/a.bin"));
    message.replace(QStringLiteral("{target}"), QDir::toNativeSeparators(target));
    message.replace(QStringLiteral("{served}"), QString::fromLatin1(sha(readFile(target))));
    QVERIFY2(error.startsWith(message), qPrintable(error));
    QVERIFY(staged.isEmpty());
    QCOMPARE(server.requestCount("/b.bin"), 0);
    if (blocker.isEmpty())
        QCOMPARE(QFileInfo::exists(target), copyStays);
    else
        QCOMPARE(server.requestCount(), 0);
    // Nothing beside the version folder.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral(".update-staging")});
}

void TestDownload::stagedProgress_data()
{
    QTest::addColumn<qint64>("totalSize");
    QTest::addColumn<QList<qint64>>("sizes"); // in the manifest; the copies hold 80 and 30 bytes
    QTest::addColumn<bool>("lengthSent");
    QTest::addColumn<bool>("indeterminate");
    QTest::addColumn<Progress>("ends"); // first maximum and last emission
    QTest::newRow("sum of positive sizes")
        << 0ll << QList<qint64>{200, -1} << true << false << Progress{{0, 200}, {110, 200}};
    QTest::newRow("total below the copies")
        << 100ll << QList<qint64>{60, 60} << true << false << Progress{{0, 100}, {100, 100}};
    QTest::newRow("no sizes, lengths sent")
        << -1ll << QList<qint64>{-1, -1} << true << true << Progress{{0, 80}, {30, 30}};
    QTest::newRow("no sizes, no lengths")
        << -1ll << QList<qint64>{-1, -1} << false << true << Progress{{0, 80}, {30, 30}};
}

void TestDownload::stagedProgress()
{
    QFETCH(qint64, totalSize);
    QFETCH(QList<qint64>, sizes);
    QFETCH(bool, lengthSent);
    QTemporaryDir dir;
    TestHttpServer server;
    QVERIFY(server.listen());
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{QStringLiteral("1"), 2};
    manifest.totalSize = totalSize;
    const QList<QPair<QString, QByteArray>> contents = {
        {QStringLiteral("a.bin"), QByteArray(80, 'a')},
        {QStringLiteral("sub/c.bin"), QByteArray(30, 'c')}};
    for (const auto &c : contents) {
        const qint64 announcedSize = sizes.at(manifest.files.size());
        Response r = respond(Delivery::Immediate, c.second);
        r.announceLength = lengthSent;
        server.setResponse("/" + c.first.toLatin1(), r);
        UpdateFile f = fileEntry(server, c.first, c.second);
        f.size = announcedSize;
        manifest.files.append(f);
    }
    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("c"), {}, 0});
    QSignalSpy mode(&controller, &UpdateController::progressModeChanged);
    QSignalSpy progress(&controller, &UpdateController::progressChanged);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QList<StagedFile> staged;
    QString error;
    QVERIFY2(controller.downloadUpdateFiles(UpdateConfig(), manifest, &staged, &error),
             qPrintable(error));
    QCOMPARE(mode.size(), 1);
    QTEST(mode.first().first().toBool(), "indeterminate");
    const Progress seen = progressOf(progress);
    const Progress ends =
        seen.isEmpty() ? Progress() : Progress{{0, seen.first().second}, seen.last()};
    QTEST(ends, "ends");
    QCOMPARE(status.size(), 2);
    QCOMPARE(status.last().at(1).toString(),
             QStringLiteral("%1\nTamanho: %2")
                 .arg(QDir::toNativeSeparators(QStringLiteral("sub/c.bin")),
                      formatByteSize(sizes.last())));
}

void TestDownload::reuseAndStaleCopies()
{
    QTemporaryDir dir;
    TestHttpServer server;
    QVERIFY(server.listen());
    UpdateManifest manifest;
    manifest.remoteVersion = AppVersion{QStringLiteral("2.0 beta/rc\\x"), 7};
    const QString folder = dir.filePath(QStringLiteral(".update-staging/2.0-beta-rc-x-build-7"));
    const QByteArray keep("kept"), fresh("fresh content"), outside("outside, untouched");
    server.setBody("/keep.bin", keep);
    server.setBody("/stale.bin", fresh);
    server.setBody("/empty.bin", QByteArray());
    manifest.files = {fileEntry(server, QStringLiteral("keep.bin"), keep),
                      fileEntry(server, QStringLiteral("stale.bin"), fresh),
                      fileEntry(server, QStringLiteral("empty.bin"), QByteArray())};
    manifest.files[0].hash = manifest.files[0].hash.toUpper();
    manifest.totalSize = keep.size() + fresh.size();
    QVERIFY(writeFile(folder + QStringLiteral("/keep.bin"), keep));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("outside.txt")), outside));
#ifdef Q_OS_UNIX
    // Written through in place, the stale copy would change a file outside the folder.
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("outside.txt")),
                        folder + QStringLiteral("/stale.bin")));
#else
    QVERIFY(writeFile(folder + QStringLiteral("/stale.bin"), outside));
#endif

    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("c"), {}, 0});
    QSignalSpy progress(&controller, &UpdateController::progressChanged);
    QList<StagedFile> staged{StagedFile{}};
    QString error;
    QVERIFY2(controller.downloadUpdateFiles(UpdateConfig(), manifest, &staged, &error),
             qPrintable(error));
    QCOMPARE(server.requestCount("/keep.bin"), 0);
    QCOMPARE(server.requestCount("/stale.bin"), 1);
    QCOMPARE(staged.size(), 4);
    QCOMPARE(staged.at(1).stagedPath, folder + QStringLiteral("/keep.bin"));
    QCOMPARE(staged.at(3).file.path, QStringLiteral("empty.bin"));
    QCOMPARE(readFile(staged.at(2).stagedPath), fresh);
    QVERIFY(!QFileInfo(staged.at(2).stagedPath).isSymLink());
    QCOMPARE(readFile(dir.filePath(QStringLiteral("outside.txt"))), outside);
    QCOMPARE(fileSha256Hex(staged.at(3).stagedPath), sha(QByteArray()));
    // The reused copy counts before the first byte arrives.
    QCOMPARE(progressOf(progress).at(1), qMakePair(qint64(keep.size()), manifest.totalSize));
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
