#include "install/clientprocess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <limits>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <type_traits>
#include <unistd.h>
#include <utility>

// Older C library headers may lack the numbers; they are the same on every Linux architecture.
#if defined(__linux__) && !defined(SYS_pidfd_open)
#define SYS_pidfd_open 434
#endif
#if defined(__linux__) && !defined(SYS_pidfd_send_signal)
#define SYS_pidfd_send_signal 424
#endif

ClientProcess::~ClientProcess()
{
    close();
}

ClientProcess::ClientProcess(ClientProcess &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1)), m_pid(std::exchange(other.m_pid, 0))
{}

ClientProcess &ClientProcess::operator=(ClientProcess &&other) noexcept
{
    if (this != &other) {
        close();
        m_fd = std::exchange(other.m_fd, -1);
        m_pid = std::exchange(other.m_pid, 0);
    }
    return *this;
}

bool ClientProcess::open(std::int64_t pid)
{
    close();
    static_assert(std::is_signed<pid_t>::value && sizeof(pid_t) <= sizeof(int),
                  "the id is kept as an int");
    // Truncating a larger id could name some unrelated process.
    if (pid <= 0 || pid > static_cast<std::int64_t>(std::numeric_limits<pid_t>::max()))
        return false;
    // A pidfd is close-on-exec from birth, so it never leaks into started programs.
    const long fd = ::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0);
    if (fd < 0)
        return false;
    m_fd = static_cast<int>(fd);
    m_pid = static_cast<int>(pid);
    return true;
}

bool ClientProcess::isOpen() const
{
    return m_fd >= 0;
}

std::string ClientProcess::imagePath() const
{
    if (m_fd < 0)
        return {};
    const std::string link = "/proc/" + std::to_string(m_pid) + "/exe";
    std::string path(4096, '\0');
    for (;;) {
        const ssize_t length = ::readlink(link.c_str(), &path[0], path.size());
        if (length < 0)
            return {};
        if (static_cast<std::size_t>(length) < path.size()) {
            path.resize(static_cast<std::size_t>(length));
            break;
        }
        path.resize(path.size() * 2);
    }
    // /proc knows only the id: if the process has ended meanwhile, the id may
    // already name another program, so the path proves nothing.
    if (wait(0) != WaitResult::TimedOut)
        return {};
    return path;
}

ClientProcess::WaitResult ClientProcess::wait(int timeoutMs) const
{
    if (m_fd < 0)
        return WaitResult::Failed;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        pollfd entry{m_fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0)
            return (entry.revents & POLLIN) ? WaitResult::Exited : WaitResult::Failed;
        if (ready == 0)
            return WaitResult::TimedOut;
        if (errno != EINTR)
            return WaitResult::Failed;
    }
}

bool ClientProcess::terminate(unsigned int) const
{
    return m_fd >= 0 && ::syscall(SYS_pidfd_send_signal, m_fd, SIGKILL, nullptr, 0) == 0;
}

void ClientProcess::close()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
        m_pid = 0;
    }
}
