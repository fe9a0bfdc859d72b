#include "files/eventslices.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <memory>

namespace {

// Long enough to keep the cost of event passes negligible, short enough that a slice and one
// pass of events stay well under what a player notices.
constexpr qint64 SliceMs = 20;

} // namespace

EventSlices::EventSlices()
{
    m_clock.start();
}

void EventSlices::yield()
{
    if (m_clock.elapsed() < SliceMs)
        return;
    QCoreApplication::processEvents(QEventLoop::AllEvents, SliceMs);
    m_clock.restart();
}

void runOffThread(const std::function<void()> &work)
{
    QEventLoop loop;
    std::unique_ptr<QThread> thread(QThread::create(work));
    QObject::connect(thread.get(), &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    // The thread may end before the loop runs; the loop then has nothing to wait for.
    if (!thread->isFinished())
        loop.exec(QEventLoop::AllEvents);
    thread->wait();
}
