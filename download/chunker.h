#pragma once

// Content-defined chunk boundaries: a gear rolling hash over the bytes of a chunk decides
// where it ends, so an insertion or a deletion moves only the boundaries around it and every
// chunk after them is found again at its new place.
//
//     Chunker chunker;                              // ChunkRule::standard()
//     while (more blocks) {
//         const std::uint8_t *p = block; std::size_t left = blockSize;
//         while (left > 0) {
//             bool cut = false;
//             const std::size_t n = chunker.next(p, left, &cut);
//             // the n bytes at p belong to the current chunk; when cut, that chunk ends there
//             p += n; left -= n;
//         }
//     }
//     // at the end of the stream, a chunk left open (chunker.pending() > 0) is the last one
//
// The result depends only on the bytes, never on how they are split into blocks, and is the
// same on every platform.

#include <cstddef>
#include <cstdint>

// Which boundary rule cut a file. Recorded in every chunk index: an index made by another
// rule cannot be matched against chunks cut by this one.
struct ChunkRule
{
    std::uint32_t gear = 1; // gear table and mask layout
    std::uint32_t minSize = 16 * 1024;
    std::uint32_t averageSize = 64 * 1024;
    std::uint32_t maxSize = 256 * 1024;

    static ChunkRule standard() { return ChunkRule(); }
    // A rule this build can cut by.
    bool isSupported() const;
    friend bool operator==(const ChunkRule &a, const ChunkRule &b)
    {
        return a.gear == b.gear && a.minSize == b.minSize && a.averageSize == b.averageSize &&
               a.maxSize == b.maxSize;
    }
    friend bool operator!=(const ChunkRule &a, const ChunkRule &b) { return !(a == b); }
};

class Chunker
{
public:
    // rule must be supported; the standard rule is.
    explicit Chunker(const ChunkRule &rule = ChunkRule::standard());

    // How many of the size bytes at data belong to the current chunk; cut is set when the
    // chunk ends after them (the next call starts a new chunk).
    std::size_t next(const std::uint8_t *data, std::size_t size, bool *cut);
    // Bytes of the current, still open chunk.
    std::size_t pending() const { return m_length; }

private:
    std::size_t m_min;
    std::size_t m_normal;
    std::size_t m_max;
    std::uint64_t m_strictMask;
    std::uint64_t m_looseMask;
    std::size_t m_length = 0;
    std::uint64_t m_hash = 0;
};
