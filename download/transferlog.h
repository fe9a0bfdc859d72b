#pragma once

// A download's lines in the run's log: each file kept or fetched, with its bytes and time, and
// once the download is over, what was fetched in all and at what rate.

#include "download/downloadplan.h"

#include <QElapsedTimer>
#include <QList>
#include <QMetaObject>

#include <functional>
#include <vector>

class RunLog;
class TransferScheduler;

class TransferLog
{
public:
    // Logs the files the plan keeps at once, then follows the scheduler's transfers, of which
    // there are `items`, transfer i fetching (a part of) file fileOf(i). Made before the
    // scheduler runs, while the plans still hold what each transfer continues.
    TransferLog(RunLog &log, const TransferScheduler &scheduler, const QList<UpdateFile> &files,
                const std::vector<FilePlan> &plans, int items,
                const std::function<int(int)> &fileOf);
    ~TransferLog();
    TransferLog(const TransferLog &) = delete;
    TransferLog &operator=(const TransferLog &) = delete;

private:
    RunLog &m_log;
    const QList<UpdateFile> &m_files;
    std::vector<int> m_fileOf;      // per transfer
    std::vector<qint64> m_itemHeld; // per transfer: bytes held so far
    std::vector<qint64> m_from;    // per file: bytes continued from an earlier run; -1: not fetched
    std::vector<qint64> m_held;    // per file: bytes held so far
    std::vector<qint64> m_startMs; // per file: -1: not started
    std::vector<int> m_running;    // per file: transfers not finished yet
    QElapsedTimer m_clock;
    std::vector<QMetaObject::Connection> m_connections;
};
