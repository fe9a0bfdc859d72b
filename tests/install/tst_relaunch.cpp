#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

class RelaunchTest : public QObject
{
    Q_OBJECT

private slots:
    void startsTheClientDetached_data();
    void startsTheClientDetached();
    void reportsAClientThatCannotStart_data();
    void reportsAClientThatCannotStart();
};

void RelaunchTest::startsTheClientDetached_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no arguments") << QStringList();
    QTest::newRow("spaces, quotes and an empty one")
        << QStringList{QStringLiteral("--server"),        QStringLiteral("mundo 1"),
                       QStringLiteral("say \"oi\" 'la'"), QString(),
                       QStringLiteral("a\\\"b"),          QStringLiteral("--token=x y")};
}

void RelaunchTest::startsTheClientDetached()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    const QString appDir = dir.filePath(QStringLiteral("client folder"));
    QVERIFY(QDir().mkpath(appDir));
    const QString record = dir.filePath(QStringLiteral("record.json"));
    // The detached client inherits this process's environment.
    qputenv("SAMPLE_CLIENT_RECORD", QFile::encodeName(record));
    qputenv("SAMPLE_CLIENT_LINGER_MS", "0");

    LaunchOptions options;
    options.appDir = appDir;
    options.clientExecutable = sampleClientPath();
    options.launchArguments = arguments;
    UpdateController controller(options);
    QString error = QStringLiteral("untouched");
    QVERIFY(controller.relaunchClient(&error));
    QCOMPARE(error, QStringLiteral("untouched"));

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(record), 10000);
    QFile file(record);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject started = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(QFileInfo(started.value(QLatin1String("program")).toString()).canonicalFilePath(),
             QFileInfo(sampleClientPath()).canonicalFilePath());
    QCOMPARE(QFileInfo(started.value(QLatin1String("cwd")).toString()).canonicalFilePath(),
             QFileInfo(appDir).canonicalFilePath());
    QCOMPARE(started.value(QLatin1String("arguments")).toVariant().toStringList(), arguments);
}

void RelaunchTest::reportsAClientThatCannotStart_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("error");
    QTest::newRow("missing executable")
        << QStringLiteral("missing/QuorvexEmulator.exe")
        << QStringLiteral("Executavel principal nao encontrado em %1.");
    QTest::newRow("a folder under the executable name")
        << QStringLiteral("QuorvexEmulator.exe")
        << QStringLiteral("Nao foi possivel reabrir o cliente principal.");
}

void RelaunchTest::reportsAClientThatCannotStart()
{
    QFETCH(QString, executable);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("QuorvexEmulator.exe/inside")));

    LaunchOptions options;
    options.appDir = dir.path();
    options.clientExecutable = executable;
    UpdateController controller(options);
    QString actual;
    QVERIFY(!controller.relaunchClient(&actual));
    QCOMPARE(actual, error.arg(QDir::toNativeSeparators(dir.filePath(executable))));
    QVERIFY(!controller.relaunchClient(nullptr));
}

QTEST_GUILESS_MAIN(RelaunchTest)
#include "tst_relaunch.moc"
