#include "app/launchoptions.h"

#include <QCommandLineParser>
#include <QtTest>

class TestLaunchOptions : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void rejected_data();
    void rejected();
};

void TestLaunchOptions::read_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<QString>("clientExecutable");
    QTest::addColumn<qint64>("waitPid");
    QTest::addColumn<QStringList>("launchArguments");

    const QString home = QStringLiteral("/opt/quorvex");
    const QString client = QStringLiteral("QuorvexEmulator.exe");
    const auto row = [](const char *name) {
        return &QTest::newRow(name);
    };

    *row("no options") << QStringList() << home << client << qint64(0) << QStringList();
    *row("blank folder") << QStringList{QStringLiteral("--app-dir"), QStringLiteral("   ")} << home
                         << client << qint64(0) << QStringList();
    *row("blank executable") << QStringList{QStringLiteral("--app-executable=\t ")} << home
                             << client << qint64(0) << QStringList();
    *row("paths trimmed") << QStringList{QStringLiteral("--app-dir= C:/Jogos/Quorvex "),
                                         QStringLiteral("--app-executable"),
                                         QStringLiteral(" bin/Cliente.exe\n")}
                          << QStringLiteral("C:/Jogos/Quorvex") << QStringLiteral("bin/Cliente.exe")
                          << qint64(0) << QStringList();
    *row("last folder wins") << QStringList{QStringLiteral("--app-dir=/a"),
                                            QStringLiteral("--app-dir=/b")}
                             << QStringLiteral("/b") << client << qint64(0) << QStringList();
    *row("last pid wins") << QStringList{QStringLiteral("--wait-pid=7"),
                                         QStringLiteral("--wait-pid=8")}
                          << home << client << qint64(8) << QStringList();
    *row("decimal pid") << QStringList{QStringLiteral("--wait-pid"), QStringLiteral("4242")} << home
                        << client << qint64(4242) << QStringList();
    *row("64-bit pid") << QStringList{QStringLiteral("--wait-pid=9223372036854775807")} << home
                       << client << std::numeric_limits<qint64>::max() << QStringList();
    *row("pid past 64 bits") << QStringList{QStringLiteral("--wait-pid=9223372036854775808")}
                             << home << client << qint64(0) << QStringList();
    *row("negative pid") << QStringList{QStringLiteral("--wait-pid=-5")} << home << client
                         << qint64(-5) << QStringList();
    *row("hexadecimal pid") << QStringList{QStringLiteral("--wait-pid=0x10")} << home << client
                            << qint64(0) << QStringList();
    *row("octal-looking pid") << QStringList{QStringLiteral("--wait-pid=010")} << home << client
                              << qint64(10) << QStringList();
    *row("letters") << QStringList{QStringLiteral("--wait-pid=abc")} << home << client << qint64(0)
                    << QStringList();
    *row("number then letters") << QStringList{QStringLiteral("--wait-pid=12ab")} << home << client
                                << qint64(0) << QStringList();
    *row("empty pid") << QStringList{QStringLiteral("--wait-pid=")} << home << client << qint64(0)
                      << QStringList();
    *row("launch args untouched")
        << QStringList{QStringLiteral("--launch-arg=plain"), QStringLiteral("--launch-arg"),
                       QStringLiteral(" padded "),           QStringLiteral("--launch-arg="),
                       QStringLiteral("--launch-arg"),       QStringLiteral("--connect=\"a b\"")}
        << home << client << qint64(0)
        << QStringList{QStringLiteral("plain"), QStringLiteral(" padded "), QString(),
                       QStringLiteral("--connect=\"a b\"")};
}

void TestLaunchOptions::read()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, appDir);
    QFETCH(QString, clientExecutable);
    QFETCH(qint64, waitPid);
    QFETCH(QStringList, launchArguments);

    QCommandLineParser parser;
    addLaunchOptions(parser);
    arguments.prepend(QStringLiteral("QuorvexUpdater"));
    QVERIFY2(parser.parse(arguments), qPrintable(parser.errorText()));

    const LaunchOptions options = readLaunchOptions(parser, QStringLiteral("/opt/quorvex"));
    QCOMPARE(options.appDir, appDir);
    QCOMPARE(options.clientExecutable, clientExecutable);
    QCOMPARE(options.waitPid, waitPid);
    QCOMPARE(options.launchArguments, launchArguments);
}

void TestLaunchOptions::rejected_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("unknown option") << QStringList{QStringLiteral("--app-folder=/x")};
    QTest::newRow("missing value") << QStringList{QStringLiteral("--wait-pid")};
    // A value-taking option must not be mistaken for a flag with a default.
    QTest::newRow("launch-arg without value") << QStringList{QStringLiteral("--launch-arg")};
}

void TestLaunchOptions::rejected()
{
    QFETCH(QStringList, arguments);
    QCommandLineParser parser;
    addLaunchOptions(parser);
    arguments.prepend(QStringLiteral("QuorvexUpdater"));
    QVERIFY(!parser.parse(arguments));
}

QTEST_APPLESS_MAIN(TestLaunchOptions)
#include "tst_launchoptions.moc"
