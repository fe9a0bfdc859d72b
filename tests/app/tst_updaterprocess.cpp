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

QProcessEnvironment updaterEnvironment()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
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
    QProcess updater;
    updater.setProcessEnvironment(updaterEnvironment());
    updater.start(updaterExecutablePath(), {QStringLiteral("--help")});
    QVERIFY2(updater.waitForFinished(30000), qPrintable(updater.errorString()));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    // The parser wraps long help texts; compare with the line breaks folded away.
    const QString help = QString::fromUtf8(updater.readAllStandardOutput()).simplified();
    const QStringList expected = {
        QStringLiteral("Updater do cliente Quorvex"),
        QStringLiteral("--app-dir <path> Pasta do cliente principal."),
        QStringLiteral("--app-executable <path> Caminho do executavel principal."),
        QStringLiteral(
            "--wait-pid <pid> PID do processo que deve encerrar antes da aplicacao do update."),
        QStringLiteral("--launch-arg <arg> Argumento encaminhado ao cliente principal."),
    };
    // Present, and in the order of registration.
    qsizetype at = 0;
    for (const QString &line : expected) {
        at = help.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line + QStringLiteral(" missing or out of order: ") + help));
    }
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
    QVERIFY(root.isValid());
    // A folder name with a space, so no path survives unquoted.
    const QString clientDir = root.filePath(QStringLiteral("Cliente Quorvex"));
    QVERIFY(QDir().mkpath(clientDir));
    const QString client = QDir(clientDir).filePath(
        passExecutable ? QStringLiteral("sample client") : QStringLiteral("QuorvexEmulator.exe"));
    QVERIFY(QFile::copy(sampleClientPath(), client));
    if (!config.isNull()) {
        QFile file(QDir(clientDir).filePath(QStringLiteral("updater_config.json")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(config);
    }

    const QStringList forwarded = {QStringLiteral("--server=sa-east"), QStringLiteral("dois nomes"),
                                   QStringLiteral("diz \"oi\""), QStringLiteral(" margem ")};
    QStringList arguments = {QStringLiteral("--app-dir"), clientDir};
    if (passExecutable)
        arguments << QStringLiteral("--app-executable") << client;
    for (const QString &argument : forwarded)
        arguments << QStringLiteral("--launch-arg") << argument;

    const QString record = root.filePath(QStringLiteral("record.json"));
    QProcessEnvironment env = updaterEnvironment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record);

    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(root.path());
    updater.start(updaterExecutablePath(), arguments);
    QVERIFY2(updater.waitForFinished(30000), qPrintable(updater.errorString()));
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QCOMPARE(updater.exitCode(), 0);

    // The client runs detached and may still be starting when the updater has ended.
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 15000);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject started = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(started.value(QStringLiteral("program")).toString(),
             QFileInfo(client).canonicalFilePath());
    QCOMPARE(started.value(QStringLiteral("cwd")).toString(),
             QFileInfo(clientDir).canonicalFilePath());
    QStringList received;
    for (const QJsonValue &value : started.value(QStringLiteral("arguments")).toArray())
        received << value.toString();
    QCOMPARE(received, forwarded);
}

QTEST_GUILESS_MAIN(TestUpdaterProcess)
#include "tst_updaterprocess.moc"
