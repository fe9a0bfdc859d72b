#include "download/chunkscan.h"

#include "download/blockqueue.h"
#include "download/sha256.h"
#include "files/failure.h"
#include "files/filesystem.h"

#include <QDir>
#include <QFile>
#include <QThread>

#include <atomic>

namespace {

constexpr qsizetype BlockBytes = 1024 * 1024;

struct Piece
{
    BlockRef block;
    qsizetype from = 0;
    qsizetype length = 0;
};

struct OpenChunk
{
    qint64 offset = 0;
    qint64 length = 0;
    std::vector<Piece> pieces;
};

// The chunks that ended in one block, hashed by one job.
struct Batch
{
    std::vector<OpenChunk> chunks;
    std::vector<QByteArray> hashes;
    std::atomic<bool> hashed{false};
};

QByteArray digestOf(Sha256 &hash)
{
    std::uint8_t digest[Sha256::DigestSize];
    if (!hash.finish(digest))
        return {};
    return QByteArray(reinterpret_cast<const char *>(digest), qsizetype(Sha256::DigestSize));
}

void hashBatch(Batch *batch, std::atomic<bool> *failed)
{
    Sha256 hash;
    for (OpenChunk &chunk : batch->chunks) {
        hash.restart();
        for (const Piece &piece : chunk.pieces)
            hash.update(piece.block->bytes.constData() + piece.from, std::size_t(piece.length));
        batch->hashes.push_back(digestOf(hash));
        if (batch->hashes.back().isEmpty())
            *failed = true;
        // Done with these bytes: let their blocks go back as early as possible.
        chunk.pieces.clear();
    }
    batch->hashed = true;
}

QString readError(const QString &path, const QString &reason)
{
    return QStringLiteral("Nao foi possivel ler '%1': %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

} // namespace

bool scanFileChunks(const QString &path, const ChunkRule &rule, const ChunkScanOptions &options,
                    ChunkIndex *index, QString *error)
{
    if (!rule.isSupported())
        return fail(error, readError(path, QStringLiteral("regra de corte desconhecida")));
    // A pipe or a device would block the read or never end.
    if (fsys::entryKind(path) != fsys::EntryKind::File)
        return fail(error, readError(path, QStringLiteral("nao e um arquivo comum")));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(error, readError(path, file.errorString()));

    const int threads = options.threads > 0 ? options.threads : QThread::idealThreadCount();
    // Enough blocks for a chunk of the largest size, and for every worker to have one.
    BlockPool pool(int(rule.maxSize / BlockBytes) + 2 * threads + 8, BlockBytes);
    std::atomic<bool> failed{false};
    Sha256 fileHash;
    std::vector<std::shared_ptr<Batch>> batches;
    std::size_t told = 0; // batches handed to options.found
    const auto tell = [&](bool all) {
        for (; options.found && told < batches.size() && (all || batches[told]->hashed); ++told) {
            const Batch &batch = *batches[told];
            std::vector<Chunk> chunks;
            for (std::size_t i = 0; i < batch.chunks.size(); ++i)
                chunks.push_back(
                    Chunk{batch.chunks[i].offset, batch.chunks[i].length, batch.hashes[i]});
            options.found(chunks);
        }
    };
    qint64 total = 0;
    bool stopped = false;
    QString readFailure;
    {
        JobQueue chunkJobs(threads);
        // One worker: the file's blocks reach its hash in order.
        JobQueue fileJobs(options.fileSha256 ? 1 : 0);
        Chunker chunker(rule);
        OpenChunk open;
        for (;;) {
            BlockRef block = pool.take();
            const qint64 n = file.read(block->bytes.data(), BlockBytes);
            if (n < 0) {
                readFailure = file.errorString();
                break;
            }
            if (n == 0)
                break;
            block->used = qsizetype(n);
            auto batch = std::make_shared<Batch>();
            const auto *bytes = reinterpret_cast<const std::uint8_t *>(block->bytes.constData());
            for (qsizetype at = 0; at < block->used;) {
                bool cut = false;
                const qsizetype taken =
                    qsizetype(chunker.next(bytes + at, std::size_t(block->used - at), &cut));
                open.pieces.push_back(Piece{block, at, taken});
                open.length += taken;
                at += taken;
                if (cut) {
                    const qint64 next = open.offset + open.length;
                    batch->chunks.push_back(std::move(open));
                    open = OpenChunk{next, 0, {}};
                }
            }
            if (!batch->chunks.empty()) {
                batches.push_back(batch);
                chunkJobs.push([batch, &failed] { hashBatch(batch.get(), &failed); });
            }
            if (options.fileSha256)
                fileJobs.push([block, &fileHash] {
                    fileHash.update(block->bytes.constData(), std::size_t(block->used));
                });
            total += n;
            tell(false);
            if (options.progress && !options.progress(total)) {
                stopped = true;
                break;
            }
        }
        if (open.length > 0 && readFailure.isEmpty() && !stopped) {
            auto batch = std::make_shared<Batch>();
            batch->chunks.push_back(std::move(open));
            batches.push_back(batch);
            chunkJobs.push([batch, &failed] { hashBatch(batch.get(), &failed); });
        }
        open.pieces.clear();
        chunkJobs.finish();
        fileJobs.finish();
    }
    if (!readFailure.isEmpty())
        return fail(error, readError(path, readFailure));
    if (!stopped && !failed)
        tell(true);
    if (stopped)
        return fail(error, readError(path, QStringLiteral("leitura interrompida")));

    ChunkIndex scanned;
    scanned.rule = rule;
    scanned.fileSize = total;
    if (options.fileSha256)
        scanned.fileSha256 = digestOf(fileHash);
    for (const std::shared_ptr<Batch> &batch : batches) {
        for (std::size_t i = 0; i < batch->chunks.size(); ++i)
            scanned.chunks.append(
                Chunk{batch->chunks[i].offset, batch->chunks[i].length, batch->hashes[i]});
    }
    if (failed || (options.fileSha256 && scanned.fileSha256.isEmpty()))
        return fail(error, readError(path, QStringLiteral("falha no calculo do SHA-256")));
    if (index)
        *index = scanned;
    return true;
}
