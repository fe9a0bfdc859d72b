#pragma once

// nginx on 127.0.0.1 in the foreground, with its configuration, logs and temp folders in a
// private temporary folder, so nothing system-wide is touched.

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

class NginxServer
{
public:
    explicit NginxServer(const QString &root);
    ~NginxServer();

    static QString executable(); // empty when nginx is not installed
    static bool isAvailable() { return !executable().isEmpty(); }
    // Bytes per second for every response; 0 is unlimited. Set before start().
    void setRateLimit(qint64 bytesPerSecond) { m_rate = bytesPerSecond; }
    // Starts nginx on a free port and waits until it accepts connections.
    bool start();
    QUrl url(const QString &path) const;
    QString lastError() const { return m_error; }
    // Request paths in the order served. nginx logs a request once its response is sent,
    // so just after a client is done, poll with QTRY_*.
    QStringList accessedPaths() const;

private:
    bool startOnce(quint16 port);
    void stop();

    QString m_root;
    QTemporaryDir m_dir;
    QProcess m_process;
    quint16 m_port = 0;
    qint64 m_rate = 0;
    QString m_error;
};
