#include "install/clientprocess.h"

#include <windows.h>

#include <utility>
#include <vector>

namespace {

constexpr DWORD kAccessRights = SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION;
// Long-path limit, so no image path is ever cut short.
constexpr DWORD kImagePathUnits = 32768;

std::string toUtf8(const wchar_t *text, int length)
{
    if (length <= 0)
        return {};
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text, length, &out[0], bytes, nullptr, nullptr) != bytes)
        return {};
    return out;
}

} // namespace

ClientProcess::~ClientProcess()
{
    close();
}

ClientProcess::ClientProcess(ClientProcess &&other) noexcept
    : m_handle(std::exchange(other.m_handle, nullptr))
{}

ClientProcess &ClientProcess::operator=(ClientProcess &&other) noexcept
{
    if (this != &other) {
        close();
        m_handle = std::exchange(other.m_handle, nullptr);
    }
    return *this;
}

bool ClientProcess::open(std::int64_t pid)
{
    close();
    // Truncating a larger id could name some unrelated process.
    if (pid <= 0 || pid > static_cast<std::int64_t>(MAXDWORD))
        return false;
    m_handle = OpenProcess(kAccessRights, FALSE, static_cast<DWORD>(pid));
    return m_handle != nullptr;
}

bool ClientProcess::isOpen() const
{
    return m_handle != nullptr;
}

std::string ClientProcess::imagePath() const
{
    if (!m_handle)
        return {};
    std::vector<wchar_t> buffer(kImagePathUnits, L'\0');
    DWORD size = kImagePathUnits;
    if (!QueryFullProcessImageNameW(m_handle, 0, buffer.data(), &size) || size == 0)
        return {};
    return toUtf8(buffer.data(), static_cast<int>(size));
}

ClientProcess::WaitResult ClientProcess::wait(int timeoutMs) const
{
    if (!m_handle)
        return WaitResult::Failed;
    const DWORD result =
        WaitForSingleObject(m_handle, timeoutMs > 0 ? static_cast<DWORD>(timeoutMs) : 0);
    if (result == WAIT_OBJECT_0)
        return WaitResult::Exited;
    if (result == WAIT_TIMEOUT)
        return WaitResult::TimedOut;
    return WaitResult::Failed;
}

bool ClientProcess::terminate(unsigned int exitCode) const
{
    return m_handle && TerminateProcess(m_handle, exitCode) != 0;
}

void ClientProcess::close()
{
    if (m_handle) {
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
}
