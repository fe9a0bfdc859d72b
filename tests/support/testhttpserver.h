#pragma once

// A scriptable HTTP/1.1 server for tests, bound to 127.0.0.1 on a random port.
//
// It lives on the thread that creates it (the GUI thread in the tests) and is
// served by whatever event loop runs there, including the nested loops of the
// code under test. Each path (the request target exactly as sent, query
// included) gets a scripted Response; unknown paths get the default response
// (404 unless changed). Every request is recorded before it is answered.
//
//     TestHttpServer server;
//     QVERIFY(server.listen());
//     server.setBody("/manifest.json", manifestBytes);
//     server.setRedirect("/old", server.url("/manifest.json"));
//     TestHttpServer::Response slow;
//     slow.body = QByteArray(4096, 'x');
//     slow.delivery = TestHttpServer::Delivery::Trickle;
//     slow.chunkSize = 256;
//     slow.intervalMs = 50;
//     server.setResponse("/slow.bin", slow);
//     ... run the code under test against server.url("/manifest.json") ...
//     QCOMPARE(server.requestCount("/manifest.json"), 1);
//     QCOMPARE(server.requests().first().userAgent, QByteArray("QuorvexUpdater/1.0"));
//
// Connections are kept alive between requests unless a response says otherwise,
// and any number of connections are served at once. Bodies are shared, never
// copied per connection, and written with flow control, so tens of MiB are fine.

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QUrl>

#ifndef QT_NO_SSL
#include <QSslConfiguration>
#endif

class QTcpServer;
class QTcpSocket;

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Delivery
    {
        Immediate,   // headers and body as fast as the socket takes them
        Hang,        // read the request, never answer; the connection stays open
        CloseAtOnce, // read the request, close the connection without a byte
        Trickle,     // headers, then chunkSize body bytes every intervalMs (QTimer driven)
        Truncate,    // headers announcing the full length, truncateAfter body bytes, then close
    };

    using Header = QPair<QByteArray, QByteArray>;

    struct Response
    {
        int status = 200;
        QByteArray reason; // empty: the usual phrase for status ("OK", "Not Found", ...)
        QByteArray body;
        QList<Header> headers; // sent as given, after the status line
        // Content-Length sent: -1 means body.size(); any other value is sent as is,
        // announcing more or fewer bytes than the body holds (the body is sent whole,
        // then the connection is closed).
        qint64 contentLength = -1;
        // false: no Content-Length, "Connection: close", body ends when the connection does.
        bool announceLength = true;
        Delivery delivery = Delivery::Immediate;
        int chunkSize = 1024;     // Trickle
        int intervalMs = 20;      // Trickle
        qint64 truncateAfter = 0; // Truncate: body bytes sent before closing
        bool closeAfter = false;  // close the connection once this response is sent
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;       // request target as sent
        QByteArray userAgent;  // empty when absent
        QList<Header> headers; // in order, names as sent
        QByteArray body;
        int connection = 0; // 1-based number of the connection it arrived on

        bool hasHeader(const QByteArray &name) const; // case-insensitive name
        QByteArray header(const QByteArray &name) const;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

#ifndef QT_NO_SSL
    // Serve HTTPS instead; call before listen(). The configuration must hold the
    // local certificate and private key.
    void setTlsConfiguration(const QSslConfiguration &configuration);
#endif

    // Binds 127.0.0.1 on a free port. Returns false (and logs why) on failure.
    bool listen();
    quint16 port() const;
    bool isTls() const;
    // "http://127.0.0.1:<port>" (or https) followed by path, taken as already encoded.
    QUrl url(const QByteArray &path) const;

    void setResponse(const QByteArray &path, const Response &response);
    // Immediate response with the given body and status.
    void setBody(const QByteArray &path, const QByteArray &body, int status = 200);
    void setRedirect(const QByteArray &path, const QUrl &target, int status = 302);
    void setDefaultResponse(const Response &response);
    void removeResponse(const QByteArray &path);

    QList<Request> requests() const;
    int requestCount() const;
    int requestCount(const QByteArray &path) const;
    // Connections accepted so far (keep-alive reuse shows as fewer connections than requests).
    int connectionCount() const;
    // Forgets the recorded requests and the connection count; responses stay.
    void clear();
    // Closes every open connection at once (hanging ones included).
    void closeConnections();

signals:
    // Emitted after the request was recorded and before it is answered.
    void requestReceived(const QByteArray &path);

private:
    struct Connection;

    void onPendingConnection();
    void onReadyRead(Connection *c);
    void processBuffered(Connection *c);
    void startResponse(Connection *c, const Request &request);
    void pump(Connection *c);
    void trickle(Connection *c);
    void finishResponse(Connection *c);
    void dropConnection(Connection *c);

    QTcpServer *m_server = nullptr;
#ifndef QT_NO_SSL
    QSslConfiguration m_tls;
    bool m_useTls = false;
#endif
    QHash<QByteArray, Response> m_responses;
    Response m_default;
    QList<Request> m_requests;
    QList<Connection *> m_connections;
    int m_connectionCount = 0;
};
