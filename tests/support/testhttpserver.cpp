#include "tests/support/testhttpserver.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtDebug>

#ifndef QT_NO_SSL
#include <QSslServer>
#endif

namespace {

// Keeps the socket's own buffer small, so a large body is handed over in slices of
// the shared array instead of being copied into the socket at once.
constexpr qint64 WriteSlice = 64 * 1024;
constexpr qint64 WriteHighWater = 256 * 1024;

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
    case 302:
    case 303:
    case 307:
    case 308:
        return "Redirect";
    case 404:
        return "Not Found";
    default:
        return "Status";
    }
}

} // namespace

struct TestHttpServer::Connection
{
    QTcpSocket *socket = nullptr;
    QByteArray input;
    bool busy = false;    // a response is being sent
    bool stalled = false; // hanging or closing: nothing more is read
    bool closeWhenDone = false;
    QByteArray body; // shared with the scripted response
    qint64 bodyPos = 0;
    qint64 bodyEnd = 0;
    Delivery delivery = Delivery::Immediate;
    int chunkSize = 0;
    QTimer *timer = nullptr;
};

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    for (const Header &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

bool TestHttpServer::Request::hasHeader(const QByteArray &name) const
{
    for (const Header &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent)
{}

TestHttpServer::~TestHttpServer()
{
    const QList<Connection *> open = m_connections;
    for (Connection *c : open) {
        c->socket->disconnect(this);
        c->socket->abort();
        dropConnection(c);
    }
}

#ifndef QT_NO_SSL
void TestHttpServer::setTlsConfiguration(const QSslConfiguration &configuration)
{
    m_tls = configuration;
    m_useTls = true;
}
#endif

bool TestHttpServer::listen()
{
#ifndef QT_NO_SSL
    if (m_useTls) {
        auto *tls = new QSslServer(this);
        tls->setSslConfiguration(m_tls);
        m_server = tls;
    }
#endif
    if (!m_server)
        m_server = new QTcpServer(this);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this,
            &TestHttpServer::onPendingConnection);
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        qWarning() << "TestHttpServer: cannot listen:" << m_server->errorString();
        return false;
    }
    return true;
}

QUrl TestHttpServer::url(const QByteArray &path) const
{
    bool tls = false;
#ifndef QT_NO_SSL
    tls = m_useTls;
#endif
    const QByteArray base = QByteArray(tls ? "https" : "http") + "://127.0.0.1:" +
                            QByteArray::number(m_server ? m_server->serverPort() : 0);
    return QUrl::fromEncoded(base + path, QUrl::TolerantMode);
}

void TestHttpServer::setResponse(const QByteArray &path, const Response &response)
{
    m_responses.insert(path, response);
}

void TestHttpServer::setBody(const QByteArray &path, const QByteArray &body, int status)
{
    Response r;
    r.status = status;
    r.body = body;
    setResponse(path, r);
}

void TestHttpServer::setRedirect(const QByteArray &path, const QUrl &target, int status)
{
    Response r;
    r.status = status;
    r.headers.append({"Location", target.toEncoded()});
    setResponse(path, r);
}

void TestHttpServer::removeResponse(const QByteArray &path)
{
    m_responses.remove(path);
}

int TestHttpServer::requestCount(const QByteArray &path) const
{
    int n = 0;
    for (const Request &r : m_requests)
        n += r.path == path ? 1 : 0;
    return n;
}

void TestHttpServer::onPendingConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        auto *c = new Connection;
        c->socket = socket;
        m_connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] {
            c->input.append(c->socket->readAll());
            processBuffered(c);
        });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { dropConnection(c); });
        if (socket->bytesAvailable() > 0) {
            c->input.append(socket->readAll());
            processBuffered(c);
        }
    }
}

// The updater only sends GETs, so a request ends at its blank line.
void TestHttpServer::processBuffered(Connection *c)
{
    if (c->busy || c->stalled)
        return;
    const qsizetype headerEnd = c->input.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    const QList<QByteArray> lines = c->input.left(headerEnd).split('\n');
    c->input.remove(0, headerEnd + 4);
    Request request;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    request.userAgent = request.header("User-Agent");

    m_requests.append(request);
    startResponse(c, request);
}

void TestHttpServer::startResponse(Connection *c, const Request &request)
{
    Response r;
    r.status = 404;
    r.body = "not found";
    r = m_responses.value(request.path, r);
    c->busy = true;

    if (r.delivery == Delivery::Hang || r.delivery == Delivery::CloseAtOnce) {
        c->stalled = true;
        if (r.delivery == Delivery::CloseAtOnce)
            c->socket->disconnectFromHost();
        return;
    }

    const bool lengthMismatch = r.contentLength >= 0 && r.contentLength != r.body.size();
    c->closeWhenDone = !r.announceLength || lengthMismatch || r.delivery == Delivery::Truncate;

    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(r.status) + ' ' + reasonFor(r.status) + "\r\n";
    if (r.announceLength) {
        const qint64 announced = r.contentLength >= 0 ? r.contentLength : r.body.size();
        head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
    }
    if (c->closeWhenDone)
        head += "Connection: close\r\n";
    for (const Header &h : r.headers)
        head += h.first + ": " + h.second + "\r\n";
    c->socket->write(head + "\r\n");

    c->body = r.body;
    c->bodyPos = 0;
    c->bodyEnd = request.method == "HEAD" ? 0 : r.body.size();
    if (r.delivery == Delivery::Truncate)
        c->bodyEnd = qBound<qint64>(0, r.truncateAfter, c->bodyEnd);
    c->delivery = r.delivery;

    if (r.delivery == Delivery::Trickle && c->bodyEnd > 0) {
        c->chunkSize = qMax(1, r.chunkSize);
        if (!c->timer) {
            c->timer = new QTimer(c->socket);
            connect(c->timer, &QTimer::timeout, this, [this, c] { trickle(c); });
        }
        c->timer->start(qMax(0, r.intervalMs));
        return;
    }
    pump(c);
}

void TestHttpServer::pump(Connection *c)
{
    if (!c->busy || c->stalled || c->delivery == Delivery::Trickle)
        return;
    while (c->bodyPos < c->bodyEnd && c->socket->bytesToWrite() < WriteHighWater) {
        const qint64 n = qMin(WriteSlice, c->bodyEnd - c->bodyPos);
        c->socket->write(c->body.constData() + c->bodyPos, n);
        c->bodyPos += n;
    }
    if (c->bodyPos >= c->bodyEnd)
        finishResponse(c);
}

void TestHttpServer::trickle(Connection *c)
{
    const qint64 n = qMin<qint64>(c->chunkSize, c->bodyEnd - c->bodyPos);
    c->socket->write(c->body.constData() + c->bodyPos, n);
    c->bodyPos += n;
    if (c->bodyPos >= c->bodyEnd) {
        c->timer->stop();
        finishResponse(c);
    }
}

void TestHttpServer::finishResponse(Connection *c)
{
    c->busy = false;
    c->body.clear();
    c->delivery = Delivery::Immediate;
    if (c->closeWhenDone) {
        c->stalled = true;
        c->socket->disconnectFromHost();
        return;
    }
    processBuffered(c);
}

void TestHttpServer::dropConnection(Connection *c)
{
    if (!m_connections.removeOne(c))
        return;
    if (c->timer)
        c->timer->stop();
    c->socket->disconnect(this);
    c->socket->deleteLater();
    delete c;
}
