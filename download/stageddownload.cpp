#include "update/updatecontroller.h"

#include "download/bytesize.h"
#include "download/filehash.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

bool sameHash(const QByteArray &computed, const QString &expected)
{
    return !computed.isEmpty() &&
           QString::fromLatin1(computed).compare(expected, Qt::CaseInsensitive) == 0;
}

// The parser already refuses paths that climb out, but this is the last stop before
// bytes hit the disk.
QString targetInside(const QString &folder, const QString &relativePath)
{
    if (relativePath.isEmpty() || QDir::isAbsolutePath(relativePath))
        return {};
    const QString target = QDir::cleanPath(folder + QLatin1Char('/') + relativePath);
    if (!target.startsWith(folder + QLatin1Char('/'), Qt::CaseInsensitive))
        return {};
    return target;
}

} // namespace

QString UpdateController::stagingDirectory(const UpdateManifest &manifest) const
{
    QString name =
        QStringLiteral("%1-build-%2")
            .arg(manifest.remoteVersion.version, QString::number(manifest.remoteVersion.build));
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    name.replace(QLatin1Char('\\'), QLatin1Char('-'));
    name.replace(QLatin1Char(' '), QLatin1Char('-'));
    // A client folder at a drive root already ends in "/".
    return QDir(appDir).filePath(QStringLiteral(".update-staging/") + name);
}

bool UpdateController::downloadUpdateFiles(const UpdateConfig &config,
                                           const UpdateManifest &manifest,
                                           QList<StagedFile> *staged, QString *error)
{
    if (!staged) {
        if (error)
            *error = QStringLiteral("Lista de downloads ausente.");
        return false;
    }

    const QString folder = stagingDirectory(manifest);
    if (!QDir().mkpath(folder) || !QFileInfo(folder).isDir()) {
        if (error)
            *error = QStringLiteral("Nao foi possivel criar a pasta temporaria de update.");
        return false;
    }

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
        const QString shownPath = QDir::toNativeSeparators(file.path);
        emit statusChanged(
            QStringLiteral("Baixando atualizacao"),
            QStringLiteral("%1\nTamanho: %2").arg(shownPath, formatByteSize(file.size)));

        const QString target = targetInside(folder, file.path);
        if (target.isEmpty() || !QDir().mkpath(QFileInfo(target).absolutePath())) {
            if (error)
                *error =
                    QStringLiteral("Nao foi possivel preparar a pasta de '%1'.").arg(shownPath);
            return false;
        }

        bool reused = false;
        const QFileInfo existing(target);
        if (existing.exists() || existing.isSymLink()) {
            reused = existing.isFile() && !existing.isSymLink() &&
                     sameHash(fileSha256Hex(target), file.hash);
            // A stale copy is removed, never written over in place.
            if (!reused)
                QFile::remove(target);
        }

        if (!reused) {
            QString downloadError;
            if (!downloadFile(file, completedBytes, plannedTotal, config.downloadTimeoutMs, target,
                              &downloadError)) {
                if (error)
                    *error = downloadError;
                return false;
            }
            QString hashError;
            const QByteArray computed = fileSha256Hex(target, &hashError);
            if (computed.isEmpty()) {
                if (error)
                    *error = hashError;
                return false;
            }
            if (!sameHash(computed, file.hash)) {
                if (error)
                    *error = QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido %3.")
                                 .arg(shownPath, file.hash, QString::fromLatin1(computed));
                return false;
            }
        }

        completedBytes += QFileInfo(target).size();
        if (plannedTotal > 0)
            emit progressChanged(qMin(completedBytes, plannedTotal), plannedTotal);

        staged->append(StagedFile{file, target});
    }
    return true;
}
