#pragma once

#include <QList>
#include <QString>

#include <functional>

// The speed of a transfer and the time it still needs, told from its progress reports alone.
// Bytes are summed per second; the speed is the median of the last five seconds, so one
// report that counts many bytes at once (files found already in place) does not count as
// speed, and a report against another maximum starts a new count without a jump.
class TransferRate
{
public:
    // Milliseconds from any fixed start; a steady clock when none is given.
    explicit TransferRate(std::function<qint64()> clock = {});

    void add(qint64 value, qint64 maximum);
    void clear();
    // "2.50 MB/s, faltam 48 s", or nothing until three seconds were seen moving; it changes at
    // most once a second.
    QString text();

private:
    void advance(qint64 now);

    std::function<qint64()> clock;
    qint64 lastValue = -1;
    qint64 lastMaximum = 0;
    qint64 secondStart = 0;
    qint64 secondBytes = 0;
    QList<qint64> seconds;
    qint64 shownAt = -1;
    QString shown;
};
