#pragma once

// What the chunk scan and the chunk builder share to hash on other threads while they read
// and write: reusable blocks handed out a bounded number at a time, and a queue of jobs run
// by worker threads in order of arrival.

#include <QByteArray>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct Block
{
    QByteArray bytes; // capacity; only the first used bytes count
    qsizetype used = 0;
};
using BlockRef = std::shared_ptr<Block>;

// A block comes back to the pool when its last reference goes; take() waits while all are
// out, which holds the producer back to what the consumers keep up with.
class BlockPool
{
public:
    BlockPool(int count, qsizetype blockBytes);
    BlockRef take();

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

class JobQueue
{
public:
    // threads workers take jobs in order of arrival; with one they also end in that order,
    // with none they never run.
    explicit JobQueue(int threads);
    ~JobQueue(); // finish()
    void push(std::function<void()> job);
    // Runs what is queued, then ends the workers.
    void finish();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_jobs;
    bool m_closed = false;
    std::vector<std::thread> m_workers;
};
