#include "files/filesystem.h"
#include "files/win32path.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace fsys {
namespace {

void setError(QString *error, DWORD code)
{
    // A failure must never read as "The operation completed successfully".
    if (error)
        *error = systemText(code ? code : ERROR_GEN_FAILURE);
}

bool refused(QString *error, const char *reason)
{
    if (error)
        *error = QString::fromLatin1(reason);
    return false;
}

// Only a reparse point that names another place is a link (symbolic links, junctions, mount
// points); cloud-synced and deduplicated files carry tags of their own and read as usual. A
// tag that cannot be read, or none at all (wine's symbolic links), counts as a link.
bool isLinkTag(const std::wstring &native)
{
    const HANDLE handle =
        CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return true;
    FILE_ATTRIBUTE_TAG_INFO info{};
    const bool read =
        GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &info, sizeof info);
    CloseHandle(handle);
    return !read || info.ReparseTag == 0 || IsReparseTagNameSurrogate(info.ReparseTag);
}

bool isSole(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &info) &&
           !(info.dwFileAttributes &
             (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) &&
           info.nNumberOfLinks == 1;
}

} // namespace

bool readRegularFile(const QString &path, qint64 limit, QByteArray *content, QString *error)
{
    const HANDLE handle =
        CreateFileW(win32Path(path).c_str(), GENERIC_READ,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        setError(error, GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE))) {
        CloseHandle(handle);
        return refused(error, "nao e um arquivo comum");
    }
    QByteArray bytes;
    for (;;) {
        // One byte past the limit tells a file that grew from one that fits.
        const qint64 room = limit + 1 - bytes.size();
        if (room <= 0)
            break;
        const qsizetype before = bytes.size();
        bytes.resize(before + qsizetype(qMin<qint64>(room, 65536)));
        DWORD n = 0;
        if (!ReadFile(handle, bytes.data() + before, DWORD(bytes.size() - before), &n, nullptr)) {
            const DWORD code = GetLastError();
            CloseHandle(handle);
            setError(error, code);
            return false;
        }
        bytes.resize(before + qsizetype(n));
        if (n == 0)
            break;
    }
    CloseHandle(handle);
    if (bytes.size() > limit)
        return refused(error, "arquivo grande demais");
    if (content)
        *content = bytes;
    return true;
}

bool isSoleFile(const QString &path)
{
    const HANDLE handle =
        CreateFileW(win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    const bool sole = isSole(handle);
    CloseHandle(handle);
    return sole;
}

bool openOwnFile(QFile *file, QIODevice::OpenMode mode, QString *error)
{
    const std::wstring name = win32Path(file->fileName());
    const bool keep = !(mode & QIODevice::WriteOnly) || (mode & QIODevice::ReadOnly) ||
                      (mode & QIODevice::Append);
    DWORD access = GENERIC_WRITE;
    if (mode & QIODevice::ReadOnly)
        access |= GENERIC_READ;
    int flags = _O_BINARY | ((mode & QIODevice::ReadOnly) ? _O_RDWR : _O_WRONLY);
    if (mode & QIODevice::Append)
        flags |= _O_APPEND;
    // Appenders share the file with each other: a second updater may add its line to a log
    // that a run holds open.
    const DWORD share =
        FILE_SHARE_READ | FILE_SHARE_DELETE | ((mode & QIODevice::Append) ? FILE_SHARE_WRITE : 0);
    // The reparse point itself is opened, never what it leads to; isSole then refuses it.
    HANDLE handle = CreateFileW(name.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    // A file another process holds open is never taken from it by removal.
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
        setError(error, ERROR_SHARING_VIOLATION);
        return false;
    }
    if (handle != INVALID_HANDLE_VALUE && !isSole(handle)) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesW(name.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                setError(error, ERROR_DIRECTORY);
                return false;
            }
            // Whatever stands at the name goes as itself, never what it leads to.
            SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
            const bool gone = (attributes & FILE_ATTRIBUTE_DIRECTORY)
                                  ? RemoveDirectoryW(name.c_str())
                                  : DeleteFileW(name.c_str());
            if (!gone) {
                setError(error, GetLastError());
                return false;
            }
        }
        handle = CreateFileW(name.c_str(), access, share, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            setError(error, GetLastError());
            return false;
        }
    } else if (!keep && (!SetFilePointerEx(handle, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
                         !SetEndOfFile(handle))) {
        const DWORD code = GetLastError();
        CloseHandle(handle);
        setError(error, code);
        return false;
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
    if (fd < 0) {
        CloseHandle(handle);
        setError(error, ERROR_TOO_MANY_OPEN_FILES);
        return false;
    }
    if (!file->open(fd, mode, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        if (error)
            *error = file->errorString();
        return false;
    }
    return true;
}

qint64 freeBytes(const QString &path)
{
    ULARGE_INTEGER available{};
    QString folder = path;
    // The call wants an existing folder; the nearest one up the path tells the volume.
    while (!GetDiskFreeSpaceExW(win32Path(folder).c_str(), &available, nullptr, nullptr)) {
        const QString parent = QDir::cleanPath(folder + QStringLiteral("/.."));
        if (parent == folder || GetLastError() == ERROR_ACCESS_DENIED)
            return -1;
        folder = parent;
    }
    return qint64(available.QuadPart);
}

EntryKind entryKind(const QString &path)
{
    const std::wstring native = win32Path(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::Missing;
    // Junctions and symbolic links alike; the folder bit only says which kind of link it is.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) && isLinkTag(native))
        return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::Other;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::Folder;
    return EntryKind::File;
}

bool removeFile(const QString &path, QString *error)
{
    const std::wstring native = win32Path(path);
    if (DeleteFileW(native.c_str()))
        return true;
    const DWORD code = GetLastError();
    // DeleteFileW refuses a read-only file. The mark belongs to the file, not to this name, so
    // it goes back on when the file lives on under another name (a hard link).
    const HANDLE handle =
        CreateFileW(native.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info{};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        setError(error, code);
        return false;
    }
    const DWORD others = info.dwFileAttributes &
                         (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = others ? others : FILE_ATTRIBUTE_NORMAL;
    FILE_DISPOSITION_INFO dispose{TRUE};
    const bool gone =
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic) &&
        SetFileInformationByHandle(handle, FileDispositionInfo, &dispose, sizeof dispose);
    const DWORD failure = GetLastError();
    if (!gone || info.nNumberOfLinks > 1) {
        basic.FileAttributes = others | FILE_ATTRIBUTE_READONLY;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    CloseHandle(handle);
    if (!gone)
        setError(error, failure);
    return gone;
}

bool removeLink(const QString &path)
{
    const std::wstring native = win32Path(path);
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    // Both calls act on the reparse point itself, never on what it points at.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return RemoveDirectoryW(native.c_str());
    return DeleteFileW(native.c_str());
}

bool renameEntry(const QString &from, const QString &to, QString *error)
{
    // No MOVEFILE_REPLACE_EXISTING and no MOVEFILE_COPY_ALLOWED: an existing target or
    // another volume makes it fail instead of replacing or copying.
    if (MoveFileExW(win32Path(from).c_str(), win32Path(to).c_str(), 0))
        return true;
    setError(error, GetLastError());
    return false;
}

void startWriteback(QFileDevice &)
{
    // Windows writes back lazily on its own; the flush before the version is recorded waits.
}

void writeBehind(QFileDevice &, qint64, qint64)
{
    // Windows writes back lazily on its own; the flush before the version is recorded waits.
}

bool syncFiles(const QStringList &paths, QString *error)
{
    // Windows has no cheaper way for many files than one flush each, and a flush needs a
    // handle open for writing, which a read-only file refuses: its mark is lifted meanwhile.
    for (const QString &path : paths) {
        const std::wstring native = win32Path(path);
        const DWORD attributes = GetFileAttributesW(native.c_str());
        const bool readOnly =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
        if (readOnly)
            SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        const HANDLE handle = CreateFileW(native.c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool ok = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
        const DWORD code = GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (readOnly)
            SetFileAttributesW(native.c_str(), attributes);
        if (!ok) {
            setError(error, code);
            return false;
        }
    }
    return true;
}

} // namespace fsys
