#include "tests/support/testsupport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// Whether the updater ended by itself with exit code 0.
bool runUpdater(const QStringList &arguments, const QString &record, QByteArray *out = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (!record.isEmpty())
        env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record);
    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.start(updaterExecutablePath(), arguments);
    if (!updater.waitForFinished(30000) || updater.exitStatus() != QProcess::NormalExit)
        return false;
    if (out)
        *out = updater.readAllStandardOutput();
    return updater.exitCode() == 0;
}

} // namespace

class TestUpdaterProcess : public QObject
{
    Q_OBJECT

private slots:
    void help();
    void relaunchWithoutUpdate_data();
    void relaunchWithoutUpdate();
};

void TestUpdaterProcess::help()
{
    QByteArray out;
    QVERIFY(runUpdater({QStringLiteral("--help")}, QString(), &out));
    // The parser wraps long help texts; compare with the line breaks folded away.
    const QString help = QString::fromUtf8(out).simplified();
    QVERIFY2(help.contains(QLatin1String("Updater do cliente Quorvex")), qPrintable(help));
    // Our options, in the order of registration, after Qt's own.
    QVERIFY2(help.contains(QLatin1String(
                 "--app-dir <path> Pasta do cliente principal. "
                 "--app-executable <path> Caminho do executavel principal. "
                 "--wait-pid <pid> PID do processo que deve encerrar antes da aplicacao do update. "
                 "--launch-arg <arg> Argumento encaminhado ao cliente principal.")),
             qPrintable(help));
}

void TestUpdaterProcess::relaunchWithoutUpdate_data()
{
    QTest::addColumn<QByteArray>("config"); // null: no updater_config.json at all
    QTest::addColumn<bool>("passExecutable");

    QTest::newRow("no configuration, default executable") << QByteArray() << false;
    QTest::newRow("configuration is an array") << QByteArrayLiteral("[]") << true;
    QTest::newRow("updating switched off") << QByteArrayLiteral("{\"enabled\": false}") << true;
}

void TestUpdaterProcess::relaunchWithoutUpdate()
{
    QFETCH(QByteArray, config);
    QFETCH(bool, passExecutable);

    QTemporaryDir root;
    // A folder name with a space, so no path survives unquoted.
    const QDir clientDir(root.filePath(QStringLiteral("Cliente Quorvex")));
    QVERIFY(clientDir.mkpath(QStringLiteral(".")));
    const QString client = clientDir.filePath(
        passExecutable ? QStringLiteral("sample client") : QStringLiteral("QuorvexEmulator.exe"));
    QVERIFY(QFile::copy(sampleClientPath(), client));
    QFile configFile(clientDir.filePath(QStringLiteral("updater_config.json")));
    QVERIFY(config.isNull() || (configFile.open(QIODevice::WriteOnly) && configFile.write(config)));
    configFile.close();

    const QStringList forwarded = {QStringLiteral("--server=sa-east"), QStringLiteral("dois nomes"),
                                   QStringLiteral("diz \"oi\""), QStringLiteral(" margem ")};
    QStringList arguments = {QStringLiteral("--app-dir"), clientDir.path()};
    if (passExecutable)
        arguments << QStringLiteral("--app-executable") << client;
    for (const QString &argument : forwarded)
        arguments << QStringLiteral("--launch-arg") << argument;
    const QString record = root.filePath(QStringLiteral("record.json"));
    QVERIFY(runUpdater(arguments, record));

    // The client runs detached and may still be starting when the updater has ended.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 15000);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject started = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(started.value(QStringLiteral("program")).toString(),
             QFileInfo(client).canonicalFilePath());
    QCOMPARE(started.value(QStringLiteral("cwd")).toString(),
             QFileInfo(clientDir.path()).canonicalFilePath());
    QCOMPARE(started.value(QStringLiteral("arguments")).toArray(),
             QJsonArray::fromStringList(forwarded));
}

QTEST_GUILESS_MAIN(TestUpdaterProcess)
#include "tst_updaterprocess.moc"
