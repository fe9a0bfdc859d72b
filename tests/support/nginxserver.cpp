#include "tests/support/nginxserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(200);
}

// Paths go into the configuration quoted: a space or ";" in a temporary folder would
// otherwise end the directive.
QByteArray quoted(const QString &path)
{
    QByteArray text = QFile::encodeName(path);
    text.replace('\\', "\\\\");
    text.replace('"', "\\\"");
    return '"' + text + '"';
}

} // namespace

NginxServer::NginxServer(const QString &root) : m_root(QDir(root).absolutePath())
{}

NginxServer::~NginxServer()
{
    stop();
}

QString NginxServer::executable()
{
    QString found = QStandardPaths::findExecutable(QStringLiteral("nginx"));
    if (found.isEmpty())
        found = QStandardPaths::findExecutable(
            QStringLiteral("nginx"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
    return found;
}

QUrl NginxServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

bool NginxServer::start()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    if (!isAvailable()) {
        m_error = QStringLiteral("nginx is not installed");
        return false;
    }
    // Another process may take the probed port before nginx binds it: try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const quint16 port = freePort();
        if (port != 0 && startOnce(port))
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
    QByteArray conf;
    conf += "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    conf += "pid " + at("/nginx.pid") + ";\nerror_log " + at("/logs/error.log") + " warn;\n";
    conf += "events { worker_connections 256; }\nhttp {\n";
    conf += "    log_format paths '$status $request_uri';\n";
    conf += "    access_log " + at("/logs/access.log") + " paths;\n";
    for (const char *kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf += QByteArray("    ") + kind + "_temp_path " +
                quoted(dir + QStringLiteral("/tmp_") + QLatin1String(kind)) + ";\n";
    conf += "    default_type application/octet-stream;\n    types { application/json json; }\n";
    conf += "    sendfile on;\n    keepalive_requests 100000;\n";
    conf += "    server {\n        listen 127.0.0.1:" + QByteArray::number(port) + ";\n";
    conf += "        root " + quoted(m_root) + ";\n";
    if (m_rate > 0)
        conf += "        limit_rate " + QByteArray::number(m_rate) + ";\n";
    conf += m_extra;
    conf += "    }\n}\n";
    QFile file(dir + QStringLiteral("/nginx.conf"));
    if (!file.open(QIODevice::WriteOnly) || file.write(conf) != conf.size()) {
        m_error = QStringLiteral("cannot write nginx.conf");
        return false;
    }
    file.close();

    m_process.setProcessChannelMode(QProcess::MergedChannels);
    m_process.start(executable(), {QStringLiteral("-p"), dir, QStringLiteral("-c"),
                                   dir + QStringLiteral("/nginx.conf")});
    if (!m_process.waitForStarted(5000)) {
        m_error = m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            break;
        if (accepts(port)) {
            m_port = port;
            return true;
        }
        m_process.waitForFinished(50);
    }
    QFile log(dir + QStringLiteral("/logs/error.log"));
    m_error = QString::fromLocal8Bit(m_process.readAll());
    if (log.open(QIODevice::ReadOnly))
        m_error += QString::fromLocal8Bit(log.readAll());
    stop();
    return false;
}

void NginxServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QStringList NginxServer::accessedPaths() const
{
    QStringList paths;
    QFile log(m_dir.path() + QStringLiteral("/logs/access.log"));
    if (!log.open(QIODevice::ReadOnly))
        return paths;
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (const QByteArray &line : lines) {
        const qsizetype space = line.indexOf(' ');
        if (space > 0)
            paths.append(QString::fromUtf8(line.mid(space + 1)));
    }
    return paths;
}

int NginxServer::accessCount(const QString &path) const
{
    return int(accessedPaths().count(path));
}
