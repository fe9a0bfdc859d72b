#pragma once

// A release folder served by nginx, a client folder holding the sample client, and the
// updater run as a process on them.

#include "tests/support/nginxserver.h"
#include "tests/support/testsupport.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using FileSet = QMap<QString, QByteArray>; // relative path -> content

const QStringList ForwardedArguments = {QStringLiteral("--perfil"),
                                        QStringLiteral(" Jogador \"Um\" ")};

// Lays a release out as a publisher would: the files below files/, and a manifest listing
// them in map order.
inline bool publish(const QString &root, const QString &version, int build, const FileSet &files)
{
    QJsonArray entries;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(root + QStringLiteral("/files/") + it.key(), it.value()))
            return false;
        const QByteArray hash = QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256);
        entries.append(
            QJsonObject{{QStringLiteral("path"), it.key()},
                        {QStringLiteral("hash"), QString::fromLatin1(hash.toHex())},
                        {QStringLiteral("size"), double(it.value().size())},
                        {QStringLiteral("url"),
                         QStringLiteral("files/") +
                             QString::fromLatin1(QUrl::toPercentEncoding(it.key(), "/"))}});
    }
    const QJsonObject manifest{{QStringLiteral("version"), version},
                               {QStringLiteral("build"), build},
                               {QStringLiteral("changelog"), QStringLiteral("Teste.")},
                               {QStringLiteral("files"), entries}};
    return writeFile(root + QStringLiteral("/manifest.json"), QJsonDocument(manifest).toJson());
}

class ClientFolder : public QTemporaryDir
{
public:
    ClientFolder() { QFile::copy(sampleClientPath(), executable()); }
    QString executable() const { return filePath(QStringLiteral("QuorvexEmulator")); }
    QString record() const { return filePath(QStringLiteral("launch_record.json")); }

    bool write(const FileSet &files) const
    {
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            if (!writeFile(filePath(it.key()), it.value()))
                return false;
        }
        return true;
    }
    bool writeVersion(const QString &version, int build) const
    {
        const QJsonObject record{{QStringLiteral("version"), version},
                                 {QStringLiteral("build"), build}};
        return write({{QStringLiteral("version.json"), QJsonDocument(record).toJson()}});
    }
    bool configure(const QUrl &manifestUrl, const QUrl &firstEndpoint = QUrl()) const
    {
        QJsonObject config{{QStringLiteral("enabled"), true},
                           {QStringLiteral("manifest_url"), manifestUrl.toString()},
                           {QStringLiteral("check_timeout_ms"), 3000}};
        if (!firstEndpoint.isEmpty())
            config.insert(QStringLiteral("manifest_urls"), QJsonArray{firstEndpoint.toString()});
        return write({{QStringLiteral("updater_config.json"), QJsonDocument(config).toJson()}});
    }
    // Every file below the folder except the staging area and the launch record.
    FileSet snapshot() const
    {
        FileSet files;
        QDirIterator it(path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString rel = QDir(path()).relativeFilePath(it.next());
            if (!rel.startsWith(QLatin1String(".update-staging/")) &&
                rel != QLatin1String("launch_record.json"))
                files.insert(rel, readFile(filePath(rel)));
        }
        return files;
    }
    bool hasStaging() const
    {
        return QFileInfo::exists(filePath(QStringLiteral(".update-staging")));
    }
    QString installedVersion() const
    {
        const QJsonObject record =
            QJsonDocument::fromJson(readFile(filePath(QStringLiteral("version.json")))).object();
        return record.value(QLatin1String("version")).toString() + QStringLiteral(" build ") +
               QString::number(record.value(QLatin1String("build")).toInt());
    }
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record());
        env.remove(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        return env;
    }
};

// Starts the updater as the client would, offscreen or on an X display.
inline void startUpdater(QProcess &updater, const ClientFolder &client,
                         const QStringList &extraArguments = {}, const QString &display = {})
{
    QProcessEnvironment env = client.environment();
    if (!display.isEmpty()) {
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        env.insert(QStringLiteral("DISPLAY"), display);
    }
    QStringList arguments = {QStringLiteral("--app-dir"), client.path(),
                             QStringLiteral("--app-executable"), QStringLiteral("QuorvexEmulator")};
    for (const QString &argument : ForwardedArguments)
        arguments << QStringLiteral("--launch-arg") << argument;
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater.start(updaterExecutablePath(), arguments + extraArguments);
}

// The updater's exit code, or -1 when it crashed or had to be killed.
inline int finish(QProcess &updater, int timeoutMs = 60000)
{
    if (!updater.waitForFinished(timeoutMs)) {
        updater.kill();
        updater.waitForFinished(5000);
        return -1;
    }
    return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -1;
}

inline int runUpdater(const ClientFolder &client, const QStringList &extraArguments = {})
{
    QProcess updater;
    startUpdater(updater, client, extraArguments);
    return finish(updater);
}

// An X server of its own, for runs that end in the failure dialog.
class VirtualDisplay
{
public:
    ~VirtualDisplay()
    {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
    static bool isAvailable()
    {
        return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
               !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
    }
    // Xvfb picks a free display itself and prints its number once it accepts clients.
    QString start()
    {
        m_server.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"),
                                                QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                                QStringLiteral("-screen"), QStringLiteral("0"),
                                                QStringLiteral("1024x768x24")});
        const QDeadlineTimer deadline(10000);
        while (!m_server.canReadLine() &&
               m_server.waitForReadyRead(int(deadline.remainingTime()))) {
        }
        const QByteArray number = m_server.readLine().trimmed();
        m_name = number.isEmpty() ? QString() : QLatin1Char(':') + QString::fromLatin1(number);
        return m_name;
    }
    // Waits for a visible window whose title starts with this text (X11 titles also carry
    // the application's name), focuses it and presses Return.
    bool dismissWindow(const QString &title, int timeoutMs) const
    {
        const QDeadlineTimer deadline(timeoutMs);
        const auto xdotool = [&](const QStringList &arguments) {
            QProcess process;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(QStringLiteral("DISPLAY"), m_name);
            process.setProcessEnvironment(env);
            process.start(QStringLiteral("xdotool"), arguments);
            const bool done = process.waitForFinished(int(deadline.remainingTime())) &&
                              process.exitStatus() == QProcess::NormalExit &&
                              process.exitCode() == 0;
            process.kill();
            process.waitForFinished(1000);
            return done;
        };
        // The key goes to the focused window: sent to the dialog itself, its release
        // would fail once the press has closed it.
        while (!deadline.hasExpired()) {
            if (xdotool({QStringLiteral("search"), QStringLiteral("--sync"),
                         QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                         QLatin1Char('^') + title, QStringLiteral("windowfocus"),
                         QStringLiteral("--sync")}) &&
                xdotool({QStringLiteral("key"), QStringLiteral("Return")}))
                return true;
        }
        return false;
    }

private:
    QProcess m_server;
    QString m_name;
};
