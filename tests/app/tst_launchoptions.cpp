#include "app/launchoptions.h"

#include <QCommandLineParser>
#include <QTest>

class LaunchOptionsTest : public QObject
{
    Q_OBJECT

private slots:
    void readsTheCommandLine_data();
    void readsTheCommandLine();
};

namespace {

const QString defaultDir = QStringLiteral("/opt/updater");

QStringList commandLine(const QStringList &arguments)
{
    return QStringList{QStringLiteral("QuorvexUpdater")} + arguments;
}

} // namespace

void LaunchOptionsTest::readsTheCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("clientExecutable");
    QTest::addColumn<QStringList>("launchArguments");
    QTest::addColumn<qint64>("waitPid");

    const QString exe = QStringLiteral("QuorvexEmulator.exe");
    QTest::newRow("nothing given") << QStringList() << defaultDir << exe << QStringList() << 0LL;
    QTest::newRow("blank paths fall back")
        << QStringList{QStringLiteral("--app-dir"), QStringLiteral("   "),
                       QStringLiteral("--app-executable=\t ")}
        << defaultDir << exe << QStringList() << 0LL;
    QTest::newRow("paths trimmed, last occurrence wins")
        << QStringList{QStringLiteral("--app-dir"),        QStringLiteral("/first"),
                       QStringLiteral("--app-dir"),        QStringLiteral("  /games/quorvex one  "),
                       QStringLiteral("--app-executable"), QStringLiteral(" bin/client.exe ")}
        << QStringLiteral("/games/quorvex one") << QStringLiteral("bin/client.exe") << QStringList()
        << 0LL;
    QTest::newRow("launch args untouched and in order")
        << QStringList{QStringLiteral("--launch-arg"),  QStringLiteral("--server"),
                       QStringLiteral("--launch-arg"),  QStringLiteral(" mundo 1 "),
                       QStringLiteral("--launch-arg="), QStringLiteral("--launch-arg"),
                       QStringLiteral("say \"oi\"")}
        << defaultDir << exe
        << QStringList{QStringLiteral("--server"), QStringLiteral(" mundo 1 "), QString(),
                       QStringLiteral("say \"oi\"")}
        << 0LL;

    const auto pid = [&](const char *name, const QString &value, qint64 expected) {
        QTest::newRow(name) << QStringList{QStringLiteral("--wait-pid"), value} << defaultDir << exe
                            << QStringList() << expected;
    };
    pid("pid decimal", QStringLiteral("4242"), 4242);
    pid("pid beyond 32 bits", QStringLiteral("9000000000"), 9000000000LL);
    pid("pid negative", QStringLiteral("-5"), -5);
    pid("pid hexadecimal", QStringLiteral("0x10"), 0);
    pid("pid letters", QStringLiteral("abc"), 0);
    pid("pid empty", QString(), 0);
}

void LaunchOptionsTest::readsTheCommandLine()
{
    QFETCH(QStringList, arguments);
    QCommandLineParser parser;
    addLaunchOptions(parser);
    QVERIFY2(parser.parse(commandLine(arguments)), qPrintable(parser.errorText()));

    const LaunchOptions options = readLaunchOptions(parser, defaultDir);
    QTEST(options.appDir, "appDir");
    QTEST(options.clientExecutable, "clientExecutable");
    QTEST(options.launchArguments, "launchArguments");
    QTEST(options.waitPid, "waitPid");
}

QTEST_GUILESS_MAIN(LaunchOptionsTest)
#include "tst_launchoptions.moc"
