#pragma once

// The chunk index of a release file: the boundary rule that cut it, the file's size and
// SHA-256, and each chunk's length and SHA-256, in file order. Published as a static file
// named by the file's SHA-256; the manifest pins its size and SHA-256.
//
// Binary, little-endian:
//     8   magic "QVXCHNK1"
//     4   rule: gear        4  rule: minimum size
//     4   rule: average     4  rule: maximum size
//     8   file size
//     32  file SHA-256
//     4   chunk count n
//     n x (4 chunk length, 32 chunk SHA-256)
// 68 + 36 n bytes: about 0.06 % of the file with the standard rule.

#include "download/chunker.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct Chunk
{
    qint64 offset = 0; // in the file
    qint64 length = 0;
    QByteArray sha256; // 32 raw bytes
};

struct ChunkIndex
{
    ChunkRule rule;
    qint64 fileSize = 0;
    QByteArray fileSha256; // 32 raw bytes
    QList<Chunk> chunks;   // in file order, offsets adding up

    // True when this index describes the file a manifest lists (sha256Hex: its "hash").
    bool describes(qint64 size, const QString &sha256Hex) const;
};

// The largest index any file may have: the parser refuses more.
constexpr qint64 MaxChunkIndexBytes = 64 * 1024 * 1024;
constexpr qint64 ChunkIndexHeaderBytes = 68;
constexpr qint64 ChunkIndexRecordBytes = 36;

QByteArray chunkIndexDocument(const ChunkIndex &index);

// Strict: refuses a wrong magic, a rule that makes no sense, a chunk list that does not add
// up to the file size, a chunk outside the rule's minimum and maximum (only the last may be
// shorter), a count that does not match the bytes, and trailing bytes. Whether the rule is
// the one this build cuts by is the caller's question (index.rule == ChunkRule::standard()).
// On failure index is left as it was.
bool parseChunkIndex(const QByteArray &data, ChunkIndex *index, QString *error = nullptr);
