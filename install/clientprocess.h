#pragma once

#include <cstdint>
#include <string>

// A handle on one running process, opened by id. While it is open the handle
// pins that very process: an id reused by another program is never waited for
// or ended through it. Free of Qt types so it builds on its own for Windows.
class ClientProcess
{
public:
    enum class WaitResult
    {
        Exited,
        TimedOut,
        Failed
    };

    ClientProcess() = default;
    ~ClientProcess();

    ClientProcess(const ClientProcess &) = delete;
    ClientProcess &operator=(const ClientProcess &) = delete;
    ClientProcess(ClientProcess &&other) noexcept;
    ClientProcess &operator=(ClientProcess &&other) noexcept;

    // False when the process is gone, access is refused, or the id does not fit
    // the platform's process id type. Closes any process held before.
    bool open(std::int64_t pid);
    bool isOpen() const;

    // UTF-8; empty when it cannot be read.
    std::string imagePath() const;

    // A negative time-out counts as zero.
    WaitResult wait(int timeoutMs) const;

    // On POSIX the process is killed and exitCode has no effect.
    bool terminate(unsigned int exitCode) const;

    void close();

private:
#ifdef _WIN32
    void *m_handle = nullptr;
#else
    int m_fd = -1;
    int m_pid = 0;
#endif
};
