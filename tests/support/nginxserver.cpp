#include "tests/support/nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Paths go into the configuration quoted: a space or ";" would otherwise end the directive.
QByteArray quoted(const QString &path)
{
    QByteArray text = QFile::encodeName(path);
    return '"' + text.replace('\\', "\\\\").replace('"', "\\\"") + '"';
}

} // namespace

NginxServer::NginxServer(const QString &root) : m_root(QDir(root).absolutePath())
{}

NginxServer::~NginxServer()
{
    stop();
}

void NginxServer::stop()
{
    m_process.kill();
    m_process.waitForFinished(5000);
}

QString NginxServer::executable()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    return !onPath.isEmpty() ? onPath
                             : QStandardPaths::findExecutable(
                                   QStringLiteral("nginx"),
                                   {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

bool NginxServer::start()
{
    m_error = QStringLiteral("nginx is not installed");
    // Another process may take the probed port before nginx binds it: try again.
    for (int attempt = 0; attempt < 5 && isAvailable(); ++attempt) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            continue;
        const quint16 port = probe.serverPort();
        probe.close();
        if (startOnce(port))
            return true;
    }
    return false;
}

bool NginxServer::startOnce(quint16 port)
{
    const QString dir = m_dir.path();
    QDir().mkpath(dir + QStringLiteral("/logs"));
    QFile::remove(dir + QStringLiteral("/logs/access.log"));
    const auto at = [&dir](const char *name) {
        return quoted(dir + QLatin1String(name));
    };
    QByteArray conf = "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    conf += "pid " + at("/nginx.pid") + ";\nerror_log " + at("/logs/error.log") + " warn;\n";
    conf +=
        "events { worker_connections 256; }\nhttp {\n  log_format paths '$status $request_uri';\n";
    conf += "  access_log " + at("/logs/access.log") + " paths;\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += QByteArray("  ") + kind + "_temp_path " +
                quoted(dir + QStringLiteral("/tmp_") + QLatin1String(kind)) + ";\n";
    conf += "  default_type application/octet-stream;\n  types { application/json json; }\n";
    conf += "  sendfile on;\n  keepalive_requests 100000;\n";
    conf += "  server {\n    listen 127.0.0.1:" + QByteArray::number(port) + ";\n";
    conf += "    root " + quoted(m_root) + ";\n";
    if (m_rate > 0)
        conf += "    limit_rate " + QByteArray::number(m_rate) + ";\n";
    conf += "  }\n}\n";
    QFile file(dir + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf) != conf.size()) {
        m_error = QStringLiteral("cannot write nginx.conf");
        return false;
    }
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(executable(),
                    {QStringLiteral("-p"), dir, QStringLiteral("-c"), file.fileName()});
    const QDeadlineTimer deadline(10000);
    while (m_process.waitForStarted(5000) && !deadline.hasExpired()) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(200)) {
            m_port = port;
            return true;
        }
        if (m_process.waitForFinished(50))
            break;
    }
    QFile log(dir + QStringLiteral("/logs/error.log"));
    m_error =
        m_process.errorString() + QLatin1Char('\n') + QString::fromLocal8Bit(m_process.readAll());
    if (log.open(QIODevice::ReadOnly))
        m_error += QString::fromLocal8Bit(log.readAll());
    stop();
    return false;
}

QStringList NginxServer::accessedPaths() const
{
    QStringList paths;
    QFile log(m_dir.path() + QStringLiteral("/logs/access.log"));
    const QList<QByteArray> lines =
        log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        if (line.indexOf(' ') > 0)
            paths.append(QString::fromUtf8(line.mid(line.indexOf(' ') + 1)));
    }
    return paths;
}
