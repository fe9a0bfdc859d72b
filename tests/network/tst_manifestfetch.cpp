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
#include <QStandardPaths>
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
    Close,
    SlowPast,
    Redirect
};

// Puts the behaviour at EndpointPath; a redirect leads to `other`.
void script(TestHttpServer &server, TestHttpServer &other, Script s)
{
    TestHttpServer::Response r;
    r.body = GoodManifest;
    if (s == NotFound)
        r.status = 404;
    if (s == Garbage)
        r.body = R"({"version":"1","files":[{"path":"%1.pak","hash":"ab"}]})";
    if (s == Hang)
        r.delivery = Delivery::Hang;
    if (s == Close)
        r.delivery = Delivery::CloseAtOnce;
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

struct Fetch
{
    bool ok = false;
    QString message = QStringLiteral("untouched");
    UpdateManifest manifest;
};

Fetch fetch(const UpdateConfig &config, bool withRecord = true)
{
    UpdateController controller(LaunchOptions{QDir::tempPath(), QStringLiteral("client"), {}, 0});
    Fetch result;
    result.manifest.changelog = QStringLiteral("untouched");
    result.ok =
        controller.fetchManifest(config, withRecord ? &result.manifest : nullptr, &result.message);
    return result;
}

UpdateConfig configFor(const QList<QUrl> &urls, int checkTimeoutMs = 4000)
{
    UpdateConfig config;
    config.enabled = true;
    config.manifestUrls = urls;
    config.checkTimeoutMs = checkTimeoutMs;
    return config;
}

} // namespace

class ManifestFetchTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endpoints_data();
    void endpoints();
    void endpointList_data();
    void endpointList();
    void tls_data();
    void tls();

private:
    QTemporaryDir m_tlsDir;
    bool m_tlsReady = false;
    QSslConfiguration m_serverTls;
};

void ManifestFetchTest::initTestCase()
{
    if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty() ||
        !QSslSocket::supportsSsl() || !m_tlsDir.isValid())
        return;

    // A throwaway CA and a server certificate for 127.0.0.1, trusted only by
    // this process through its default TLS configuration.
    QFile ext(m_tlsDir.filePath(QStringLiteral("server.ext")));
    if (!ext.open(QIODevice::WriteOnly))
        return;
    ext.write("basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n"
              "extendedKeyUsage=serverAuth\n");
    ext.close();
    const QString ec =
        QStringLiteral("-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ");
    const QString steps[] = {
        QStringLiteral("req -x509 ") + ec +
            QStringLiteral(
                "ca.key -out ca.pem -days 2 -subj /CN=TestCA -addext "
                "basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign"),
        QStringLiteral("req ") + ec +
            QStringLiteral("server.key -out server.csr -subj /CN=127.0.0.1"),
        QStringLiteral("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out "
                       "server.pem -days 2 -extfile server.ext")};
    for (const QString &step : steps) {
        QProcess openssl;
        openssl.setWorkingDirectory(m_tlsDir.path());
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"), step.split(QLatin1Char(' ')));
        if (!openssl.waitForFinished(30000) || openssl.exitCode() != 0) {
            qWarning().noquote() << "openssl" << step << openssl.readAll();
            return;
        }
    }

    const auto readAll = [this](const char *name) {
        QFile f(m_tlsDir.filePath(QLatin1String(name)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    const QList<QSslCertificate> ca = QSslCertificate::fromData(readAll("ca.pem"));
    const QList<QSslCertificate> cert = QSslCertificate::fromData(readAll("server.pem"));
    const QSslKey key(readAll("server.key"), QSsl::Ec);
    if (ca.isEmpty() || cert.isEmpty() || key.isNull())
        return;

    QSslConfiguration client = QSslConfiguration::defaultConfiguration();
    client.addCaCertificates(ca);
    QSslConfiguration::setDefaultConfiguration(client);
    m_serverTls = QSslConfiguration::defaultConfiguration();
    m_serverTls.setLocalCertificate(cert.first());
    m_serverTls.setPrivateKey(key);
    m_serverTls.setPeerVerifyMode(QSslSocket::VerifyNone);
    m_tlsReady = true;
}

void ManifestFetchTest::endpoints_data()
{
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");
    QTest::addColumn<int>("checkTimeoutMs");
    // {A} and {B} stand for the endpoints' url texts; a trailing * makes it a prefix.
    // Empty: the fetch succeeds.
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("secondRequests");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    const QString ok;
    const QString fail = QStringLiteral("Falha ao baixar o manifesto em {A}: *");
    const QString timeout = QStringLiteral("Tempo esgotado ao buscar o manifesto em {A}.");
    QTest::newRow("body") << int(Good) << int(None) << 4000 << ok << 0 << 0 << 3000;
    QTest::newRow("http error") << int(NotFound) << int(None) << 4000 << fail << 0 << 0 << 3000;
    QTest::newRow("redirect to another server")
        << int(Redirect) << int(None) << 4000 << ok << 0 << 0 << 3000;
    QTest::newRow("never answered, timeout 0 raised to 1000")
        << int(Hang) << int(None) << 0 << timeout << 0 << 900 << 3000;
    QTest::newRow("never answered, negative timeout")
        << int(Hang) << int(None) << -5 << timeout << 0 << 900 << 3000;
    QTest::newRow("body still flowing at deadline")
        << int(SlowPast) << int(None) << 500 << timeout << 0 << 900 << 1900;
    QTest::newRow("closed without answer")
        << int(Close) << int(None) << 4000 << fail << 0 << 0 << 3000;
    QTest::newRow("unparsable body")
        << int(Garbage) << int(None) << 4000
        << QStringLiteral("Arquivo '%1.pak' sem URL de download. ({A})") << 0 << 0 << 3000;
    QTest::newRow("first fails, second serves")
        << int(NotFound) << int(Good) << 4000 << ok << 1 << 0 << 3000;
    QTest::newRow("first serves, second untouched")
        << int(Good) << int(Good) << 4000 << ok << 0 << 0 << 3000;
    QTest::newRow("time-out then parse failure: only the last counts")
        << int(Hang) << int(Garbage) << 0
        << QStringLiteral("Arquivo '%1.pak' sem URL de download. ({B})") << 1 << 900 << 3000;
}

void ManifestFetchTest::endpoints()
{
    QFETCH(int, first);
    QFETCH(int, second);
    QFETCH(QString, error);
    QFETCH(int, secondRequests);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    TestHttpServer a, b;
    QVERIFY(a.listen());
    QVERIFY(b.listen());
    script(a, b, Script(first));
    QList<QUrl> urls{a.url(EndpointPath)};
    if (second != None) {
        script(b, a, Script(second));
        urls.append(b.url(EndpointPath));
    }

    QElapsedTimer clock;
    clock.start();
    QFETCH(int, checkTimeoutMs);
    const Fetch got = fetch(configFor(urls, checkTimeoutMs));
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(got.ok, error.isEmpty());

    // At least: a closed connection is retried by Qt, and so, now and then, a
    // request answered with a redirect.
    QVERIFY(a.requestCount(EndpointPath) >= 1);
    const TestHttpServer::Request sent = a.requests().first();
    QCOMPARE(sent.method, QByteArray("GET"));
    QCOMPARE(sent.userAgent, QByteArray("QuorvexUpdater/1.0"));
    for (const char *absent : {"Accept", "Cache-Control", "If-None-Match", "If-Modified-Since",
                               "Authorization", "Range"})
        QVERIFY2(!sent.hasHeader(absent), absent);
    QCOMPARE(b.requestCount(EndpointPath), second == None ? 0 : secondRequests);
    if (got.ok) {
        QCOMPARE(got.message, QStringLiteral("untouched"));
        QCOMPARE(got.manifest.remoteVersion.version, QStringLiteral("2.0"));
        // Resolved against the endpoint that was asked, whatever redirects followed.
        const QUrl endpoint = first == NotFound ? b.url(EndpointPath) : a.url(EndpointPath);
        QCOMPARE(got.manifest.files.first().url,
                 endpoint.resolved(QUrl(QStringLiteral("files/a.pak"))));
        return;
    }
    QCOMPARE(got.manifest.changelog, QStringLiteral("untouched"));
    error.replace(QStringLiteral("{A}"), a.url(EndpointPath).toString());
    error.replace(QStringLiteral("{B}"), b.url(EndpointPath).toString());
    if (error.endsWith(QLatin1Char('*'))) {
        error.chop(1);
        QVERIFY2(got.message.startsWith(error) && got.message.size() > error.size(),
                 qPrintable(got.message));
    } else {
        QCOMPARE(got.message, error);
    }
}

void ManifestFetchTest::endpointList_data()
{
    QTest::addColumn<bool>("listGood");    // manifestUrls = [invalid, empty, B] instead of []
    QTest::addColumn<bool>("singleValid"); // manifestUrl = A instead of an invalid url
    QTest::addColumn<bool>("record");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("aRequests");
    QTest::addColumn<int>("bRequests");

    const QString none = QStringLiteral("Nenhum endpoint de manifesto valido configurado.");
    QTest::newRow("nothing valid") << false << false << true << none << 0 << 0;
    QTest::newRow("single url alone") << false << true << true << QString() << 1 << 0;
    QTest::newRow("list wins over single url, invalid entries skipped")
        << true << true << true << QString() << 0 << 1;
    // Nothing could be kept, so no endpoint is bothered.
    QTest::newRow("no record") << false << true << false
                               << QStringLiteral("Estrutura UpdateManifest ausente.") << 0 << 0;
}

void ManifestFetchTest::endpointList()
{
    QFETCH(bool, listGood);
    QFETCH(bool, singleValid);
    QFETCH(bool, record);
    QFETCH(QString, error);

    TestHttpServer a, b;
    QVERIFY(a.listen());
    QVERIFY(b.listen());
    a.setBody(EndpointPath, GoodManifest);
    b.setBody(EndpointPath, GoodManifest);
    const QUrl invalid(QStringLiteral("http://[::1"), QUrl::TolerantMode);
    UpdateConfig config =
        configFor(listGood ? QList<QUrl>{invalid, QUrl(), b.url(EndpointPath)} : QList<QUrl>{});
    config.manifestUrl = singleValid ? a.url(EndpointPath) : invalid;

    const Fetch got = fetch(config, record);
    QCOMPARE(got.ok, error.isEmpty());
    if (!got.ok)
        QCOMPARE(got.message, error);
    QTEST(a.requestCount(), "aRequests");
    QTEST(b.requestCount(), "bRequests");
}

void ManifestFetchTest::tls_data()
{
    QTest::addColumn<QString>("redirect"); // "", "https" or "http"
    QTest::newRow("https endpoint") << QString();
    QTest::newRow("redirect to another https server") << QStringLiteral("https");
    QTest::newRow("redirect down to http refused") << QStringLiteral("http");
}

void ManifestFetchTest::tls()
{
    QFETCH(QString, redirect);
    QUORVEX_REQUIRE_TOOL(m_tlsReady, QStringLiteral("openssl with a Qt TLS backend"));

    TestHttpServer secure, secureOther, plain;
    secure.setTlsConfiguration(m_serverTls);
    secureOther.setTlsConfiguration(m_serverTls);
    QVERIFY(secure.listen());
    QVERIFY(secureOther.listen());
    QVERIFY(plain.listen());
    plain.setBody("/real.json", GoodManifest);
    secureOther.setBody("/real.json", GoodManifest);
    if (redirect.isEmpty())
        secure.setBody(EndpointPath, GoodManifest);
    else
        secure.setRedirect(EndpointPath, redirect == QLatin1String("http")
                                             ? plain.url("/real.json")
                                             : secureOther.url("/real.json"));

    const QUrl endpoint = secure.url(EndpointPath);
    const Fetch got = fetch(configFor({endpoint}));
    QCOMPARE(got.ok, redirect != QLatin1String("http"));
    // Qt 6.4 now and then repeats a request that was answered with a redirect.
    QVERIFY(secure.requestCount(EndpointPath) >= 1);
    QCOMPARE(plain.requestCount(), 0);
    if (got.ok) {
        QCOMPARE(got.manifest.files.first().url,
                 endpoint.resolved(QUrl(QStringLiteral("files/a.pak"))));
        QCOMPARE(secureOther.requestCount(), redirect.isEmpty() ? 0 : 1);
    } else {
        QVERIFY2(got.message.startsWith(QStringLiteral("Falha ao baixar o manifesto em ") +
                                        endpoint.toString() + QStringLiteral(": ")),
                 qPrintable(got.message));
    }
}

QTEST_GUILESS_MAIN(ManifestFetchTest)
#include "tst_manifestfetch.moc"
