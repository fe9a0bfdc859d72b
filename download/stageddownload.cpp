#include "download/bytesize.h"
#include "download/filehash.h"
#include "update/updatecontroller.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString UpdateController::stagingDirectory(const UpdateManifest &manifest) const
{
    // One pass, so a "%2" inside the version text stays as written.
    QString name = QStringLiteral("%1-build-%2")
                       .arg(manifest.remoteVersion.version,
                            QString::number(manifest.remoteVersion.build));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char('\\'), QLatin1Char('-'));
    name.replace(QLatin1Char(' '), QLatin1Char('-'));
    return QDir(appDir).filePath(QStringLiteral(".update-staging/") + name);
}

bool UpdateController::downloadUpdateFiles(const UpdateConfig &config,
                                           const UpdateManifest &manifest,
                                           QList<StagedFile> *staged, QString *error)
{
    const auto fail = [error](const QString &message) {
        if (error)
            *error = message;
        return false;
    };
    if (!staged)
        return fail(QStringLiteral("Lista de downloads ausente."));

    const QString versionFolder = stagingDirectory(manifest);
    if (!QDir().mkpath(versionFolder))
        return fail(QStringLiteral("Nao foi possivel criar a pasta temporaria de update."));

    qint64 plannedTotal = 0;
    if (manifest.totalSize > 0) {
        plannedTotal = manifest.totalSize;
        emit progressModeChanged(false);
        emit progressChanged(0, plannedTotal);
    } else {
        for (const UpdateFile &file : manifest.files) {
            if (file.size > 0)
                plannedTotal += file.size;
        }
        emit progressModeChanged(plannedTotal <= 0);
        if (plannedTotal > 0)
            emit progressChanged(0, plannedTotal);
    }
    qint64 completedBytes = 0;

    for (const UpdateFile &file : manifest.files) {
        const QString shown = QDir::toNativeSeparators(file.path);
        emit statusChanged(QStringLiteral("Baixando atualizacao"),
                           QStringLiteral("%1\nTamanho: %2").arg(shown, formatByteSize(file.size)));

        const QString target = QDir(versionFolder).filePath(file.path);
        if (!QDir().mkpath(QFileInfo(target).absolutePath()))
            return fail(QStringLiteral("Nao foi possivel preparar a pasta de '%1'.").arg(shown));

        bool reused = false;
        if (QFileInfo::exists(target)) {
            const QByteArray existing = fileSha256Hex(target);
            reused = !existing.isEmpty() &&
                     QString::fromLatin1(existing).compare(file.hash, Qt::CaseInsensitive) == 0;
            // Never resumed in place: a stale copy goes before a fresh download.
            if (!reused)
                QFile::remove(target);
        }

        if (!reused) {
            QString downloadError;
            if (!downloadFile(file, completedBytes, plannedTotal, config.downloadTimeoutMs, target,
                              &downloadError))
                return fail(downloadError);
            QString hashError;
            const QByteArray computed = fileSha256Hex(target, &hashError);
            if (computed.isEmpty())
                return fail(hashError);
            if (QString::fromLatin1(computed).compare(file.hash, Qt::CaseInsensitive) != 0)
                return fail(QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido %3.")
                                .arg(shown, file.hash, QString::fromLatin1(computed)));
        }

        completedBytes += QFileInfo(target).size();
        if (plannedTotal > 0)
            emit progressChanged(qMin(completedBytes, plannedTotal), plannedTotal);
        staged->append({file, target});
    }
    return true;
}
