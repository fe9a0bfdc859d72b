// What the updater is handed: its command line (defaults, trimming, repetition, process ids),
// updater_config.json and version.json (every JSON type a key may hold), and the atomic write.
#include "app/launchoptions.h"
#include "files/appversion.h"
#include "files/updateconfig.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#endif

namespace {

QString describe(const UpdateConfig &c)
{
    QStringList urls;
    for (const QUrl &url : c.manifestUrls)
        urls.append(url.toString());
    return QStringLiteral("%1|%2|%3|%4|%5|%6|%7")
        .arg(QString::number(c.enabled), c.manifestUrl.toString(), urls.join(QLatin1Char(' ')),
             QString::number(c.checkTimeoutMs), QString::number(c.downloadTimeoutMs),
             QString::number(c.maxParallelDownloads), QString::number(c.maxDownloadRateKib));
}

const QUrl oldUrl(QStringLiteral("http://old/"));
const UpdateConfig filled{true, oldUrl, {oldUrl}, 11, 22, {}, false, 3, 9};

} // namespace

class TestInputs : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void read_data();
    void read();
    void write();
};

void TestInputs::commandLine_data()
{
    QTest::addColumn<QString>("arguments"); // '|' apart
    QTest::addColumn<QString>("expected");  // folder|executable|pid|arguments...
    const auto row = [](const char *name, const char *arguments, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(arguments) << QString::fromUtf8(expected);
    };
    row("nothing given", "", "/opt/up|QuorvexEmulator.exe|0");
    row("blank paths fall back", "--app-dir|   |--app-executable=\t ",
        "/opt/up|QuorvexEmulator.exe|0");
    row("paths trimmed, last occurrence wins",
        "--app-dir|/first|--app-dir|  /games/q one  |--app-executable| bin/c.exe ",
        "/games/q one|bin/c.exe|0");
    row("pid beyond 32 bits", "--wait-pid|9000000000", "/opt/up|QuorvexEmulator.exe|9000000000");
    row("pid negative", "--wait-pid|-5|--launch-arg| a ", "/opt/up|QuorvexEmulator.exe|-5| a ");
    row("pid hexadecimal", "--wait-pid|0x10", "/opt/up|QuorvexEmulator.exe|0");
}

void TestInputs::commandLine()
{
    QFETCH(QString, arguments);
    QCommandLineParser parser;
    addLaunchOptions(parser);
    QVERIFY(parser.parse(QStringList{QStringLiteral("updater")} +
                         arguments.split(QLatin1Char('|'), Qt::SkipEmptyParts)));
    const LaunchOptions options = readLaunchOptions(parser, QStringLiteral("/opt/up"));
    QTEST(QStringList({options.appDir, options.clientExecutable, QString::number(options.waitPid)})
                  .join(QLatin1Char('|')) +
              QString(options.launchArguments.isEmpty() ? QString() : QStringLiteral("|")) +
              options.launchArguments.join(QLatin1Char('|')),
          "expected");
}

void TestInputs::read_data()
{
    QTest::addColumn<QString>("fileName");
    // null: no file; "/": a folder; "-": no record; "|": a pipe; "~": an endless device
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected"); // the record read, or the error ('*': any reason)
    const auto row = [](const char *file, const char *name, const char *content,
                        const char *expected) {
        QTest::newRow(name) << QString::fromLatin1(file)
                            << (content ? QByteArray(content).replace('\'', '"') : QByteArray())
                            << QString::fromUtf8(expected);
    };
    const char *config = "updater_config.json", *version = "version.json";
    const char *defaults = "0|||4000|120000|6|0";
    row(config, "no config resets the record", nullptr, defaults);
    row(config, "no record to fill", "-", "Estrutura UpdateConfig ausente.");
    row(config, "config is a folder", "/", "Nao foi possivel abrir updater_config.json: *");
    row(config, "config is an array", "[]", "updater_config.json invalido.");
    row(config, "wrong types fall back",
        "{'enabled': 'true', 'manifest_url': 5, 'manifest_urls': 'http://a/', "
        "'max_parallel_downloads': '3', 'max_download_rate_kib': 2.5}",
        defaults);
    row(config, "transfers and cap held to their range",
        "{'max_parallel_downloads': 17, 'max_download_rate_kib': -1}", "0|||4000|120000|16|0");
    row(config, "one transfer, a cap",
        "{'max_parallel_downloads': 0, 'max_download_rate_kib': 512}", "0|||4000|120000|1|512");
    row(config, "list trimmed; duplicates, empties, invalid and non-strings dropped",
        "{'manifest_urls': ['\\t http://a/ \\n', 'http://b/', 'http://a/', '', 5, 'http://a b/']}",
        "0||http://a/ http://b/|4000|120000|6|0");
    row(config, "enabled, list first, single last",
        "{'enabled': true, 'manifest_url': 'http://c/', 'manifest_urls': ['http://a/', "
        "'http://b/']}",
        "1|http://c/|http://a/ http://b/ http://c/|4000|120000|6|0");
    row(config, "listed single keeps its place",
        "{'manifest_url': 'http://a/', 'manifest_urls': ['http://a/', 'http://b/']}",
        "0|http://a/|http://a/ http://b/|4000|120000|6|0");
    row(config, "time-outs whole in any notation, up to the 32-bit limits",
        "{'check_timeout_ms': 2147483647.0, 'download_timeout_ms': -2.147483648e9}",
        "0|||2147483647|-2147483648|6|0");
    row(config, "time-outs as string or fraction",
        "{'check_timeout_ms': '2500', 'download_timeout_ms': 2500.5}", defaults);
    row(config, "public key not a string", "{'public_key': 5}", "updater_config.json invalido.");
    row(config, "public key not a key", "{'public_key': 'MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAE'}",
        "updater_config.json invalido.");
    row(config, "time-outs outside the range",
        "{'check_timeout_ms': 2147483648, 'download_timeout_ms': 1e300}", defaults);
#ifndef Q_OS_WIN
    // Neither is waited on or read to its end.
    row(config, "config is a pipe", "|", "Nao foi possivel abrir updater_config.json: *");
    row(version, "version.json is a device", "~", "Nao foi possivel abrir version.json: *");
#endif
    row(version, "no version record to fill", "-", "Estrutura AppVersion ausente.");
    row(version, "version.json is a folder", "/", "Nao foi possivel abrir version.json: *");
    row(version, "version untrimmed, build fractional", "{'version': ' 1.2 ', 'build': 7.5}",
        " 1.2 |0|1.2 (build 0)");
    row(version, "blank version, build above the limit", "{'version': ' ', 'build': 2147483648}",
        " |0|0.0.0");
    row(version, "marker in the text", "{'version': '%2', 'build': 5}", "%2|5|%2 (build 5)");
}

void TestInputs::read()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    QFile file(path);
#ifndef Q_OS_WIN
    if (content == "|" || content == "~")
        QVERIFY(content == "|" ? ::mkfifo(QFile::encodeName(path).constData(), 0644) == 0
                               : QFile::link(QStringLiteral("/dev/zero"), path));
    else
#endif
        QVERIFY(content == "/" ? QDir().mkpath(path + QStringLiteral("/inner"))
                               : content.isNull() || content == "-" ||
                                     (file.open(QIODevice::WriteOnly) && file.write(content) > 0));
    file.close();
    UpdateConfig config = filled;
    AppVersion version{QStringLiteral("kept"), 77};
    QString error = QStringLiteral("untouched");
    const bool isConfig = fileName.startsWith(QLatin1Char('u'));
    const bool absent = content == "-";
    const bool ok = isConfig ? readUpdateConfig(dir.path(), absent ? nullptr : &config, &error)
                             : readAppVersion(dir.path(), absent ? nullptr : &version, &error);
    const QString got = isConfig ? describe(config)
                                 : QStringLiteral("%1|%2|%3")
                                       .arg(version.version, QString::number(version.build),
                                            appVersionText(version));
    // A failed read leaves the record as it was; a successful one leaves the error text alone.
    const bool failure = expected.endsWith(QLatin1Char('.')) || expected.endsWith(QLatin1Char('*'));
    QCOMPARE(ok, !failure);
    if (!failure) {
        QCOMPARE(got, expected);
        QCOMPARE(error, QStringLiteral("untouched"));
        return;
    }
    QVERIFY2(expected.endsWith(QLatin1Char('*')) ? error.startsWith(expected.chopped(1))
                                                 : error == expected,
             qPrintable(error));
    QCOMPARE(got, isConfig ? describe(filled) : QStringLiteral("kept|77|kept (build 77)"));
}

// Written atomically, read back the same; a folder in the way leaves nothing behind.
void TestInputs::write()
{
    QTemporaryDir dir;
    AppVersion read;
    QVERIFY(writeAppVersion(dir.path(), AppVersion{QStringLiteral(" 1.4 "), 12}));
    QVERIFY(readAppVersion(dir.path(), &read));
    QCOMPARE(appVersionText(read) + read.version, QStringLiteral("1.4 (build 12) 1.4 "));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/version.json/inner")));
    QString error;
    QVERIFY(!writeAppVersion(dir.filePath(QStringLiteral("sub")), read, &error));
    QVERIFY2(error.startsWith(QLatin1String("Nao foi possivel gravar version.json: ")),
             qPrintable(error));
    QCOMPARE(QDir(dir.filePath(QStringLiteral("sub"))).entryList(QDir::Files | QDir::Hidden),
             QStringList());
}

QTEST_GUILESS_MAIN(TestInputs)
#include "tst_inputs.moc"
