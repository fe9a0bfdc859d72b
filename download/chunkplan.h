#pragma once

// How to make a new file from the chunks an old copy already holds and ranges of the new
// file fetched from its release: a list of pieces in the new file's order, each either a copy
// from the old file or one range to fetch.
//
//     const OldChunks held = oldChunkMap(installedIndex);      // from scanFileChunks
//     const QList<ChunkPiece> plan = planChunkedFile(newIndex, held);
//     fetchedBytes(plan);                                       // what the patch costs
//
// Neighbouring missing chunks make one range; a short run of held chunks between two missing
// runs is fetched too, to save a request, but only while that keeps the bytes fetched at most
// twice the missing bytes. No range spans more than ChunkPlanOptions::maxRangeBytes.

#include "download/chunkindex.h"

#include <QHash>
#include <QList>

struct OldChunk
{
    qint64 offset = 0;
    qint64 length = 0;
};
// The chunks of an old file by their SHA-256 (raw); the first of equal chunks stands for all.
using OldChunks = QHash<QByteArray, OldChunk>;

OldChunks oldChunkMap(const ChunkIndex &old);

struct ChunkPiece
{
    enum Kind
    {
        Copy, // length bytes from the old file at sourceOffset
        Fetch // bytes [offset, offset + length) of the new file, from its release
    };
    Kind kind = Fetch;
    int firstChunk = 0; // chunks [firstChunk, firstChunk + chunkCount) of the new file's index
    int chunkCount = 0;
    qint64 offset = 0; // in the new file
    qint64 length = 0;
    qint64 sourceOffset = 0; // Copy only
};

struct ChunkPlanOptions
{
    qint64 maxGapBytes = 64 * 1024;         // held bytes fetched to join two ranges, at most
    qint64 maxRangeBytes = 4 * 1024 * 1024; // bytes of one piece, at most (a chunk is never cut)
};

// Pieces for chunks [fromChunk, toChunk) of index (toChunk -1: to the end), in order, covering
// them exactly.
QList<ChunkPiece> planChunkedFile(const ChunkIndex &index, const OldChunks &old, int fromChunk = 0,
                                  const ChunkPlanOptions &options = {}, int toChunk = -1);

// The bytes the Fetch pieces of plan ask for.
qint64 fetchedBytes(const QList<ChunkPiece> &plan);
