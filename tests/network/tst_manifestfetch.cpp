#include "tests/support/testhttpserver.h"
#include "tests/support/testsupport.h"
#include "update/updatecontroller.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>

using Delivery = TestHttpServer::Delivery;

namespace {

// "%2520" shows as "%20" text, "%1A" would be taken for a marker by a second arg() pass.
const QByteArray EndpointPath = "/m%2520x%1A/manifest.json";
const QByteArray GoodManifest = R"({"version":"2.0","build":7,
    "files":[{"path":"a.pak","hash":"AB","url":"files/a.pak"}]})";

enum Script
{
    None,
    Good,
    NotFound,
    Garbage,
    Hang,
    SlowPast,
    Redirect
};

// Puts the behaviour at EndpointPath; a redirect leads to `other`.
void script(TestHttpServer &server, TestHttpServer &other, Script s)
{
    TestHttpServer::Response r;
    r.body =
        s == Garbage ? R"({"version":"1","files":[{"path":"%1.pak","hash":"ab"}]})" : GoodManifest;
    r.status = s == NotFound ? 404 : 200;
    if (s == Hang)
        r.delivery = Delivery::Hang;
    if (s == SlowPast) {
        r.body += QByteArray(2000, ' ');
        r.delivery = Delivery::Trickle;
        r.chunkSize = 100;
        r.intervalMs = 100;
    }
    if (s == Redirect) {
        other.setBody("/elsewhere/real.json", GoodManifest);
        server.setRedirect(EndpointPath, other.url("/elsewhere/real.json"));
    } else {
        server.setResponse(EndpointPath, r);
    }
}

} // namespace

class ManifestFetchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endpoints_data();
    void endpoints();

private:
    QTemporaryDir m_tlsDir;
    bool m_tlsReady = false;
    QSslConfiguration m_serverTls;
};

void ManifestFetchTest::initTestCase()
{
    // A throwaway certificate for 127.0.0.1, trusted only by this process through its
    // default TLS configuration. Without openssl the process fails to start.
    if (!QSslSocket::supportsSsl() || !m_tlsDir.isValid())
        return;
    QProcess openssl;
    openssl.setWorkingDirectory(m_tlsDir.path());
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                                 "-nodes -keyout key.pem -out cert.pem -days 2 -subj /CN=127.0.0.1 "
                                 "-addext subjectAltName=IP:127.0.0.1")
                      .split(QLatin1Char(' ')));
    if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
        qWarning().noquote() << "openssl:" << openssl.readAll();
        return;
    }
    const QList<QSslCertificate> cert =
        QSslCertificate::fromPath(m_tlsDir.filePath(QStringLiteral("cert.pem")));
    QFile keyFile(m_tlsDir.filePath(QStringLiteral("key.pem")));
    const QSslKey key = keyFile.open(QIODevice::ReadOnly) ? QSslKey(&keyFile, QSsl::Ec) : QSslKey();
    if (cert.isEmpty() || key.isNull())
        return;
    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.addCaCertificates(cert);
    QSslConfiguration::setDefaultConfiguration(client);
    m_serverTls = client;
    m_serverTls.setLocalCertificate(cert.first());
    m_serverTls.setPrivateKey(key);
    m_serverTls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tlsReady = true;
}

void ManifestFetchTest::endpoints_data()
{
    QTest::addColumn<int>("first");  // served by server A
    QTest::addColumn<int>("second"); // served by server B
    // manifest_urls, then after '|' manifest_url: A and B the servers, x an invalid url, _ an
    // empty one.
    QTest::addColumn<QString>("urls");
    QTest::addColumn<int>("checkTimeoutMs");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<int>("https"); // 0: none; 1: server A; 2: both
    // {A} and {B} stand for the endpoints' url texts; a trailing * makes it a prefix.
    // Empty: the fetch succeeds.
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("asked"); // the servers that saw a request
    const auto row = [](const char *tag, Script first, Script second, const char *urls,
                        const QString &error, const char *asked, int timeoutMs = 4000,
                        int minMs = 0, int maxMs = 3000, int https = 0) {
        QTest::newRow(tag) << int(first) << int(second) << QString::fromLatin1(urls) << timeoutMs
                           << minMs << maxMs << https << error << QString::fromLatin1(asked);
    };
    const QString ok;
    const QString fail = QStringLiteral("Falha ao baixar o manifesto em {A}: *");
    const QString timeout = QStringLiteral("Tempo esgotado ao buscar o manifesto em {A}.");
    const QString noUrl = QStringLiteral("Arquivo '%1.pak' sem URL de download. ({");
    row("http error", NotFound, None, "A", fail, "A");
    row("redirect to another server", Redirect, None, "A", ok, "AB");
    row("never answered, timeout 0 raised to 1000", Hang, None, "A", timeout, "A", 0, 900);
    row("body still flowing at deadline", SlowPast, None, "A", timeout, "A", 500, 900, 1900);
    row("unparsable body", Garbage, None, "A", noUrl + QStringLiteral("A})"), "A");
    row("first fails, second serves", NotFound, Good, "A B", ok, "AB");
    row("first serves, second untouched", Good, Good, "A B", ok, "A");
    row("time-out then parse failure: only the last counts", Hang, Garbage, "A B",
        noUrl + QStringLiteral("B})"), "AB", 0, 900);
    row("https redirect to another https server", Redirect, None, "A", ok, "AB", 4000, 0, 3000, 2);
    row("https redirect down to http refused", Redirect, None, "A", fail, "A", 4000, 0, 3000, 1);
    row("nothing valid", Good, Good, "|x",
        QStringLiteral("Nenhum endpoint de manifesto valido configurado."), "");
    row("manifest_url alone", Good, Good, "|A", ok, "A");
    row("manifest_urls win, invalid entries skipped", Good, Good, "x _ B|A", ok, "B");
    // Nothing could be kept, so no endpoint is bothered.
    row("no record", Good, Good, "|A", QStringLiteral("Estrutura UpdateManifest ausente."), "");
}

void ManifestFetchTest::endpoints()
{
    QFETCH(int, second);
    QFETCH(QString, urls);
    QFETCH(int, https);
    QFETCH(QString, error);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    TestHttpServer a, b;
    if (https > 0) {
        QUORVEX_REQUIRE_TOOL(m_tlsReady, QStringLiteral("openssl with a Qt TLS backend"));
        a.setTlsConfiguration(m_serverTls);
        if (https > 1)
            b.setTlsConfiguration(m_serverTls);
    }
    QVERIFY(a.listen());
    QVERIFY(b.listen());
    QFETCH(int, first);
    script(a, b, Script(first));
    if (second != None)
        script(b, a, Script(second));
    const auto endpoint = [&](const QString &token) {
        if (token == QLatin1String("x"))
            return QUrl(QStringLiteral("http://[::1"), QUrl::TolerantMode);
        return token == QLatin1String("_")
                   ? QUrl()
                   : (token == QLatin1String("A") ? a : b).url(EndpointPath);
    };
    UpdateConfig config;
    config.enabled = true;
    const QStringList lists = urls.split(QLatin1Char('|'));
    for (const QString &token : lists.first().split(QLatin1Char(' '), Qt::SkipEmptyParts))
        config.manifestUrls.append(endpoint(token));
    if (lists.size() > 1)
        config.manifestUrl = endpoint(lists.last());
    QFETCH(int, checkTimeoutMs);
    config.checkTimeoutMs = checkTimeoutMs;

    UpdateController controller(LaunchOptions{QDir::tempPath(), QStringLiteral("client"), {}, 0});
    UpdateManifest manifest;
    manifest.changelog = QStringLiteral("untouched");
    const bool record = !error.startsWith(QLatin1String("Estrutura"));
    QString message = QStringLiteral("untouched");
    QElapsedTimer clock;
    clock.start();
    const bool ok = controller.fetchManifest(config, record ? &manifest : nullptr, &message);
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(ok, error.isEmpty());

    // Counted loosely: a closed connection is retried by Qt, and so, now and then, a request
    // answered with a redirect.
    QFETCH(QString, asked);
    QCOMPARE(a.requestCount() > 0, asked.contains(QLatin1Char('A')));
    QCOMPARE(b.requestCount() > 0, asked.contains(QLatin1Char('B')));
    for (const TestHttpServer::Request &sent : a.requests() + b.requests()) {
        QCOMPARE(sent.method, QByteArray("GET"));
        QCOMPARE(sent.userAgent, QByteArray("QuorvexUpdater/1.0"));
        for (const char *absent : {"Accept", "Cache-Control", "If-None-Match", "If-Modified-Since",
                                   "Authorization", "Range"})
            QVERIFY2(!sent.hasHeader(absent), absent);
    }
    if (ok) {
        QCOMPARE(message, QStringLiteral("untouched"));
        QCOMPARE(manifest.remoteVersion.version, QStringLiteral("2.0"));
        // Resolved against the endpoint that was asked, whatever redirects followed.
        const QUrl served = (b.requestCount(EndpointPath) ? b : a).url(EndpointPath);
        QCOMPARE(manifest.files.first().url, served.resolved(QUrl(QStringLiteral("files/a.pak"))));
        return;
    }
    QCOMPARE(manifest.changelog, QStringLiteral("untouched"));
    error.replace(QStringLiteral("{A}"), a.url(EndpointPath).toString());
    error.replace(QStringLiteral("{B}"), b.url(EndpointPath).toString());
    if (error.endsWith(QLatin1Char('*'))) {
        error.chop(1);
        QVERIFY2(message.startsWith(error) && message.size() > error.size(), qPrintable(message));
    } else {
        QCOMPARE(message, error);
    }
}

QTEST_GUILESS_MAIN(ManifestFetchTest)
#include "tst_manifestfetch.moc"
