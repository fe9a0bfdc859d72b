#pragma once

// Long work on the GUI thread, cut so that the window never goes without events for long:
// call yield() between small steps (a block hashed, a file moved); it lets events run once
// a slice of work is spent. Work that cannot be cut (a sync to disk) runs on a thread of its
// own while the GUI thread waits in a nested event loop.

#include <QElapsedTimer>

#include <functional>

class EventSlices
{
public:
    EventSlices();
    void yield();

private:
    QElapsedTimer m_clock;
};

// Runs work on a thread of its own and returns once it is done; events keep flowing meanwhile.
void runOffThread(const std::function<void()> &work);
