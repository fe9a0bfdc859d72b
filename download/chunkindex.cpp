#include "download/chunkindex.h"

#include "files/failure.h"

#include <QtEndian>

namespace {

constexpr char Magic[] = "QVXCHNK1";
constexpr qsizetype MagicBytes = 8;
constexpr qsizetype HashBytes = 32;

void append32(QByteArray *out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out->append(bytes, 4);
}

quint32 read32(const char *at)
{
    return qFromLittleEndian<quint32>(at);
}

QString refused(const char *reason)
{
    return QStringLiteral("Indice de trechos invalido: %1.").arg(QLatin1String(reason));
}

} // namespace

bool ChunkIndex::describes(qint64 size, const QString &sha256Hex) const
{
    return size == fileSize && fileSha256.size() == HashBytes &&
           QString::fromLatin1(fileSha256.toHex()) == sha256Hex.trimmed().toLower();
}

QByteArray chunkIndexDocument(const ChunkIndex &index)
{
    QByteArray out;
    out.reserve(qsizetype(ChunkIndexHeaderBytes + ChunkIndexRecordBytes * index.chunks.size()));
    out.append(Magic, MagicBytes);
    for (const quint32 value :
         {index.rule.gear, index.rule.minSize, index.rule.averageSize, index.rule.maxSize})
        append32(&out, value);
    char size[8];
    qToLittleEndian(quint64(index.fileSize), size);
    out.append(size, 8);
    out.append(index.fileSha256.leftJustified(HashBytes, '\0', true));
    append32(&out, quint32(index.chunks.size()));
    for (const Chunk &chunk : index.chunks) {
        append32(&out, quint32(chunk.length));
        out.append(chunk.sha256.leftJustified(HashBytes, '\0', true));
    }
    return out;
}

bool parseChunkIndex(const QByteArray &data, ChunkIndex *index, QString *error)
{
    if (data.size() < ChunkIndexHeaderBytes || data.size() > MaxChunkIndexBytes)
        return fail(error, refused("tamanho fora do limite"));
    const char *bytes = data.constData();
    if (!data.startsWith(QByteArray::fromRawData(Magic, MagicBytes)))
        return fail(error, refused("formato desconhecido"));

    ChunkIndex parsed;
    parsed.rule =
        ChunkRule{read32(bytes + 8), read32(bytes + 12), read32(bytes + 16), read32(bytes + 20)};
    const ChunkRule &rule = parsed.rule;
    if (rule.minSize < 1 || rule.minSize > rule.averageSize || rule.averageSize > rule.maxSize ||
        rule.maxSize > 64u * 1024 * 1024)
        return fail(error, refused("regra de corte sem sentido"));
    const quint64 fileSize = qFromLittleEndian<quint64>(bytes + 24);
    parsed.fileSha256 = data.mid(32, HashBytes);
    const quint32 count = read32(bytes + 64);
    // The count must match the bytes exactly: no record missing, nothing after the last.
    if (count != quint64(data.size() - ChunkIndexHeaderBytes) / ChunkIndexRecordBytes ||
        (data.size() - ChunkIndexHeaderBytes) % ChunkIndexRecordBytes != 0)
        return fail(error, refused("numero de trechos nao confere"));

    parsed.fileSize = qint64(fileSize);
    parsed.chunks.reserve(qsizetype(count));
    qint64 offset = 0;
    for (quint32 i = 0; i < count; ++i) {
        const char *record = bytes + ChunkIndexHeaderBytes + qint64(i) * ChunkIndexRecordBytes;
        const quint32 length = read32(record);
        const bool last = i + 1 == count;
        if (length > rule.maxSize || length == 0 || (!last && length < rule.minSize))
            return fail(error, refused("trecho fora dos limites da regra"));
        parsed.chunks.append(Chunk{offset, qint64(length), QByteArray(record + 4, HashBytes)});
        offset += length;
        if (offset > parsed.fileSize)
            return fail(error, refused("trechos nao somam o tamanho do arquivo"));
    }
    if (offset != parsed.fileSize)
        return fail(error, refused("trechos nao somam o tamanho do arquivo"));
    if (index)
        *index = parsed;
    return true;
}
