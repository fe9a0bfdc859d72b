#include "files/appversion.h"
#include "files/updateconfig.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#endif

namespace {

const QString untouched = QStringLiteral("earlier message");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// A record whose every field differs from the defaults, to see what a read touched.
UpdateConfig filledConfig()
{
    UpdateConfig config;
    config.enabled = true;
    config.manifestUrl = QUrl(QStringLiteral("http://old.example/m.json"));
    config.manifestUrls = {QUrl(QStringLiteral("http://older.example/m.json")), config.manifestUrl};
    config.checkTimeoutMs = 11;
    config.downloadTimeoutMs = 22;
    return config;
}

void verifySameConfig(const UpdateConfig &actual, const UpdateConfig &expected)
{
    QCOMPARE(actual.enabled, expected.enabled);
    QCOMPARE(actual.manifestUrl, expected.manifestUrl);
    QCOMPARE(actual.manifestUrls, expected.manifestUrls);
    QCOMPARE(actual.checkTimeoutMs, expected.checkTimeoutMs);
    QCOMPARE(actual.downloadTimeoutMs, expected.downloadTimeoutMs);
}

QList<QUrl> urlList(const QStringList &texts)
{
    QList<QUrl> urls;
    for (const QString &text : texts)
        urls.append(QUrl(text));
    return urls;
}

QByteArray deeplyNested(const char *key)
{
    return QByteArray("{\"") + key + "\":" + QByteArray(100000, '[') + QByteArray(100000, ']') +
           "}";
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void configContent_data();
    void configContent();
    void configMissingFileResets();
    void configOpenFailure();
    void configAbsentRecord();
    void configLargeFile();
    void appendUniqueUrl_data();
    void appendUniqueUrl();

    void versionRead_data();
    void versionRead();
    void versionMissingFile();
    void versionOpenFailure();
    void versionAbsentRecord();
    void versionText_data();
    void versionText();
    void versionWriteRoundTrip_data();
    void versionWriteRoundTrip();
    void versionWriteFailure_data();
    void versionWriteFailure();
    void versionCommitFailureKeepsOldFile();
};

void TestFiles::configContent_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("manifestUrl");
    QTest::addColumn<QStringList>("urls");
    QTest::addColumn<int>("checkMs");
    QTest::addColumn<int>("downloadMs");

    const QString a = QStringLiteral("http://a.example/m.json");
    const QString b = QStringLiteral("http://b.example/m.json");
    const QString c = QStringLiteral("http://c.example/m.json");

    // Content that is not an object: the record must come back untouched.
    for (const auto &bad : {std::pair<const char *, QByteArray>{"empty file", QByteArray()},
                            {"top-level array", "[]"},
                            {"top-level string", "\"enabled\""},
                            {"truncated", "{\"enabled\": true, \"manifest_url\": \"http://a"},
                            {"non-UTF-8 string", "{\"manifest_url\": \"http://\xff\xfe/\"}"},
                            {"binary garbage", QByteArray("\x00\x01\x02\x80\xff", 5)},
                            {"deeply nested", deeplyNested("manifest_urls")},
                            {"number overflowing a double", "{\"check_timeout_ms\": 1e400}"}})
        QTest::newRow(bad.first) << bad.second << false << false << QString() << QStringList() << 0
                                 << 0;

    QTest::newRow("empty object") << QByteArray("{}") << true << false << QString() << QStringList()
                                  << 4000 << 120000;
    QTest::newRow("enabled true") << QByteArray("{\"enabled\": true}") << true << true << QString()
                                  << QStringList() << 4000 << 120000;
    QTest::newRow("enabled as string") << QByteArray("{\"enabled\": \"true\"}") << true << false
                                       << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("enabled as number") << QByteArray("{\"enabled\": 1}") << true << false
                                       << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("key names are case-sensitive")
        << QByteArray("{\"Enabled\": true, \"Manifest_Url\": \"http://a.example/m.json\"}") << true
        << false << QString() << QStringList() << 4000 << 120000;

    QTest::newRow("single url") << QByteArray("{\"enabled\": true, \"manifest_url\": \"" +
                                              a.toUtf8() + "\"}")
                                << true << true << a << QStringList{a} << 4000 << 120000;
    QTest::newRow("single url is not trimmed")
        << QByteArray("{\"manifest_url\": \" http://a.example/m.json\"}") << true << false
        << QStringLiteral(" http://a.example/m.json") << QStringList() << 4000 << 120000;
    QTest::newRow("single url as number") << QByteArray("{\"manifest_url\": 5}") << true << false
                                          << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("list trimmed, duplicates and non-strings dropped")
        << QByteArray("{\"manifest_urls\": [\"  http://a.example/m.json \", "
                      "\"http://a.example/m.json\", \"\", 5, {\"u\": 1}, null]}")
        << true << false << QString() << QStringList{a} << 4000 << 120000;
    QTest::newRow("list entries trimmed")
        << QByteArray("{\"manifest_urls\": [\"\\t" + b.toUtf8() + " \\n\"]}") << true << false
        << QString() << QStringList{b} << 4000 << 120000;
    QTest::newRow("list first, single last")
        << QByteArray("{\"manifest_urls\": [\"" + a.toUtf8() + "\", \"" + b.toUtf8() +
                      "\"], \"manifest_url\": \"" + c.toUtf8() + "\"}")
        << true << false << c << QStringList{a, b, c} << 4000 << 120000;
    QTest::newRow("single already listed keeps its place")
        << QByteArray("{\"manifest_url\": \"" + a.toUtf8() + "\", \"manifest_urls\": [\"" +
                      a.toUtf8() + "\", \"" + b.toUtf8() + "\"]}")
        << true << false << a << QStringList{a, b} << 4000 << 120000;
    QTest::newRow("list given as a string")
        << QByteArray("{\"manifest_urls\": \"" + a.toUtf8() + "\"}") << true << false << QString()
        << QStringList() << 4000 << 120000;

    QTest::newRow("time-outs whole") << QByteArray("{\"check_timeout_ms\": 2500, "
                                                   "\"download_timeout_ms\": 9000}")
                                     << true << false << QString() << QStringList() << 2500 << 9000;
    QTest::newRow("time-outs written with a fraction part")
        << QByteArray("{\"check_timeout_ms\": 2500.0, \"download_timeout_ms\": 25e2}") << true
        << false << QString() << QStringList() << 2500 << 2500;
    QTest::newRow("time-outs as strings")
        << QByteArray("{\"check_timeout_ms\": \"2500\", \"download_timeout_ms\": \"9000\"}") << true
        << false << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("time-outs fractional")
        << QByteArray("{\"check_timeout_ms\": 2500.5, "
                      "\"download_timeout_ms\": 0.1}")
        << true << false << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("time-outs zero and negative kept")
        << QByteArray("{\"check_timeout_ms\": -1, \"download_timeout_ms\": 0}") << true << false
        << QString() << QStringList() << -1 << 0;
    QTest::newRow("time-outs at the 32-bit limits")
        << QByteArray("{\"check_timeout_ms\": 2147483647, "
                      "\"download_timeout_ms\": -2147483648}")
        << true << false << QString() << QStringList() << 2147483647 << (-2147483647 - 1);
    QTest::newRow("time-outs just outside the 32-bit range")
        << QByteArray("{\"check_timeout_ms\": 2147483648, "
                      "\"download_timeout_ms\": -2147483649}")
        << true << false << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("time-outs huge")
        << QByteArray("{\"check_timeout_ms\": 1e300, "
                      "\"download_timeout_ms\": "
                      "123456789012345678901234567890}")
        << true << false << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("time-outs boolean and null")
        << QByteArray("{\"check_timeout_ms\": true, \"download_timeout_ms\": null}") << true
        << false << QString() << QStringList() << 4000 << 120000;
    QTest::newRow("deep value under an unknown key")
        << QByteArray("{\"x\": ") + QByteArray(200, '[') + QByteArray(200, ']') +
               ", \"enabled\": true}"
        << true << true << QString() << QStringList() << 4000 << 120000;
}

void TestFiles::configContent()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, ok);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("updater_config.json")), content));

    UpdateConfig config = filledConfig();
    QString error = untouched;
    QCOMPARE(readUpdateConfig(dir.path(), &config, &error), ok);

    if (!ok) {
        QCOMPARE(error, QStringLiteral("updater_config.json invalido."));
        verifySameConfig(config, filledConfig());
        return;
    }

    QFETCH(bool, enabled);
    QFETCH(QString, manifestUrl);
    QFETCH(QStringList, urls);
    QFETCH(int, checkMs);
    QFETCH(int, downloadMs);
    QCOMPARE(error, untouched);
    UpdateConfig expected;
    expected.enabled = enabled;
    expected.manifestUrl = manifestUrl.isNull() ? QUrl() : QUrl(manifestUrl, QUrl::TolerantMode);
    expected.manifestUrls = urlList(urls);
    expected.checkTimeoutMs = checkMs;
    expected.downloadTimeoutMs = downloadMs;
    verifySameConfig(config, expected);
}

void TestFiles::configMissingFileResets()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    UpdateConfig config = filledConfig();
    QString error = untouched;
    QVERIFY(readUpdateConfig(dir.path(), &config, &error));
    QCOMPARE(error, untouched);
    verifySameConfig(config, UpdateConfig());
}

void TestFiles::configOpenFailure()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // A folder in place of the file exists but cannot be read as one.
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("updater_config.json/inner")));

    UpdateConfig config = filledConfig();
    QString error;
    QVERIFY(!readUpdateConfig(dir.path(), &config, &error));
    const QString prefix = QStringLiteral("Nao foi possivel abrir updater_config.json: ");
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
    verifySameConfig(config, filledConfig());
    QVERIFY(!readUpdateConfig(dir.path(), &config, nullptr));
}

void TestFiles::configAbsentRecord()
{
    QString error;
    QVERIFY(!readUpdateConfig(QDir::tempPath(), nullptr, &error));
    QCOMPARE(error, QStringLiteral("Estrutura UpdateConfig ausente."));
    QVERIFY(!readUpdateConfig(QDir::tempPath(), nullptr, nullptr));
}

void TestFiles::configLargeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray padding(8 * 1024 * 1024, 'x');
    QVERIFY(writeBytes(dir.filePath(QStringLiteral("updater_config.json")),
                       "{\"padding\": \"" + padding +
                           "\", \"enabled\": true, \"manifest_url\": \"http://a.example/\"}"));
    UpdateConfig config;
    QVERIFY(readUpdateConfig(dir.path(), &config));
    QVERIFY(config.enabled);
    QCOMPARE(config.manifestUrls, urlList({QStringLiteral("http://a.example/")}));
}

void TestFiles::appendUniqueUrl_data()
{
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("after");

    const QString a = QStringLiteral("http://a.example/m.json");
    QTest::newRow("new url appended at the end")
        << QStringList{a} << QStringLiteral("http://b.example/")
        << QStringList{a, QStringLiteral("http://b.example/")};
    QTest::newRow("equal url skipped") << QStringList{a} << a << QStringList{a};
    QTest::newRow("scheme and host case do not make it new")
        << QStringList{a} << QStringLiteral("HTTP://A.example/m.json") << QStringList{a};
    QTest::newRow("trailing slash makes it new")
        << QStringList{QStringLiteral("http://a.example/x")}
        << QStringLiteral("http://a.example/x/")
        << QStringList{QStringLiteral("http://a.example/x"), QStringLiteral("http://a.example/x/")};
    QTest::newRow("empty url skipped") << QStringList{a} << QString() << QStringList{a};
    QTest::newRow("invalid url skipped")
        << QStringList() << QStringLiteral("http://a b.example/") << QStringList();
}

void TestFiles::appendUniqueUrl()
{
    QFETCH(QStringList, before);
    QFETCH(QString, url);
    QFETCH(QStringList, after);

    QList<QUrl> urls = urlList(before);
    ::appendUniqueUrl(&urls, QUrl(url, QUrl::TolerantMode));
    QCOMPARE(urls, urlList(after));
    ::appendUniqueUrl(nullptr, QUrl(url, QUrl::TolerantMode));
}

void TestFiles::versionRead_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");

    for (const auto &bad : {std::pair<const char *, QByteArray>{"empty file", QByteArray()},
                            {"top-level array", "[{\"version\": \"1.0\"}]"},
                            {"null", "null"},
                            {"truncated", "{\"version\": \"1.0\", \"build\": 3"},
                            {"non-UTF-8 string", "{\"version\": \"1.\xc3\x28\"}"},
                            {"deeply nested", deeplyNested("version")}})
        QTest::newRow(bad.first) << bad.second << false << QString() << 0;

    QTest::newRow("version and build") << QByteArray("{\"version\": \"1.4.2\", \"build\": 7}")
                                       << true << QStringLiteral("1.4.2") << 7;
    QTest::newRow("empty object") << QByteArray("{}") << true << QStringLiteral("0.0.0") << 0;
    QTest::newRow("version as number")
        << QByteArray("{\"version\": 3, \"build\": 2}") << true << QStringLiteral("0.0.0") << 2;
    QTest::newRow("version empty string")
        << QByteArray("{\"version\": \"\"}") << true << QString() << 0;
    QTest::newRow("version kept untrimmed")
        << QByteArray("{\"version\": \" 1.2.3 \"}") << true << QStringLiteral(" 1.2.3 ") << 0;
    QTest::newRow("windows line ends and other keys")
        << QByteArray("{\r\n  \"extra\": [1, 2],\r\n  \"version\": \"2.0\",\r\n  \"build\": "
                      "-4\r\n}\r\n")
        << true << QStringLiteral("2.0") << -4;
    QTest::newRow("build written with a fraction part")
        << QByteArray("{\"version\": \"1\", \"build\": 7.0}") << true << QStringLiteral("1") << 7;
    QTest::newRow("build fractional")
        << QByteArray("{\"version\": \"1\", \"build\": 7.5}") << true << QStringLiteral("1") << 0;
    QTest::newRow("build as string")
        << QByteArray("{\"version\": \"1\", \"build\": \"7\"}") << true << QStringLiteral("1") << 0;
    QTest::newRow("build above the 32-bit range")
        << QByteArray("{\"version\": \"1\", \"build\": 2147483648}") << true << QStringLiteral("1")
        << 0;
    QTest::newRow("build huge")
        << QByteArray("{\"version\": \"1\", \"build\": 99999999999999999999999999}") << true
        << QStringLiteral("1") << 0;
    QTest::newRow("build at the 32-bit limit")
        << QByteArray("{\"version\": \"1\", \"build\": 2147483647}") << true << QStringLiteral("1")
        << 2147483647;
}

void TestFiles::versionRead()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, ok);
    QFETCH(QString, version);
    QFETCH(int, build);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(writeBytes(versionFilePath(dir.path()), content));

    AppVersion record{QStringLiteral("kept"), 77};
    QString error = untouched;
    QCOMPARE(readAppVersion(dir.path(), &record, &error), ok);
    if (!ok) {
        QCOMPARE(error, QStringLiteral("version.json invalido."));
        QCOMPARE(record.version, QStringLiteral("kept"));
        QCOMPARE(record.build, 77);
        return;
    }
    QCOMPARE(error, untouched);
    QCOMPARE(record.version, version);
    QCOMPARE(record.version.isNull(), false);
    QCOMPARE(record.build, build);
}

void TestFiles::versionMissingFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    AppVersion record{QStringLiteral("9.9"), 9};
    QString error = untouched;
    QVERIFY(readAppVersion(dir.path(), &record, &error));
    QCOMPARE(error, untouched);
    QCOMPARE(record.version, QStringLiteral("0.0.0"));
    QCOMPARE(record.build, 0);
    QCOMPARE(appVersionText(record), QStringLiteral("0.0.0 (build 0)"));
}

void TestFiles::versionOpenFailure()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("version.json/inner")));
    AppVersion record{QStringLiteral("kept"), 77};
    QString error;
    QVERIFY(!readAppVersion(dir.path(), &record, &error));
    const QString prefix = QStringLiteral("Nao foi possivel abrir version.json: ");
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
    QCOMPARE(record.version, QStringLiteral("kept"));
    QCOMPARE(record.build, 77);
}

void TestFiles::versionAbsentRecord()
{
    QString error;
    QVERIFY(!readAppVersion(QDir::tempPath(), nullptr, &error));
    QCOMPARE(error, QStringLiteral("Estrutura AppVersion ausente."));
    QVERIFY(!readAppVersion(QDir::tempPath(), nullptr, nullptr));
}

void TestFiles::versionText_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("text");

    QTest::newRow("plain") << QStringLiteral("1.4.2") << 7 << QStringLiteral("1.4.2 (build 7)");
    QTest::newRow("trimmed") << QStringLiteral(" 1.2.3 ") << 5 << QStringLiteral("1.2.3 (build 5)");
    QTest::newRow("empty hides the build") << QString() << 5 << QStringLiteral("0.0.0");
    QTest::newRow("blank hides the build")
        << QStringLiteral(" \t ") << 5 << QStringLiteral("0.0.0");
    QTest::newRow("negative build")
        << QStringLiteral("2.0") << -3 << QStringLiteral("2.0 (build -3)");
    QTest::newRow("markers in the version stay")
        << QStringLiteral("%2-%1") << 1 << QStringLiteral("%2-%1 (build 1)");
}

void TestFiles::versionText()
{
    QFETCH(QString, version);
    QFETCH(int, build);
    QFETCH(QString, text);
    QCOMPARE(appVersionText(AppVersion{version, build}), text);
}

void TestFiles::versionWriteRoundTrip_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("build");
    QTest::addColumn<QByteArray>("previous");

    QTest::newRow("new file") << QStringLiteral("1.4.2") << 7 << QByteArray();
    QTest::newRow("spaces kept, old keys dropped")
        << QStringLiteral(" 1.2.3 ") << 5
        << QByteArray("{\"version\": \"1.0\", \"build\": 1, \"extra\": true}");
    QTest::newRow("quotes and non-ASCII text")
        << QStringLiteral("2.0 \"beta\" \u00e7\u00e3o") << -2147483647 - 1 << QByteArray("garbage");
    QTest::newRow("empty version") << QString() << 0 << QByteArray("{}");
}

void TestFiles::versionWriteRoundTrip()
{
    QFETCH(QString, version);
    QFETCH(int, build);
    QFETCH(QByteArray, previous);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = versionFilePath(dir.path());
    QCOMPARE(path, dir.path() + QStringLiteral("/version.json"));
    if (!previous.isNull())
        QVERIFY(writeBytes(path, previous));

    const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-1000);
    QString error = untouched;
    QVERIFY(writeAppVersion(dir.path(), AppVersion{version, build}, &error));
    const QDateTime after = QDateTime::currentDateTimeUtc();
    QCOMPARE(error, untouched);
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("version.json")});

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray raw = file.readAll();
#ifdef Q_OS_WIN
    QVERIFY(raw.contains("\r\n"));
    raw.replace("\r\n", "\n");
#endif
    QVERIFY(!raw.contains('\r'));

    const QRegularExpression shape(QStringLiteral(
        "^\\{\\n    \"build\": -?\\d+,\\n    \"updated_at\": "
        "\"(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\",\\n    \"version\": \".*\"\\n\\}\\n$"));
    const QRegularExpressionMatch match = shape.match(QString::fromUtf8(raw));
    QVERIFY2(match.hasMatch(), raw.constData());
    const QDateTime stamp = QDateTime::fromString(match.captured(1), Qt::ISODate);
    QCOMPARE(stamp.timeSpec(), Qt::UTC);
    QVERIFY(stamp >= before && stamp <= after);

    const QJsonObject object = QJsonDocument::fromJson(raw).object();
    QCOMPARE(object.keys(), (QStringList{QStringLiteral("build"), QStringLiteral("updated_at"),
                                         QStringLiteral("version")}));

    AppVersion back;
    QVERIFY(readAppVersion(dir.path(), &back, &error));
    QCOMPARE(back.version, version.isNull() ? QStringLiteral("") : version);
    QCOMPARE(back.build, build);
}

void TestFiles::versionWriteFailure_data()
{
    QTest::addColumn<QString>("blocker");

    // Each leaves the save no place to put its temporary file or its result.
    QTest::newRow("version.json is a non-empty folder") << QStringLiteral("version.json");
    QTest::newRow("client folder below a regular file") << QStringLiteral("plain-file");
}

void TestFiles::versionWriteFailure()
{
    QFETCH(QString, blocker);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString appDir = dir.path();
    const QString blockerPath = dir.filePath(blocker);
    const QByteArray kept("{\"version\": \"1.0\", \"build\": 1}");
    if (blocker == QLatin1String("version.json")) {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("version.json")));
        QVERIFY(writeBytes(blockerPath + QStringLiteral("/keep.txt"), kept));
    } else {
        QVERIFY(writeBytes(blockerPath, kept));
        appDir = blockerPath + QStringLiteral("/client");
    }
    const QStringList entries =
        QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);

    QString error;
    QVERIFY(!writeAppVersion(appDir, AppVersion{QStringLiteral("2.0"), 2}, &error));
    const QString prefix = QStringLiteral("Nao foi possivel gravar version.json: ");
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
    QVERIFY(!writeAppVersion(appDir, AppVersion{QStringLiteral("2.0"), 2}, nullptr));

    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             entries);
    const QString keptPath = blocker == QLatin1String("version.json")
                                 ? blockerPath + QStringLiteral("/keep.txt")
                                 : blockerPath;
    QFile file(keptPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), kept);
    if (blocker == QLatin1String("version.json"))
        QCOMPARE(
            QDir(blockerPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{QStringLiteral("keep.txt")});
}

void TestFiles::versionCommitFailureKeepsOldFile()
{
#ifndef Q_OS_UNIX
    QSKIP("needs a file size limit to make the write fail");
#else
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray old("{\"version\": \"1.0\", \"build\": 1}");
    QVERIFY(writeBytes(versionFilePath(dir.path()), old));

    // A file size limit holds for root as well: the new content cannot be written
    // past a few bytes, so the save has to give up at its commit.
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
    QVERIFY2(error.startsWith(prefix) && error.size() > prefix.size(), qPrintable(error));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{QStringLiteral("version.json")});
    QFile file(versionFilePath(dir.path()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), old);
#endif
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
