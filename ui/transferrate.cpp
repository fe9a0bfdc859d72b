#include "ui/transferrate.h"

#include "download/bytesize.h"

#include <QElapsedTimer>

#include <algorithm>
#include <climits>
#include <memory>

namespace {

constexpr qint64 SecondMs = 1000;
// Seconds the median is taken over, and how many must have passed before it means anything.
constexpr int Window = 5;
constexpr int Fewest = 3;
// Beyond this the estimate says nothing a player could use.
constexpr qint64 LongestLeftS = 100 * 3600;

// Seconds up to ten minutes, then whole minutes, then hours and minutes; always rounded up.
QString durationText(qint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 600)
        return seconds % 60 == 0
                   ? QStringLiteral("%1 min").arg(seconds / 60)
                   : QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    const qint64 minutes = (seconds + 59) / 60;
    if (minutes < 60)
        return QStringLiteral("%1 min").arg(minutes);
    return minutes % 60 == 0 ? QStringLiteral("%1 h").arg(minutes / 60)
                             : QStringLiteral("%1 h %2 min").arg(minutes / 60).arg(minutes % 60);
}

} // namespace

TransferRate::TransferRate(std::function<qint64()> clockMs) : clock(std::move(clockMs))
{
    if (!clock) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        clock = [started] {
            return started->elapsed();
        };
    }
}

void TransferRate::add(qint64 value, qint64 maximum)
{
    const qint64 now = clock();
    if (lastMaximum <= 0) {
        secondStart = now;
    } else {
        advance(now);
        // Only a step forward against the same maximum is a transfer; anything else restarts
        // the count from the new value.
        if (maximum == lastMaximum && lastValue >= 0 && value > lastValue) {
            const qint64 step = value - lastValue;
            secondBytes = step > LLONG_MAX - secondBytes ? LLONG_MAX : secondBytes + step;
        }
    }
    lastValue = value;
    lastMaximum = maximum;
}

void TransferRate::clear()
{
    *this = TransferRate(clock);
}

void TransferRate::advance(qint64 now)
{
    const qint64 passed = (now - secondStart) / SecondMs;
    if (passed <= 0)
        return;
    seconds.append(secondBytes);
    for (qint64 i = 1; i < qMin(passed, qint64(Window)); ++i)
        seconds.append(0);
    while (seconds.size() > Window)
        seconds.removeFirst();
    secondBytes = 0;
    secondStart += passed * SecondMs;
}

QString TransferRate::text()
{
    const qint64 now = clock();
    if (shownAt >= 0 && now - shownAt < SecondMs)
        return shown;
    shownAt = now;
    shown.clear();
    if (lastMaximum <= 0)
        return shown;
    advance(now);
    if (seconds.size() < Fewest)
        return shown;
    QList<qint64> sorted = seconds;
    std::sort(sorted.begin(), sorted.end());
    const qint64 rate = sorted.at(sorted.size() / 2);
    const qint64 left = lastMaximum - qMax(lastValue, qint64(0));
    if (rate <= 0 || left <= 0 || left / rate >= LongestLeftS)
        return shown;
    shown = QStringLiteral("%1/s, faltam %2")
                .arg(formatByteSize(rate), durationText(left / rate + (left % rate != 0)));
    return shown;
}
