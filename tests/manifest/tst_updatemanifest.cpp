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

QString field(const UpdateManifest &m, const QString &name)
{
    const UpdateFile first = m.files.value(0);
    if (name == QLatin1String("version"))
        return m.remoteVersion.version;
    if (name == QLatin1String("build"))
        return QString::number(m.remoteVersion.build);
    if (name == QLatin1String("min"))
        return m.minClientVersion;
    if (name == QLatin1String("total"))
        return QString::number(m.totalSize);
    if (name == QLatin1String("changelog"))
        return m.changelog;
    if (name == QLatin1String("date"))
        return m.date.isValid() ? m.date.toUTC().toString(Qt::ISODate) : QStringLiteral("invalid");
    if (name == QLatin1String("count"))
        return QString::number(m.files.size());
    if (name == QLatin1String("path"))
        return first.path;
    if (name == QLatin1String("hash"))
        return first.hash;
    if (name == QLatin1String("size"))
        return QString::number(first.size);
    return first.url.toString();
}

bool sameManifest(const UpdateManifest &a, const UpdateManifest &b)
{
    if (a.remoteVersion.version != b.remoteVersion.version ||
        a.remoteVersion.build != b.remoteVersion.build ||
        a.minClientVersion != b.minClientVersion || a.totalSize != b.totalSize ||
        a.date != b.date || a.changelog != b.changelog || a.files.size() != b.files.size())
        return false;
    for (qsizetype i = 0; i < a.files.size(); ++i) {
        const UpdateFile &x = a.files.at(i), &y = b.files.at(i);
        if (x.path != y.path || x.hash != y.hash || x.size != y.size || x.url != y.url)
            return false;
    }
    return true;
}

// What Win32 makes of a path before it touches the disk.
QString win32Normalised(const QString &path)
{
    QStringList segments =
        QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    for (QString &segment : segments) {
        while (segment.endsWith(QLatin1Char('.')) || segment.endsWith(QLatin1Char(' ')))
            segment.chop(1);
    }
    return QDir::cleanPath(segments.join(QLatin1Char('/')));
}

bool namesDevice(const QString &relative)
{
    static const QRegularExpression device(
        QStringLiteral("^\\s*(CON|PRN|AUX|NUL|COM[0-9]|LPT[0-9])\\s*(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const QStringList segments = relative.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (device.match(segment).hasMatch())
            return true;
    }
    return false;
}

QString strictlyInside(const QString &root, const QString &joined)
{
    if (!joined.startsWith(root + QLatin1Char('/'), Qt::CaseInsensitive))
        return QStringLiteral("leaves the folder: ") + joined;
    const QString relative = joined.mid(root.size() + 1);
    if (relative.isEmpty() || relative.contains(QLatin1Char(':')) || namesDevice(relative))
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
    void fields_data();
    void fields();
    void failures_data();
    void failures();
    void hostileBodies_data();
    void hostileBodies();
};

void TestUpdateManifest::sanitize_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("expected");
    const QString rejected;
    QTest::newRow("leading dot slash") << "./bin/client.exe"
                                       << "bin/client.exe";
    QTest::newRow("repeated dot slash") << "././x.pak"
                                        << "x.pak";
    QTest::newRow("backslashes") << "bin\\data\\x.pak"
                                 << "bin/data/x.pak";
    QTest::newRow("doubled slash and dot") << "data//maps/./m1.bin"
                                           << "data/maps/m1.bin";
    QTest::newRow("resolvable parent") << "a/../b.pak"
                                       << "b.pak";
    QTest::newRow("blank after dot slash") << "./ T"
                                           << " T";
    QTest::newRow("trailing slash") << "data/maps/"
                                    << "data/maps";
    QTest::newRow("surrounding spaces") << "  data/x.pak \t"
                                        << "data/x.pak";
    QTest::newRow("inner dots") << "a..b/.hidden/v1.2.pak"
                                << "a..b/.hidden/v1.2.pak";
    QTest::newRow("device-like but longer") << "CONSOLE/COM10/nulls.txt"
                                            << "CONSOLE/COM10/nulls.txt";
    QTest::newRow("parent") << "../x" << rejected;
    QTest::newRow("parent after clean") << "a/../../x" << rejected;
    QTest::newRow("parent via backslash") << "a\\..\\..\\x" << rejected;
    QTest::newRow("dotdot") << ".." << rejected;
    QTest::newRow("dot") << "." << rejected;
    QTest::newRow("cleans to nothing") << "a/.." << rejected;
    QTest::newRow("empty") << "" << rejected;
    QTest::newRow("spaces only") << "   " << rejected;
    QTest::newRow("absolute") << "/etc/x" << rejected;
    QTest::newRow("drive absolute") << "D:/x" << rejected;
    QTest::newRow("drive relative") << "D:x" << rejected;
    QTest::newRow("drive backslash") << "C:\\Windows\\x.dll" << rejected;
    QTest::newRow("stream") << "data/file:stream" << rejected;
    QTest::newRow("unc") << "\\\\server\\share\\x" << rejected;
    QTest::newRow("extended") << "\\\\?\\C:\\x" << rejected;
    QTest::newRow("device namespace") << "\\\\.\\pipe\\x" << rejected;
    QTest::newRow("dotdot space") << "a/.. /../x" << rejected;
    QTest::newRow("three dots") << ".../x" << rejected;
    QTest::newRow("trailing dot") << "bin/client.exe." << rejected;
    QTest::newRow("trailing space in folder") << "bin /x" << rejected;
    QTest::newRow("device") << "NUL" << rejected;
    QTest::newRow("device lower with extension") << "data/con.txt" << rejected;
    QTest::newRow("device spaced extension") << "aux .log" << rejected;
    QTest::newRow("serial port") << "COM1" << rejected;
    QTest::newRow("printer superscript") << QStringLiteral("lpt\u00B9.x") << rejected;
    QTest::newRow("console input") << "conin$" << rejected;
    QTest::newRow("nul character") << QString::fromUtf8("a\0/../../x.pak", 14) << rejected;
    QTest::newRow("control character") << "a\tb/x" << rejected;
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
    const QStringList pieces = {
        QStringLiteral(".."), QStringLiteral("."),    QStringLiteral("/"),
        QStringLiteral("\\"), QStringLiteral("C:"),   QStringLiteral(":"),
        QStringLiteral(" "),  QStringLiteral("..."),  QStringLiteral("//"),
        QStringLiteral("a"),  QStringLiteral("nul"),  QStringLiteral("Com3"),
        QStringLiteral("x."), QStringLiteral(".txt"), QStringLiteral("\\\\?\\"),
        QStringLiteral("\t"), QStringLiteral("bin"),  QStringLiteral("?")};
    const QString posixRoot = QStringLiteral("/srv/client");
    const QString windowsRoot = QStringLiteral("C:/Games/Quorvex");
    int accepted = 0;
    for (int i = 0; i < 20000; ++i) {
        QString path;
        for (int n = random.bounded(1, 12); n > 0; --n)
            path += pieces.at(random.bounded(int(pieces.size())));
        const QString clean = sanitizeRelativePath(path);
        if (clean.isEmpty())
            continue;
        ++accepted;
        QString problem =
            strictlyInside(posixRoot, QDir::cleanPath(posixRoot + QLatin1Char('/') + clean));
        if (problem.isEmpty())
            problem = strictlyInside(windowsRoot,
                                     win32Normalised(windowsRoot + QLatin1Char('/') + clean));
        if (!problem.isEmpty())
            QFAIL(qPrintable(
                QStringLiteral("seed %1, input \"%2\": %3").arg(seed).arg(path, problem)));
    }
    // Guards against a generator that only ever produces rejected paths.
    QVERIFY2(accepted > 500, qPrintable(QStringLiteral("seed %1").arg(seed)));
}

void TestUpdateManifest::fields_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const QByteArray file = R"({"path":"a.pak","hash":"ab","url":"a.pak")";
    QTest::newRow("version untrimmed") << QByteArray(R"({"version":" 1.2 "})") << "version"
                                       << " 1.2 ";
    QTest::newRow("no files") << QByteArray(R"({"version":"1"})") << "count"
                              << "0";
    QTest::newRow("files not an array") << QByteArray(R"({"version":"1","files":{}})") << "count"
                                        << "0";
    QTest::newRow("build") << QByteArray(R"({"version":"1","build":42})") << "build"
                           << "42";
    QTest::newRow("build whole double") << QByteArray(R"({"version":"1","build":7.0})") << "build"
                                        << "7";
    QTest::newRow("build fraction") << QByteArray(R"({"version":"1","build":7.5})") << "build"
                                    << "0";
    QTest::newRow("build int32 min")
        << QByteArray(R"({"version":"1","build":-2147483648})") << "build"
        << "-2147483648";
    QTest::newRow("build above int32")
        << QByteArray(R"({"version":"1","build":2147483648})") << "build"
        << "0";
    QTest::newRow("build string") << QByteArray(R"({"version":"1","build":"5"})") << "build"
                                  << "0";
    QTest::newRow("min version") << QByteArray(R"({"version":"1","min_client_version":" 1.0"})")
                                 << "min"
                                 << " 1.0";
    QTest::newRow("changelog") << QByteArray(R"({"version":"1","changelog":"Novo\nmapa"})")
                               << "changelog"
                               << "Novo\nmapa";
    QTest::newRow("changelog number")
        << QByteArray(R"({"version":"1","changelog":3})") << "changelog"
        << "";
    QTest::newRow("date") << QByteArray(R"({"version":"1","date":"2025-03-01T18:04:05Z"})")
                          << "date"
                          << "2025-03-01T18:04:05Z";
    QTest::newRow("date garbage") << QByteArray(R"({"version":"1","date":"ontem"})") << "date"
                                  << "invalid";
    QTest::newRow("name only") << withFile(R"({"name":"x.pak","hash":"ab","url":"x"})") << "path"
                               << "x.pak";
    QTest::newRow("path wins over name")
        << withFile(R"({"path":"p.pak","name":"n.pak","hash":"ab","url":"x"})") << "path"
        << "p.pak";
    QTest::newRow("name when path not string")
        << withFile(R"({"path":5,"name":"n.pak","hash":"ab","url":"x"})") << "path"
        << "n.pak";
    QTest::newRow("hash trimmed lowered")
        << withFile(R"({"path":"a","hash":"  ABCDEF01 ","url":"x"})") << "hash"
        << "abcdef01";
    QTest::newRow("hash one char") << withFile(R"({"path":"a","hash":"Z","url":"x"})") << "hash"
                                   << "z";
    QTest::newRow("url absolute")
        << withFile(R"({"path":"a","hash":"ab","url":"http://mirror.test/x?y=1"})") << "url"
        << "http://mirror.test/x?y=1";
    QTest::newRow("url relative") << withFile(R"({"path":"a","hash":"ab","url":" files/a.pak "})")
                                  << "url"
                                  << "https://cdn.quorvex.test/updates/files/a.pak";
    QTest::newRow("url rooted") << withFile(R"({"path":"a","hash":"ab","url":"/files/a.pak"})")
                                << "url"
                                << "https://cdn.quorvex.test/files/a.pak";
    QTest::newRow("url parent") << withFile(R"({"path":"a","hash":"ab","url":"../b/a.pak"})")
                                << "url"
                                << "https://cdn.quorvex.test/b/a.pak";
    QTest::newRow("size truncated") << withFile(file + R"(,"size":12.7})") << "size"
                                    << "12";
    QTest::newRow("size negative fraction") << withFile(file + R"(,"size":-0.5})") << "size"
                                            << "0";
    QTest::newRow("size string") << withFile(file + R"(,"size":"12"})") << "size"
                                 << "-1";
    QTest::newRow("size exact beyond 2^53")
        << withFile(file + R"(,"size":9007199254740993})") << "size"
        << "9007199254740993";
    QTest::newRow("size beyond int64") << withFile(file + R"(,"size":1e300})") << "size"
                                       << "9223372036854775807";
    QTest::newRow("size below int64") << withFile(file + R"(,"size":-1e300})") << "size"
                                      << "-9223372036854775808";
    const QByteArray two = file + R"(,"size":100},)" + file + R"(,"size":200})";
    QTest::newRow("total from sum") << withFile(two) << "total"
                                    << "300";
    QTest::newRow("total zero uses sum") << withFile(two, R"(,"total_size":0)") << "total"
                                         << "300";
    QTest::newRow("declared total wins") << withFile(two, R"(,"total_size":50)") << "total"
                                         << "50";
    QTest::newRow("total truncated") << withFile(two, R"(,"total_size":1.9)") << "total"
                                     << "1";
    QTest::newRow("no sizes no total") << withFile(file + "}") << "total"
                                       << "-1";
    QTest::newRow("string size not summed")
        << withFile(file + R"(,"size":"9"},)" + file + R"(,"size":4})") << "total"
        << "4";
    QTest::newRow("sum saturates")
        << withFile(file + R"(,"size":1e300},)" + file + R"(,"size":1e300})") << "total"
        << "9223372036854775807";
    QTest::newRow("duplicates kept") << withFile(file + "}," + file + "}") << "count"
                                     << "2";
}

void TestUpdateManifest::fields()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    UpdateManifest manifest;
    QString error = QStringLiteral("untouched");
    QVERIFY(parseUpdateManifest(json, manifestUrl, &manifest, &error));
    QCOMPARE(error, QStringLiteral("untouched"));
    QCOMPARE(field(manifest, name), expected);
}

void TestUpdateManifest::failures_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("message");
    const QString invalid = QStringLiteral("manifest.json invalido.");
    const QString noVersion = QStringLiteral("manifest.json sem campo version.");
    const QString badPath = QStringLiteral("Arquivo de update com path invalido.");
    const QByteArray good = R"({"path":"ok.pak","hash":"ab","url":"ok.pak","size":3},)";
    QTest::newRow("empty body") << QByteArray() << invalid;
    QTest::newRow("array") << QByteArray("[1,2]") << invalid;
    QTest::newRow("truncated") << QByteArray(R"({"version":"1","files":[{"pa)") << invalid;
    QTest::newRow("no version") << QByteArray(R"({"files":[]})") << noVersion;
    QTest::newRow("version number") << QByteArray(R"({"version":3})") << noVersion;
    QTest::newRow("version spaces")
        << withFile(good.chopped(1)).replace("\"2.0.0\"", "\"   \"") << noVersion;
    QTest::newRow("no path") << withFile(good + R"({"hash":"ab","url":"x"})") << badPath;
    QTest::newRow("empty path beats name")
        << withFile(good + R"({"path":"","name":"n","hash":"ab","url":"x"})") << badPath;
    QTest::newRow("escaping path")
        << withFile(good + R"({"path":"../up","hash":"ab","url":"x"})") << badPath;
    QTest::newRow("element not object") << withFile(good + "7") << badPath;
    QTest::newRow("no hash names clean path") << withFile(good + R"({"path":"./a.pak","url":"x"})")
                                              << "Arquivo 'a.pak' sem hash SHA-256.";
    QTest::newRow("blank hash") << withFile(good + R"({"path":"a.pak","hash":"  ","url":"x"})")
                                << "Arquivo 'a.pak' sem hash SHA-256.";
    QTest::newRow("no url") << withFile(good + R"({"path":"a.pak","hash":"ab","url":" "})")
                            << "Arquivo 'a.pak' sem URL de download.";
    QTest::newRow("markers in path") << withFile(good + R"({"path":"%2%1.pak","hash":"ab"})")
                                     << "Arquivo '%2%1.pak' sem URL de download.";
}

void TestUpdateManifest::failures()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, message);
    UpdateManifest manifest;
    manifest.remoteVersion = {QStringLiteral("0.9"), 3};
    manifest.totalSize = 77;
    manifest.files.append({QStringLiteral("old.pak"), QStringLiteral("ff"), 1, manifestUrl});
    const UpdateManifest before = manifest;
    QString error;
    QVERIFY(!parseUpdateManifest(json, manifestUrl, &manifest, &error));
    QCOMPARE(error, message);
    QVERIFY(sameManifest(manifest, before));

    QString absent;
    QVERIFY(!parseUpdateManifest(json, manifestUrl, nullptr, &absent));
    QCOMPARE(absent, QStringLiteral("Estrutura UpdateManifest ausente."));
    QVERIFY(!parseUpdateManifest(json, manifestUrl, &manifest));
}

void TestUpdateManifest::hostileBodies_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<bool>("parses");
    QByteArray many = R"({"version":"1","files":[)";
    for (int i = 0; i < 40000; ++i)
        many += R"({"path":"data/chunk)" + QByteArray::number(i) +
                R"(.bin","hash":"ABCDEF0123456789abcdef","url":"c.bin","size":12},)";
    many.chop(1);
    many += "]}";
    QTest::newRow("multi-megabyte") << many << true;
    QTest::newRow("deep nesting") << QByteArray(R"({"version":"1","x":)") + QByteArray(200000, '[')
                                  << false;
    QTest::newRow("deep valid nesting")
        << QByteArray(R"({"version":"1","x":)") + QByteArray(500, '[') + QByteArray(500, ']') + "}"
        << true;
    QTest::newRow("non utf-8") << QByteArray("{\"version\":\"1\xff\xfe\x80\",\"files\":[]}")
                               << false;
    QTest::newRow("huge exponent") << QByteArray(R"({"version":"1","build":1e400})") << false;
    QTest::newRow("nul bytes") << QByteArray("{\"version\":\"1\"\0\0}", 17) << false;
}

void TestUpdateManifest::hostileBodies()
{
    QFETCH(QByteArray, json);
    QFETCH(bool, parses);
    UpdateManifest manifest;
    QCOMPARE(parseUpdateManifest(json, manifestUrl, &manifest), parses);
    if (json.size() > 1000000)
        QCOMPARE(manifest.totalSize, qint64(40000) * 12);
}

QTEST_GUILESS_MAIN(TestUpdateManifest)
#include "tst_updatemanifest.moc"
