#include "download/bytesize.h"
#include "files/appversion.h"
#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QMap>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

using Files = QMap<QString, QByteArray>;

const Files Release = {
    {QStringLiteral("a.pak"), "new a, longer than before"},
    {QStringLiteral("b.pak"), "new b"},
    {QStringLiteral("data/maps/porto.bin"), QByteArray(70000, 'p')},
};

// Every file below root except the staging area, by relative path.
Files snapshot(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = QDir(root).relativeFilePath(it.next());
        if (!rel.startsWith(QLatin1String(".update-staging/")))
            files.insert(rel, readFile(it.filePath()));
    }
    return files;
}

// Release 1.1 build 4 under /rel/.
void serve(TestHttpServer &server, const Files &files)
{
    QByteArrayList list;
    for (auto f = files.cbegin(); f != files.cend(); ++f) {
        const QByteArray path = f.key().toUtf8();
        const QByteArray hash = QCryptographicHash::hash(f.value(), QCryptographicHash::Sha256);
        list << R"({"path":")" + path + R"(","hash":")" + hash.toHex() + R"(","size":)" +
                    QByteArray::number(f.value().size()) + R"(,"url":"files/)" + path + "\"}";
        server.setBody("/rel/files/" + path, f.value());
    }
    server.setBody("/rel/manifest.json",
                   R"({"version":"1.1","build":4,"files":[)" + list.join(',') + "]}");
}

struct Outcome
{
    QVariantList finished; // success, updated, message
    QStringList statuses;  // "title|detail"
};

Outcome runOnce(const QString &appDir)
{
    UpdateController controller(LaunchOptions{appDir, QStringLiteral("client"), {}, 0});
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QSignalSpy finished(&controller, &UpdateController::finished);
    controller.start();
    Outcome out;
    if (finished.wait(20000) && finished.size() == 1)
        out.finished = finished.first();
    for (const QList<QVariant> &args : std::as_const(status))
        out.statuses.append(args.at(0).toString() + QLatin1Char('|') + args.at(1).toString());
    return out;
}

} // namespace

class InstallPhaseTest : public QObject
{
    Q_OBJECT

private slots:
    void endings_data();
    void endings();
};

void InstallPhaseTest::endings_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");  // prefix; null: success
    QTest::addColumn<QString>("replaced"); // "all", "none" (folder unchanged) or "a.pak"
    QTest::addColumn<QString>("version");  // as recorded afterwards; empty: unreadable
    QTest::addColumn<QString>("stop");     // the end of the last status; empty: the full run
    const auto row = [](const char *tag, const char *fault, const QString &message,
                        const char *replaced, const char *version, const QString &stop) {
        QTest::newRow(tag) << QString::fromUtf8(fault) << message << QString::fromUtf8(replaced)
                           << QString::fromUtf8(version) << stop;
    };
    const QString porto = QDir::toNativeSeparators(QStringLiteral("data/maps/porto.bin"));
    row("complete update", "", {}, "all", "1.1|4", {});
    row("last file does not match its hash", "tampered",
        QStringLiteral("Hash invalido para '%1'. Esperado ").arg(porto), "none", "1.0|1",
        porto + QStringLiteral("\nTamanho: 68.4 KB"));
    // A folder squatting on the backup name keeps b.pak from being moved aside.
    row("replacement fails, the next run finds the update again", "backup",
        QStringLiteral("Nao foi possivel substituir 'b.pak'. O arquivo provavelmente ainda esta "
                       "em uso."),
        "a.pak", "1.0|1", QStringLiteral("Substituindo b.pak"));
    // The release itself puts a folder where version.json has to go.
    row("version.json cannot be written", "version",
        QStringLiteral("Nao foi possivel gravar version.json: "), "all", "",
        QStringLiteral("Substituindo ") +
            QDir::toNativeSeparators(QStringLiteral("version.json/notes.txt")));
    row("client missing after the install", "no client",
        QStringLiteral("Executavel principal nao encontrado em "), "all", "1.1|4", {});
}

void InstallPhaseTest::endings()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QFETCH(QString, replaced);
    QFETCH(QString, version);

    Files release = Release;
    if (fault == QLatin1String("version"))
        release.insert(QStringLiteral("version.json/notes.txt"), "notes");
    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, release);
    if (fault == QLatin1String("tampered"))
        server.setBody("/rel/files/data/maps/porto.bin", "tampered");

    // An installed 1.0 build 1 with its old files and the sample client.
    QTemporaryDir dir;
    const auto file = [&dir](const char *rel) {
        return dir.filePath(QString::fromUtf8(rel));
    };
    const QString record = file("record.json");
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(record));
    if (fault != QLatin1String("no client"))
        QVERIFY(QFile::copy(sampleClientPath(), file("client")));
    QVERIFY(writeFile(file("a.pak"), "old a") && writeFile(file("b.pak"), "old b"));
    if (fault != QLatin1String("version"))
        QVERIFY(writeFile(file("version.json"), R"({"version":"1.0","build":1})"));
    const QUrl manifestUrl = server.url("/rel/manifest.json");
    QVERIFY(writeFile(file("updater_config.json"),
                      R"({"enabled":true,"manifest_url":")" + manifestUrl.toEncoded() + "\"}"));
    if (fault == QLatin1String("backup"))
        QVERIFY(writeFile(file("b.pak.bak/keep"), "x"));
    const Files before = snapshot(dir.path());

    Outcome out = runOnce(dir.path());
    QCOMPARE(out.finished.size(), 3);
    QCOMPARE(out.finished.at(0).toBool(), message.isNull());
    // Updated once the new version is recorded, even if the client then fails to start.
    QCOMPARE(out.finished.at(1).toBool(), version == QLatin1String("1.1|4"));
    const QString got = out.finished.at(2).toString();
    QVERIFY2(got.startsWith(message) && got.isEmpty() == message.isNull(), qPrintable(got));
    // The statuses of a full run, cut after the one the run stopped at.
    QStringList expected = {
        QStringLiteral("Inicializando|Lendo configuracao do updater..."),
        QStringLiteral("Verificando atualizacoes|Consultando ") + manifestUrl.toString(),
        QStringLiteral(
            "Atualizacao encontrada|Nova versao: 1.1 (build 4)\nChangelog: sem descricao")};
    for (auto f = release.cbegin(); f != release.cend(); ++f)
        expected << QStringLiteral("Baixando atualizacao|%1\nTamanho: %2")
                        .arg(QDir::toNativeSeparators(f.key()), formatByteSize(f.value().size()));
    expected << QStringLiteral("Aplicando atualizacao|Aguardando o processo principal encerrar "
                               "para substituir os arquivos.");
    for (auto f = release.cbegin(); f != release.cend(); ++f)
        expected << QStringLiteral("Aplicando arquivo|Substituindo ") +
                        QDir::toNativeSeparators(f.key());
    expected << QStringLiteral("Atualizacao concluida|Arquivos aplicados com sucesso. Abrindo o "
                               "cliente atualizado.");
    QFETCH(QString, stop);
    while (!expected.isEmpty() && !expected.last().endsWith(stop))
        expected.removeLast();
    QCOMPARE(out.statuses, expected);

    if (replaced == QLatin1String("none"))
        QCOMPARE(snapshot(dir.path()), before);
    for (auto f = release.cbegin(); f != release.cend(); ++f)
        QCOMPARE(readFile(dir.filePath(f.key())) == f.value(),
                 replaced == QLatin1String("all") || replaced == f.key());
    AppVersion recorded;
    if (readAppVersion(dir.path(), &recorded))
        QCOMPARE(recorded.version + QLatin1Char('|') + QString::number(recorded.build), version);
    else
        QVERIFY(version.isEmpty());
    // Only a complete installation clears the staging folder and its backups.
    QCOMPARE(QFileInfo::exists(file(".update-staging")), version != QLatin1String("1.1|4"));
    if (fault.isEmpty())
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.bak")}, QDir::Files), QStringList());
    // The client is started again exactly when the run succeeds.
    if (message.isNull())
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, 10000);
    else
        QVERIFY(!QFileInfo::exists(record));

    if (fault == QLatin1String("backup")) {
        QVERIFY(QDir(file("b.pak.bak")).removeRecursively());
        server.clear();
        out = runOnce(dir.path());
        QCOMPARE(out.finished.value(0).toBool(), true);
        for (auto f = release.cbegin(); f != release.cend(); ++f)
            QCOMPARE(readFile(dir.filePath(f.key())), f.value());
        // Only the manifest travels again: every staged copy was verified and reused.
        QCOMPARE(server.requestCount(), server.requestCount("/rel/manifest.json"));
    }
}

QTEST_GUILESS_MAIN(InstallPhaseTest)
#include "tst_installphase.moc"
