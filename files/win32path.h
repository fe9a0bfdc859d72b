#pragma once

// Shared by the Win32 code that deals with files.

#include <QDir>
#include <QString>

#include <string>

#include <windows.h>

namespace fsys {

// Win32 wants backslashes, and a path past MAX_PATH only in the \\?\ form, which is taken
// literally, so it must already be absolute and clean.
inline std::wstring win32Path(const QString &path)
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

// The system's words for an error code.
inline QString systemText(DWORD code)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("Windows error %1").arg(code);
    LocalFree(text);
    return message;
}

} // namespace fsys
