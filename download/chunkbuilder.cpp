#include "download/chunkbuilder.h"

#include "download/blockqueue.h"
#include "download/sha256.h"
#include "files/failure.h"
#include "files/filesystem.h"

#include <QDir>

namespace {

constexpr qsizetype CopyBlockBytes = 1024 * 1024;
// The disk writes a large copy back while it is being made, not all of it at the final sync.
constexpr qint64 WritebackBytes = 8 * 1024 * 1024;

QByteArray digestOf(Sha256 &hash)
{
    std::uint8_t digest[Sha256::DigestSize];
    if (!hash.finish(digest))
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), qsizetype(Sha256::DigestSize));
}

QByteArray sha256Of(Sha256 &hash, const char *data, qint64 size)
{
    hash.restart();
    hash.update(data, std::size_t(size));
    return digestOf(hash);
}

} // namespace

ChunkedFileBuilder::ChunkedFileBuilder(const ChunkIndex &index, const QString &installedPath,
                                       const QString &partialPath, const QString &shownName,
                                       const ChunkPlanOptions &options)
    : m_index(index), m_options(options), m_installed(installedPath), m_partial(partialPath),
      m_shownName(QDir::toNativeSeparators(shownName)), m_fileHash(std::make_unique<Sha256>()),
      m_chunkHash(std::make_unique<Sha256>()), m_hashing(std::make_unique<JobQueue>(1)),
      m_blocks(std::make_unique<BlockPool>(
          4, qMax<qsizetype>(CopyBlockBytes, qsizetype(index.rule.maxSize))))
{}

ChunkedFileBuilder::~ChunkedFileBuilder()
{
    // Jobs still queued hold blocks and the file's hash: let them end first.
    m_hashing->finish();
}

bool ChunkedFileBuilder::open(QString *error)
{
    QString reason;
    if (!fsys::openOwnFile(&m_partial, QIODevice::ReadWrite, &reason))
        return writeFailed(reason, error);
    // A pipe or a device would block the reads.
    if (fsys::entryKind(m_installed.fileName()) != fsys::EntryKind::File)
        return readFailed(QStringLiteral("nao e um arquivo comum"), error);
    if (!m_installed.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return readFailed(m_installed.errorString(), error);

    // What an earlier run left counts up to its last whole chunk that still matches.
    const qint64 held = m_partial.size();
    qint64 kept = 0;
    int chunk = 0;
    for (; chunk < m_index.chunks.size(); ++chunk) {
        const Chunk &next = m_index.chunks[chunk];
        if (kept + next.length > held)
            break;
        BlockRef block = m_blocks->take();
        if (m_partial.read(block->bytes.data(), next.length) != next.length ||
            sha256Of(*m_chunkHash, block->bytes.constData(), next.length) != next.sha256)
            break;
        block->used = qsizetype(next.length);
        hashLater(block);
        kept += next.length;
    }
    if (!m_partial.resize(kept) || !m_partial.seek(kept))
        return writeFailed(m_partial.errorString(), error);
    m_written = kept;
    m_pushedAt = kept;
    m_chunk = chunk;
    m_plannedTo = chunk;
    return true;
}

QList<ChunkPiece> ChunkedFileBuilder::extendPlan(const OldChunks &held, int toChunk)
{
    toChunk = qMin(toChunk, int(m_index.chunks.size()));
    if (toChunk <= m_plannedTo)
        return {};
    const QList<ChunkPiece> added = planChunkedFile(m_index, held, m_plannedTo, m_options, toChunk);
    m_plan.append(added);
    m_plannedTo = toChunk;
    return added;
}

const ChunkPiece *ChunkedFileBuilder::current() const
{
    return m_piece < m_plan.size() ? &m_plan[m_piece] : nullptr;
}

qint64 ChunkedFileBuilder::rangeBegin() const
{
    const ChunkPiece *piece = current();
    return piece ? piece->offset + m_pieceDone + m_pending.size() : m_index.fileSize;
}

qint64 ChunkedFileBuilder::rangeEnd() const
{
    const ChunkPiece *piece = current();
    return piece ? piece->offset + piece->length : m_index.fileSize;
}

bool ChunkedFileBuilder::copy(qint64 maxBytes, QString *error)
{
    qint64 copied = 0;
    for (const ChunkPiece *piece = current();
         !m_broken && piece && piece->kind == ChunkPiece::Copy && copied < maxBytes;
         piece = current()) {
        const qint64 want = qMin<qint64>(CopyBlockBytes, piece->length - m_pieceDone);
        BlockRef block = m_blocks->take();
        if (!m_installed.seek(piece->sourceOffset + m_pieceDone) ||
            m_installed.read(block->bytes.data(), want) != want)
            return readFailed(QStringLiteral("o arquivo mudou durante o update"), error);
        block->used = qsizetype(want);
        if (m_partial.write(block->bytes.constData(), want) != want)
            return writeFailed(m_partial.errorString(), error);
        hashLater(block);
        copied += want;
        advance(want);
        if (m_written - m_pushedAt >= WritebackBytes && m_partial.flush()) {
            fsys::writeBehind(m_partial, m_pushedAt, m_written - m_pushedAt);
            m_pushedAt = m_written;
        }
    }
    return !m_broken || fail(error, QStringLiteral("Falha anterior em '%1'.").arg(m_shownName));
}

bool ChunkedFileBuilder::feed(const char *data, qint64 size, QString *error)
{
    const ChunkPiece *piece = current();
    if (m_broken || !piece || piece->kind != ChunkPiece::Fetch ||
        size > rangeEnd() - rangeBegin()) {
        m_broken = true;
        return fail(error,
                    QStringLiteral("Resposta fora do trecho pedido de '%1'.").arg(m_shownName));
    }
    m_pending.append(data, qsizetype(size));
    while (m_chunk < m_index.chunks.size() && m_pending.size() >= m_index.chunks[m_chunk].length) {
        const Chunk &chunk = m_index.chunks[m_chunk];
        const QByteArray bytes = m_pending.left(qsizetype(chunk.length));
        if (sha256Of(*m_chunkHash, bytes.constData(), bytes.size()) != chunk.sha256) {
            m_broken = true;
            m_pending.clear();
            return fail(error, QStringLiteral("Hash invalido em um trecho de '%1' (bytes %2 a %3).")
                                   .arg(m_shownName, QString::number(chunk.offset),
                                        QString::number(chunk.offset + chunk.length - 1)));
        }
        if (m_partial.write(bytes) != bytes.size())
            return writeFailed(m_partial.errorString(), error);
        m_hashing->push([this, bytes] { m_fileHash->update(bytes.constData(), bytes.size()); });
        m_pending.remove(0, bytes.size());
        ++m_chunk;
        advance(chunk.length);
    }
    return true;
}

bool ChunkedFileBuilder::finish(QString *error)
{
    if (m_broken || current())
        return fail(error, QStringLiteral("Arquivo '%1' incompleto.").arg(m_shownName));
    m_hashing->finish();
    const QByteArray digest = digestOf(*m_fileHash);
    if (!m_partial.flush())
        return writeFailed(m_partial.errorString(), error);
    m_partial.close();
    m_broken = true; // the hash is spent
    if (digest.isEmpty() || digest != m_index.fileSha256)
        return fail(error, QStringLiteral("Hash invalido para '%1'. Esperado %2, recebido %3.")
                               .arg(m_shownName, QString::fromLatin1(m_index.fileSha256.toHex()),
                                    QString::fromLatin1(digest.toHex())));
    return true;
}

void ChunkedFileBuilder::hashLater(const BlockRef &block)
{
    m_hashing->push(
        [this, block] { m_fileHash->update(block->bytes.constData(), std::size_t(block->used)); });
}

void ChunkedFileBuilder::advance(qint64 bytes)
{
    m_written += bytes;
    m_pieceDone += bytes;
    const ChunkPiece &piece = m_plan[m_piece];
    if (m_pieceDone == piece.length) {
        m_chunk = piece.firstChunk + piece.chunkCount;
        m_pieceDone = 0;
        ++m_piece;
    }
}

bool ChunkedFileBuilder::readFailed(const QString &reason, QString *error)
{
    m_broken = true;
    return fail(error, QStringLiteral("Nao foi possivel ler '%1': %2")
                           .arg(QDir::toNativeSeparators(m_installed.fileName()), reason));
}

bool ChunkedFileBuilder::writeFailed(const QString &reason, QString *error)
{
    m_broken = true;
    return fail(error, QStringLiteral("Nao foi possivel gravar '%1': %2").arg(m_shownName, reason));
}
