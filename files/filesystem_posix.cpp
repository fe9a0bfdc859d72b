#include "files/filesystem.h"

#include <QFile>
#include <QFileDevice>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

bool failed(QString *error)
{
    if (error)
        *error = QString::fromLocal8Bit(std::strerror(errno));
    return false;
}

} // namespace

namespace fsys {

EntryKind entryKind(const QString &path)
{
    struct stat info;
    if (::lstat(native(path).constData(), &info) != 0)
        return EntryKind::Missing;
    if (S_ISLNK(info.st_mode))
        return EntryKind::Link;
    if (S_ISDIR(info.st_mode))
        return EntryKind::Folder;
    return S_ISREG(info.st_mode) ? EntryKind::File : EntryKind::Other;
}

bool removeLink(const QString &path)
{
    // unlink() takes the link itself, also when it points at a folder.
    return entryKind(path) == EntryKind::Link && ::unlink(native(path).constData()) == 0;
}

bool sameFile(const QString &a, const QString &b)
{
    struct stat first, second;
    return ::stat(native(a).constData(), &first) == 0 &&
           ::stat(native(b).constData(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

bool renameEntry(const QString &from, const QString &to, QString *error)
{
    // rename() would silently replace an existing target; a new name must be free.
    if (entryKind(to) != EntryKind::Missing) {
        errno = EEXIST;
        return failed(error);
    }
    return ::rename(native(from).constData(), native(to).constData()) == 0 || failed(error);
}

void startWriteback(QFileDevice &file)
{
#ifdef __linux__
    // Submitting a large file's pages can take a while by itself: not on the caller's thread.
    const int fd = ::dup(file.handle());
    if (fd >= 0)
        QThreadPool::globalInstance()->start([fd] {
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE);
            ::close(fd);
        });
#else
    Q_UNUSED(file);
#endif
}

bool syncFiles(const QStringList &paths, QString *error)
{
    if (paths.isEmpty())
        return true;
#ifdef __linux__
    // One sync of the whole file system costs one journal commit, where a sync per file
    // would cost one each.
    const int fd = ::open(native(paths.constFirst()).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failed(error);
    const bool ok = ::syncfs(fd) == 0;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok || failed(error);
#else
    for (const QString &path : paths) {
        const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fsync(fd) != 0) {
            const int saved = errno;
            if (fd >= 0)
                ::close(fd);
            errno = saved;
            return failed(error);
        }
        ::close(fd);
    }
    return true;
#endif
}

} // namespace fsys
