#include "publish/keyfile.h"

#include "files/win32path.h"

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <memory>

namespace {

bool failed(QString *error, DWORD code)
{
    if (error)
        *error = fsys::systemText(code);
    return false;
}

// The current user's SID, inside the TOKEN_USER that holds it.
std::unique_ptr<char[]> currentUser()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::unique_ptr<char[]> user(size ? new char[size] : nullptr);
    if (!user || !GetTokenInformation(token, TokenUser, user.get(), size, &size))
        user.reset();
    CloseHandle(token);
    return user;
}

} // namespace

bool createOwnerOnlyFile(QFile *file, QString *error)
{
    const std::unique_ptr<char[]> user = currentUser();
    if (!user)
        return failed(error, GetLastError());
    PSID sid = reinterpret_cast<TOKEN_USER *>(user.get())->User.Sid;

    // One entry for the user; protected, so the folder's inheritable entries stay out.
    const DWORD aclSize = DWORD(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid));
    std::unique_ptr<char[]> aclStorage(new char[aclSize]);
    PACL acl = reinterpret_cast<PACL>(aclStorage.get());
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeAcl(acl, aclSize, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid) ||
        !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return failed(error, GetLastError());
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};

    // CREATE_NEW fails on any entry at the name, a link included, and never follows it.
    const std::wstring path = QDir::toNativeSeparators(file->fileName()).toStdWString();
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return failed(error, GetLastError());
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return failed(error, ERROR_TOO_MANY_OPEN_FILES);
    }
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                    QFileDevice::AutoCloseHandle)) {
        _close(fd);
        if (error)
            *error = file->errorString();
        return false;
    }
    return true;
}
