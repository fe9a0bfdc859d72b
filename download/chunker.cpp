#include "download/chunker.h"

#include <algorithm>
#include <array>

namespace {

// The hash covers the last 64 bytes: hashing starts that far before the minimum size, so the
// first boundary test already sees a full window and depends on nothing older.
constexpr std::size_t Window = 64;

// splitmix64 from a fixed seed: the same table on every compiler and platform. Changing it
// changes every boundary, and must come with a new ChunkRule::gear.
constexpr std::array<std::uint64_t, 256> gearTable()
{
    std::array<std::uint64_t, 256> table{};
    std::uint64_t state = 0x51756f7276657831ULL;
    for (std::uint64_t &entry : table) {
        state += 0x9e3779b97f4a7c15ULL;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        entry = z ^ (z >> 31);
    }
    return table;
}

constexpr std::array<std::uint64_t, 256> Gear = gearTable();

int log2Floor(std::uint32_t value)
{
    int bits = 0;
    while (value >>= 1)
        ++bits;
    return bits;
}

// The top bits: after the shift they depend on the whole window, the low bits on its end only.
std::uint64_t topBits(int count)
{
    return ~std::uint64_t(0) << (64 - count);
}

} // namespace

bool ChunkRule::isSupported() const
{
    return gear == 1 && minSize >= 2 * Window && minSize <= averageSize && averageSize <= maxSize &&
           maxSize <= 64u * 1024 * 1024 && log2Floor(averageSize) >= 8;
}

Chunker::Chunker(const ChunkRule &rule)
    : m_min(rule.minSize),
      m_normal(std::max(rule.minSize, rule.averageSize - rule.minSize * 3 / 4)), m_max(rule.maxSize)
{
    // Normalized chunking: a stricter test up to a point below the average size and a looser
    // one after it gather the sizes around the average (the point takes the skipped minimum
    // into account, so that they average about averageSize).
    const int bits = log2Floor(rule.averageSize);
    m_strictMask = topBits(bits + 2);
    m_looseMask = topBits(bits - 2);
}

std::size_t Chunker::next(const std::uint8_t *data, std::size_t size, bool *cut)
{
    *cut = false;
    std::size_t i = 0;
    std::size_t length = m_length;
    std::uint64_t hash = m_hash;

    // Below the minimum no boundary can fall: those bytes are not even hashed.
    const std::size_t hashFrom = m_min - Window;
    if (length < hashFrom) {
        const std::size_t skip = std::min(size, hashFrom - length);
        i += skip;
        length += skip;
    }
    for (; i < size && length < m_min; ++i, ++length)
        hash = (hash << 1) + Gear[data[i]];

    const auto scan = [&](std::size_t limit, std::uint64_t mask) {
        const std::size_t end = i + std::min(size - i, limit - std::min(limit, length));
        for (; i < end; ++i) {
            hash = (hash << 1) + Gear[data[i]];
            if ((hash & mask) == 0) {
                ++i;
                return true;
            }
        }
        return false;
    };
    const std::size_t start = i;
    bool found = scan(m_normal, m_strictMask);
    length += i - start;
    if (!found) {
        const std::size_t loose = i;
        found = scan(m_max, m_looseMask);
        length += i - loose;
    }
    if (found || length == m_max) {
        *cut = true;
        m_length = 0;
        m_hash = 0;
        return i;
    }
    m_length = length;
    m_hash = hash;
    return i;
}
