#include "files/fileidentity.h"
#include "files/win32path.h"

#include <QRegularExpression>

#include <windows.h>

namespace fsys {
namespace {

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

// The form Windows gives a name it shortens: a stem, a tilde and a tail of letters or digits,
// eight characters at most, then a dot and at most three more.
bool looksShort(const QString &name)
{
    static const QRegularExpression form(
        QStringLiteral("^(?=[^.]{2,8}(\\.|$))[^~.]+~[0-9A-Za-z]+(\\.[^.]{1,3})?$"));
    return form.match(name).hasMatch();
}

} // namespace

QString realPath(const QString &path)
{
    const HANDLE handle = CreateFileW(win32Path(path).c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return QString();
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return QString();
    QString result = QString::fromWCharArray(buffer.data(), int(length));
    if (result.startsWith(QLatin1String("\\\\?\\UNC\\")))
        result = QLatin1String("\\\\") + result.mid(8);
    else if (result.startsWith(QLatin1String("\\\\?\\")))
        result = result.mid(4);
    return QDir::fromNativeSeparators(result);
}

QByteArray fileKey(const QString &path)
{
    FileId id;
    if (!fileId(path, &id))
        return QByteArray();
    return QByteArray::number(quint64(id.volume)) + ':' +
           QByteArray::number((quint64(id.indexHigh) << 32) | id.indexLow);
}

QString nameKey(const QString &path)
{
    return path.toCaseFolded();
}

bool isShortNameAlias(const QString &path)
{
    const QString name = QDir::cleanPath(path).section(QLatin1Char('/'), -1);
    if (!name.contains(QLatin1Char('~')))
        return false;
    // No file name holds these, and FindFirstFileW would take them as wildcards.
    if (name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?')))
        return true;
    WIN32_FIND_DATAW found{};
    const HANDLE handle = FindFirstFileW(win32Path(path).c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE)
        return looksShort(name);
    FindClose(handle);
    return QString::fromWCharArray(found.cFileName).compare(name, Qt::CaseInsensitive) != 0;
}

} // namespace fsys
