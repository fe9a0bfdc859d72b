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

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
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
    void read_data();
    void read();
    void absentRecord();
    void versionText();
    void versionWrite();
    void versionWriteFailure_data();
    void versionWriteFailure();
};

void TestFiles::read_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    // Content null: no file; "/": a folder in its place. Expected: the record read, or the
    // error, '*' standing for the reason that follows it.
    const auto row = [](const char *file, const char *name, const char *content,
                        const char *expected) {
        QTest::newRow(name) << QString::fromLatin1(file) << (content ? json(content) : QByteArray())
                            << QString::fromUtf8(expected);
    };
    const auto config = [&](const char *name, const char *content, const char *expected) {
        row("updater_config.json", name, content, expected);
    };
    const auto version = [&](const char *name, const char *content, const char *expected) {
        row("version.json", name, content, expected);
    };
    const char *badConfig = "updater_config.json invalido.";
    const char *badVersion = "version.json invalido.";
    const char *defaults = "0|||4000|120000";

    config("no config resets the record", nullptr, defaults);
    config("config is a folder", "/", "Nao foi possivel abrir updater_config.json: *");
    config("config empty", "", badConfig);
    config("config is an array", "[]", badConfig);
    config("enabled", "{'enabled': true}", "1|||4000|120000");
    config("enabled as string", "{'enabled': 'true'}", defaults);
    config("single url", "{'manifest_url': 'http://a/'}", "0|http://a/|http://a/|4000|120000");
    config("single url untrimmed", "{'manifest_url': ' http://a/'}", "0|(invalid)||4000|120000");
    config("list trimmed; duplicates, empties, invalid and non-strings dropped",
           "{'manifest_urls': ['\\t http://a/ \\n', 'http://a/', '', 5, 'http://a b/']}",
           "0||http://a/|4000|120000");
    config("list first, single last",
           "{'manifest_url': 'http://c/', 'manifest_urls': ['http://a/', 'http://b/']}",
           "0|http://c/|http://a/ http://b/ http://c/|4000|120000");
    config("listed single keeps its place",
           "{'manifest_url': 'http://a/', 'manifest_urls': ['http://a/', 'http://b/']}",
           "0|http://a/|http://a/ http://b/|4000|120000");
    config("time-outs, whole in any notation",
           "{'check_timeout_ms': 2500.0, 'download_timeout_ms': 9e3}", "0|||2500|9000");
    config("time-outs as string or fraction",
           "{'check_timeout_ms': '2500', 'download_timeout_ms': 2500.5}", defaults);
    config("time-outs zero and negative kept", "{'check_timeout_ms': -1, 'download_timeout_ms': 0}",
           "0|||-1|0");
    config("time-outs at the 32-bit limits",
           "{'check_timeout_ms': 2147483647, 'download_timeout_ms': -2147483648}",
           "0|||2147483647|-2147483648");
    config("time-outs outside the range",
           "{'check_timeout_ms': 2147483648, 'download_timeout_ms': 1e300}", defaults);

    version("no version.json", nullptr, "0.0.0|0");
    version("version.json is a folder", "/", "Nao foi possivel abrir version.json: *");
    version("version.json empty", "", badVersion);
    version("version.json is an array", "[{'version': '1.0'}]", badVersion);
    version("both, other keys ignored", "{'x': [1], 'version': '1.4.2', 'build': 7.0}", "1.4.2|7");
    version("wrong types fall back", "{'version': 3, 'build': '7'}", "0.0.0|0");
    version("version empty", "{'version': ''}", "|0");
    version("version untrimmed, build fractional", "{'version': ' 1.2 ', 'build': 7.5}", " 1.2 |0");
    version("build at the limit", "{'version': '1', 'build': 2147483647}", "1|2147483647");
    version("build above the limit", "{'version': '1', 'build': 2147483648}", "1|0");
}

void TestFiles::read()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    const QString path = dir.filePath(fileName);
    if (content == "/")
        QVERIFY(QDir().mkpath(path + QStringLiteral("/inner")));
    else if (!content.isNull())
        QVERIFY(writeBytes(path, content));

    UpdateConfig config = filledConfig();
    AppVersion version{QStringLiteral("kept"), 77};
    QString error = untouched;
    const bool isConfig = fileName.startsWith(QLatin1String("updater"));
    const bool ok = isConfig ? readUpdateConfig(dir.path(), &config, &error)
                             : readAppVersion(dir.path(), &version, &error);
    const QString got = isConfig
                            ? describe(config)
                            : version.version + QLatin1Char('|') + QString::number(version.build);

    const bool failure = expected.endsWith(QLatin1Char('.')) || expected.endsWith(QLatin1Char('*'));
    QCOMPARE(ok, !failure);
    if (ok) {
        QCOMPARE(error, untouched);
        QCOMPARE(got, expected);
        return;
    }
    QCOMPARE(got, isConfig ? describe(filledConfig()) : QStringLiteral("kept|77"));
    if (expected.endsWith(QLatin1Char('*')))
        QVERIFY2(error.startsWith(expected.chopped(1)) && error.size() > expected.size(),
                 qPrintable(error));
    else
        QCOMPARE(error, expected);
}

void TestFiles::absentRecord()
{
    QTemporaryDir dir;
    QString error;
    QVERIFY(!readUpdateConfig(dir.path(), nullptr, &error));
    QCOMPARE(error, QStringLiteral("Estrutura UpdateConfig ausente."));
    QVERIFY(!readAppVersion(dir.path(), nullptr, &error));
    QCOMPARE(error, QStringLiteral("Estrutura AppVersion ausente."));
}

void TestFiles::versionText()
{
    QCOMPARE(appVersionText(AppVersion{QStringLiteral(" 1.2.3 "), 5}),
             QStringLiteral("1.2.3 (build 5)"));
    QCOMPARE(appVersionText(AppVersion{QStringLiteral(" \t"), 5}), QStringLiteral("0.0.0"));
    // Filled in one pass: a marker inside the version text stays.
    QCOMPARE(appVersionText(AppVersion{QStringLiteral("%2"), 5}), QStringLiteral("%2 (build 5)"));
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

    QString raw = QString::fromUtf8(readBytes(path));
#ifdef Q_OS_WIN
    QVERIFY(raw.contains(QLatin1String("\r\n")));
    raw.remove(QLatin1Char('\r'));
#endif
    const QRegularExpressionMatch match =
        QRegularExpression(
            QStringLiteral(
                "^\\{\\n    \"build\": -5,\\n    \"updated_at\": \"(\\d{4}-\\d\\d-\\d\\dT"
                "\\d\\d:\\d\\d:\\d\\dZ)\",\\n    \"version\": \" 1.2.3 \\\\\"\u00e7\\\\\" "
                "\"\\n\\}\\n$"))
            .match(raw);
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
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<QString>("prefix");

    const QString open = QStringLiteral("Nao foi possivel gravar version.json: ");
    QTest::newRow("version.json is a non-empty folder") << QStringLiteral("folder") << open;
    QTest::newRow("client folder below a regular file") << QStringLiteral("file") << open;
#ifdef Q_OS_UNIX
    QTest::newRow("write cut short by a file size limit")
        << QStringLiteral("size limit") << QStringLiteral("Falha ao finalizar version.json: ");
#endif
}

void TestFiles::versionWriteFailure()
{
    QFETCH(QString, blocker);
    QFETCH(QString, prefix);

    QTemporaryDir dir;
    QString appDir = dir.path();
    QString keptPath = versionFilePath(appDir);
    if (blocker == QLatin1String("folder")) {
        QVERIFY(QDir(appDir).mkpath(QStringLiteral("version.json")));
        keptPath = dir.filePath(QStringLiteral("version.json/keep"));
    } else if (blocker == QLatin1String("file")) {
        keptPath = dir.filePath(QStringLiteral("plain"));
        appDir = keptPath + QStringLiteral("/client");
    }
    const QByteArray kept = json("{'version': '1.0', 'build': 1}");
    QVERIFY(writeBytes(keptPath, kept));
    const QStringList before = entries(dir.path());
    const QStringList beside = entries(QFileInfo(keptPath).path());

    QString error;
#ifdef Q_OS_UNIX
    // A file size limit binds root as well, so the new content cannot be written in full.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = blocker == QLatin1String("size limit") ? 8 : saved.rlim_cur;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
#endif
    const bool ok = writeAppVersion(appDir, AppVersion{QStringLiteral("2.0"), 2}, &error);
#ifdef Q_OS_UNIX
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
#endif

    QVERIFY(!ok);
    QVERIFY2(error.startsWith(prefix) && error != prefix, qPrintable(error));
    // The old content stays and no temporary file is left beside it.
    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(entries(QFileInfo(keptPath).path()), beside);
    QCOMPARE(readBytes(keptPath), kept);
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
