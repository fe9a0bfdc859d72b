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

// Keeps the socket's own buffer small, so a large body is handed over in slices
// of the shared array instead of being copied into the socket at once.
constexpr qint64 WriteSlice = 64 * 1024;
constexpr qint64 WriteHighWater = 256 * 1024;

QByteArray reasonFor(int status)
{
    switch (status) {
    case 200:
        return QByteArrayLiteral("OK");
    case 204:
        return QByteArrayLiteral("No Content");
    case 206:
        return QByteArrayLiteral("Partial Content");
    case 301:
        return QByteArrayLiteral("Moved Permanently");
    case 302:
        return QByteArrayLiteral("Found");
    case 303:
        return QByteArrayLiteral("See Other");
    case 307:
        return QByteArrayLiteral("Temporary Redirect");
    case 308:
        return QByteArrayLiteral("Permanent Redirect");
    case 400:
        return QByteArrayLiteral("Bad Request");
    case 403:
        return QByteArrayLiteral("Forbidden");
    case 404:
        return QByteArrayLiteral("Not Found");
    case 500:
        return QByteArrayLiteral("Internal Server Error");
    case 503:
        return QByteArrayLiteral("Service Unavailable");
    default:
        return QByteArrayLiteral("Status");
    }
}

} // namespace

struct TestHttpServer::Connection
{
    QTcpSocket *socket = nullptr;
    int number = 0;
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

bool TestHttpServer::Request::hasHeader(const QByteArray &name) const
{
    for (const Header &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray TestHttpServer::Request::header(const QByteArray &name) const
{
    for (const Header &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

TestHttpServer::TestHttpServer(QObject *parent) : QObject(parent)
{
    m_default.status = 404;
    m_default.body = QByteArrayLiteral("not found");
}

TestHttpServer::~TestHttpServer()
{
    closeConnections();
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
    if (m_server)
        return m_server->isListening();
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

quint16 TestHttpServer::port() const
{
    return m_server ? m_server->serverPort() : 0;
}

bool TestHttpServer::isTls() const
{
#ifndef QT_NO_SSL
    return m_useTls;
#else
    return false;
#endif
}

QUrl TestHttpServer::url(const QByteArray &path) const
{
    const QByteArray base = (isTls() ? QByteArrayLiteral("https") : QByteArrayLiteral("http")) +
                            QByteArrayLiteral("://127.0.0.1:") + QByteArray::number(port());
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
    r.headers.append({QByteArrayLiteral("Location"), target.toEncoded()});
    setResponse(path, r);
}

void TestHttpServer::setDefaultResponse(const Response &response)
{
    m_default = response;
}

void TestHttpServer::removeResponse(const QByteArray &path)
{
    m_responses.remove(path);
}

QList<TestHttpServer::Request> TestHttpServer::requests() const
{
    return m_requests;
}

int TestHttpServer::requestCount() const
{
    return int(m_requests.size());
}

int TestHttpServer::requestCount(const QByteArray &path) const
{
    int n = 0;
    for (const Request &r : m_requests) {
        if (r.path == path)
            ++n;
    }
    return n;
}

int TestHttpServer::connectionCount() const
{
    return m_connectionCount;
}

void TestHttpServer::clear()
{
    m_requests.clear();
    m_connectionCount = 0;
}

void TestHttpServer::closeConnections()
{
    const QList<Connection *> open = m_connections;
    for (Connection *c : open) {
        c->socket->disconnect(this);
        c->socket->abort();
        dropConnection(c);
    }
}

void TestHttpServer::onPendingConnection()
{
    while (m_server->hasPendingConnections()) {
        QTcpSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        auto *c = new Connection;
        c->socket = socket;
        c->number = ++m_connectionCount;
        m_connections.append(c);
        connect(socket, &QTcpSocket::readyRead, this, [this, c] { onReadyRead(c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { pump(c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] { dropConnection(c); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(c);
    }
}

void TestHttpServer::onReadyRead(Connection *c)
{
    c->input.append(c->socket->readAll());
    processBuffered(c);
}

void TestHttpServer::processBuffered(Connection *c)
{
    if (c->busy || c->stalled)
        return;
    const qsizetype headerEnd = c->input.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return;

    const QList<QByteArray> lines = c->input.left(headerEnd).split('\n');
    Request request;
    request.connection = c->number;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.path = requestLine.value(1);
    qint64 bodyLength = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const Header h{line.left(colon).trimmed(), line.mid(colon + 1).trimmed()};
        request.headers.append(h);
        if (h.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            bodyLength = h.second.toLongLong();
    }
    const qsizetype total = headerEnd + 4 + bodyLength;
    if (c->input.size() < total)
        return;
    request.body = c->input.mid(headerEnd + 4, bodyLength);
    request.userAgent = request.header("User-Agent");
    c->input.remove(0, total);

    m_requests.append(request);
    emit requestReceived(request.path);
    startResponse(c, request);
}

void TestHttpServer::startResponse(Connection *c, const Request &request)
{
    const Response r = m_responses.value(request.path, m_default);
    c->busy = true;

    if (r.delivery == Delivery::Hang) {
        c->stalled = true;
        return;
    }
    if (r.delivery == Delivery::CloseAtOnce) {
        c->stalled = true;
        c->socket->disconnectFromHost();
        return;
    }

    // A length that does not match the body would leave the client waiting or
    // misread the next response on this connection, so such a response closes it.
    const bool lengthMismatch = r.contentLength >= 0 && r.contentLength != r.body.size();
    c->closeWhenDone = r.closeAfter || !r.announceLength || lengthMismatch ||
                       r.delivery == Delivery::Truncate ||
                       request.header("Connection").compare("close", Qt::CaseInsensitive) == 0;

    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + ' ' +
                      (r.reason.isEmpty() ? reasonFor(r.status) : r.reason) + "\r\n";
    if (r.announceLength) {
        const qint64 announced = r.contentLength >= 0 ? r.contentLength : r.body.size();
        head += "Content-Length: " + QByteArray::number(announced) + "\r\n";
    }
    if (c->closeWhenDone)
        head += "Connection: close\r\n";
    for (const Header &h : r.headers)
        head += h.first + ": " + h.second + "\r\n";
    head += "\r\n";
    c->socket->write(head);

    c->body = r.body;
    c->bodyPos = 0;
    c->bodyEnd = r.body.size();
    if (request.method == "HEAD" || r.status == 204 || r.status == 304)
        c->bodyEnd = 0;
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
