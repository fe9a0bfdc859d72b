// The loopback server that every network test leans on: if it misbehaves, those
// tests prove nothing.
#include "tests/support/testhttpserver.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using Delivery = TestHttpServer::Delivery;

class TestHttpServerTest : public QObject
{
    Q_OBJECT

private:
    struct Result
    {
        bool finished = false;
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray body;
    };

    Result get(QNetworkAccessManager &nam, const QUrl &url, int waitMs = 5000)
    {
        std::unique_ptr<QNetworkReply> reply(nam.get(QNetworkRequest(url)));
        QSignalSpy spy(reply.get(), &QNetworkReply::finished);
        Result r;
        r.finished = spy.wait(waitMs);
        if (!r.finished)
            reply->abort();
        r.error = reply->error();
        r.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        r.body = reply->readAll();
        return r;
    }

private slots:
    void deliveries_data();
    void deliveries();
    void keepAliveReusesOneConnection();
    void concurrentConnections();
    void hangAnswersNothing();
    void trickleSpreadsTheBodyOverTime();
    void largeBody();
    void recordsHeaders();
};

void TestHttpServerTest::deliveries_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("delivery");
    QTest::addColumn<qint64>("contentLength");
    QTest::addColumn<bool>("announceLength");
    QTest::addColumn<qint64>("truncateAfter");
    QTest::addColumn<bool>("expectError");
    QTest::addColumn<QByteArray>("expectBody");

    const auto plain = int(Delivery::Immediate);
    QTest::newRow("ok") << 200 << plain << qint64(-1) << true << qint64(0) << false
                        << QByteArray("0123456789");
    QTest::newRow("server error") << 500 << plain << qint64(-1) << true << qint64(0) << true
                                  << QByteArray("0123456789");
    QTest::newRow("announces fewer")
        << 200 << plain << qint64(4) << true << qint64(0) << false << QByteArray("0123");
    QTest::newRow("announces more")
        << 200 << plain << qint64(20) << true << qint64(0) << true << QByteArray("0123456789");
    QTest::newRow("connection close framing")
        << 200 << plain << qint64(-1) << false << qint64(0) << false << QByteArray("0123456789");
    QTest::newRow("truncate") << 200 << int(Delivery::Truncate) << qint64(-1) << true << qint64(3)
                              << true << QByteArray("012");
    QTest::newRow("close at once") << 200 << int(Delivery::CloseAtOnce) << qint64(-1) << true
                                   << qint64(0) << true << QByteArray();
    QTest::newRow("trickle") << 200 << int(Delivery::Trickle) << qint64(-1) << true << qint64(0)
                             << false << QByteArray("0123456789");
}

void TestHttpServerTest::deliveries()
{
    QFETCH(int, status);
    QFETCH(int, delivery);
    QFETCH(qint64, contentLength);
    QFETCH(bool, announceLength);
    QFETCH(qint64, truncateAfter);
    QFETCH(bool, expectError);
    QFETCH(QByteArray, expectBody);

    TestHttpServer server;
    QVERIFY(server.listen());
    TestHttpServer::Response r;
    r.status = status;
    r.body = "0123456789";
    r.delivery = Delivery(delivery);
    r.contentLength = contentLength;
    r.announceLength = announceLength;
    r.truncateAfter = truncateAfter;
    r.chunkSize = 3;
    r.intervalMs = 5;
    server.setResponse("/x", r);

    QNetworkAccessManager nam;
    const Result got = get(nam, server.url("/x"));
    QVERIFY(got.finished);
    QCOMPARE(got.error != QNetworkReply::NoError, expectError);
    if (!expectError || status != 200)
        QCOMPARE(got.body, expectBody);
    QVERIFY(server.requestCount("/x") >= 1);
}

void TestHttpServerTest::keepAliveReusesOneConnection()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setBody("/a", "first");
    server.setBody("/b", "second");
    QNetworkAccessManager nam;
    QCOMPARE(get(nam, server.url("/a")).body, QByteArray("first"));
    QCOMPARE(get(nam, server.url("/b")).body, QByteArray("second"));
    const Result missing = get(nam, server.url("/c"));
    QCOMPARE(missing.status, 404);
    QCOMPARE(server.requestCount(), 3);
    QCOMPARE(server.connectionCount(), 1);
    server.clear();
    QCOMPARE(server.requestCount("/a"), 0);
}

void TestHttpServerTest::concurrentConnections()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    TestHttpServer::Response slow;
    slow.body = QByteArray(64, 's');
    slow.delivery = Delivery::Trickle;
    slow.chunkSize = 8;
    slow.intervalMs = 10;
    server.setResponse("/slow", slow);
    server.setBody("/fast", "fast");

    QNetworkAccessManager nam;
    std::unique_ptr<QNetworkReply> a(nam.get(QNetworkRequest(server.url("/slow"))));
    std::unique_ptr<QNetworkReply> b(nam.get(QNetworkRequest(server.url("/fast"))));
    QTRY_VERIFY_WITH_TIMEOUT(b->isFinished(), 5000);
    QVERIFY(!a->isFinished());
    QTRY_VERIFY_WITH_TIMEOUT(a->isFinished(), 5000);
    QCOMPARE(a->readAll(), slow.body);
    QCOMPARE(b->readAll(), QByteArray("fast"));
    QCOMPARE(server.connectionCount(), 2);
}

void TestHttpServerTest::hangAnswersNothing()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    TestHttpServer::Response r;
    r.delivery = Delivery::Hang;
    server.setResponse("/hang", r);
    QNetworkAccessManager nam;
    const Result got = get(nam, server.url("/hang"), 300);
    QVERIFY(!got.finished);
    QCOMPARE(server.requestCount("/hang"), 1);
}

void TestHttpServerTest::trickleSpreadsTheBodyOverTime()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    TestHttpServer::Response r;
    r.body = QByteArray(100, 't');
    r.delivery = Delivery::Trickle;
    r.chunkSize = 10;
    r.intervalMs = 30;
    server.setResponse("/t", r);
    QNetworkAccessManager nam;
    QElapsedTimer clock;
    clock.start();
    const Result got = get(nam, server.url("/t"));
    QCOMPARE(got.body, r.body);
    QVERIFY2(clock.elapsed() >= 250, qPrintable(QString::number(clock.elapsed())));
}

void TestHttpServerTest::largeBody()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    QByteArray big(32 * 1024 * 1024, '\0');
    for (qsizetype i = 0; i < big.size(); i += 4096)
        big[i] = char(i / 4096);
    server.setBody("/big", big);
    QNetworkAccessManager nam;
    const Result got = get(nam, server.url("/big"), 30000);
    QVERIFY(got.finished);
    QCOMPARE(got.error, QNetworkReply::NoError);
    QVERIFY(got.body == big);
}

void TestHttpServerTest::recordsHeaders()
{
    TestHttpServer server;
    QVERIFY(server.listen());
    server.setRedirect("/from", server.url("/to"));
    server.setBody("/to", "landed");
    QNetworkAccessManager nam;
    QNetworkRequest request(server.url("/from"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QByteArray("probe/1"));
    request.setRawHeader("X-Probe", "yes");
    std::unique_ptr<QNetworkReply> reply(nam.get(request));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 5000);
    QCOMPARE(reply->readAll(), QByteArray("landed"));
    const QList<TestHttpServer::Request> log = server.requests();
    QCOMPARE(log.size(), 2);
    QCOMPARE(log.at(0).method, QByteArray("GET"));
    QCOMPARE(log.at(0).path, QByteArray("/from"));
    QCOMPARE(log.at(0).userAgent, QByteArray("probe/1"));
    QCOMPARE(log.at(0).header("x-probe"), QByteArray("yes"));
    QCOMPARE(log.at(1).path, QByteArray("/to"));
}

QTEST_GUILESS_MAIN(TestHttpServerTest)
#include "tst_testhttpserver.moc"
