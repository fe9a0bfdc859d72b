#include "publish/keyfile.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

bool createOwnerOnlyFile(QFile *file, QString *error)
{
    // O_EXCL with O_CREAT never follows a link at the name.
    const int fd = ::open(QFile::encodeName(file->fileName()).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        if (error)
            *error = file->errorString();
        return false;
    }
    return true;
}
