#include "publish/inputfile.h"

#include "files/failure.h"
#include "files/filesystem.h"

#include <QDir>
#include <QFileInfo>

bool readInputFile(const QString &path, qint64 limit, QByteArray *content, QString *error)
{
    QString reason;
    if (fsys::readRegularFile(path, limit, content, &reason))
        return true;
    // The platform layer words its refusals for players; a publisher reads English.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        reason = QStringLiteral("not a regular file");
    else if (info.isFile() && info.size() > limit)
        reason = QStringLiteral("larger than %1 bytes").arg(limit);
    return fail(error,
                QStringLiteral("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), reason));
}
