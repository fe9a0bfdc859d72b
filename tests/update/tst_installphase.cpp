#include "files/appversion.h"
#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    QJsonArray list;
    for (auto f = files.cbegin(); f != files.cend(); ++f) {
        const QByteArray hash = QCryptographicHash::hash(f.value(), QCryptographicHash::Sha256);
        list.append(QJsonObject{{QStringLiteral("path"), f.key()},
                                {QStringLiteral("hash"), QString::fromLatin1(hash.toHex())},
                                {QStringLiteral("size"), f.value().size()},
                                {QStringLiteral("url"), QStringLiteral("files/") + f.key()}});
        server.setBody("/rel/files/" + f.key().toUtf8(), f.value());
    }
    const QJsonObject manifest{{QStringLiteral("version"), QStringLiteral("1.1")},
                               {QStringLiteral("build"), 4},
                               {QStringLiteral("files"), list}};
    server.setBody("/rel/manifest.json", QJsonDocument(manifest).toJson());
}

struct Outcome
{
    bool success = false;
    bool updated = false;
    QString message;
    QStringList statuses;
};

Outcome runOnce(const QString &appDir)
{
    LaunchOptions options;
    options.appDir = appDir;
    options.clientExecutable = QStringLiteral("client");
    options.launchArguments = {QStringLiteral("--realm"), QStringLiteral("um dois")};
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QSignalSpy finished(&controller, &UpdateController::finished);
    controller.start();
    Outcome out;
    if (!finished.wait(20000) || finished.size() != 1)
        return out;
    out.success = finished.first().at(0).toBool();
    out.updated = finished.first().at(1).toBool();
    out.message = finished.first().at(2).toString();
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
    QTest::addColumn<QString>("message"); // null: success; '*': a reason follows
    QTest::addColumn<bool>("updated");
    QTest::addColumn<QString>("replaced"); // "all", "none" (folder unchanged) or "a.pak"
    QTest::addColumn<QString>("version");  // as recorded afterwards; empty: unreadable

    const QString porto = QDir::toNativeSeparators(QStringLiteral("data/maps/porto.bin"));
    const QString all = QStringLiteral("all");
    const QString none = QStringLiteral("none");
    const QString v11 = QStringLiteral("1.1|4");
    const QString v10 = QStringLiteral("1.0|1");
    QTest::newRow("complete update") << QString() << QString() << true << all << v11;
    QTest::newRow("second file missing on the server")
        << QStringLiteral("404") << QStringLiteral("Falha ao baixar 'b.pak': *") << false << none
        << v10;
    QTest::newRow("last file does not match its hash")
        << QStringLiteral("tampered")
        << QStringLiteral("Hash invalido para '%1'. Esperado *").arg(porto) << false << none << v10;
    // A folder squatting on the backup name keeps b.pak from being moved aside.
    QTest::newRow("replacement fails, the next run finds the update again")
        << QStringLiteral("backup")
        << QStringLiteral("Nao foi possivel substituir 'b.pak'. O arquivo provavelmente ainda "
                          "esta em uso.")
        << false << QStringLiteral("a.pak") << v10;
    // The release itself puts a folder where version.json has to go.
    QTest::newRow("version.json cannot be written")
        << QStringLiteral("version") << QStringLiteral("Nao foi possivel gravar version.json: *")
        << false << all << QString();
    QTest::newRow("client missing after the install")
        << QStringLiteral("no client") << QStringLiteral("Executavel principal nao encontrado em *")
        << true << all << v11;
}

void InstallPhaseTest::endings()
{
    QFETCH(QString, fault);
    QFETCH(QString, message);
    QFETCH(bool, updated);
    QFETCH(QString, replaced);
    QFETCH(QString, version);

    Files release = Release;
    if (fault == QLatin1String("version"))
        release.insert(QStringLiteral("version.json/notes.txt"), "notes");
    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, release);
    if (fault == QLatin1String("404"))
        server.removeResponse("/rel/files/b.pak");
    if (fault == QLatin1String("tampered"))
        server.setBody("/rel/files/data/maps/porto.bin", "tampered");

    // An installed 1.0 build 1 with its old files and the sample client.
    QTemporaryDir dir;
    const auto file = [&](const QString &rel) {
        return dir.filePath(rel);
    };
    const QString record = file(QStringLiteral("record.json"));
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(record));
    if (fault != QLatin1String("no client"))
        QVERIFY(QFile::copy(sampleClientPath(), file(QStringLiteral("client"))));
    QVERIFY(writeFile(file(QStringLiteral("a.pak")), "old a"));
    QVERIFY(writeFile(file(QStringLiteral("b.pak")), "old b"));
    if (fault != QLatin1String("version"))
        QVERIFY(writeFile(file(QStringLiteral("version.json")), R"({"version":"1.0","build":1})"));
    QVERIFY(writeFile(file(QStringLiteral("updater_config.json")),
                      R"({"enabled":true,"manifest_url":")" +
                          server.url("/rel/manifest.json").toEncoded() + "\"}"));
    if (fault == QLatin1String("backup"))
        QVERIFY(writeFile(file(QStringLiteral("b.pak.bak/keep")), "x"));
    const Files before = snapshot(dir.path());

    Outcome out = runOnce(dir.path());
    QCOMPARE(out.success, message.isNull());
    QCOMPARE(out.updated, updated);
    if (message.endsWith(QLatin1Char('*')))
        QVERIFY2(out.message.startsWith(message.chopped(1)), qPrintable(out.message));
    else
        QCOMPARE(out.message, message.isNull() ? QString() : message);

    if (replaced == QLatin1String("none")) {
        QCOMPARE(snapshot(dir.path()), before);
        QVERIFY(!out.statuses.last().startsWith(QLatin1String("Aplicando")));
    }
    for (auto f = release.cbegin(); f != release.cend(); ++f)
        QCOMPARE(readFile(file(f.key())) == f.value(),
                 replaced == QLatin1String("all") || replaced == f.key());
    AppVersion recorded;
    if (readAppVersion(dir.path(), &recorded))
        QCOMPARE(recorded.version + QLatin1Char('|') + QString::number(recorded.build), version);
    else
        QVERIFY(version.isEmpty());
    // Only a complete installation clears the staging folder.
    QCOMPARE(QFileInfo::exists(file(QStringLiteral(".update-staging"))),
             version != QLatin1String("1.1|4"));
    if (!message.isNull())
        QVERIFY(!QFileInfo::exists(record));

    if (fault.isEmpty()) {
        QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.bak")}, QDir::Files), QStringList());
        QVERIFY(out.statuses.contains(QStringLiteral(
            "Aplicando atualizacao|Aguardando o processo principal encerrar para substituir os "
            "arquivos.")));
        QCOMPARE(out.statuses.last(),
                 QStringLiteral("Atualizacao concluida|Arquivos aplicados com sucesso. Abrindo "
                                "o cliente atualizado."));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(record).size() > 0, 10000);
        const QJsonObject started = QJsonDocument::fromJson(readFile(record)).object();
        QCOMPARE(started.value(QLatin1String("arguments")).toArray(),
                 QJsonArray({QStringLiteral("--realm"), QStringLiteral("um dois")}));
    }

    if (fault == QLatin1String("backup")) {
        QVERIFY(QDir(file(QStringLiteral("b.pak.bak"))).removeRecursively());
        server.clear();
        out = runOnce(dir.path());
        QVERIFY2(out.success, qPrintable(out.message));
        for (auto f = release.cbegin(); f != release.cend(); ++f)
            QCOMPARE(readFile(file(f.key())), f.value());
        // Only the manifest travels again: every staged copy was verified and reused.
        QCOMPARE(server.requestCount(), server.requestCount("/rel/manifest.json"));
    }
}

QTEST_GUILESS_MAIN(InstallPhaseTest)
#include "tst_installphase.moc"
