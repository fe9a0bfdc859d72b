#include "files/instancelock.h"

#include "files/folderguard.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstanceLock::~InstanceLock()
{
    release();
}

InstanceLock::Result InstanceLock::acquire(const QString &path)
{
    release();
    const QByteArray name = QFile::encodeName(path);
    int previous = -1; // a second name of a file, locked while its name is cleared
    Result result = Result::Unavailable;
    for (int round = 0; round < 3 && result == Result::Unavailable; ++round) {
        // Read only, O_NOFOLLOW, O_NONBLOCK: nothing standing at the name can make us write
        // elsewhere, follow a link or wait on a pipe. The file stays after the run: unlinking a
        // lock file that another process may just have opened would let two runs each hold one.
        const int fd = ::open(name.constData(),
                              O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
        struct stat info;
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            // Locked first, whatever its names: the file another run holds stays its lock.
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                result = errno == EWOULDBLOCK ? Result::HeldElsewhere : Result::Unavailable;
                ::close(fd);
                break;
            }
            struct stat now;
            if (info.st_nlink == 1 && ::lstat(name.constData(), &now) == 0 &&
                now.st_dev == info.st_dev && now.st_ino == info.st_ino) {
                m_fd = fd;
                result = Result::Acquired;
                break;
            }
            if (previous >= 0)
                ::close(previous);
            previous = fd;
            if (info.st_nlink > 1)
                ::unlink(name.constData());
            continue;
        }
        const bool present = ::lstat(name.constData(), &info) == 0;
        if (fd >= 0)
            ::close(fd);
        if (!present)
            break; // nothing in the way, and no file can be made: a read-only folder
        // The name is the updater's own: a folder, a link, a pipe or a device there goes.
        removeTree(QFileInfo(path).path(), path);
    }
    if (previous >= 0)
        ::close(previous);
    return result;
}

void InstanceLock::release()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}
