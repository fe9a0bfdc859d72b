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

QStringList list(std::initializer_list<const char *> items)
{
    QStringList strings;
    for (const char *item : items)
        strings.append(QString::fromUtf8(item));
    return strings;
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
    QTest::newRow("blank paths fall back") << list({"--app-dir", "   ", "--app-executable=\t "})
                                           << defaultDir << exe << QStringList() << 0LL;
    QTest::newRow("paths trimmed, last occurrence wins")
        << list({"--app-dir", "/first", "--app-dir", "  /games/quorvex one  ", "--app-executable",
                 " bin/client.exe "})
        << QStringLiteral("/games/quorvex one") << QStringLiteral("bin/client.exe") << QStringList()
        << 0LL;
    QTest::newRow("launch args untouched and in order")
        << list({"--launch-arg", "--server", "--launch-arg", " mundo 1 ",
                 "--launch-arg=", "--launch-arg", "say \"oi\""})
        << defaultDir << exe << list({"--server", " mundo 1 ", "", "say \"oi\""}) << 0LL;

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
    QVERIFY2(parser.parse(QStringList{QStringLiteral("QuorvexUpdater")} + arguments),
             qPrintable(parser.errorText()));

    const LaunchOptions options = readLaunchOptions(parser, defaultDir);
    QTEST(options.appDir, "appDir");
    QTEST(options.clientExecutable, "clientExecutable");
    QTEST(options.launchArguments, "launchArguments");
    QTEST(options.waitPid, "waitPid");
}

QTEST_GUILESS_MAIN(LaunchOptionsTest)
#include "tst_launchoptions.moc"
