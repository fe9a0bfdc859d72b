#pragma once

// Cuts a file into chunks by a boundary rule in one read, with each chunk's SHA-256 and,
// when asked, the whole file's. The calling thread reads and finds the boundaries; chunk
// hashes run on worker threads, the file's hash on one more, so the work spreads over
// every core while the bytes are read once. Memory stays bounded (a few MiB of blocks in
// flight), whatever the file's size.
//
// Blocks: call it off the GUI thread (runOffThread). The publisher uses it to make a chunk
// index; the updater to learn which chunks an installed file already holds:
//
//     ChunkIndex installed;
//     ChunkScanOptions options;
//     options.fileSha256 = false;         // only the chunks are needed
//     options.progress = [&](qint64 bytes) { /* post to the GUI thread */ return !cancelled; };
//     bool ok = false;
//     runOffThread([&] {
//         ok = scanFileChunks(path, ChunkRule::standard(), options, &installed, &error);
//     });
//     // then oldChunkMap(installed) (chunkplan.h) tells which chunks it already holds

#include "download/chunkindex.h"

#include <QString>

#include <functional>
#include <vector>

struct ChunkScanOptions
{
    bool fileSha256 = true; // also the whole file's SHA-256 into ChunkIndex::fileSha256
    int threads = 0;        // threads hashing chunks; 0: one per core
    // Called on the calling thread after each block with the bytes read so far; answering
    // false stops the scan, which then fails.
    std::function<bool(qint64)> progress;
    // Called on the calling thread with chunks as soon as they and every chunk before them are
    // hashed, in file order: a caller may act on the start of a file while the rest is read.
    std::function<void(const std::vector<Chunk> &)> found;
};

// rule must be supported. On failure (the file cannot be read, is not a regular file, or the
// scan was stopped) index is left as it was and error says why.
bool scanFileChunks(const QString &path, const ChunkRule &rule, const ChunkScanOptions &options,
                    ChunkIndex *index, QString *error = nullptr);
