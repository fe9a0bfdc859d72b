#pragma once

// A scriptable HTTP/1.1 server for tests, bound to 127.0.0.1 on a random port.
//
// It lives on the thread that creates it and is served by whatever event loop runs
// there, including the nested loops of the code under test. Each path (the request
// target exactly as sent) gets a scripted Response; unknown paths get a 404. Every
// request is recorded before it is answered. Connections are kept alive between
// requests, bodies are shared rather than copied and written with flow control, so
// tens of MiB are fine.

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

class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    enum class Delivery
    {
        Immediate,   // headers and body as fast as the socket takes them
        Hang,        // read the request, never answer; the connection stays open
        CloseAtOnce, // read the request, close the connection without a byte
        Trickle,     // headers, then chunkSize body bytes every intervalMs
        Truncate,    // headers announcing the full length, truncateAfter body bytes, then close
    };

    using Header = QPair<QByteArray, QByteArray>;

    struct Response
    {
        int status = 200;
        QByteArray body;
        QList<Header> headers;
        // -1: body.size(); any other value is announced as is (and the connection
        // is closed after the body, since the client cannot find the next reply).
        qint64 contentLength = -1;
        // false: no Content-Length, the body ends when the connection does.
        bool announceLength = true;
        Delivery delivery = Delivery::Immediate;
        int chunkSize = 1024;
        int intervalMs = 20;
        qint64 truncateAfter = 0;
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray userAgent;
        QList<Header> headers;

        QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
        bool hasHeader(const QByteArray &name) const;
    };

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

#ifndef QT_NO_SSL
    // Serve HTTPS instead; call before listen(). The configuration holds the
    // certificate and private key.
    void setTlsConfiguration(const QSslConfiguration &configuration);
#endif

    bool listen();
    // "http://127.0.0.1:<port>" (or https) followed by path, taken as already encoded.
    QUrl url(const QByteArray &path) const;

    void setResponse(const QByteArray &path, const Response &response);
    void setBody(const QByteArray &path, const QByteArray &body, int status = 200);
    void setRedirect(const QByteArray &path, const QUrl &target, int status = 302);
    void removeResponse(const QByteArray &path);

    QList<Request> requests() const
    {
        return m_requests;
    }
    int requestCount() const
    {
        return int(m_requests.size());
    }
    int requestCount(const QByteArray &path) const;
    void clear()
    {
        m_requests.clear();
    }

private:
    struct Connection;

    void onPendingConnection();
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
    QList<Request> m_requests;
    QList<Connection *> m_connections;
};
