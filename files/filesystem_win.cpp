#include "files/filesystem.h"

#include <QDir>

#include <windows.h>

namespace fsys {
namespace {

// Win32 wants backslashes, and a path past MAX_PATH only in the \\?\ form, which is taken
// literally, so it must already be absolute and clean.
std::wstring win32Path(const QString &path)
{
    QString native = QDir::toNativeSeparators(QDir::cleanPath(path));
    if (native.size() >= MAX_PATH && !QDir::isRelativePath(path)) {
        if (native.startsWith(QLatin1String("\\\\")))
            native = QLatin1String("\\\\?\\UNC\\") + native.mid(2);
        else if (!native.startsWith(QLatin1String("\\\\?\\")))
            native = QLatin1String("\\\\?\\") + native;
    }
    return native.toStdWString();
}

QString systemText(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, static_cast<int>(length)).trimmed()
                             : QStringLiteral("Windows error %1").arg(code);
    LocalFree(text);
    return message;
}

void setError(QString *error, DWORD code)
{
    // A failure must never read as "The operation completed successfully".
    if (error)
        *error = systemText(code ? code : ERROR_GEN_FAILURE);
}

struct FileId
{
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
};

// Opens the file or folder behind the path (links followed) just to read its identity.
bool fileId(const QString &path, FileId *id)
{
    const HANDLE handle = CreateFileW(win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool ok = GetFileInformationByHandle(handle, &info);
    CloseHandle(handle);
    if (!ok)
        return false;
    *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

} // namespace

EntryKind entryKind(const QString &path)
{
    const DWORD attributes = GetFileAttributesW(win32Path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return EntryKind::Missing;
    // Junctions and symbolic links alike carry this attribute; the folder bit only says
    // which kind of link it is.
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return EntryKind::Link;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return EntryKind::Other;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return EntryKind::Folder;
    return EntryKind::File;
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

bool sameFile(const QString &a, const QString &b)
{
    FileId first, second;
    return fileId(a, &first) && fileId(b, &second) && first.volume == second.volume &&
           first.indexHigh == second.indexHigh && first.indexLow == second.indexLow;
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

bool syncFiles(const QStringList &paths, QString *error)
{
    // Windows has no cheaper way for many files than one flush each.
    for (const QString &path : paths) {
        const HANDLE handle = CreateFileW(win32Path(path).c_str(), GENERIC_WRITE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        const bool ok = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
        const DWORD code = GetLastError();
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        if (!ok) {
            setError(error, code);
            return false;
        }
    }
    return true;
}

} // namespace fsys
