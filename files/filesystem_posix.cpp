#include "files/filesystem.h"

#include <QFile>
#include <QFileDevice>
#include <QFileInfo>
#include <QThreadPool>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// Up to this many files are synced one by one rather than their whole file system.
constexpr qsizetype FewFiles = 8;

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

bool refused(QString *error, const char *reason)
{
    if (error)
        *error = QString::fromLatin1(reason);
    return false;
}

void closeKeepingErrno(int fd)
{
    const int saved = errno;
    ::close(fd);
    errno = saved;
}

// Pushes what is written to the file (or folder) at path down to the disk; errno on failure.
bool syncPath(const QString &path)
{
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = ::fsync(fd) == 0;
    closeKeepingErrno(fd);
    return ok;
}

bool isSole(const struct stat &info)
{
    return S_ISREG(info.st_mode) && info.st_nlink == 1;
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

bool readRegularFile(const QString &path, qint64 limit, QByteArray *content, QString *error)
{
    // O_NONBLOCK: opening a pipe with no writer would otherwise wait for one.
    const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return failed(error);
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        closeKeepingErrno(fd);
        return failed(error);
    }
    if (!S_ISREG(info.st_mode)) {
        ::close(fd);
        return refused(error, "nao e um arquivo comum");
    }
    QByteArray bytes;
    for (;;) {
        // One byte past the limit tells a file that grew since fstat from one that fits.
        const qint64 room = limit + 1 - bytes.size();
        if (room <= 0)
            break;
        const qsizetype before = bytes.size();
        bytes.resize(before + qsizetype(qMin<qint64>(room, 65536)));
        const ssize_t n = ::read(fd, bytes.data() + before, std::size_t(bytes.size() - before));
        if (n < 0 && errno == EINTR) {
            bytes.resize(before);
            continue;
        }
        if (n < 0) {
            closeKeepingErrno(fd);
            return failed(error);
        }
        bytes.resize(before + qsizetype(n));
        if (n == 0)
            break;
    }
    ::close(fd);
    if (bytes.size() > limit)
        return refused(error, "arquivo grande demais");
    if (content)
        *content = bytes;
    return true;
}

bool isSoleFile(const QString &path)
{
    struct stat info;
    return ::lstat(native(path).constData(), &info) == 0 && isSole(info);
}

bool openOwnFile(QFile *file, QIODevice::OpenMode mode, QString *error)
{
    const QByteArray name = native(file->fileName());
    const bool keep = !(mode & QIODevice::WriteOnly) || (mode & QIODevice::ReadOnly) ||
                      (mode & QIODevice::Append);
    int access = (mode & QIODevice::ReadOnly) ? O_RDWR : O_WRONLY;
    if (mode & QIODevice::Append)
        access |= O_APPEND;
    // O_NOFOLLOW refuses a link, O_NONBLOCK a pipe; fstat then sees a hard link or a device.
    int fd = ::open(name.constData(), access | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    struct stat info;
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !isSole(info))) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        if (entryKind(file->fileName()) == EntryKind::Folder) {
            errno = EISDIR;
            return failed(error);
        }
        // Whatever stands at the name goes as itself, never what it leads to.
        if (::unlink(name.constData()) != 0 && errno != ENOENT)
            return failed(error);
        fd = ::open(name.constData(), access | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0)
            return failed(error);
    } else {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        if (!keep && ::ftruncate(fd, 0) != 0) {
            closeKeepingErrno(fd);
            return failed(error);
        }
    }
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = file->errorString();
        return false;
    }
    return true;
}

qint64 freeBytes(const QString &path)
{
    struct statvfs info;
    if (::statvfs(native(path).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

bool removeFile(const QString &path, QString *error)
{
    return ::unlink(native(path).constData()) == 0 || failed(error);
}

bool removeLink(const QString &path)
{
    // unlink() takes the link itself, also when it points at a folder.
    return entryKind(path) == EntryKind::Link && ::unlink(native(path).constData()) == 0;
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

void writeBehind(QFileDevice &file, qint64 from, qint64 length)
{
#ifdef __linux__
    ::sync_file_range(file.handle(), from, length, SYNC_FILE_RANGE_WRITE);
    if (from > 0)
        ::sync_file_range(file.handle(), 0, from,
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                              SYNC_FILE_RANGE_WAIT_AFTER);
#else
    Q_UNUSED(file);
    Q_UNUSED(from);
    Q_UNUSED(length);
#endif
}

bool syncFiles(const QStringList &paths, QString *error)
{
    if (paths.isEmpty())
        return true;
#ifdef __linux__
    // A few files: each with its folder (which holds its new name), so other programs' writes
    // on the same disk are not waited for. Many: one sync per file system, one journal commit
    // each where a sync per file would cost one per file. Files may lie on several file
    // systems: the player may link a folder to another disk.
    if (paths.size() <= FewFiles) {
        QStringList done;
        for (const QString &path : paths) {
            for (const QString &entry : {path, QFileInfo(path).path()}) {
                if (done.contains(entry))
                    continue;
                if (!syncPath(entry))
                    return failed(error);
                done.append(entry);
            }
        }
        return true;
    }
    QList<dev_t> synced;
    for (const QString &path : paths) {
        struct stat info;
        if (::stat(native(path).constData(), &info) != 0)
            return failed(error);
        if (synced.contains(info.st_dev))
            continue;
        const int fd = ::open(native(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return failed(error);
        const bool ok = ::syncfs(fd) == 0;
        closeKeepingErrno(fd);
        if (!ok)
            return failed(error);
        synced.append(info.st_dev);
    }
    return true;
#else
    for (const QString &path : paths) {
        if (!syncPath(path))
            return failed(error);
    }
    return true;
#endif
}

} // namespace fsys
