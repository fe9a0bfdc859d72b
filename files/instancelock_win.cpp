#include "files/instancelock.h"

#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFileInfo>

#include <windows.h>

InstanceLock::~InstanceLock()
{
    release();
}

InstanceLock::Result InstanceLock::acquire(const QString &path)
{
    release();
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    for (int round = 0; round < 3; ++round) {
        // The name is the updater's own: a folder or a link standing there goes, as itself.
        const DWORD attributes = GetFileAttributesW(native.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
            removeTree(QFileInfo(path).path(), path);

        // No sharing: a second opener gets a sharing violation at once instead of waiting. The
        // system closes the handle when the process ends, however it ends, and the name goes
        // with it. A link swapped in after the check is opened as itself, never followed.
        const HANDLE handle = CreateFileW(
            native.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD code = GetLastError();
            if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION)
                return Result::HeldElsewhere;
            // A read-only file at the name refuses to be deleted on close.
            if (GetFileAttributesW(native.c_str()) == INVALID_FILE_ATTRIBUTES ||
                !fsys::removeFile(path))
                return Result::Unavailable;
            continue;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (GetFileInformationByHandle(handle, &info) &&
            !(info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) &&
            info.nNumberOfLinks == 1) {
            m_handle = handle;
            return Result::Acquired;
        }
        // A second name of some file, or a link swapped in: closing removes this name alone.
        CloseHandle(handle);
    }
    return Result::Unavailable;
}

void InstanceLock::release()
{
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}
