#include "files/appversion.h"
#include "files/updateconfig.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

const QString untouched = QStringLiteral("earlier message");
const QString invalid = QStringLiteral("invalid");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

// Rows write JSON with single quotes to stay readable.
QByteArray json(const char *text)
{
    return QByteArray(text).replace('\'', '"');
}

QByteArray deeplyNested()
{
    return "{\"manifest_urls\":" + QByteArray(100000, '[') + QByteArray(100000, ']') + "}";
}

QString describe(const UpdateConfig &c)
{
    QStringList urls;
    for (const QUrl &url : c.manifestUrls)
        urls.append(url.toString());
    const QString single = c.manifestUrl.isEmpty() || c.manifestUrl.isValid()
                               ? c.manifestUrl.toString()
                               : QStringLiteral("(invalid)");
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(QString::number(c.enabled), single, urls.join(QLatin1Char(' ')),
             QString::number(c.checkTimeoutMs), QString::number(c.downloadTimeoutMs));
}

UpdateConfig filledConfig()
{
    UpdateConfig config;
    config.enabled = true;
    config.manifestUrl = QUrl(QStringLiteral("http://old/"));
    config.manifestUrls = {QUrl(QStringLiteral("http://older/")), config.manifestUrl};
    config.checkTimeoutMs = 11;
    config.downloadTimeoutMs = 22;
    return config;
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void config_data();
    void config();
    void configMissingFileResets();
    void largeConfig();
    void appendUniqueUrl_data();
    void appendUniqueUrl();
    void readFailures_data();
    void readFailures();

    void versionRead_data();
    void versionRead();
    void versionText_data();
    void versionText();
    void versionWrite();
    void versionWriteFailure_data();
    void versionWriteFailure();
    void versionCommitFailureKeepsOldFile();
};

void TestFiles::config_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("empty file") << QByteArray() << invalid;
    QTest::newRow("top-level array") << json("[]") << invalid;
    QTest::newRow("truncated") << json("{'enabled': true, 'manifest_url': 'http://a") << invalid;
    QTest::newRow("non-UTF-8") << QByteArray("{\"manifest_url\": \"http://\xff\xfe/\"}") << invalid;
    QTest::newRow("binary") << QByteArray("\x00\x01\x80\xff", 4) << invalid;
    QTest::newRow("deeply nested") << deeplyNested() << invalid;
    QTest::newRow("number beyond double") << json("{'check_timeout_ms': 1e400}") << invalid;

    QTest::newRow("empty object") << json("{}") << QStringLiteral("0|||4000|120000");
    QTest::newRow("enabled") << json("{'enabled': true}") << QStringLiteral("1|||4000|120000");
    QTest::newRow("enabled as string")
        << json("{'enabled': 'true'}") << QStringLiteral("0|||4000|120000");
    QTest::newRow("enabled as 1") << json("{'enabled': 1}") << QStringLiteral("0|||4000|120000");
    QTest::newRow("keys are case-sensitive")
        << json("{'Enabled': true, 'Manifest_Url': 'http://a/'}")
        << QStringLiteral("0|||4000|120000");
    QTest::newRow("single url") << json("{'manifest_url': 'http://a/'}")
                                << QStringLiteral("0|http://a/|http://a/|4000|120000");
    QTest::newRow("single url untrimmed")
        << json("{'manifest_url': ' http://a/'}") << QStringLiteral("0|(invalid)||4000|120000");
    QTest::newRow("list entries trimmed") << json("{'manifest_urls': ['\\t http://b/ \\n']}")
                                          << QStringLiteral("0||http://b/|4000|120000");
    QTest::newRow("list duplicates, empties and non-strings dropped")
        << json("{'manifest_urls': [' http://a/ ', 'http://a/', '', 5, {'u': 1}, null]}")
        << QStringLiteral("0||http://a/|4000|120000");
    QTest::newRow("list first, single last")
        << json("{'manifest_url': 'http://c/', 'manifest_urls': ['http://a/', 'http://b/']}")
        << QStringLiteral("0|http://c/|http://a/ http://b/ http://c/|4000|120000");
    QTest::newRow("listed single keeps its place")
        << json("{'manifest_url': 'http://a/', 'manifest_urls': ['http://a/', 'http://b/']}")
        << QStringLiteral("0|http://a/|http://a/ http://b/|4000|120000");
    QTest::newRow("list as a string")
        << json("{'manifest_urls': 'http://a/'}") << QStringLiteral("0|||4000|120000");

    QTest::newRow("time-outs") << json("{'check_timeout_ms': 2500, 'download_timeout_ms': 9000}")
                               << QStringLiteral("0|||2500|9000");
    QTest::newRow("time-outs with fraction part zero")
        << json("{'check_timeout_ms': 2500.0, 'download_timeout_ms': 25e2}")
        << QStringLiteral("0|||2500|2500");
    QTest::newRow("time-outs as strings")
        << json("{'check_timeout_ms': '2500', 'download_timeout_ms': '9000'}")
        << QStringLiteral("0|||4000|120000");
    QTest::newRow("time-outs fractional")
        << json("{'check_timeout_ms': 2500.5, 'download_timeout_ms': 0.1}")
        << QStringLiteral("0|||4000|120000");
    QTest::newRow("time-outs zero and negative kept")
        << json("{'check_timeout_ms': -1, 'download_timeout_ms': 0}") << QStringLiteral("0|||-1|0");
    QTest::newRow("time-outs at the 32-bit limits")
        << json("{'check_timeout_ms': 2147483647, 'download_timeout_ms': -2147483648}")
        << QStringLiteral("0|||2147483647|-2147483648");
    QTest::newRow("time-outs just outside the range")
        << json("{'check_timeout_ms': 2147483648, 'download_timeout_ms': -2147483649}")
        << QStringLiteral("0|||4000|120000");
    QTest::newRow("time-outs huge or not numbers")
        << json("{'check_timeout_ms': 1e300, 'download_timeout_ms': true}")
        << QStringLiteral("0|||4000|120000");
}

void TestFiles::config()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("updater_config.json")), content));
    UpdateConfig config = filledConfig();
    QString error = untouched;
    const bool ok = readUpdateConfig(dir.path(), &config, &error);

    QCOMPARE(ok, expected != invalid);
    QCOMPARE(error, ok ? untouched : QStringLiteral("updater_config.json invalido."));
    QCOMPARE(describe(config), ok ? expected : describe(filledConfig()));
}

void TestFiles::configMissingFileResets()
{
    QTemporaryDir dir;
    UpdateConfig config = filledConfig();
    QString error = untouched;
    QVERIFY(readUpdateConfig(dir.path(), &config, &error));
    QCOMPARE(error, untouched);
    QCOMPARE(describe(config), describe(UpdateConfig()));
}

void TestFiles::largeConfig()
{
    QTemporaryDir dir;
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("updater_config.json")),
                       "{\"padding\": \"" + QByteArray(8 << 20, 'x') + "\", \"enabled\": true}"));
    UpdateConfig config;
    QVERIFY(readUpdateConfig(dir.path(), &config));
    QVERIFY(config.enabled);
}

void TestFiles::appendUniqueUrl_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("count");

    QTest::newRow("new url") << QStringLiteral("http://b/") << 2;
    QTest::newRow("equal url") << QStringLiteral("http://a/x") << 1;
    QTest::newRow("scheme and host case normalised") << QStringLiteral("HTTP://A/x") << 1;
    QTest::newRow("trailing slash differs") << QStringLiteral("http://a/x/") << 2;
    QTest::newRow("empty") << QString() << 1;
    QTest::newRow("invalid") << QStringLiteral("http://a b/") << 1;
}

void TestFiles::appendUniqueUrl()
{
    QFETCH(QString, url);
    QFETCH(int, count);

    QList<QUrl> urls{QUrl(QStringLiteral("http://a/x"))};
    ::appendUniqueUrl(&urls, QUrl(url, QUrl::TolerantMode));
    QCOMPARE(urls.size(), count);
    QCOMPARE(urls.first(), QUrl(QStringLiteral("http://a/x")));
    ::appendUniqueUrl(nullptr, QUrl(url, QUrl::TolerantMode));
}

void TestFiles::readFailures_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("record");
    QTest::addColumn<QString>("message");

    // A folder in the file's place exists but cannot be opened as a file.
    QTest::newRow("config is a folder")
        << QStringLiteral("updater_config.json") << true
        << QStringLiteral("Nao foi possivel abrir updater_config.json: ");
    QTest::newRow("version is a folder") << QStringLiteral("version.json") << true
                                         << QStringLiteral("Nao foi possivel abrir version.json: ");
    QTest::newRow("config record absent") << QStringLiteral("updater_config.json") << false
                                          << QStringLiteral("Estrutura UpdateConfig ausente.");
    QTest::newRow("version record absent") << QStringLiteral("version.json") << false
                                           << QStringLiteral("Estrutura AppVersion ausente.");
}

void TestFiles::readFailures()
{
    QFETCH(QString, fileName);
    QFETCH(bool, record);
    QFETCH(QString, message);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(fileName + QStringLiteral("/inner")));
    UpdateConfig config = filledConfig();
    AppVersion version{QStringLiteral("kept"), 77};
    QString error;
    const bool isConfig = fileName.startsWith(QLatin1String("updater"));
    const bool ok = isConfig ? readUpdateConfig(dir.path(), record ? &config : nullptr, &error)
                             : readAppVersion(dir.path(), record ? &version : nullptr, &error);
    QVERIFY(!ok);
    QVERIFY2(message.endsWith(QLatin1Char(' ')) ? error.startsWith(message) && error != message
                                                : error == message,
             qPrintable(error));
    QCOMPARE(describe(config), describe(filledConfig()));
    QCOMPARE(version.version, QStringLiteral("kept"));
    QCOMPARE(version.build, 77);
    QVERIFY(!readUpdateConfig(dir.path(), nullptr) && !readAppVersion(dir.path(), nullptr));
}

void TestFiles::versionRead_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing file") << QByteArray() << QStringLiteral("0.0.0|0");
    QTest::newRow("empty file") << QByteArray("") << invalid;
    QTest::newRow("array") << json("[{'version': '1.0'}]") << invalid;
    QTest::newRow("truncated") << json("{'version': '1.0', 'build': 3") << invalid;
    QTest::newRow("non-UTF-8") << QByteArray("{\"version\": \"1.\xc3\x28\"}") << invalid;
    QTest::newRow("deeply nested") << deeplyNested() << invalid;

    QTest::newRow("both") << json("{'version': '1.4.2', 'build': 7}") << QStringLiteral("1.4.2|7");
    QTest::newRow("empty object") << json("{}") << QStringLiteral("0.0.0|0");
    QTest::newRow("version as number")
        << json("{'version': 3, 'build': 2}") << QStringLiteral("0.0.0|2");
    QTest::newRow("version empty") << json("{'version': ''}") << QStringLiteral("|0");
    QTest::newRow("version untrimmed") << json("{'version': ' 1.2 '}") << QStringLiteral(" 1.2 |0");
    QTest::newRow("CR LF and other keys")
        << json("{\r\n'extra': [1],\r\n'version': '2.0',\r\n'build': -4\r\n}\r\n")
        << QStringLiteral("2.0|-4");
    QTest::newRow("build 7.0") << json("{'version': '1', 'build': 7.0}") << QStringLiteral("1|7");
    QTest::newRow("build 7.5") << json("{'version': '1', 'build': 7.5}") << QStringLiteral("1|0");
    QTest::newRow("build as string")
        << json("{'version': '1', 'build': '7'}") << QStringLiteral("1|0");
    QTest::newRow("build at the limit")
        << json("{'version': '1', 'build': 2147483647}") << QStringLiteral("1|2147483647");
    QTest::newRow("build above the limit")
        << json("{'version': '1', 'build': 2147483648}") << QStringLiteral("1|0");
    QTest::newRow("build huge") << json("{'version': '1', 'build': 99999999999999999999999}")
                                << QStringLiteral("1|0");
}

void TestFiles::versionRead()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    if (!content.isNull())
        QVERIFY(writeBytes(versionFilePath(dir.path()), content));
    AppVersion record{QStringLiteral("kept"), 77};
    QString error = untouched;
    const bool ok = readAppVersion(dir.path(), &record, &error);

    QCOMPARE(ok, expected != invalid);
    QCOMPARE(error, ok ? untouched : QStringLiteral("version.json invalido."));
    QCOMPARE(record.version + QLatin1Char('|') + QString::number(record.build),
             ok ? expected : QStringLiteral("kept|77"));
}

void TestFiles::versionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("text");

    QTest::newRow("default record")
        << QStringLiteral("0.0.0") << 0 << QStringLiteral("0.0.0 (build 0)");
    QTest::newRow("trimmed") << QStringLiteral(" 1.2.3 ") << 5 << QStringLiteral("1.2.3 (build 5)");
    QTest::newRow("blank hides the build") << QStringLiteral(" \t") << 5 << QStringLiteral("0.0.0");
    QTest::newRow("negative build") << QStringLiteral("2") << -3 << QStringLiteral("2 (build -3)");
    QTest::newRow("markers stay") << QStringLiteral("%2") << 1 << QStringLiteral("%2 (build 1)");
}

void TestFiles::versionText()
{
    QFETCH(QString, version);
    QFETCH(int, build);
    QFETCH(QString, text);
    QCOMPARE(appVersionText(AppVersion{version, build}), text);
}

void TestFiles::versionWrite()
{
    QTemporaryDir dir;
    const QString path = versionFilePath(dir.path());
    QCOMPARE(path, dir.path() + QStringLiteral("/version.json"));
    QVERIFY(writeBytes(path, json("{'version': '1.0', 'build': 1, 'extra': true}")));

    const AppVersion written{QStringLiteral(" 1.2.3 \"\u00e7\" "), -5};
    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1000);
    QString error = untouched;
    QVERIFY(writeAppVersion(dir.path(), written, &error));
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QCOMPARE(error, untouched);
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("version.json")});

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QString raw = QString::fromUtf8(file.readAll());
#ifdef Q_OS_WIN
    QVERIFY(raw.contains(QLatin1String("\r\n")));
    raw.remove(QLatin1Char('\r'));
#endif
    const QRegularExpression shape(
        QStringLiteral("^\\{\\n    \"build\": -5,\\n    \"updated_at\": \"(\\d{4}-\\d\\d-\\d\\dT"
                       "\\d\\d:\\d\\d:\\d\\dZ)\",\\n    \"version\": \" 1.2.3 \\\\\"\u00e7\\\\\" "
                       "\"\\n\\}\\n$"));
    const QRegularExpressionMatch match = shape.match(raw);
    QVERIFY2(match.hasMatch(), qPrintable(raw));
    const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODate);
    QVERIFY(stamp >= before && stamp <= after);

    AppVersion back;
    QVERIFY(readAppVersion(dir.path(), &back));
    QCOMPARE(back.version, written.version);
    QCOMPARE(back.build, written.build);
}

void TestFiles::versionWriteFailure_data()
{
    QTest::addColumn<bool>("targetIsFolder");
    QTest::newRow("version.json is a non-empty folder") << true;
    QTest::newRow("client folder below a regular file") << false;
}

void TestFiles::versionWriteFailure()
{
    QFETCH(bool, targetIsFolder);

    QTemporaryDir dir;
    const QByteArray kept("kept");
    QString appDir = dir.path();
    QString keptPath = dir.filePath(QStringLiteral("plain"));
    if (targetIsFolder) {
        QVERIFY(QDir(appDir).mkpath(QStringLiteral("version.json")));
        keptPath = dir.filePath(QStringLiteral("version.json/keep"));
    } else {
        appDir = keptPath + QStringLiteral("/client");
    }
    QVERIFY(writeBytes(keptPath, kept));
    const QStringList before = entries(dir.path());

    QString error;
    QVERIFY(!writeAppVersion(appDir, AppVersion{QStringLiteral("2.0"), 2}, &error));
    const QString prefix = QStringLiteral("Nao foi possivel gravar version.json: ");
    QVERIFY2(error.startsWith(prefix) && error != prefix, qPrintable(error));
    QVERIFY(!writeAppVersion(appDir, AppVersion{QStringLiteral("2.0"), 2}, nullptr));

    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(entries(QFileInfo(keptPath).path()).size(), targetIsFolder ? 1 : before.size());
    QFile file(keptPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), kept);
}

void TestFiles::versionCommitFailureKeepsOldFile()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a file size limit to make the write fail");
#else
    QTemporaryDir dir;
    const QByteArray old = json("{'version': '1.0', 'build': 1}");
    QVERIFY(writeBytes(versionFilePath(dir.path()), old));

    // A file size limit binds root as well, so the new content cannot be written in full.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = 8;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
    QString error;
    const bool ok = writeAppVersion(dir.path(), AppVersion{QStringLiteral("2.0"), 2}, &error);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    QVERIFY(!ok);
    const QString prefix = QStringLiteral("Falha ao finalizar version.json: ");
    QVERIFY2(error.startsWith(prefix) && error != prefix, qPrintable(error));
    QCOMPARE(entries(dir.path()), QStringList{QStringLiteral("version.json")});
    QFile file(versionFilePath(dir.path()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), old);
#endif
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
