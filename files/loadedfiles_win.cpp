#include "files/loadedfiles.h"

#include <QCoreApplication>
#include <QDir>

#include <windows.h>

#include <tlhelp32.h>

QStringList loadedFiles()
{
    QStringList files{QCoreApplication::applicationFilePath()};
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return files;
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    for (bool more = Module32FirstW(snapshot, &module); more;
         more = Module32NextW(snapshot, &module)) {
        const QString path = QDir::fromNativeSeparators(QString::fromWCharArray(module.szExePath));
        if (!files.contains(path, Qt::CaseInsensitive))
            files.append(path);
    }
    CloseHandle(snapshot);
    return files;
}
