#pragma once

// One file of a release built from the chunks its installed copy holds and ranges of the
// release file, while those ranges arrive side by side. The builder (chunkbuilder.h) works on
// a thread of its own in index order: it copies what the installed copy holds and writes each
// range once the range is whole and every piece before it is written. A range waits in memory
// for its turn, so memory stays at the ranges in flight. Once every piece is written and the
// file's SHA-256 matches, the copy takes its staged name.
//
// Lives on the GUI thread; its signals come from there too.

#include "download/chunkplan.h"
#include "download/stagedfile.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

class ChunkedFileBuilder;
class JobQueue;

class ChunkedFile : public QObject
{
    Q_OBJECT

public:
    enum class State
    {
        Building,
        Complete, // verified and under its staged name
        Failed,   // error() says why; the partial copy holds verified chunks only
        Abandoned // fetched whole instead
    };

    // builder: opened on the partial copy at paths.partial.
    ChunkedFile(const UpdateFile &file, const StagingPaths &paths, const QString &appDir,
                std::unique_ptr<ChunkedFileBuilder> builder, QObject *parent = nullptr);
    // Stops the builder's thread at its next step; what it wrote stays for the next run.
    ~ChunkedFile() override;

    const UpdateFile &file() const { return m_file; }
    const StagingPaths &paths() const { return m_paths; }
    // What is left to fetch, in file order.
    const QList<ChunkPiece> &ranges() const { return m_ranges; }
    // Bytes of the new file the partial copy already held.
    qint64 kept() const { return m_kept; }
    State state() const { return m_state; }
    QString error() const { return m_error; }

    // The builder starts copying; once is enough.
    void start();
    // Range r's bytes, all of them.
    void deliver(int range, QByteArray bytes);
    bool written(int range) const { return range < m_written; }
    // The file is fetched whole from here: the builder stops and goes.
    void abandon();
    // Until the server answers one range with that range, one asks alone: to a server that
    // ignores ranges, several in flight would each bring the whole file.
    bool probing() const { return m_probe; }
    bool rangesServed() const { return m_served; }
    void probe() { m_probe = true; }
    void served();

signals:
    void copied(qint64 bytes); // from the installed copy
    void rangeWritten(int range);
    void settled(); // the state left Building, or the server proved it serves ranges

private:
    void work();
    void post(const std::function<void()> &call);
    void ended(bool ok, const QString &error, bool discard);
    void stopBuilder();

    UpdateFile m_file;
    StagingPaths m_paths;
    QString m_appDir;
    std::unique_ptr<ChunkedFileBuilder> m_builder;
    QList<ChunkPiece> m_ranges;
    qint64 m_kept = 0;
    State m_state = State::Building;
    QString m_error;
    int m_written = 0; // ranges written, as the GUI thread knows it
    bool m_probe = false;
    bool m_served = false;

    // Shared with the builder's thread.
    std::mutex m_mutex;
    std::map<int, QByteArray> m_ready; // delivered, not yet written
    bool m_running = false;            // a job is queued or runs
    std::atomic<bool> m_stop{false};
    int m_nextRange = 0; // the builder's thread only

    std::unique_ptr<JobQueue> m_worker;
};
