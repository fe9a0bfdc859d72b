#pragma once

// Writes a new file into its partial copy in the order of its chunk index, from chunks the
// installed copy already holds and ranges of the release file that the caller fetches and
// feeds in. Every fetched chunk is checked against its SHA-256 before it is written, and the
// whole file's SHA-256 is computed as it is written (on a thread of its own), so nothing is
// read back at the end. A partial copy left by a cut or killed run is kept up to its last
// whole chunk (each checked again) and the work continues from there.
//
//     // newIndex: parseChunkIndex of the fetched index (its SHA-256 the manifest's), which
//     // describes(file.size, file.hash) and has rule == ChunkRule::standard(); otherwise
//     // the file is fetched whole.
//     ChunkedFileBuilder builder(newIndex, installedPath, partialPath, file.path);
//     if (!builder.open(&error)) ...
//     for (;;) {
//         // As the installed copy's chunks become known (scanFileChunks), plan further:
//         builder.extendPlan(oldChunkMap(installedSoFar), upTo);
//         const ChunkPiece *piece = builder.current();
//         if (!piece) {
//             if (builder.planned()) break;
//             continue; // wait for the scan
//         }
//         if (piece->kind == ChunkPiece::Copy) {
//             builder.copy(8 << 20, &error);            // blocking disk work: off the GUI thread
//         } else {
//             // GET file.url with "Range: bytes=<rangeBegin()>-<rangeEnd() - 1>"; a 206 whose
//             // Content-Range starts at rangeBegin(): feed its bytes as they arrive. After a cut
//             // connection ask again from rangeBegin(): what was fed is kept.
//             builder.feed(data, size, &error);
//         }
//     }
//     builder.finish(&error);                               // the file's SHA-256 is the index's
//
// Nothing here touches the network; one thread at a time calls the builder. A fetched chunk
// that fails its hash is never written: the partial copy then holds verified chunks only.
// Copied chunks are not hashed again (the scan just did): the whole file's hash in finish()
// catches an installed copy that changed since, and the caller then removes the partial copy.

#include "download/chunkplan.h"

#include <QFile>
#include <QString>

#include <memory>

struct Block;
class BlockPool;
class JobQueue;
class Sha256;

class ChunkedFileBuilder
{
public:
    // index must describe the file the manifest lists (ChunkIndex::describes) and be cut by the
    // rule the installed copy is scanned with (ChunkRule::standard()). shownName names the file
    // in texts.
    ChunkedFileBuilder(const ChunkIndex &index, const QString &installedPath,
                       const QString &partialPath, const QString &shownName,
                       const ChunkPlanOptions &options = {});
    ~ChunkedFileBuilder();
    ChunkedFileBuilder(const ChunkedFileBuilder &) = delete;
    ChunkedFileBuilder &operator=(const ChunkedFileBuilder &) = delete;

    // Opens the partial copy (made when missing; never through a link), keeps its whole chunks
    // from the start while each matches its hash, and cuts the rest.
    bool open(QString *error = nullptr);

    // Plans the chunks from where the plan ends up to toChunk (exclusive) from what held
    // (the installed copy's chunks known so far) offers; returns the pieces added.
    QList<ChunkPiece> extendPlan(const OldChunks &held, int toChunk);
    int plannedTo() const { return m_plannedTo; }
    const ChunkIndex &index() const { return m_index; }
    bool planned() const { return m_plannedTo == m_index.chunks.size(); }

    // The piece to do next; nullptr once every piece planned is done (then call finish() if
    // planned()).
    const ChunkPiece *current() const;
    // Bytes of the new file in the partial copy, verified or copied.
    qint64 bytesWritten() const { return m_written; }
    // Bytes of the release file still wanted for the current Fetch piece: [begin, end).
    qint64 rangeBegin() const;
    qint64 rangeEnd() const;

    // Copies the current Copy piece and those right after it, stopping at a Fetch piece, at
    // the end, or once about maxBytes are written.
    bool copy(qint64 maxBytes, QString *error = nullptr);
    // The next bytes of the current Fetch piece, starting at rangeBegin(); more than the
    // piece holds fail, as does a chunk whose bytes do not match its hash.
    bool feed(const char *data, qint64 size, QString *error = nullptr);
    // Once every piece is done: true when the file written has the index's SHA-256.
    bool finish(QString *error = nullptr);

private:
    void hashLater(const std::shared_ptr<Block> &block);
    bool readFailed(const QString &reason, QString *error);
    bool writeFailed(const QString &reason, QString *error);
    void advance(qint64 bytes);

    ChunkIndex m_index;
    ChunkPlanOptions m_options;
    QFile m_installed;
    QFile m_partial;
    QString m_shownName;
    QList<ChunkPiece> m_plan;
    int m_piece = 0;        // in m_plan
    qint64 m_pieceDone = 0; // bytes of the current piece written
    int m_chunk = 0;        // next chunk of the index to write
    int m_plannedTo = 0;    // chunks of the index in m_plan
    qint64 m_written = 0;
    qint64 m_pushedAt = 0;               // bytes handed to the disk's writeback
    QByteArray m_pending;                // fetched bytes of the chunk being received
    bool m_broken = false;               // a failure left the builder unusable
    std::unique_ptr<Sha256> m_fileHash;  // fed by m_hashing only
    std::unique_ptr<Sha256> m_chunkHash; // on the caller's thread
    std::unique_ptr<JobQueue> m_hashing;
    std::unique_ptr<BlockPool> m_blocks;
};
