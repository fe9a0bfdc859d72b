#include "download/transferscheduler.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace {

// What the network layer may hold for one answer between two reads: memory stays at the
// number of slots times this, whatever the files' sizes. Under a cap it is small, so that a
// transfer that is not read soon fills the socket's window and the server pauses.
constexpr qint64 ReplyBufferSize = 1024 * 1024;
constexpr qint64 CappedReplyBufferSize = 64 * 1024;
constexpr qint64 BlockSize = 1024 * 1024;
// An error page is read to its end for its status text, but only while it stays this short.
constexpr qint64 DropLimit = 64 * 1024;
// The bucket holds a quarter of a second of the cap: over 5 s at most 5 % above it.
constexpr double BurstSeconds = 0.25;
constexpr double MinBurst = 16 * 1024;

} // namespace

struct TransferScheduler::Active
{
    int index;
    std::unique_ptr<Transfer> transfer;
    QNetworkReply *reply = nullptr;
    QTimer silence;
    Transfer::Attempt attempt;
    Transfer::Verdict verdict = Transfer::Verdict::Take;
    bool decided = false;
    bool ended = false;
    bool onWire = false;
    bool sent = false;
    bool waiting = false;
    qint64 dropped = 0;
};

TransferScheduler::TransferScheduler(QNetworkAccessManager *manager, int parallel,
                                     qint64 bytesPerSecond, int idleTimeoutMs, QObject *parent)
    : QObject(parent), m_manager(manager), m_slots(qMax(1, parallel)),
      m_rate(qMax<qint64>(0, bytesPerSecond)), m_idleMs(qMax(0, idleTimeoutMs)),
      m_refill(new QTimer(this)), m_reaper(new QTimer(this)), m_block(BlockSize, Qt::Uninitialized)
{
    m_burst = std::max(MinBurst, double(m_rate) * BurstSeconds);
    m_refill->setSingleShot(true);
    m_refill->setTimerType(Qt::PreciseTimer);
    connect(m_refill, &QTimer::timeout, this, &TransferScheduler::drainThrottled);
    m_reaper->setSingleShot(true);
    connect(m_reaper, &QTimer::timeout, this, &TransferScheduler::reap);
}

TransferScheduler::~TransferScheduler()
{
    abortAll();
    reap();
}

bool TransferScheduler::run(int count, const Factory &make, int *failed, QString *error)
{
    m_make = &make;
    m_count = count;
    m_tokens = m_burst;
    m_clock.start();
    QEventLoop loop;
    advance();
    if (!m_over) {
        m_loop = &loop;
        loop.exec(QEventLoop::AllEvents);
        m_loop = nullptr;
    }
    abortAll();
    reap();
    m_make = nullptr;
    if (!m_failedRun)
        return true;
    if (failed)
        *failed = m_failed;
    if (error)
        *error = m_error;
    return false;
}

void TransferScheduler::addDone(qint64 bytes)
{
    m_done += qMax<qint64>(0, bytes);
    updateShown();
}

TransferScheduler::Active *TransferScheduler::find(int index) const
{
    for (const auto &active : m_active) {
        if (active->index == index)
            return active.get();
    }
    return nullptr;
}

Transfer *TransferScheduler::inFlight(int index) const
{
    Active *active = find(index);
    return active ? active->transfer.get() : nullptr;
}

void TransferScheduler::advance()
{
    while (!m_failedRun && m_next < m_count && int(m_active.size()) < m_slots) {
        const int index = m_next++;
        std::unique_ptr<Transfer> transfer = (*m_make)(index);
        emit started(index);
        if (!transfer) {
            updateShown();
            emit finished(index);
            continue;
        }
        m_active.push_back(std::make_unique<Active>());
        Active *active = m_active.back().get();
        active->index = index;
        active->transfer = std::move(transfer);
        active->silence.setSingleShot(true);
        connect(&active->silence, &QTimer::timeout, this, [this, active] { onSilence(active); });
        QNetworkRequest request;
        settle(active, active->transfer->next(nullptr, &request), request);
    }
    if (m_failedRun || (m_next >= m_count && m_active.empty())) {
        m_over = true;
        if (m_loop)
            m_loop->quit();
    }
}

// Acts on what a transfer asked for; the transfer may be gone afterwards.
void TransferScheduler::settle(Active *active, Transfer::Step step, const QNetworkRequest &request)
{
    switch (step) {
    case Transfer::Step::Request:
        send(active, request);
        return;
    case Transfer::Step::Wait:
        active->waiting = true;
        return;
    case Transfer::Step::Done: {
        const int index = active->index;
        m_done += active->transfer->held();
        const auto it = std::find_if(m_active.begin(), m_active.end(),
                                     [active](const auto &a) { return a.get() == active; });
        m_dead.push_back(std::move(*it));
        m_active.erase(it);
        m_reaper->start(0);
        updateShown();
        emit finished(index);
        return;
    }
    case Transfer::Step::Failed:
        m_failedRun = true;
        m_failed = active->index;
        m_error = active->transfer->error();
        abortAll();
        return;
    }
}

void TransferScheduler::wake(int index)
{
    // Never inside another transfer's callback: the one woken may end the run.
    QMetaObject::invokeMethod(
        this,
        [this, index] {
            Active *active = find(index);
            if (m_failedRun || !active || !active->waiting)
                return;
            active->waiting = false;
            QNetworkRequest request;
            settle(active,
                   active->transfer->next(active->sent ? &active->attempt : nullptr, &request),
                   request);
            advance();
        },
        Qt::QueuedConnection);
}

void TransferScheduler::send(Active *active, const QNetworkRequest &request)
{
    active->sent = true;
    active->attempt = Transfer::Attempt();
    active->decided = active->ended = active->onWire = false;
    active->dropped = 0;
    QNetworkReply *reply = m_manager->get(request);
    active->reply = reply;
    reply->setReadBufferSize(m_rate > 0 ? CappedReplyBufferSize : ReplyBufferSize);
    connect(reply, &QNetworkReply::readyRead, this, [this, active] { pump(active); });
    connect(reply, &QNetworkReply::finished, this, [this, active] {
        active->ended = true;
        pump(active);
    });
    // Silence counts only once the request is out: one that waits for a free connection
    // behind other transfers is not the server's silence.
    const auto heard = [active] {
        active->onWire = true;
        active->silence.start();
    };
    connect(reply, &QNetworkReply::socketStartedConnecting, this, heard);
    connect(reply, &QNetworkReply::requestSent, this, heard);
    connect(reply, &QNetworkReply::downloadProgress, this, heard);
    connect(reply, &QNetworkReply::redirected, this, heard);
    active->silence.start(m_idleMs);
}

void TransferScheduler::pump(Active *active)
{
    QNetworkReply *reply = active->reply;
    Transfer &transfer = *active->transfer;
    if (!active->decided &&
        (reply->bytesAvailable() > 0 ||
         (active->ended && reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()))) {
        active->decided = true;
        active->verdict = transfer.accept(reply);
        if (active->verdict == Transfer::Verdict::Stop)
            return stop(active);
    }
    while (active->decided && reply->bytesAvailable() > 0) {
        if (active->verdict == Transfer::Verdict::Drop) {
            active->dropped += reply->skip(BlockSize);
            if (active->dropped > DropLimit)
                return stop(active);
            continue;
        }
        const qint64 allowed = qMin(allowance(), reply->bytesAvailable());
        if (allowed <= 0)
            break; // the refill comes back for the rest
        const qint64 n = reply->read(m_block.data(), qMin(allowed, BlockSize));
        if (n <= 0)
            break;
        if (m_rate > 0)
            m_tokens -= double(n);
        active->attempt.received += n;
        if (!transfer.take(m_block.constData(), n))
            return stop(active);
        updateShown();
        emit progressed(active->index);
    }
    if (active->ended && (!active->decided || reply->bytesAvailable() == 0))
        answerEnded(active);
}

void TransferScheduler::stop(Active *active)
{
    active->attempt.stopped = true;
    active->reply->disconnect(this);
    active->reply->abort();
    answerEnded(active);
}

void TransferScheduler::onSilence(Active *active)
{
    // Unread bytes are held back by the cap, and a request still queued behind the other
    // transfers has not met the server yet.
    if (active->reply->bytesAvailable() > 0 || (!active->onWire && m_active.size() > 1)) {
        active->silence.start();
        return;
    }
    active->attempt.timedOut = true;
    active->reply->abort();
}

void TransferScheduler::answerEnded(Active *active)
{
    QNetworkReply *reply = active->reply;
    active->reply = nullptr;
    active->silence.stop();
    active->attempt.error = reply->error();
    active->attempt.errorText = reply->errorString();
    retire(reply);
    QNetworkRequest request;
    settle(active, active->transfer->next(&active->attempt, &request), request);
    advance();
}

qint64 TransferScheduler::allowance()
{
    if (m_rate <= 0)
        return BlockSize;
    const qint64 now = m_clock.nsecsElapsed();
    m_tokens = std::min(m_burst, m_tokens + double(now - m_refilledAt) * double(m_rate) / 1e9);
    m_refilledAt = now;
    if (m_tokens >= 1)
        return qint64(m_tokens);
    if (!m_refill->isActive()) {
        const double quantum = std::min(m_burst, MinBurst);
        m_refill->start(int(std::ceil((quantum - m_tokens) * 1000.0 / double(m_rate))));
    }
    return 0;
}

void TransferScheduler::drainThrottled()
{
    std::vector<int> order;
    for (const auto &active : m_active)
        order.push_back(active->index);
    if (order.empty())
        return;
    std::rotate(order.begin(), order.begin() + std::ptrdiff_t(m_turn++ % order.size()),
                order.end());
    for (const int index : order) {
        Active *active = find(index);
        if (active && active->reply)
            pump(active);
    }
}

// Replies and finished transfers are deleted from the event loop, never inside their own
// signals, and never left for the end of the run: a deferred delete posted from inside a
// nested loop would wait that long.
void TransferScheduler::retire(QNetworkReply *reply)
{
    reply->disconnect(this);
    m_retired.push_back(reply);
    m_reaper->start(0);
}

void TransferScheduler::reap()
{
    std::vector<QNetworkReply *> replies;
    replies.swap(m_retired);
    for (QNetworkReply *reply : replies)
        delete reply;
    m_dead.clear();
}

void TransferScheduler::abortAll()
{
    for (auto &entry : m_active) {
        entry->silence.stop();
        if (entry->reply) {
            entry->reply->disconnect(this);
            entry->reply->abort();
            retire(entry->reply);
            entry->reply = nullptr;
        }
        m_dead.push_back(std::move(entry));
    }
    m_active.clear();
    m_reaper->start(0);
}

void TransferScheduler::updateShown()
{
    qint64 sum = m_done;
    for (const auto &active : m_active)
        sum += active->transfer->held();
    m_shown = qMax(m_shown, sum);
}
