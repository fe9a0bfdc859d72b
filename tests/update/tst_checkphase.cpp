#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray ManifestPath = "/updates/manifest.json";

QByteArray manifest(const char *version, int build, const char *extra = "", bool withFiles = true)
{
    const QByteArray files =
        withFiles ? R"(,"files":[{"path":"a.pak","hash":"ab","url":"a.pak"}])" : R"(,"files":[])";
    return "{\"version\":\"" + QByteArray(version) + "\",\"build\":" + QByteArray::number(build) +
           extra + files + '}';
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace

class CheckPhaseTest : public QObject
{
    Q_OBJECT

private slots:
    void endings_data();
    void endings();
    void normalisesPaths_data();
    void normalisesPaths();
};

void CheckPhaseTest::endings_data()
{
    QTest::addColumn<QByteArray>("config");   // null: no updater_config.json
    QTest::addColumn<QByteArray>("version");  // null: no version.json
    QTest::addColumn<QByteArray>("manifest"); // served at ManifestPath
    QTest::addColumn<bool>("clientPresent");
    QTest::addColumn<QStringList>("statuses"); // "title|detail", {URL} for the endpoint
    QTest::addColumn<QString>("message");      // null: success; {EXE}: the native client path
    QTest::addColumn<int>("requests");

    const QByteArray on = R"({"enabled":true,"manifest_url":"{URL}","check_timeout_ms":0})";
    const QByteArray v15 = R"({"version":"1.0","build":5})";
    const QByteArray current = manifest("1.0", 5);
    const QString init = QStringLiteral("Inicializando|Lendo configuracao do updater...");
    const QString checking = QStringLiteral("Verificando atualizacoes|Consultando {URL}");
    const QString disabled = QStringLiteral(
        "Atualizacao desativada|Nenhum endpoint de update configurado. Abrindo o cliente local.");
    const QString upToDate = QStringLiteral("Cliente atualizado|Versao local %1 ja esta em dia.");
    const QString tooOld = QStringLiteral("A atualizacao 1.0 (build 0) exige pelo menos a versao "
                                          "base 2.0. Instale um pacote mais recente manualmente.");
    // The install phase takes over; its first step fails here because a.pak is not served.
    const QString handedOver = QStringLiteral("Falha ao baixar 'a.pak': *");

    QTest::newRow("no config file")
        << QByteArray() << v15 << current << true << QStringList{init, disabled} << QString() << 0;
    QTest::newRow("config is an array")
        << QByteArray("[]") << v15 << current << true
        << QStringList{init, QStringLiteral("Atualizacao ignorada|Falha ao ler "
                                            "updater_config.json. O cliente sera aberto mesmo "
                                            "assim.")}
        << QString() << 0;
    QTest::newRow("endpoints only in manifest_urls")
        << QByteArray(R"({"enabled":true,"manifest_urls":["{URL}"]})") << v15 << current << true
        << QStringList{init, disabled} << QString() << 0;
    QTest::newRow("version.json not an object")
        << on << QByteArray("[1]") << current << true << QStringList{init, checking}
        << QStringLiteral("version.json invalido.") << 0;
    QTest::newRow("manifest unusable")
        << on << v15 << QByteArray("{broken") << true
        << QStringList{init, checking,
                       QStringLiteral("Nao foi possivel verificar|manifest.json invalido. ({URL}) "
                                      "Abrindo o cliente local.")}
        << QString() << 1;
    QTest::newRow("base older than min_client_version, remote older too")
        << on << QByteArray(R"({"version":"1.9.9","build":1})")
        << manifest("1.0", 0, R"(,"min_client_version":" 2.0 ")") << true
        << QStringList{init, checking, QStringLiteral("Instalacao base antiga|") + tooOld} << tooOld
        << 1;
    QTest::newRow("same version and build, blank minimum")
        << on << v15 << manifest("1.0", 5, R"(,"min_client_version":"   ")") << true
        << QStringList{init, checking, upToDate.arg(QStringLiteral("1.0 (build 5)"))} << QString()
        << 1;
    QTest::newRow("no version.json is 0.0.0 build 0")
        << on << QByteArray() << manifest("0.0.0", 0) << true
        << QStringList{init, checking, upToDate.arg(QStringLiteral("0.0.0 (build 0)"))} << QString()
        << 1;
    QTest::newRow("up to date but client missing")
        << on << v15 << current << false
        << QStringList{init, checking, upToDate.arg(QStringLiteral("1.0 (build 5)"))}
        << QStringLiteral("Executavel principal nao encontrado em {EXE}.") << 1;
    QTest::newRow("newer build, blank changelog")
        << on << v15 << manifest("1.0", 6, R"(,"changelog":"  ")") << true
        << QStringList{init, checking,
                       QStringLiteral("Atualizacao encontrada|Nova versao: 1.0 (build 6)\n"
                                      "Changelog: sem descricao")}
        << handedOver << 2;
    QTest::newRow("newer version, changelog with markers")
        << on << v15 << manifest("2.0", 1, R"(,"changelog":" fixes %1 and %2 ")") << true
        << QStringList{init, checking,
                       QStringLiteral("Atualizacao encontrada|Nova versao: 2.0 (build 1)\n"
                                      "Changelog: fixes %1 and %2")}
        << handedOver << 2;
    QTest::newRow("newer version without files")
        << on << v15 << manifest("2.0", 0, "", false) << true << QStringList{init, checking}
        << QStringLiteral("O manifesto remoto informou versao nova, mas nao trouxe arquivos.") << 1;
}

void CheckPhaseTest::endings()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, manifest);
    QFETCH(bool, clientPresent);
    QFETCH(QStringList, statuses);
    QFETCH(QString, message);
    QFETCH(int, requests);

    TestHttpServer server;
    QVERIFY(server.listen());
    server.setBody(ManifestPath, manifest);
    const QString url = server.url(ManifestPath).toString();

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString exe = dir.filePath(QStringLiteral("client"));
    if (clientPresent)
        QVERIFY(QFile::copy(sampleClientPath(), exe));
    const QString record = dir.filePath(QStringLiteral("record.json"));
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(record));
    if (!config.isNull())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("updater_config.json")),
                          QByteArray(config).replace("{URL}", url.toUtf8())));
    if (!version.isNull())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("version.json")), version));

    LaunchOptions options;
    options.appDir = dir.path();
    options.clientExecutable = QStringLiteral("client");
    options.launchArguments = {QStringLiteral("--realm"), QStringLiteral("two words")};
    UpdateController controller(options);
    QSignalSpy status(&controller, &UpdateController::statusChanged);
    QSignalSpy mode(&controller, &UpdateController::progressModeChanged);
    QSignalSpy progress(&controller, &UpdateController::progressChanged);
    QSignalSpy finished(&controller, &UpdateController::finished);

    controller.start();
    QCOMPARE(status.size(), 0); // the run waits for the event loop
    QVERIFY(finished.wait(10000));

    QStringList seen;
    for (const QList<QVariant> &args : std::as_const(status))
        seen.append(args.at(0).toString() + QLatin1Char('|') + args.at(1).toString());
    statuses.replaceInStrings(QStringLiteral("{URL}"), url);
    if (statuses.last().startsWith(QLatin1String("Atualizacao encontrada|"))) {
        QCOMPARE(seen.mid(0, statuses.size()), statuses);
    } else {
        QCOMPARE(seen, statuses);
        QCOMPARE(mode.size(), 1);
        QCOMPARE(progress.size(), 0);
    }
    QCOMPARE(mode.first().first().toBool(), true);

    const bool success = message.isNull();
    message.replace(QStringLiteral("{EXE}"), QDir::toNativeSeparators(exe));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), success);
    QCOMPARE(finished.first().at(1).toBool(), false);
    const QString got = finished.first().at(2).toString();
    if (message.endsWith(QLatin1Char('*')))
        QVERIFY2(got.startsWith(message.chopped(1)), qPrintable(got));
    else
        QCOMPARE(got, success ? QString() : message);
    QCOMPARE(server.requestCount(), requests);

    // Every successful ending starts the client, with its arguments, in its folder.
    if (success) {
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
        QFile f(record);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QJsonObject started = QJsonDocument::fromJson(f.readAll()).object();
        QCOMPARE(started.value(QLatin1String("arguments")).toArray(),
                 QJsonArray({QStringLiteral("--realm"), QStringLiteral("two words")}));
        QCOMPARE(QDir(started.value(QLatin1String("cwd")).toString()).canonicalPath(),
                 QDir(dir.path()).canonicalPath());
    } else {
        QVERIFY(!QFile::exists(record));
    }
}

void CheckPhaseTest::normalisesPaths_data()
{
    QTest::addColumn<QString>("appDir"); // {R}: a folder that is also the current directory
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("cleanDir");
    QTest::addColumn<QString>("cleanExecutable");

    const QString client = QStringLiteral("{R}/client");
    QTest::newRow("bare name lands in the folder")
        << client << QStringLiteral("QuorvexEmulator.exe") << client
        << QStringLiteral("{R}/client/QuorvexEmulator.exe");
    QTest::newRow("absolute path outside stays there")
        << client << QStringLiteral("{R}/other/../bin//game.exe") << client
        << QStringLiteral("{R}/bin/game.exe");
    QTest::newRow("dots and trailing separator")
        << QStringLiteral("{R}/client/./sub/../") << QStringLiteral("bin/../x.exe") << client
        << QStringLiteral("{R}/client/x.exe");
    QTest::newRow("relative folder against the current directory")
        << QStringLiteral("client") << QStringLiteral("x.exe") << client
        << QStringLiteral("{R}/client/x.exe");
}

void CheckPhaseTest::normalisesPaths()
{
    QFETCH(QString, appDir);
    QFETCH(QString, executable);
    QFETCH(QString, cleanDir);
    QFETCH(QString, cleanExecutable);

    QTemporaryDir dir;
    const QString root = QDir(dir.path()).canonicalPath();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root));
    LaunchOptions options;
    options.appDir = appDir.replace(QStringLiteral("{R}"), root);
    options.clientExecutable = executable.replace(QStringLiteral("{R}"), root);
    const UpdateController controller(options);
    QDir::setCurrent(previous);

    QCOMPARE(controller.appDir, cleanDir.replace(QStringLiteral("{R}"), root));
    QCOMPARE(controller.clientExecutable, cleanExecutable.replace(QStringLiteral("{R}"), root));
}

QTEST_GUILESS_MAIN(CheckPhaseTest)
#include "tst_checkphase.moc"
