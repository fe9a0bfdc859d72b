#include "files/fileidentity.h"

#include <QFile>

#include <cstdlib>
#include <sys/stat.h>

namespace fsys {
namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

QString realPath(const QString &path)
{
    char *resolved = ::realpath(native(path).constData(), nullptr);
    if (!resolved)
        return QString();
    const QString result = QFile::decodeName(resolved);
    std::free(resolved);
    return result;
}

QByteArray fileKey(const QString &path)
{
    struct stat info;
    if (::stat(native(path).constData(), &info) != 0)
        return QByteArray();
    return QByteArray::number(quint64(info.st_dev)) + ':' +
           QByteArray::number(quint64(info.st_ino));
}

QString nameKey(const QString &path)
{
    return path;
}

bool isShortNameAlias(const QString &)
{
    return false;
}

} // namespace fsys
