#pragma once

// One updater per client folder: a lock file inside the folder, held open for the whole
// run and released by the system when the process ends, however it ends. One
// implementation per platform: instancelock_posix.cpp and instancelock_win.cpp.

#include <QString>

class InstanceLock
{
public:
    enum class Result
    {
        Acquired,
        HeldElsewhere, // another live process holds it
        Unavailable    // no lock file can be made: a read-only folder
    };

    InstanceLock() = default;
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    // Never follows a link at path and never blocks. The name is the updater's own: anything
    // else standing there (a folder, a link, a second name of another file) is cleared first.
    Result acquire(const QString &path);
    void release();

private:
#ifdef _WIN32
    void *m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};
