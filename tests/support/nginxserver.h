#pragma once

// nginx on 127.0.0.1 for end-to-end tests: a child process in the foreground with
// its own configuration, logs and temp folders in a private temporary folder, so
// nothing system-wide is touched.
//
//     NginxServer nginx(releaseFolder);
//     QUORVEX_REQUIRE_TOOL(NginxServer::isAvailable(), "nginx");
//     QVERIFY2(nginx.start(), qPrintable(nginx.lastError()));
//     ... nginx.url("/manifest.json") ...
//     QCOMPARE(nginx.accessedPaths(), ...);

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class NginxServer
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();
    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    static QString executable(); // empty when nginx is not installed
    static bool isAvailable() { return !executable().isEmpty(); }

    // Bytes per second for every response; 0 is unlimited. Set before start().
    void setRateLimit(qint64 bytesPerSecond) { m_rate = bytesPerSecond; }
    // Raw configuration text added inside the server block, e.g. location blocks.
    void addServerConfig(const QByteArray &text) { m_extra += text + '\n'; }

    // Starts nginx on a free port and waits until it accepts connections.
    bool start();
    void stop();
    bool isRunning() const { return m_process.state() == QProcess::Running; }

    quint16 port() const { return m_port; }
    QUrl url(const QString &path) const;
    QString lastError() const { return m_error; }

    // Request paths from the access log, in the order nginx served them. nginx logs a
    // request once its response is sent, so just after a client is done, poll with QTRY_*.
    QStringList accessedPaths() const;
    // Access log entries (path and status) for one path, e.g. to count downloads.
    int accessCount(const QString &path) const;

private:
    bool startOnce(quint16 port);

    QString m_root;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    qint64 m_rate = 0;
    QByteArray m_extra;
    QString m_error;
};
