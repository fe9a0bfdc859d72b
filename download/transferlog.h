#pragma once

// A download's lines in the run's log: each file kept or fetched, with its bytes and time, and
// once the download is over, what was fetched in all and at what rate.

#include "download/downloadplan.h"

#include <QElapsedTimer>
#include <QList>
#include <QMetaObject>

#include <vector>

class RunLog;
class TransferScheduler;

class TransferLog
{
public:
    // Logs the files the plan keeps at once, then follows the scheduler's transfers. Made
    // before the scheduler runs, while the plans still hold what each transfer continues.
    TransferLog(RunLog &log, const TransferScheduler &scheduler, const QList<UpdateFile> &files,
                const std::vector<FilePlan> &plans);
    ~TransferLog();
    TransferLog(const TransferLog &) = delete;
    TransferLog &operator=(const TransferLog &) = delete;

private:
    RunLog &m_log;
    const QList<UpdateFile> &m_files;
    std::vector<qint64> m_from;    // bytes continued from an earlier run; -1: not fetched
    std::vector<qint64> m_held;    // bytes held so far
    std::vector<qint64> m_startMs; // -1: not started
    QElapsedTimer m_clock;
    std::vector<QMetaObject::Connection> m_connections;
};
