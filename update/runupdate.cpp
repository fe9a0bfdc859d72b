#include "files/appversion.h"
#include "files/eventslices.h"
#include "files/fileidentity.h"
#include "files/filesystem.h"
#include "files/folderguard.h"
#include "files/instancelock.h"
#include "files/updateconfig.h"
#include "install/leftovers.h"
#include "manifest/updatemanifest.h"
#include "manifest/updaterequest.h"
#include "update/updatecontroller.h"
#include "update/versioncompare.h"

#include <QCoreApplication>
#include <QDir>
#include <QScopeGuard>
#include <QSet>
#include <QTimer>

#include <algorithm>

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

// The files a repair put back, as the player reads it.
QString mendedText(qsizetype mended)
{
    if (mended == 0)
        return QStringLiteral("Nenhum arquivo precisou de reparo. Abrindo o cliente.");
    if (mended == 1)
        return QStringLiteral("1 arquivo reparado. Abrindo o cliente.");
    return QStringLiteral("%1 arquivos reparados. Abrindo o cliente.").arg(mended);
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
        InstanceLock::Result::HeldElsewhere) {
        RunLog::note(appDir, QStringLiteral("outro updater ja trabalha nesta pasta: esta execucao "
                                            "termina sem mudar nada (codigo de saida 0)"));
        return true;
    }
    runLog.open(appDir);
    // The client's arguments may carry a player's session: only their number is kept.
    QString options =
        QStringLiteral("opcoes: --app-dir \"%1\" --app-executable \"%2\" --wait-pid %3")
            .arg(QDir::toNativeSeparators(appDir), QDir::toNativeSeparators(clientExecutable),
                 QString::number(waitPid));
    for (qsizetype i = 0; i < launchArguments.size(); ++i)
        options += QStringLiteral(" --launch-arg <oculto>");
    runLog.write({QStringLiteral("inicio: QuorvexUpdater, processo %1")
                      .arg(QCoreApplication::applicationPid()),
                  repair ? options + QStringLiteral(" --repair") : options});
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

    // A repair does without the record: it checks every file against the release and writes
    // the record anew.
    QString versionError;
    const bool versionKnown = readAppVersion(appDir, &local, &versionError, &installedDate);
    if (!versionKnown && !repair) {
        if (message)
            *message = versionError;
        return false;
    }
    if (!versionKnown)
        runLog.write(QStringLiteral("%1 O reparo confere todos os arquivos.").arg(versionError));

    QString fetchError;
    if (!fetchManifest(config, &manifest, &fetchError, installedDate)) {
        emit statusChanged(QStringLiteral("Nao foi possivel verificar"),
                           QStringLiteral("%1 Abrindo o cliente local.").arg(fetchError));
        return relaunchClient(message);
    }

    // Checked before the version order: a base this old must not be patched even
    // when the remote release is not newer.
    const QString minimum = manifest.minClientVersion.trimmed();
    if (versionKnown && !minimum.isEmpty() && compareVersionStrings(local.version, minimum) < 0) {
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

    const int order = versionKnown ? compareVersions(local, manifest.remoteVersion) : 0;
    repairing = repair && order == 0;
    if (order > 0 || (order == 0 && !repairing)) {
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

    if (!repairing && manifest.files.isEmpty()) {
        if (message)
            *message =
                QStringLiteral("O manifesto remoto informou versao nova, mas nao trouxe arquivos.");
        return false;
    }

    const QString changelog = manifest.changelog.trimmed();
    if (repairing)
        emit statusChanged(QStringLiteral("Verificando arquivos"),
                           QStringLiteral("Comparando os arquivos instalados com a versao %1.")
                               .arg(appVersionText(manifest.remoteVersion)));
    else
        emit statusChanged(
            QStringLiteral("Atualizacao encontrada"),
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
        repairing ? QStringLiteral("Aplicando reparo") : QStringLiteral("Aplicando atualizacao"),
        QStringLiteral("Aguardando o processo principal encerrar para substituir os arquivos."));
    emit progressModeChanged(true);

    QString waitError;
    if (!waitForClientExit(&waitError)) {
        if (message)
            *message = waitError;
        return false;
    }

    // The old copies of replaced files go last, after the client is started again: freeing a
    // large file takes a while, and a sync that came after it would wait for that too.
    QStringList replaced;
    const auto removeReplaced = qScopeGuard([&] {
        runOffThread([&] {
            // A running file set aside may refuse to go until the updater ends.
            for (const QString &old : replaced)
                fsys::removeFile(old);
        });
    });
    QString applyError;
    if (!applyStagedFiles(staged, &replaced, &applyError)) {
        if (message)
            *message = applyError;
        return false;
    }

    // A folder at the record's name is what a repair found there instead of a record.
    if (fsys::entryKind(versionFilePath(appDir)) == fsys::EntryKind::Folder)
        removeTree(appDir, versionFilePath(appDir));
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

    if (repairing) {
        const qsizetype mended =
            std::count_if(staged.cbegin(), staged.cend(),
                          [](const StagedFile &f) { return !f.stagedPath.isEmpty(); });
        if (updated)
            *updated = mended > 0;
        emit statusChanged(QStringLiteral("Reparo concluido"), mendedText(mended));
        return relaunchClient(message);
    }
    if (updated)
        *updated = true;
    emit statusChanged(
        QStringLiteral("Atualizacao concluida"),
        QStringLiteral("Arquivos aplicados com sucesso. Abrindo o cliente atualizado."));
    return relaunchClient(message);
}
