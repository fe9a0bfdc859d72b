#pragma once

// Shared by the Win32 implementations of the file layer.

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

} // namespace fsys
