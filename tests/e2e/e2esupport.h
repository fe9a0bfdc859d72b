#pragma once

// Shared pieces of the end-to-end tests: a release folder served by nginx, a
// client folder holding the sample client, and the updater run as a process.

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

using FileSet = QMap<QString, QByteArray>; // relative path -> content

// A release laid out as a publisher would: manifest.json at the root, files below files/.
class ReleaseFolder
{
public:
    ReleaseFolder();
    QString path() const { return m_dir.path(); }
    // Writes the files and a manifest describing them; the manifest lists files in map order.
    bool publish(const QString &version, int build, const FileSet &files);
    // Replaces one file's bytes without touching the manifest.
    bool tamper(const QString &relativePath, const QByteArray &content);
    bool remove(const QString &relativePath);

private:
    QTemporaryDir m_dir;
};

class ClientFolder
{
public:
    ClientFolder();
    QString path() const { return m_dir.path(); }
    QString file(const QString &relativePath) const;
    QString executable() const { return file(QStringLiteral("QuorvexEmulator")); }
    QString record() const { return file(QStringLiteral("launch_record.json")); }

    bool write(const QString &relativePath, const QByteArray &content) const;
    bool writeVersion(const QString &version, int build) const;
    bool configure(const QList<QUrl> &endpoints, const QUrl &manifestUrl) const;
    // Every file below the folder except the staging area and the launch record.
    FileSet snapshot() const;
    bool hasStaging() const;
    // Version and build recorded in version.json, or an empty text when unreadable.
    QString installedVersion() const;

    QStringList updaterArguments() const;
    QProcessEnvironment environment() const;

private:
    QTemporaryDir m_dir;
};

QByteArray readAll(const QString &path);
// Runs the updater to its end with the offscreen platform; returns its exit code, or -1.
int runUpdater(const ClientFolder &client, const QStringList &extraArguments = {},
               int timeoutMs = 60000);
// What the sample client recorded about its start: arguments and working directory.
bool readLaunchRecord(const ClientFolder &client, QStringList *arguments, QString *cwd,
                      int timeoutMs = 10000);

// An X server of its own, for runs that end in the failure dialog.
class VirtualDisplay
{
public:
    VirtualDisplay() = default;
    ~VirtualDisplay();
    static bool isAvailable(); // Xvfb and xdotool installed
    bool start();
    QString name() const { return m_name; }
    // Waits for a window with this exact title and presses Return in it.
    bool dismissWindow(const QString &title, int timeoutMs);

private:
    QProcess m_server;
    QString m_name;
};

// Runs the updater on the display, dismisses its failure dialog once it appears and
// returns the exit code; dialogSeen tells whether the dialog was there to dismiss.
int runUpdaterToDialog(VirtualDisplay &display, const ClientFolder &client, bool *dialogSeen,
                       int timeoutMs = 60000);
