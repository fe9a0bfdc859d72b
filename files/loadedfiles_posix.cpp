#include "files/loadedfiles.h"

#include <QCoreApplication>
#include <QFile>

QStringList loadedFiles()
{
    QStringList files{QCoreApplication::applicationFilePath()};
#ifdef __linux__
    // Each mapped file, code and data alike, with its path in the sixth column.
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return files;
    for (const QByteArray &line : maps.readAll().split('\n')) {
        const qsizetype slash = line.indexOf(" /");
        if (slash < 0 || line.endsWith(" (deleted)"))
            continue;
        const QString path = QFile::decodeName(line.mid(slash + 1));
        if (!files.contains(path))
            files.append(path);
    }
#endif
    return files;
}
