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

struct ReleaseFile
{
    QByteArray path;
    QByteArray content;
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
QMap<QString, QByteArray> snapshot(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(root).relativeFilePath(path);
        if (!rel.startsWith(QLatin1String(".update-staging/")))
            files.insert(rel, readFile(path));
    }
    return files;
}

// A client folder with an installed 1.0 build 1, its old files and the sample client.
class ClientFolder
{
public:
    ClientFolder()
    {
        path = dir.path();
        QFile::copy(sampleClientPath(), exe());
        writeFile(file("a.pak"), "old a");
        writeFile(file("b.pak"), "old b");
        writeFile(file("version.json"), R"({"version":"1.0","build":1})");
        qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(file("record.json")));
    }
    QString file(const char *rel) const { return QDir(path).filePath(QString::fromUtf8(rel)); }
    QString exe() const { return file("client"); }

    void configure(const QUrl &manifest) const
    {
        writeFile(file("updater_config.json"),
                  R"({"enabled":true,"manifest_url":")" + manifest.toEncoded() + "\"}");
    }

    QTemporaryDir dir;
    QString path;
};

QByteArray manifestFor(const QList<ReleaseFile> &files)
{
    QJsonArray list;
    for (const ReleaseFile &f : files) {
        QJsonObject entry;
        entry.insert(QStringLiteral("path"), QString::fromUtf8(f.path));
        entry.insert(QStringLiteral("hash"),
                     QString::fromLatin1(
                         QCryptographicHash::hash(f.content, QCryptographicHash::Sha256).toHex()));
        entry.insert(QStringLiteral("size"), f.content.size());
        entry.insert(QStringLiteral("url"), QStringLiteral("files/") + QString::fromUtf8(f.path));
        list.append(entry);
    }
    QJsonObject doc;
    doc.insert(QStringLiteral("version"), QStringLiteral("1.1"));
    doc.insert(QStringLiteral("build"), 4);
    doc.insert(QStringLiteral("files"), list);
    return QJsonDocument(doc).toJson();
}

const QList<ReleaseFile> Release = {
    {"a.pak", "new a, longer than before"},
    {"b.pak", "new b"},
    {"data/maps/porto.bin", QByteArray(70000, 'p')},
};

void serve(TestHttpServer &server, const QList<ReleaseFile> &files)
{
    server.setBody("/rel/manifest.json", manifestFor(files));
    for (const ReleaseFile &f : files)
        server.setBody("/rel/files/" + f.path, f.content);
}

struct Outcome
{
    bool success = false;
    bool updated = false;
    QString message;
    QStringList statuses;
};

Outcome runOnce(const ClientFolder &client)
{
    LaunchOptions options;
    options.appDir = client.path;
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

QJsonObject versionRecord(const ClientFolder &client)
{
    return QJsonDocument::fromJson(readFile(client.file("version.json"))).object();
}

} // namespace

class InstallPhaseTest : public QObject
{
    Q_OBJECT

private slots:
    void completeUpdate();
    void failureLeavesClientFolderAlone_data();
    void failureLeavesClientFolderAlone();
    void replacementFailureIsFoundAgainAndReusesStagedCopies();
    void missingClientAfterInstall();
};

void InstallPhaseTest::completeUpdate()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, Release);
    ClientFolder client;
    client.configure(server.url("/rel/manifest.json"));

    const Outcome out = runOnce(client);
    QCOMPARE(out.message, QString());
    QVERIFY(out.success);
    QVERIFY(out.updated);

    for (const ReleaseFile &f : Release)
        QCOMPARE(readFile(client.file(f.path.constData())), f.content);
    const QJsonObject version = versionRecord(client);
    QCOMPARE(version.value(QLatin1String("version")).toString(), QStringLiteral("1.1"));
    QCOMPARE(version.value(QLatin1String("build")).toInt(), 4);
    QVERIFY(!QFileInfo::exists(client.file(".update-staging")));
    const QStringList leftovers =
        QDir(client.path).entryList({QStringLiteral("*.bak")}, QDir::Files | QDir::Hidden);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));

    QCOMPARE(out.statuses.last(),
             QStringLiteral("Atualizacao concluida|Arquivos aplicados com sucesso. Abrindo o "
                            "cliente atualizado."));
    QVERIFY(out.statuses.contains(QStringLiteral(
        "Aplicando atualizacao|Aguardando o processo principal encerrar para substituir os "
        "arquivos.")));
    QVERIFY(out.statuses.contains(QStringLiteral("Aplicando arquivo|Substituindo ") +
                                  QDir::toNativeSeparators(QStringLiteral("data/maps/porto.bin"))));

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(client.file("record.json")).size() > 0, 10000);
    const QJsonObject started =
        QJsonDocument::fromJson(readFile(client.file("record.json"))).object();
    QCOMPARE(started.value(QLatin1String("arguments")).toArray(),
             QJsonArray({QStringLiteral("--realm"), QStringLiteral("um dois")}));
}

void InstallPhaseTest::failureLeavesClientFolderAlone_data()
{
    QTest::addColumn<QByteArray>("brokenPath"); // served as 404, or with wrong bytes
    QTest::addColumn<bool>("wrongBytes");
    QTest::addColumn<QString>("messageStart");

    QTest::newRow("second file missing on the server")
        << QByteArray("b.pak") << false << QStringLiteral("Falha ao baixar 'b.pak': ");
    QTest::newRow("last file does not match its hash")
        << QByteArray("data/maps/porto.bin") << true
        << QStringLiteral("Hash invalido para '%1'. Esperado ")
               .arg(QDir::toNativeSeparators(QStringLiteral("data/maps/porto.bin")));
}

void InstallPhaseTest::failureLeavesClientFolderAlone()
{
    QFETCH(QByteArray, brokenPath);
    QFETCH(bool, wrongBytes);
    QFETCH(QString, messageStart);

    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, Release);
    if (wrongBytes)
        server.setBody("/rel/files/" + brokenPath, "tampered");
    else
        server.removeResponse("/rel/files/" + brokenPath);
    ClientFolder client;
    client.configure(server.url("/rel/manifest.json"));
    const QMap<QString, QByteArray> before = snapshot(client.path);

    const Outcome out = runOnce(client);
    QVERIFY(!out.success);
    QVERIFY(!out.updated);
    QVERIFY2(out.message.startsWith(messageStart), qPrintable(out.message));
    QCOMPARE(snapshot(client.path), before);
    QVERIFY(!out.statuses.last().startsWith(QLatin1String("Aplicando")));
    QVERIFY(!QFileInfo::exists(client.file("record.json")));
}

void InstallPhaseTest::replacementFailureIsFoundAgainAndReusesStagedCopies()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, Release);
    ClientFolder client;
    client.configure(server.url("/rel/manifest.json"));
    // A folder squatting on the backup name keeps b.pak from being moved aside.
    QVERIFY(writeFile(client.file("b.pak.bak/keep"), "x"));

    Outcome out = runOnce(client);
    QVERIFY(!out.success);
    QVERIFY(!out.updated);
    QCOMPARE(out.message, QStringLiteral("Nao foi possivel substituir 'b.pak'. O arquivo "
                                         "provavelmente ainda esta em uso."));
    QCOMPARE(readFile(client.file("a.pak")), Release.at(0).content);
    QCOMPARE(readFile(client.file("b.pak")), QByteArray("old b"));
    QCOMPARE(versionRecord(client).value(QLatin1String("version")).toString(),
             QStringLiteral("1.0"));

    QVERIFY(QDir(client.file("b.pak.bak")).removeRecursively());
    server.clear();
    out = runOnce(client);
    QVERIFY2(out.success, qPrintable(out.message));
    QVERIFY(out.updated);
    for (const ReleaseFile &f : Release)
        QCOMPARE(readFile(client.file(f.path.constData())), f.content);
    // Only the manifest travels again: every staged copy was verified and reused.
    QCOMPARE(server.requestCount(), server.requestCount("/rel/manifest.json"));
}

void InstallPhaseTest::missingClientAfterInstall()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    serve(server, Release);
    ClientFolder client;
    client.configure(server.url("/rel/manifest.json"));
    QVERIFY(QFile::remove(client.exe()));

    const Outcome out = runOnce(client);
    QVERIFY(!out.success);
    QVERIFY(out.updated);
    QCOMPARE(out.message, QStringLiteral("Executavel principal nao encontrado em %1.")
                              .arg(QDir::toNativeSeparators(client.exe())));
    QCOMPARE(readFile(client.file("b.pak")), Release.at(1).content);
    QVERIFY(!QFileInfo::exists(client.file(".update-staging")));
}

QTEST_GUILESS_MAIN(InstallPhaseTest)
#include "tst_installphase.moc"
