#include "files/appversion.h"
#include "files/eventslices.h"
#include "files/fileidentity.h"
#include "files/folderguard.h"
#include "files/instancelock.h"
#include "files/updateconfig.h"
#include "install/leftovers.h"
#include "manifest/updatemanifest.h"
#include "manifest/updaterequest.h"
#include "update/updatecontroller.h"
#include "update/versioncompare.h"

#include <QDir>
#include <QSet>
#include <QTimer>

namespace {

QString stagingRoot(const QString &appDir)
{
    return QDir(appDir).filePath(QStringLiteral(".update-staging"));
}

// One entry per path, the last one listed, in list order; paths that name one file on this
// system (on Windows, ignoring letter case) count as one.
QList<UpdateFile> lastEntryPerPath(const QList<UpdateFile> &files)
{
    QSet<QString> seen;
    QList<UpdateFile> kept;
    for (auto it = files.crbegin(); it != files.crend(); ++it) {
        if (!seen.contains(fsys::nameKey(it->path))) {
            seen.insert(fsys::nameKey(it->path));
            kept.prepend(*it);
        }
    }
    return kept;
}

} // namespace

void UpdateController::start()
{
    QTimer::singleShot(0, this, [this] {
        bool updated = false;
        QString message;
        const bool success = runUpdate(&updated, &message);
        emit finished(success, updated, message);
    });
}

bool UpdateController::runUpdate(bool *updated, QString *message)
{
    UpdateConfig config;
    AppVersion local;
    QDateTime installedDate;
    UpdateManifest manifest;

    if (updated)
        *updated = false;
    // Another updater is already at work on this folder: it finishes the job and starts the
    // client. A lock that cannot be had at all (a read-only folder, say) stops nobody.
    InstanceLock lock;
    if (lock.acquire(QDir(appDir).filePath(QStringLiteral(".quorvex-updater.lock"))) ==
        InstanceLock::Result::HeldElsewhere)
        return true;
    // Copies of the updater's own files set aside by the run that replaced them go as soon as
    // nothing runs from them, whatever this run then finds.
    removeAsideCopies(appDir);
    emit progressModeChanged(true);
    emit statusChanged(QStringLiteral("Inicializando"),
                       QStringLiteral("Lendo configuracao do updater..."));

    QString configError;
    if (!readUpdateConfig(appDir, &config, &configError)) {
        emit statusChanged(
            QStringLiteral("Atualizacao ignorada"),
            QStringLiteral("Falha ao ler updater_config.json. O cliente sera aberto mesmo assim."));
        return relaunchClient(message);
    }

    // Endpoints listed only under manifest_urls do not switch the check on.
    if (!config.enabled || !config.manifestUrl.isValid()) {
        emit statusChanged(
            QStringLiteral("Atualizacao desativada"),
            QStringLiteral("Nenhum endpoint de update configurado. Abrindo o cliente local."));
        return relaunchClient(message);
    }

    emit statusChanged(QStringLiteral("Verificando atualizacoes"),
                       QStringLiteral("Consultando %1").arg(shownUrl(config.manifestUrl)));

    QString versionError;
    if (!readAppVersion(appDir, &local, &versionError, &installedDate)) {
        if (message)
            *message = versionError;
        return false;
    }

    QString fetchError;
    if (!fetchManifest(config, &manifest, &fetchError, installedDate)) {
        emit statusChanged(QStringLiteral("Nao foi possivel verificar"),
                           QStringLiteral("%1 Abrindo o cliente local.").arg(fetchError));
        return relaunchClient(message);
    }

    // Checked before the version order: a base this old must not be patched even
    // when the remote release is not newer.
    const QString minimum = manifest.minClientVersion.trimmed();
    if (!minimum.isEmpty() && compareVersionStrings(local.version, minimum) < 0) {
        const QString text = QStringLiteral("A atualizacao %1 exige pelo menos a versao base %2. "
                                            "Instale um pacote mais recente manualmente.")
                                 .arg(appVersionText(manifest.remoteVersion), minimum);
        emit statusChanged(QStringLiteral("Instalacao base antiga"), text);
        if (message)
            *message = text;
        return false;
    }

    // A path listed twice is one file: the last entry's content is the one installed.
    manifest.files = lastEntryPerPath(manifest.files);

    if (compareVersions(local, manifest.remoteVersion) >= 0) {
        // What a run ended between recording the version and cleaning up left behind: staged
        // copies that will never be applied, and old copies of files now in place.
        EventSlices slices;
        removeTree(appDir, stagingRoot(appDir), &slices);
        for (const UpdateFile &file : std::as_const(manifest.files)) {
            const QString target = QDir::cleanPath(QDir(appDir).filePath(file.path));
            if (refusedLinkOn(appDir, target).isEmpty())
                settleLeftovers(target);
            slices.yield();
        }
        emit statusChanged(
            QStringLiteral("Cliente atualizado"),
            QStringLiteral("Versao local %1 ja esta em dia.").arg(appVersionText(local)));
        return relaunchClient(message);
    }

    if (manifest.files.isEmpty()) {
        if (message)
            *message =
                QStringLiteral("O manifesto remoto informou versao nova, mas nao trouxe arquivos.");
        return false;
    }

    const QString changelog = manifest.changelog.trimmed();
    emit statusChanged(QStringLiteral("Atualizacao encontrada"),
                       QStringLiteral("Nova versao: %1\nChangelog: %2")
                           .arg(appVersionText(manifest.remoteVersion),
                                changelog.isEmpty() ? QStringLiteral("sem descricao") : changelog));

    QString targetError;
    if (!checkTargets(config, manifest, &targetError)) {
        if (message)
            *message = targetError;
        return false;
    }
    // Only one release is ever staged: what an abandoned one left goes.
    {
        EventSlices slices;
        removeOtherStaging(appDir, stagingDirectory(manifest), slices);
    }

    // Nothing in the client folder is touched until every file is staged and verified.
    QList<StagedFile> staged;
    QString downloadError;
    if (!downloadUpdateFiles(config, manifest, &staged, &downloadError)) {
        if (message)
            *message = downloadError;
        return false;
    }

    emit statusChanged(
        QStringLiteral("Aplicando atualizacao"),
        QStringLiteral("Aguardando o processo principal encerrar para substituir os arquivos."));
    emit progressModeChanged(true);

    QString waitError;
    if (!waitForClientExit(&waitError)) {
        if (message)
            *message = waitError;
        return false;
    }

    QString applyError;
    if (!applyStagedFiles(staged, &applyError)) {
        if (message)
            *message = applyError;
        return false;
    }

    // Written only after every file is in place, so an interrupted install is found again;
    // never through a link, which the atomic save would follow.
    QString writeError = linkRefusal(QStringLiteral("version.json"));
    if (!linkOnPath(appDir, versionFilePath(appDir)).isEmpty() ||
        !writeAppVersion(appDir, manifest.remoteVersion, &writeError, manifest.date)) {
        if (message)
            *message = writeError;
        return false;
    }

    {
        EventSlices slices;
        removeTree(appDir, stagingRoot(appDir), &slices);
    }

    if (updated)
        *updated = true;
    emit statusChanged(
        QStringLiteral("Atualizacao concluida"),
        QStringLiteral("Arquivos aplicados com sucesso. Abrindo o cliente atualizado."));
    return relaunchClient(message);
}
