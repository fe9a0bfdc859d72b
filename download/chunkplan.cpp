#include "download/chunkplan.h"

#include <vector>

namespace {

// The old chunk that holds this one's bytes, if any: same SHA-256 and same length.
const OldChunk *heldChunk(const OldChunks &old, const Chunk &chunk)
{
    const auto found = old.constFind(chunk.sha256);
    return found != old.constEnd() && found->length == chunk.length ? &found.value() : nullptr;
}

} // namespace

OldChunks oldChunkMap(const ChunkIndex &old)
{
    OldChunks map;
    map.reserve(old.chunks.size());
    for (const Chunk &chunk : old.chunks) {
        if (!map.contains(chunk.sha256))
            map.insert(chunk.sha256, OldChunk{chunk.offset, chunk.length});
    }
    return map;
}

QList<ChunkPiece> planChunkedFile(const ChunkIndex &index, const OldChunks &old, int fromChunk,
                                  const ChunkPlanOptions &options, int toChunk)
{
    const int count = toChunk < 0 ? int(index.chunks.size()) : toChunk;
    std::vector<const OldChunk *> held(std::size_t(count), nullptr);
    for (int i = fromChunk; i < count; ++i)
        held[std::size_t(i)] = heldChunk(old, index.chunks[i]);
    const auto length = [&](int i) {
        return index.chunks[i].length;
    };

    // A held run between two missing runs is fetched when it is short and no longer than the
    // missing run before it: each joined byte is paid for by a missing byte, so at most twice
    // the missing bytes are fetched.
    qint64 missingBefore = 0;
    for (int i = fromChunk; i < count;) {
        const bool missing = held[std::size_t(i)] == nullptr;
        const int start = i;
        qint64 bytes = 0;
        while (i < count && (held[std::size_t(i)] == nullptr) == missing)
            bytes += length(i++);
        if (missing) {
            missingBefore = bytes;
        } else if (i < count && missingBefore > 0 && bytes <= options.maxGapBytes &&
                   bytes <= missingBefore) {
            for (int j = start; j < i; ++j)
                held[std::size_t(j)] = nullptr;
        }
    }

    QList<ChunkPiece> plan;
    for (int i = fromChunk; i < count;) {
        ChunkPiece piece;
        piece.kind = held[std::size_t(i)] ? ChunkPiece::Copy : ChunkPiece::Fetch;
        piece.firstChunk = i;
        piece.offset = index.chunks[i].offset;
        if (piece.kind == ChunkPiece::Copy)
            piece.sourceOffset = held[std::size_t(i)]->offset;
        // Copies join only where the old file holds the chunks in the same order.
        const auto continues = [&](int j) {
            const OldChunk *source = held[std::size_t(j)];
            if ((source != nullptr) != (piece.kind == ChunkPiece::Copy) ||
                piece.length + length(j) > options.maxRangeBytes)
                return false;
            return !source || source->offset == piece.sourceOffset + piece.length;
        };
        do {
            piece.length += length(i++);
        } while (i < count && continues(i));
        piece.chunkCount = i - piece.firstChunk;
        plan.append(piece);
    }
    return plan;
}

qint64 fetchedBytes(const QList<ChunkPiece> &plan)
{
    qint64 total = 0;
    for (const ChunkPiece &piece : plan) {
        if (piece.kind == ChunkPiece::Fetch)
            total += piece.length;
    }
    return total;
}
