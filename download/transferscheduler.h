#pragma once

// Transfers in flight: one queue, a fixed number of slots, one bandwidth cap and one progress
// sum for everything a run fetches. A transfer is anything fetched by one or more HTTP
// requests into a place of its own: a whole file, or a byte range of one. The scheduler owns
// the network side (sending, reading under the cap, the silence deadline, releasing replies);
// the transfer decides what each answer means and where its bytes go.
//
// A transfer's life, all on the thread that calls run():
//   next(nullptr)   its turn has come: it prepares and asks for a request, or is already done
//   accept(reply)   the status and headers of an answer are in, before its first byte
//   take(bytes)     body bytes of an accepted answer, in order, at most one block at a time
//   next(&attempt)  the answer ended (or was stopped or timed out): another request, or over
// A transfer that waits on work of its own (its bytes written in order with others') answers
// Wait: it keeps its slot without a request until wake(), then next() comes again as before.
// Every callback returns promptly and never processes events. A transfer that is over is
// deleted from the event loop soon after; so are the replies, which the scheduler alone owns.
//
// A byte range of a file is a transfer like a whole file: its next() asks for
// "Range: bytes=A-B", its accept() takes only a 206 whose Content-Range is exactly A-B, its
// take() checks and writes each piece where it belongs, and held() and length() count the
// range's own bytes. Transfers of one file share what they must (the open copy, a hash) by
// pointer; the scheduler never looks inside them.

#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkRequest;
class QTimer;

class Transfer
{
public:
    enum class Step
    {
        Request, // send the request filled in
        Wait,    // nothing to send until wake()
        Done,    // complete and in place; held() now counts as done
        Failed   // over: error() says why
    };
    enum class Verdict
    {
        Take, // the body is this transfer's: its bytes go to take()
        Drop, // not the body (an error page): read and dropped, up to a small bound, until the
              // answer ends, so that its own error text arrives
        Stop  // abort the answer now
    };
    // How one answer ended.
    struct Attempt
    {
        QNetworkReply::NetworkError error = QNetworkReply::NoError; // NoError: ended by the server
        QString errorText;                                          // the network layer's words
        bool timedOut = false; // silent for longer than the deadline
        bool stopped = false;  // accept() or take() stopped it, or the dropped body grew too long
        qint64 received = 0;   // bytes handed to take()
    };

    virtual ~Transfer() = default;
    // last is null when the transfer's turn comes, else how the last answer ended.
    virtual Step next(const Attempt *last, QNetworkRequest *request) = 0;
    virtual Verdict accept(QNetworkReply *reply) = 0;
    // false stops the answer; next() then learns why from the transfer's own state.
    virtual bool take(const char *data, qint64 size) = 0;
    // Bytes held now, counted in the progress; may fall when the transfer starts over.
    virtual qint64 held() const = 0;
    // Bytes the transfer holds once complete, -1 while unknown (the answer may tell).
    virtual qint64 length() const = 0;
    virtual QString error() const = 0;
};

class TransferScheduler : public QObject
{
    Q_OBJECT

public:
    // Makes transfer index when its turn comes; null when there is nothing to fetch for it
    // (its turn is then announced and ended at once, see addDone()). Indices number whatever
    // the caller queues: files, or the ranges of files, in the order they must start.
    using Factory = std::function<std::unique_ptr<Transfer>(int index)>;

    // parallel: transfers in flight at once (at least 1). bytesPerSecond: cap of the sum of all
    // transfers, 0 for none. idleTimeoutMs: the longest an answer may go without a byte, once
    // its request is out and while the cap is not what holds its bytes back.
    TransferScheduler(QNetworkAccessManager *manager, int parallel, qint64 bytesPerSecond,
                      int idleTimeoutMs, QObject *parent = nullptr);
    ~TransferScheduler() override;

    // Runs transfers 0 to count - 1 in a nested event loop, started in index order, up to
    // parallel at once; with one, each starts once the one before it is over. True once every
    // one is Done. At the first Failed the transfers still in flight are aborted and destroyed
    // without another callback, so each keeps what it held; false, with failed and error set.
    bool run(int count, const Factory &make, int *failed = nullptr, QString *error = nullptr);

    // Bytes done without a transfer (a file already in place), counted in the progress.
    void addDone(qint64 bytes);
    // Bytes done and held by the transfers in flight; never falls during a run.
    qint64 bytesHeld() const { return m_shown; }
    // Transfer index while it is in flight, else null.
    Transfer *inFlight(int index) const;
    // Transfer index, if it waits, is asked next() again from the event loop.
    void wake(int index);

signals:
    // Each once per index, in this order for one index; started in index order.
    void started(int index);
    void progressed(int index); // the bytes held by transfer index grew
    void finished(int index);   // Done (or nothing to fetch)

private:
    struct Active;

    Active *find(int index) const;
    void advance();
    void settle(Active *active, Transfer::Step step, const QNetworkRequest &request);
    void send(Active *active, const QNetworkRequest &request);
    void pump(Active *active);
    void answerEnded(Active *active);
    void stop(Active *active);
    void onSilence(Active *active);
    void drainThrottled();
    qint64 allowance();
    void retire(QNetworkReply *reply);
    void reap();
    void abortAll();
    void updateShown();

    QNetworkAccessManager *m_manager;
    int m_slots;
    qint64 m_rate;
    int m_idleMs;
    const Factory *m_make = nullptr;
    int m_count = 0;
    int m_next = 0;
    std::vector<std::unique_ptr<Active>> m_active;
    bool m_over = false;
    bool m_failedRun = false;
    int m_failed = -1;
    QString m_error;
    qint64 m_done = 0;
    qint64 m_shown = 0;
    // The cap: a token bucket filled at m_rate, read from only while it holds tokens.
    double m_tokens = 0;
    double m_burst = 0;
    QElapsedTimer m_clock;
    qint64 m_refilledAt = 0;
    QTimer *m_refill;
    std::size_t m_turn = 0; // who reads first after a refill, so no transfer starves
    std::vector<QNetworkReply *> m_retired;
    std::vector<std::unique_ptr<Active>> m_dead;
    QTimer *m_reaper;
    QByteArray m_block;
    class QEventLoop *m_loop = nullptr;
};
