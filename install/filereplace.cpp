#include "update/updatecontroller.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

QString normalisedPath(const QString &path)
{
    return QDir::cleanPath(QFileInfo(path).absoluteFilePath());
}

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

// Each target is swapped in by rename only: the new copy is written under a
// temporary name beside it first, so a kill at any moment leaves either the
// old or the new file complete, and the next run can finish the job.
bool UpdateController::applyStagedFiles(const QList<StagedFile> &staged, QString *error)
{
    const QString ownPath = normalisedPath(QCoreApplication::applicationFilePath());
    if (staged.isEmpty())
        return true;

    for (const StagedFile &entry : staged) {
        const QString target = normalisedPath(QDir(appDir).filePath(entry.file.path));
        const QString backup = target + QStringLiteral(".bak");
        const QString incoming = target + QStringLiteral(".quorvex-new");
        const QString shown = QDir::toNativeSeparators(entry.file.path);

        emit statusChanged(QStringLiteral("Aplicando arquivo"),
                           QStringLiteral("Substituindo %1").arg(shown));

        if (target.compare(ownPath, Qt::CaseInsensitive) == 0) {
            setError(error, QStringLiteral(
                                "Esta versao do updater ainda nao consegue atualizar a si mesma."));
            return false;
        }

        if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
            setError(
                error,
                QStringLiteral("Nao foi possivel criar a pasta de destino para '%1'.").arg(shown));
            return false;
        }

        // A backup without its target means an earlier run was cut off mid-swap:
        // the backup is the only copy of the old file, so put it back first.
        if (!QFileInfo::exists(target) && QFileInfo(backup).isFile())
            QFile::rename(backup, target);
        QFile::remove(backup);
        QFile::remove(incoming);

        if (!QFile::copy(entry.stagedPath, incoming)) {
            QFile::remove(incoming);
            setError(error,
                     QStringLiteral("Falha ao copiar '%1' para o destino final.").arg(shown));
            return false;
        }

        const bool existed = QFileInfo::exists(target);
        // Downloads carry no permissions; keep the old file's, or the client would lose
        // its executable bit on POSIX systems.
        if (existed)
            QFile::setPermissions(incoming, QFile::permissions(target));
        if (existed && !QFile::rename(target, backup)) {
            QFile::remove(incoming);
            setError(error,
                     QStringLiteral("Nao foi possivel substituir '%1'. O arquivo provavelmente "
                                    "ainda esta em uso.")
                         .arg(shown));
            return false;
        }

        if (!QFile::rename(incoming, target)) {
            if (existed)
                QFile::rename(backup, target);
            QFile::remove(incoming);
            setError(error,
                     QStringLiteral("Falha ao copiar '%1' para o destino final.").arg(shown));
            return false;
        }
        QFile::remove(backup);
    }
    return true;
}
