#pragma once

#include "app/launchoptions.h"
#include "download/stagedfile.h"
#include "files/updateconfig.h"
#include "manifest/updatemanifest.h"
#include "update/runlog.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QNetworkAccessManager;

// Owns one update run. Its member operations are defined beside the subsystems
// they belong to: manifest/, download/ and install/.
class UpdateController : public QObject
{
    Q_OBJECT

public:
    explicit UpdateController(const LaunchOptions &options, QObject *parent = nullptr);

    // Queues one run; finished() follows exactly once.
    void start();
    bool runUpdate(bool *updated, QString *message);

    // manifest/manifestfetch.cpp. With signed manifests, one dated before installedDate (the
    // installed release's) counts as a bad answer.
    bool fetchManifest(const UpdateConfig &config, UpdateManifest *manifest, QString *error,
                       const QDateTime &installedDate = QDateTime());

    // download/stageddownload.cpp: every file planned, then fetched by transfers in flight
    QString stagingDirectory(const UpdateManifest &manifest) const;
    bool downloadUpdateFiles(const UpdateConfig &config, const UpdateManifest &manifest,
                             QList<StagedFile> *staged, QString *error);

    // install/preflight.cpp, install/clientwait.cpp, install/filereplace.cpp,
    // install/relaunch.cpp
    bool checkTargets(const UpdateConfig &config, const UpdateManifest &manifest, QString *error);
    bool waitForClientExit(QString *error);
    // replaced gets the old copies set aside, for the caller to remove.
    bool applyStagedFiles(const QList<StagedFile> &staged, QStringList *replaced, QString *error);
    bool relaunchClient(QString *error);

    // Set once by the constructor: both paths absolute and cleaned.
    const QString appDir;
    const QString clientExecutable;
    const QStringList launchArguments;
    const qint64 waitPid;
    const bool repair;
    QNetworkAccessManager *const networkManager;

    // Set by runUpdate: this run mends the installed release instead of installing a new one.
    bool repairing = false;
    // Every run's record for support, open while the run holds the client folder.
    RunLog runLog;

signals:
    void statusChanged(const QString &title, const QString &detail);
    void progressModeChanged(bool indeterminate);
    void progressChanged(qlonglong value, qlonglong maximum);
    void finished(bool success, bool updated, const QString &message);
};
