#include "download/blockqueue.h"

struct BlockPool::Shared
{
    std::mutex mutex;
    std::condition_variable returned;
    std::vector<std::unique_ptr<Block>> idle;
    int available = 0;
    qsizetype blockBytes = 0;
};

BlockPool::BlockPool(int count, qsizetype blockBytes) : m_shared(std::make_shared<Shared>())
{
    m_shared->available = count;
    m_shared->blockBytes = blockBytes;
}

BlockRef BlockPool::take()
{
    std::unique_lock<std::mutex> lock(m_shared->mutex);
    m_shared->returned.wait(lock, [this] { return m_shared->available > 0; });
    --m_shared->available;
    std::unique_ptr<Block> block;
    if (!m_shared->idle.empty()) {
        block = std::move(m_shared->idle.back());
        m_shared->idle.pop_back();
    }
    lock.unlock();
    // Reused blocks keep their pages: no fresh memory to fault in for every block.
    if (!block) {
        block = std::make_unique<Block>();
        block->bytes.resize(m_shared->blockBytes);
    }
    block->used = 0;
    // The deleter holds the pool's state, so a block may outlive the pool.
    return BlockRef(block.release(), [shared = m_shared](Block *returned) {
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->idle.emplace_back(returned);
        ++shared->available;
        shared->returned.notify_one();
    });
}

JobQueue::JobQueue(int threads)
{
    for (int i = 0; i < threads; ++i)
        m_workers.emplace_back([this] { work(); });
}

JobQueue::~JobQueue()
{
    finish();
}

void JobQueue::push(std::function<void()> job)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_jobs.push_back(std::move(job));
    }
    m_ready.notify_one();
}

void JobQueue::finish()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_closed = true;
    }
    m_ready.notify_all();
    for (std::thread &worker : m_workers)
        worker.join();
    m_workers.clear();
}

void JobQueue::work()
{
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_ready.wait(lock, [this] { return m_closed || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
