#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QDir>
#include <QFile>
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

} // namespace

class CheckPhaseTest : public QObject
{
    Q_OBJECT

private slots:
    void endings_data();
    void endings();
    void upToDateClearsLeftoverCopies_data();
    void upToDateClearsLeftoverCopies();
    void normalisesPaths_data();
    void normalisesPaths();
};

void CheckPhaseTest::endings_data()
{
    QTest::addColumn<QByteArray>("config");    // null: no updater_config.json
    QTest::addColumn<QByteArray>("version");   // null: no version.json
    QTest::addColumn<QByteArray>("manifest");  // served at ManifestPath
    QTest::addColumn<QStringList>("statuses"); // "title|detail" after the first, {URL}: endpoint
    QTest::addColumn<QString>("message");      // null: success; {EXE}: the client path, left absent
    QTest::addColumn<int>("requests");
    const auto row = [](const char *tag, const QByteArray &config, const QByteArray &version,
                        const QByteArray &served, const QStringList &statuses,
                        const QString &message, int requests) {
        QTest::newRow(tag) << config << version << served << statuses << message << requests;
    };

    const QByteArray on = R"({"enabled":true,"manifest_url":"{URL}","check_timeout_ms":0})";
    const QByteArray v15 = R"({"version":"1.0","build":5})";
    const QByteArray current = manifest("1.0", 5);
    const QString checking = QStringLiteral("Verificando atualizacoes|Consultando {URL}");
    const QString disabled = QStringLiteral(
        "Atualizacao desativada|Nenhum endpoint de update configurado. Abrindo o cliente local.");
    const QString upToDate = QStringLiteral("Cliente atualizado|Versao local %1 ja esta em dia.");
    const QString found = QStringLiteral("Atualizacao encontrada|Nova versao: %1\nChangelog: %2");
    const QString tooOld = QStringLiteral("A atualizacao 1.0 (build 0) exige pelo menos a versao "
                                          "base 2.0. Instale um pacote mais recente manualmente.");
    // The install phase takes over; its first step fails here because a.pak is not served.
    const QString handedOver = QStringLiteral("Falha ao baixar 'a.pak': *");

    row("switched off", R"({"enabled":false,"manifest_url":"{URL}"})", v15, current, {disabled}, {},
        0);
    row("config is an array", "[]", v15, current,
        {QStringLiteral("Atualizacao ignorada|Falha ao ler updater_config.json. O cliente sera "
                        "aberto mesmo assim.")},
        {}, 0);
    row("endpoints only in manifest_urls", R"({"enabled":true,"manifest_urls":["{URL}"]})", v15,
        current, {disabled}, {}, 0);
    row("version.json not an object", on, "[1]", current, {checking},
        QStringLiteral("version.json invalido."), 0);
    row("manifest unusable", on, v15, "{broken",
        {checking, QStringLiteral("Nao foi possivel verificar|manifest.json invalido. ({URL}) "
                                  "Abrindo o cliente local.")},
        {}, 1);
    row("base older than min_client_version, remote older too", on,
        R"({"version":"1.9.9","build":1})", manifest("1.0", 0, R"(,"min_client_version":" 2.0 ")"),
        {checking, QStringLiteral("Instalacao base antiga|") + tooOld}, tooOld, 1);
    row("no version.json is 0.0.0 build 0, same as remote, blank minimum", on, {},
        manifest("0.0.0", 0, R"(,"min_client_version":"   ")"),
        {checking, upToDate.arg(QStringLiteral("0.0.0 (build 0)"))}, {}, 1);
    row("up to date but client missing", on, v15, current,
        {checking, upToDate.arg(QStringLiteral("1.0 (build 5)"))},
        QStringLiteral("Executavel principal nao encontrado em {EXE}."), 1);
    row("newer build, blank changelog", on, v15, manifest("1.0", 6, R"(,"changelog":"  ")"),
        {checking, found.arg(QStringLiteral("1.0 (build 6)"), QStringLiteral("sem descricao"))},
        handedOver, 2);
    row("newer version, changelog with markers", on, v15,
        manifest("2.0", 1, R"(,"changelog":" fixes %1 and %2 ")"),
        {checking, found.arg(QStringLiteral("2.0 (build 1)"), QStringLiteral("fixes %1 and %2"))},
        handedOver, 2);
    row("newer version without files", on, v15, manifest("2.0", 0, "", false), {checking},
        QStringLiteral("O manifesto remoto informou versao nova, mas nao trouxe arquivos."), 1);
}

void CheckPhaseTest::endings()
{
    QFETCH(QByteArray, config);
    QFETCH(QByteArray, version);
    QFETCH(QStringList, statuses);
    QFETCH(QString, message);

    TestHttpServer server;
    QVERIFY(server.listen());
    QFETCH(QByteArray, manifest);
    server.setBody(ManifestPath, manifest);
    const QString url = server.url(ManifestPath).toString();
    QTemporaryDir dir;
    const QString exe = dir.filePath(QStringLiteral("client"));
    if (!message.contains(QLatin1String("{EXE}")))
        QVERIFY(QFile::copy(sampleClientPath(), exe));
    const QString record = dir.filePath(QStringLiteral("record.json"));
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(record));
    if (!config.isNull())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("updater_config.json")),
                          config.replace("{URL}", url.toUtf8())));
    if (!version.isNull())
        QVERIFY(writeFile(dir.filePath(QStringLiteral("version.json")), version));

    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("client"), {}, 0});
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
    statuses.prepend(QStringLiteral("Inicializando|Lendo configuracao do updater..."));
    statuses.replaceInStrings(QStringLiteral("{URL}"), url);
    // Before the install phase takes over, the bar only spins.
    const bool handedOver = statuses.last().startsWith(QLatin1String("Atualizacao encontrada|"));
    QCOMPARE(seen.mid(0, handedOver ? statuses.size() : -1), statuses);
    QCOMPARE(mode.first().first().toBool(), true);
    if (!handedOver)
        QVERIFY(mode.size() == 1 && progress.isEmpty());

    const bool success = message.isNull();
    message.replace(QStringLiteral("{EXE}"), QDir::toNativeSeparators(exe));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().mid(0, 2), (QVariantList{success, false}));
    const QString got = finished.first().at(2).toString();
    QVERIFY2(message.endsWith(QLatin1Char('*')) ? got.startsWith(message.chopped(1))
                                                : got == message,
             qPrintable(got));
    QTEST(server.requestCount(), "requests");
    // Every successful ending starts the client; no other does.
    if (success)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 10000);
    else
        QVERIFY(!QFile::exists(record));
}

void CheckPhaseTest::upToDateClearsLeftoverCopies_data()
{
    QTest::addColumn<QByteArray>("manifest");
    QTest::addColumn<QStringList>("left");    // version folders under .update-staging before
    QTest::addColumn<QStringList>("remains"); // and after the run; empty: no staging root
    QTest::newRow("the installed release, ended before its cleanup")
        << manifest("1.0", 5) << QStringList{QStringLiteral("1.0-build-5")} << QStringList{};
    QTest::newRow("a partial download of a newer release stays")
        << manifest("1.0", 5)
        << QStringList{QStringLiteral("1.0-build-5"), QStringLiteral("2.0-build-1")}
        << QStringList{QStringLiteral("2.0-build-1")};
    QTest::newRow("remote older than installed")
        << manifest("0.9", 1) << QStringList{QStringLiteral("0.9-build-1")} << QStringList{};
}

void CheckPhaseTest::upToDateClearsLeftoverCopies()
{
    QFETCH(QByteArray, manifest);
    QFETCH(QStringList, left);
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setBody(ManifestPath, manifest);
    QTemporaryDir dir;
    const QString staging = dir.filePath(QStringLiteral(".update-staging/"));
    for (const QString &folder : std::as_const(left))
        QVERIFY(writeFile(staging + folder + QStringLiteral("/data/a.pak"), "copia"));
    QVERIFY(
        writeFile(dir.filePath(QStringLiteral("version.json")), R"({"version":"1.0","build":5})"));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("updater_config.json")),
                      R"({"enabled":true,"manifest_url":")" + server.url(ManifestPath).toEncoded() +
                          "\"}"));

    UpdateController controller(LaunchOptions{dir.path(), QStringLiteral("client"), {}, 0});
    QSignalSpy finished(&controller, &UpdateController::finished);
    controller.start();
    QVERIFY(finished.wait(10000));
    QVERIFY(finished.first().at(2).toString().startsWith(QLatin1String("Executavel principal")));
    QFETCH(QStringList, remains);
    QCOMPARE(QDir(staging).entryList(QDir::Dirs | QDir::NoDotAndDotDot), remains);
    QCOMPARE(QFileInfo::exists(staging), !remains.isEmpty());
}

void CheckPhaseTest::normalisesPaths_data()
{
    QTest::addColumn<QString>("appDir"); // {R}: a folder that is also the current directory
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("cleanExecutable"); // the folder always becomes {R}/client
    const auto row = [](const char *tag, const char *appDir, const char *exe, const char *clean) {
        QTest::newRow(tag) << QString::fromUtf8(appDir) << QString::fromUtf8(exe)
                           << QString::fromUtf8(clean);
    };
    row("absolute path outside stays there", "{R}/client", "{R}/other/../bin//game.exe",
        "{R}/bin/game.exe");
    row("dots and trailing separator", "{R}/client/./sub/../", "bin/../x.exe", "{R}/client/x.exe");
    row("relative folder against the current directory", "client", "x.exe", "{R}/client/x.exe");
}

void CheckPhaseTest::normalisesPaths()
{
    QFETCH(QString, appDir);
    QFETCH(QString, executable);
    QFETCH(QString, cleanExecutable);
    QTemporaryDir dir;
    const QString root = QDir(dir.path()).canonicalPath();
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root));
    appDir.replace(QStringLiteral("{R}"), root);
    executable.replace(QStringLiteral("{R}"), root);
    const UpdateController controller(LaunchOptions{appDir, executable, {}, 0});
    QDir::setCurrent(previous);
    QCOMPARE(controller.appDir, root + QStringLiteral("/client"));
    QCOMPARE(controller.clientExecutable, cleanExecutable.replace(QStringLiteral("{R}"), root));
}

QTEST_GUILESS_MAIN(CheckPhaseTest)
#include "tst_checkphase.moc"
