#include "download/transferlog.h"

#include "download/transferscheduler.h"
#include "update/runlog.h"

namespace {

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000, 'f', 2);
}

} // namespace

TransferLog::TransferLog(RunLog &log, const TransferScheduler &scheduler,
                         const QList<UpdateFile> &files, const std::vector<FilePlan> &plans,
                         int items, const std::function<int(int)> &fileOf)
    : m_log(log), m_files(files), m_itemHeld(std::size_t(items), 0), m_from(plans.size(), -1),
      m_held(plans.size(), 0), m_startMs(plans.size(), -1), m_running(plans.size(), 0)
{
    m_clock.start();
    QStringList kept;
    for (std::size_t i = 0; i < plans.size(); ++i) {
        const FilePlan &plan = plans[i];
        if (plan.state == FilePlan::State::Fetch)
            m_from[i] = m_held[i] = plan.partial.bytes;
        else
            kept.append(QStringLiteral("arquivo mantido: %1 (%2 bytes, %3)")
                            .arg(files.at(qsizetype(i)).path, QString::number(plan.onDisk),
                                 plan.state == FilePlan::State::InPlace
                                     ? QStringLiteral("ja instalado")
                                     : QStringLiteral("ja baixado")));
    }
    m_log.write(kept);
    for (int item = 0; item < items; ++item) {
        const int file = fileOf(item);
        m_fileOf.push_back(file);
        // A file's first transfer continues what an earlier run kept.
        if (m_running[std::size_t(file)]++ == 0 && m_from[std::size_t(file)] > 0)
            m_itemHeld[std::size_t(item)] = m_from[std::size_t(file)];
    }

    m_connections.push_back(
        QObject::connect(&scheduler, &TransferScheduler::started, [this](int i) {
            const std::size_t file = std::size_t(m_fileOf[std::size_t(i)]);
            if (m_from[file] >= 0 && m_startMs[file] < 0)
                m_startMs[file] = m_clock.elapsed();
        }));
    m_connections.push_back(
        QObject::connect(&scheduler, &TransferScheduler::progressed, [this, &scheduler](int i) {
            const Transfer *transfer = scheduler.inFlight(i);
            if (!transfer)
                return;
            const std::size_t file = std::size_t(m_fileOf[std::size_t(i)]);
            m_held[file] += transfer->held() - m_itemHeld[std::size_t(i)];
            m_itemHeld[std::size_t(i)] = transfer->held();
        }));
    m_connections.push_back(
        QObject::connect(&scheduler, &TransferScheduler::finished, [this](int i) {
            const std::size_t at = std::size_t(m_fileOf[std::size_t(i)]);
            if (m_from[at] < 0 || --m_running[at] > 0)
                return;
            QString line = QStringLiteral("arquivo baixado: %1 (%2 bytes em %3 s")
                               .arg(m_files.at(qsizetype(at)).path, QString::number(m_held[at]),
                                    seconds(m_clock.elapsed() - m_startMs[at]));
            if (m_from[at] > 0)
                line += QStringLiteral(", %1 retomados de uma execucao anterior").arg(m_from[at]);
            m_log.write(line + QLatin1Char(')'));
        }));
}

TransferLog::~TransferLog()
{
    for (const QMetaObject::Connection &connection : m_connections)
        QObject::disconnect(connection);
    qint64 firstMs = -1;
    qint64 received = 0;
    int files = 0;
    for (std::size_t i = 0; i < m_startMs.size(); ++i) {
        if (m_startMs[i] < 0)
            continue;
        firstMs = firstMs < 0 ? m_startMs[i] : qMin(firstMs, m_startMs[i]);
        received += m_held[i] - m_from[i];
        ++files;
    }
    if (files == 0)
        return;
    const qint64 ms = qMax<qint64>(m_clock.elapsed() - firstMs, 1);
    m_log.write(QStringLiteral("download: %1 arquivos, %2 bytes recebidos em %3 s (%4 KiB/s)")
                    .arg(QString::number(files), QString::number(received), seconds(ms),
                         QString::number(received * 1000 / ms / 1024)));
}
