#include "files/instancelock.h"

#include <QDir>

#include <windows.h>

InstanceLock::~InstanceLock()
{
    release();
}

InstanceLock::Result InstanceLock::acquire(const QString &path)
{
    release();
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    // A folder would not open as a file anyway; a link is refused before it is opened.
    const DWORD attributes = GetFileAttributesW(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return Result::Unavailable;

    // No sharing: a second opener gets a sharing violation at once instead of waiting. The
    // system closes the handle when the process ends, however it ends, and the file goes
    // with it. A link swapped in after the check is opened as itself, never followed.
    const HANDLE handle = CreateFileW(
        native.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION
                   ? Result::HeldElsewhere
                   : Result::Unavailable;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY))) {
        CloseHandle(handle);
        return Result::Unavailable;
    }
    m_handle = handle;
    return Result::Acquired;
}

void InstanceLock::release()
{
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}
