#include "files/appversion.h"
#include "files/updateconfig.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
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
    return QStringLiteral("%1|%2|%3|%4|%5")
        .arg(QString::number(c.enabled), c.manifestUrl.toString(), urls.join(QLatin1Char(' ')),
             QString::number(c.checkTimeoutMs), QString::number(c.downloadTimeoutMs));
}

const QUrl oldUrl(QStringLiteral("http://old/"));
const UpdateConfig filled{true, oldUrl, {oldUrl}, 11, 22};

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void read_data();
    void read();
    void versionText();
    void write_data();
    void write();
};

void TestFiles::read_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    // Content null: no file; "/": a folder in its place; "-": no record to fill. Expected: the
    // record read, or the error, '*' standing for the reason that follows it.
    const auto row = [](const char *file, const char *name, const char *content,
                        const char *expected) {
        QTest::newRow(name) << QString::fromLatin1(file) << (content ? json(content) : QByteArray())
                            << QString::fromUtf8(expected);
    };
    const auto config = [&](auto... args) {
        row("updater_config.json", args...);
    };
    const auto version = [&](auto... args) {
        row("version.json", args...);
    };
    const char *defaults = "0|||4000|120000";

    config("no config resets the record", nullptr, defaults);
    config("no record to fill", "-", "Estrutura UpdateConfig ausente.");
    config("config is a folder", "/", "Nao foi possivel abrir updater_config.json: *");
    config("config is an array", "[]", "updater_config.json invalido.");
    config("wrong types fall back",
           "{'enabled': 'true', 'manifest_url': 5, 'manifest_urls': 'http://a/'}", defaults);
    config("single url untrimmed is unusable", "{'manifest_url': ' http://a/'}", defaults);
    config("list trimmed; duplicates, empties, invalid and non-strings dropped",
           "{'manifest_urls': ['\\t http://a/ \\n', 'http://a/', '', 5, 'http://a b/']}",
           "0||http://a/|4000|120000");
    config("enabled, list first, single last",
           "{'enabled': true, 'manifest_url': 'http://c/', 'manifest_urls': ['http://a/', "
           "'http://b/']}",
           "1|http://c/|http://a/ http://b/ http://c/|4000|120000");
    config("listed single keeps its place",
           "{'manifest_url': 'http://a/', 'manifest_urls': ['http://a/', 'http://b/']}",
           "0|http://a/|http://a/ http://b/|4000|120000");
    config("time-outs whole in any notation, up to the 32-bit limits",
           "{'check_timeout_ms': 2147483647.0, 'download_timeout_ms': -2.147483648e9}",
           "0|||2147483647|-2147483648");
    config("time-outs as string or fraction",
           "{'check_timeout_ms': '2500', 'download_timeout_ms': 2500.5}", defaults);
    config("time-outs outside the range",
           "{'check_timeout_ms': 2147483648, 'download_timeout_ms': 1e300}", defaults);

    version("no version.json", nullptr, "0.0.0|0");
    version("no version record to fill", "-", "Estrutura AppVersion ausente.");
    version("version.json is a folder", "/", "Nao foi possivel abrir version.json: *");
    version("version.json is an array", "[{'version': '1.0'}]", "version.json invalido.");
    version("other keys ignored, build at the limit",
            "{'x': [1], 'version': '1.4.2', 'build': 2147483647.0}", "1.4.2|2147483647");
    version("wrong types fall back", "{'version': 3, 'build': '7'}", "0.0.0|0");
    version("version untrimmed, build fractional", "{'version': ' 1.2 ', 'build': 7.5}", " 1.2 |0");
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
    else if (!content.isNull() && content != "-")
        QVERIFY(writeBytes(path, content));

    UpdateConfig config = filled;
    AppVersion version{QStringLiteral("kept"), 77};
    QString error = untouched;
    const bool isConfig = fileName.startsWith(QLatin1String("updater"));
    const bool absent = content == "-";
    const bool ok = isConfig ? readUpdateConfig(dir.path(), absent ? nullptr : &config, &error)
                             : readAppVersion(dir.path(), absent ? nullptr : &version, &error);
    const QString got = isConfig
                            ? describe(config)
                            : version.version + QLatin1Char('|') + QString::number(version.build);

    const bool failure = expected.endsWith(QLatin1Char('.')) || expected.endsWith(QLatin1Char('*'));
    QCOMPARE(ok, !failure);
    // A failed read leaves the record as it was.
    QCOMPARE(got, !failure ? expected : isConfig ? describe(filled) : QStringLiteral("kept|77"));
    const QString said = failure ? expected : untouched;
    QVERIFY2(said.endsWith(QLatin1Char('*'))
                 ? error.size() >= said.size() && error.startsWith(said.chopped(1))
                 : error == said,
             qPrintable(error));
}

void TestFiles::versionText()
{
    QCOMPARE(appVersionText(AppVersion{QStringLiteral(" 1.2.3 "), 5}),
             QStringLiteral("1.2.3 (build 5)"));
    QCOMPARE(appVersionText(AppVersion{QStringLiteral(" \t"), 5}), QStringLiteral("0.0.0"));
    // Filled in one pass: a marker inside the version text stays.
    QCOMPARE(appVersionText(AppVersion{QStringLiteral("%2"), 5}), QStringLiteral("%2 (build 5)"));
}

void TestFiles::write_data()
{
    QTest::addColumn<QString>("oldFile"); // the earlier record, relative to the temporary folder
    QTest::addColumn<QString>("appDir");
    QTest::addColumn<int>("sizeLimit"); // 0: none
    QTest::addColumn<QString>("error"); // empty: the write succeeds

    const QString open = QStringLiteral("Nao foi possivel gravar version.json: ");
    const QString version = QStringLiteral("version.json");
    QTest::newRow("replaces the earlier record") << version << QString() << 0 << QString();
    QTest::newRow("version.json is a non-empty folder")
        << QStringLiteral("version.json/keep") << QString() << 0 << open;
    QTest::newRow("client folder below a regular file")
        << QStringLiteral("plain") << QStringLiteral("plain/client") << 0 << open;
#ifdef Q_OS_UNIX
    QTest::newRow("write cut short by a file size limit")
        << version << QString() << 8 << QStringLiteral("Falha ao finalizar version.json: ");
#endif
}

void TestFiles::write()
{
    QFETCH(QString, oldFile);
    QFETCH(QString, appDir);
    QFETCH(int, sizeLimit);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString oldPath = dir.filePath(oldFile);
    const QByteArray old = json("{'version': '1.0', 'build': 1, 'extra': true}");
    QVERIFY(QDir().mkpath(QFileInfo(oldPath).path()) && writeBytes(oldPath, old));
    const QStringList before = entries(dir.path());
    const QStringList beside = entries(QFileInfo(oldPath).path());

    const AppVersion written{QStringLiteral(" 1.2.3 \"\u00e7\" "), -5};
    const QDateTime start = QDateTime::currentDateTimeUtc().addSecs(-1);
    QString got = untouched;
#ifdef Q_OS_UNIX
    // A file size limit binds root as well, so the new content cannot be written in full.
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit tiny = saved;
    tiny.rlim_cur = sizeLimit ? rlim_t(sizeLimit) : saved.rlim_cur;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &tiny), 0);
#endif
    const bool ok = writeAppVersion(QDir::cleanPath(dir.filePath(appDir)), written, &got);
#ifdef Q_OS_UNIX
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);
#endif

    // Replaced whole or not at all, and no temporary file is left beside it.
    QCOMPARE(entries(dir.path()), before);
    QCOMPARE(entries(QFileInfo(oldPath).path()), beside);
    QCOMPARE(ok, error.isEmpty());
    if (!ok) {
        QVERIFY2(got.startsWith(error) && got != error, qPrintable(got));
        QCOMPARE(readBytes(oldPath), old);
        return;
    }
    QCOMPARE(got, untouched);
    const QJsonObject object = QJsonDocument::fromJson(readBytes(oldPath)).object();
    QCOMPARE(object.keys(), QStringLiteral("build updated_at version").split(QLatin1Char(' ')));
    QCOMPARE(object.value(QLatin1String("version")).toString(), written.version);
    QCOMPARE(object.value(QLatin1String("build")).toInt(), written.build);
    const QString stamp = object.value(QLatin1String("updated_at")).toString();
    const QDateTime at = QDateTime::fromString(stamp, Qt::ISODate);
    QVERIFY2(stamp.endsWith(QLatin1Char('Z')) && at >= start &&
                 at <= QDateTime::currentDateTimeUtc(),
             qPrintable(stamp));
}

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
