#include "manifest/updatemanifest.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTest>

namespace {

const QUrl manifestUrl(QStringLiteral("https://cdn.quorvex.test/updates/manifest.json"));

QByteArray withFile(const QByteArray &entry, const QByteArray &top = QByteArray())
{
    return "{\"version\":\"2.0.0\"" + top + ",\"files\":[" + entry + "]}";
}

// Every field of the record in one text, so a partial overwrite shows.
QString summary(const UpdateManifest &m)
{
    QStringList parts{m.remoteVersion.version,
                      QString::number(m.remoteVersion.build),
                      m.minClientVersion,
                      QString::number(m.totalSize),
                      m.changelog,
                      m.date.isValid() ? m.date.toUTC().toString(Qt::ISODate) : QString()};
    for (const UpdateFile &f : m.files)
        parts << f.path << f.hash << QString::number(f.size) << f.url.toString();
    return parts.join(QLatin1Char('|'));
}

QString field(const UpdateManifest &m, const QString &name)
{
    static const QStringList names =
        QStringLiteral("version build min total changelog date path hash size url")
            .split(QLatin1Char(' '));
    if (name == QLatin1String("count"))
        return QString::number(m.files.size());
    return summary(m).split(QLatin1Char('|')).value(names.indexOf(name), QStringLiteral("<none>"));
}

// Why a clean path is unsafe under root, as POSIX or Win32 (trailing dots and spaces stripped
// from every segment) reads it; empty when it stays inside under harmless names.
QString problemWith(const QString &root, const QString &relative, bool win32)
{
    static const QRegularExpression device(
        QStringLiteral("(^|/)\\s*(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])\\s*(\\.[^/]*)?(/|$)"),
        QRegularExpression::CaseInsensitiveOption);
    QStringList segments = (root + QLatin1Char('/') + relative).split(QLatin1Char('/'));
    for (QString &segment : segments) {
        while (win32 && (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' '))))
            segment.chop(1);
    }
    const QString joined = QDir::cleanPath(segments.join(QLatin1Char('/')));
    if (!joined.startsWith(root + QLatin1Char('/'), Qt::CaseInsensitive))
        return QStringLiteral("leaves the folder: ") + joined;
    const QString inside = joined.mid(root.size() + 1);
    if (inside.contains(QLatin1Char(':')) || device.match(inside).hasMatch())
        return QStringLiteral("unsafe name: ") + joined;
    return QString();
}

} // namespace

class TestUpdateManifest : public QObject
{
    Q_OBJECT

private slots:
    void sanitize_data();
    void sanitize();
    void hostilePathsStayInside();
    void parse_data();
    void parse();
};

void TestUpdateManifest::sanitize_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *input, const char *expected = "") {
        QTest::addRow("\"%s\"", input) << QString::fromUtf8(input) << QString::fromUtf8(expected);
    };
    row("./bin/client.exe", "bin/client.exe");
    row("bin\\data\\x.pak", "bin/data/x.pak");
    row("data//maps/./m1.bin", "data/maps/m1.bin");
    row("a/../b.pak", "b.pak");
    row("  data/x.pak \t", "data/x.pak");
    row("./ T", " T"); // trimmed before "./" goes
    row("a..b/.hidden/v1.2.pak", "a..b/.hidden/v1.2.pak");
    row("CONSOLE/COM10/nulls.txt", "CONSOLE/COM10/nulls.txt");
    // '|' apart, so that the empty and blank paths have their rows too.
    const QString rejected = QStringLiteral(
        "../x|a/../../x|a\\..\\..\\x|..|.|a/..||   |/etc/x|D:/x|D:x|data/file:stream|"
        "\\\\server\\share\\x|\\\\?\\C:\\x|a/.. /../x|.../x|bin/client.exe.|data/con.txt|a\tb/x|"
        "a.\u00a0/|x/y\u3000\\");
    for (const QString &input : rejected.split(QLatin1Char('|')))
        QTest::addRow("\"%s\"", qUtf8Printable(input)) << input << QString();
    QTest::newRow("nul character") << QString::fromUtf8("a\0/../../x.pak", 14) << QString();
}

void TestUpdateManifest::sanitize()
{
    QFETCH(QString, input);
    QFETCH(QString, expected);
    QCOMPARE(sanitizeRelativePath(input), expected);
    QCOMPARE(sanitizeRelativePath(expected), expected.trimmed());
}

void TestUpdateManifest::hostilePathsStayInside()
{
    const quint32 seed = qEnvironmentVariableIsSet("QUORVEX_SEED")
                             ? qEnvironmentVariable("QUORVEX_SEED").toUInt()
                             : QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    const QStringList pieces =
        QStringLiteral(".. . / \\ C: : _ ... // a nul Com3 x. .txt \\\\?\\ \t bin ?")
            .split(QLatin1Char(' '))
            .replaceInStrings(QStringLiteral("_"), QStringLiteral(" "));
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        QString path;
        for (int n = random.bounded(1, 12); n > 0; --n)
            path += pieces.at(random.bounded(int(pieces.size())));
        const QString clean = sanitizeRelativePath(path);
        if (clean.isEmpty())
            continue;
        ++accepted;
        QString problem = problemWith(QStringLiteral("/srv/client"), clean, false);
        if (problem.isEmpty())
            problem = problemWith(QStringLiteral("C:/Games/Quorvex"), clean, true);
        QVERIFY2(
            problem.isEmpty(),
            qPrintable(QStringLiteral("seed %1, input \"%2\": %3").arg(seed).arg(path, problem)));
    }
    // A generator that only produced rejected paths would prove nothing.
    QVERIFY2(accepted > 500, qPrintable(QStringLiteral("seed %1").arg(seed)));
}

// A field read from a manifest, or with name "error" the message a refused one gives.
void TestUpdateManifest::parse_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const QByteArray v = R"({"version":"1",)";
    const QByteArray file = R"({"path":"a.pak","hash":"ab","url":"a.pak")";
    const QByteArray two = file + R"(,"size":100},)" + file + R"(,"size":200})";
    const QByteArray good = R"({"path":"ok.pak","hash":"ab","url":"ok.pak","size":3},)";
    const auto row = [](const char *tag, const QByteArray &json, const char *name,
                        const char *expected) {
        QTest::newRow(tag) << json << QString::fromLatin1(name) << QString::fromUtf8(expected);
    };
    const auto refused = [&](const char *tag, const QByteArray &json, const char *message) {
        row(tag, json, "error", message);
    };
    row("version untrimmed", R"({"version":" 1.2 "})", "version", " 1.2 ");
    row("build fraction", v + R"("build":7.5})", "build", "0");
    row("build above int32", v + R"("build":2147483648})", "build", "0");
    row("name when path not string", withFile(R"({"path":5,"name":"n.pak","hash":"ab","url":"x"})"),
        "path", "n.pak");
    row("hash trimmed lowered", withFile(R"({"path":"a","hash":"  ABCDEF01 ","url":"x"})"), "hash",
        "abcdef01");
    row("url relative", withFile(R"({"path":"a","hash":"ab","url":" files/a.pak "})"), "url",
        "https://cdn.quorvex.test/updates/files/a.pak");
    row("size truncated", withFile(file + R"(,"size":12.7})"), "size", "12");
    row("size string", withFile(file + R"(,"size":"12"})"), "size", "-1");
    row("size beyond int64", withFile(file + R"(,"size":1e300})"), "size", "9223372036854775807");
    row("total zero uses sum", withFile(two, R"(,"total_size":0)"), "total", "300");
    row("declared total wins", withFile(two, R"(,"total_size":50)"), "total", "50");
    row("no sizes no total", withFile(file + "}"), "total", "-1");
    row("string size not summed", withFile(file + R"(,"size":"9"},)" + file + R"(,"size":4})"),
        "total", "4");
    row("sum saturates", withFile(file + R"(,"size":1e300},)" + file + R"(,"size":1e300})"),
        "total", "9223372036854775807");
    row("duplicates kept", withFile(file + "}," + file + "}"), "count", "2");
    QByteArray many;
    for (int i = 0; i < 40000; ++i)
        many += file + R"(,"size":12},)";
    row("multi-megabyte body", withFile(many.chopped(1)), "total", "480000");

    const char *invalid = "manifest.json invalido.";
    const char *noVersion = "manifest.json sem campo version.";
    const char *badPath = "Arquivo de update com path invalido.";
    refused("array", "[1,2]", invalid);
    refused("truncated", R"({"version":"1","files":[{"pa)", invalid);
    refused("deep nesting", R"({"version":"1","x":)" + QByteArray(200000, '['), invalid);
    refused("version number", R"({"version":3})", noVersion);
    refused("version spaces", withFile(good.chopped(1)).replace("\"2.0.0\"", "\"   \""), noVersion);
    refused("empty path beats name",
            withFile(good + R"({"path":"","name":"n","hash":"ab","url":"x"})"), badPath);
    refused("escaping path", withFile(good + R"({"path":"../up","hash":"ab","url":"x"})"), badPath);
    refused("element not object", withFile(good + "7"), badPath);
    refused("no hash names clean path", withFile(good + R"({"path":"./a.pak","url":"x"})"),
            "Arquivo 'a.pak' sem hash SHA-256.");
    refused("no url", withFile(good + R"({"path":"a.pak","hash":"ab","url":" "})"),
            "Arquivo 'a.pak' sem URL de download.");
    refused("markers in path", withFile(good + R"({"path":"%2%1.pak","hash":"ab"})"),
            "Arquivo '%2%1.pak' sem URL de download.");
}

void TestUpdateManifest::parse()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("0.9"), 3};
    manifest.totalSize = 77;
    manifest.files.append({QStringLiteral("old.pak"), QStringLiteral("ff"), 1, manifestUrl});
    const QString before = summary(manifest);
    QString error = QStringLiteral("untouched");
    const bool ok = parseUpdateManifest(json, manifestUrl, &manifest, &error);
    QCOMPARE(ok, name != QLatin1String("error"));
    if (ok) {
        QCOMPARE(error, QStringLiteral("untouched"));
        QCOMPARE(field(manifest, name), expected);
        return;
    }
    // A refused manifest leaves the record as it was.
    QCOMPARE(error, expected);
    QCOMPARE(summary(manifest), before);
    QVERIFY(!parseUpdateManifest(json, manifestUrl, nullptr, &error));
    QCOMPARE(error, QStringLiteral("Estrutura UpdateManifest ausente."));
}

QTEST_GUILESS_MAIN(TestUpdateManifest)
#include "tst_updatemanifest.moc"
