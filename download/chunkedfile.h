#pragma once

// One file of a release built from the chunks its installed copy holds and ranges of the
// release file. Three things run side by side: the scan cuts the installed copy into chunks
// (a thread of its own), the builder (chunkbuilder.h) writes the new file in index order as
// far as the scan has told which chunks the copy holds, and the ranges it lacks are fetched
// by the caller's transfers as soon as they are known. The copy is read once and the new
// file written while it is read, instead of one after the other.
//
// A chunk the scan has not found yet counts as missing once the scan has found a chunk that
// comes after it in the new file, or has ended: a change is fetched once the scan has read
// past it, so an insertion or an overwritten region costs its own chunks only, while a
// removal only shifts where the scan finds what follows. A chunk moved towards the start may
// be fetched though the copy holds it further on: bytes, never content.
//
// A range waits in memory for its turn, so memory stays at the ranges in flight. Once every
// piece is written and the file's SHA-256 matches, the copy takes its staged name.
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

    // builder: opened on the partial copy at paths.partial; installed: the copy it copies from.
    ChunkedFile(const UpdateFile &file, const StagingPaths &paths, const QString &appDir,
                const QString &installed, std::unique_ptr<ChunkedFileBuilder> builder,
                QObject *parent = nullptr);
    // Stops the scan and the builder at their next step; what was written stays for the next
    // run.
    ~ChunkedFile() override;

    const UpdateFile &file() const { return m_file; }
    const StagingPaths &paths() const { return m_paths; }
    // Bytes of the new file the partial copy already held.
    qint64 kept() const { return m_kept; }
    State state() const { return m_state; }
    QString error() const { return m_error; }

    // The scan and the builder start; once is enough.
    void start();
    // The next range nobody fetches yet, in file order, or -1 while none is known.
    int takeRange();
    const ChunkPiece &range(int r) const { return m_ranges.at(r); }
    // Every range the file needs is known (some may still be untaken).
    bool rangesKnown() const { return m_rangesKnown; }
    // Range r's bytes, all of them.
    void deliver(int range, QByteArray bytes);
    bool written(int range) const { return range < m_written; }
    // The file is fetched whole from here: the scan and the builder stop and go.
    void abandon();
    // The copy holds too little of the file for ranges to pay: abandoned, and the first
    // transfer of the file fetches it whole.
    bool wantsWhole() const { return m_wantsWhole; }
    // Until the server answers one range with that range, one asks alone: to a server that
    // ignores ranges, several in flight would each bring the whole file.
    bool probing() const { return m_probe; }
    bool rangesServed() const { return m_served; }
    void probe() { m_probe = true; }
    void served();

signals:
    void copied(qint64 bytes); // from the installed copy
    void rangeWritten(int range);
    // The state left Building, the server proved it serves ranges, or ranges became known.
    void settled();

private:
    void scan();
    void work();
    bool plan();
    void wakeBuilder(); // with m_mutex held
    void post(const std::function<void()> &call);
    void ended(bool ok, const QString &error, bool discard);
    void stopBuilder();

    UpdateFile m_file;
    StagingPaths m_paths;
    QString m_appDir;
    QString m_installed;
    std::unique_ptr<ChunkedFileBuilder> m_builder;
    QList<ChunkPiece> m_ranges; // known so far, in file order
    int m_taken = 0;
    bool m_rangesKnown = false;
    qint64 m_kept = 0;
    State m_state = State::Building;
    QString m_error;
    int m_written = 0; // ranges written, as the GUI thread knows it
    bool m_probe = false;
    bool m_served = false;
    bool m_wantsWhole = false;

    // Shared with the scan's and the builder's threads.
    std::mutex m_mutex;
    std::map<int, QByteArray> m_ready; // delivered, not yet written
    bool m_running = false;            // a job of the builder is queued or runs
    std::atomic<bool> m_stop{false};
    OldChunks m_seen;              // the installed copy's chunks found so far
    QHash<QByteArray, int> m_last; // the new file's chunks: the last place of each
    int m_foundUpTo = 0;           // chunks of the new file up to the last one found
    bool m_scanEnded = false;

    // The builder's thread only.
    int m_nextRange = 0;
    bool m_toldKnown = false;

    std::unique_ptr<JobQueue> m_worker;
    std::unique_ptr<JobQueue> m_scanner;
};
