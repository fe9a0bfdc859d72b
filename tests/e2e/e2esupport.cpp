#include "tests/e2e/e2esupport.h"

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
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

namespace {

bool writeFile(const QString &path, const QByteArray &content)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size() && f.flush();
}

QString encodedPath(const QString &relativePath)
{
    QStringList parts = relativePath.split(QLatin1Char('/'));
    for (QString &part : parts)
        part = QString::fromLatin1(QUrl::toPercentEncoding(part));
    return parts.join(QLatin1Char('/'));
}

} // namespace

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

ReleaseFolder::ReleaseFolder() = default;

bool ReleaseFolder::publish(const QString &version, int build, const FileSet &files)
{
    QJsonArray entries;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(m_dir.filePath(QStringLiteral("files/") + it.key()), it.value()))
            return false;
        QJsonObject entry;
        entry.insert(QStringLiteral("path"), it.key());
        entry.insert(QStringLiteral("hash"),
                     QString::fromLatin1(
                         QCryptographicHash::hash(it.value(), QCryptographicHash::Sha256).toHex()));
        entry.insert(QStringLiteral("size"), double(it.value().size()));
        entry.insert(QStringLiteral("url"), QStringLiteral("files/") + encodedPath(it.key()));
        entries.append(entry);
    }
    QJsonObject manifest;
    manifest.insert(QStringLiteral("version"), version);
    manifest.insert(QStringLiteral("build"), build);
    manifest.insert(QStringLiteral("changelog"), QStringLiteral("Teste de ponta a ponta."));
    manifest.insert(QStringLiteral("files"), entries);
    return writeFile(m_dir.filePath(QStringLiteral("manifest.json")),
                     QJsonDocument(manifest).toJson());
}

bool ReleaseFolder::tamper(const QString &relativePath, const QByteArray &content)
{
    return writeFile(m_dir.filePath(QStringLiteral("files/") + relativePath), content);
}

bool ReleaseFolder::remove(const QString &relativePath)
{
    return QFile::remove(m_dir.filePath(QStringLiteral("files/") + relativePath));
}

ClientFolder::ClientFolder()
{
    QFile::copy(sampleClientPath(), executable());
}

QString ClientFolder::file(const QString &relativePath) const
{
    return m_dir.filePath(relativePath);
}

bool ClientFolder::write(const QString &relativePath, const QByteArray &content) const
{
    return writeFile(file(relativePath), content);
}

bool ClientFolder::writeVersion(const QString &version, int build) const
{
    QJsonObject record;
    record.insert(QStringLiteral("version"), version);
    record.insert(QStringLiteral("build"), build);
    return write(QStringLiteral("version.json"), QJsonDocument(record).toJson());
}

bool ClientFolder::configure(const QList<QUrl> &endpoints, const QUrl &manifestUrl) const
{
    QJsonArray urls;
    for (const QUrl &url : endpoints)
        urls.append(url.toString());
    QJsonObject config;
    config.insert(QStringLiteral("enabled"), true);
    config.insert(QStringLiteral("manifest_url"), manifestUrl.toString());
    if (!urls.isEmpty())
        config.insert(QStringLiteral("manifest_urls"), urls);
    config.insert(QStringLiteral("check_timeout_ms"), 3000);
    return write(QStringLiteral("updater_config.json"), QJsonDocument(config).toJson());
}

FileSet ClientFolder::snapshot() const
{
    FileSet files;
    QDirIterator it(path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString rel = QDir(path()).relativeFilePath(it.next());
        if (!rel.startsWith(QLatin1String(".update-staging/")) &&
            rel != QLatin1String("launch_record.json"))
            files.insert(rel, readAll(file(rel)));
    }
    return files;
}

bool ClientFolder::hasStaging() const
{
    return QFileInfo::exists(file(QStringLiteral(".update-staging")));
}

QString ClientFolder::installedVersion() const
{
    const QJsonObject record =
        QJsonDocument::fromJson(readAll(file(QStringLiteral("version.json")))).object();
    if (!record.value(QLatin1String("version")).isString())
        return QString();
    return record.value(QLatin1String("version")).toString() + QStringLiteral(" build ") +
           QString::number(record.value(QLatin1String("build")).toInt());
}

QStringList ClientFolder::updaterArguments() const
{
    return {QStringLiteral("--app-dir"),        path(),
            QStringLiteral("--app-executable"), QStringLiteral("QuorvexEmulator"),
            QStringLiteral("--launch-arg"),     QStringLiteral("--perfil"),
            QStringLiteral("--launch-arg"),     QStringLiteral(" Jogador \"Um\" ")};
}

QProcessEnvironment ClientFolder::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("SAMPLE_CLIENT_RECORD"), record());
    env.remove(QStringLiteral("SAMPLE_CLIENT_LINGER_MS"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

int runUpdater(const ClientFolder &client, const QStringList &extraArguments, int timeoutMs)
{
    QProcess updater;
    updater.setProcessEnvironment(client.environment());
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater.start(updaterExecutablePath(), client.updaterArguments() + extraArguments);
    if (!updater.waitForFinished(timeoutMs)) {
        updater.kill();
        updater.waitForFinished(5000);
        return -1;
    }
    return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -1;
}

bool readLaunchRecord(const ClientFolder &client, QStringList *arguments, QString *cwd,
                      int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QJsonObject record;
    while (record.isEmpty() && !deadline.hasExpired()) {
        record = QJsonDocument::fromJson(readAll(client.record())).object();
        if (record.isEmpty())
            QThread::msleep(20);
    }
    if (record.isEmpty())
        return false;
    arguments->clear();
    const QJsonArray args = record.value(QLatin1String("arguments")).toArray();
    for (const QJsonValue &arg : args)
        arguments->append(arg.toString());
    *cwd = record.value(QLatin1String("cwd")).toString();
    return true;
}

VirtualDisplay::~VirtualDisplay()
{
    if (m_server.state() != QProcess::NotRunning) {
        m_server.terminate();
        if (!m_server.waitForFinished(5000))
            m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool VirtualDisplay::isAvailable()
{
    return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty() &&
           !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
}

static bool xdotool(const QString &display, const QStringList &args, QByteArray *out = nullptr)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DISPLAY"), display);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral("xdotool"), args);
    if (!p.waitForFinished(5000)) {
        p.kill();
        p.waitForFinished(1000);
        return false;
    }
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

bool VirtualDisplay::start()
{
    // Display numbers in use show as sockets; pick a free one at random to avoid
    // clashing with tests running in parallel.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int number = 100 + int(QRandomGenerator::global()->bounded(800));
        if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)) ||
            QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)))
            continue;
        const QString name = QStringLiteral(":%1").arg(number);
        m_server.start(QStringLiteral("Xvfb"),
                       {name, QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                        QStringLiteral("-screen"), QStringLiteral("0"),
                        QStringLiteral("1024x768x24")});
        if (!m_server.waitForStarted(5000))
            return false;
        const QDeadlineTimer ready(10000);
        while (!ready.hasExpired() && m_server.state() == QProcess::Running) {
            if (xdotool(name, {QStringLiteral("getdisplaygeometry")})) {
                m_name = name;
                return true;
            }
            m_server.waitForFinished(100);
        }
        m_server.kill();
        m_server.waitForFinished(2000);
    }
    return false;
}

bool VirtualDisplay::dismissWindow(const QString &title, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        QByteArray ids;
        if (xdotool(m_name,
                    {QStringLiteral("search"), QStringLiteral("--name"),
                     QLatin1Char('^') + title + QLatin1Char('$')},
                    &ids)) {
            const QString id = QString::fromLatin1(ids.split('\n').first().trimmed());
            if (!id.isEmpty() &&
                xdotool(m_name, {QStringLiteral("windowfocus"), QStringLiteral("--sync"), id}) &&
                xdotool(m_name, {QStringLiteral("key"), QStringLiteral("Return")}))
                return true;
        }
        QThread::msleep(100);
    }
    return false;
}

int runUpdaterToDialog(VirtualDisplay &display, const ClientFolder &client, bool *dialogSeen,
                       int timeoutMs)
{
    QProcess updater;
    QProcessEnvironment env = client.environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("DISPLAY"), display.name());
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    updater.start(updaterExecutablePath(), client.updaterArguments());
    *dialogSeen = updater.waitForStarted(5000) &&
                  display.dismissWindow(QStringLiteral("Atualizacao falhou"), timeoutMs);
    if (!updater.waitForFinished(*dialogSeen ? 10000 : 1000)) {
        updater.kill();
        updater.waitForFinished(5000);
        return -1;
    }
    return updater.exitStatus() == QProcess::NormalExit ? updater.exitCode() : -1;
}
