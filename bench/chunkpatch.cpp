// The updater's side of a patch by chunks, without the network, for bench/chunk-index:
//   bench_chunkpatch INSTALLED INDEX RELEASE_FILE PARTIAL
// scans INSTALLED, plans against INDEX and builds PARTIAL, taking the ranges to fetch from
// RELEASE_FILE as if they came from the server. Prints key=value lines.
#include "download/chunkbuilder.h"
#include "download/chunkscan.h"

#include <QElapsedTimer>
#include <QFile>

#include <cstdio>

namespace {

int failed(const QString &error)
{
    std::fprintf(stderr, "%s\n", qPrintable(error));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 5)
        return failed(QStringLiteral("usage: bench_chunkpatch INSTALLED INDEX RELEASE PARTIAL"));
    const QString installed = QString::fromLocal8Bit(argv[1]);
    QFile indexFile(QString::fromLocal8Bit(argv[2]));
    QFile release(QString::fromLocal8Bit(argv[3]));
    ChunkIndex index;
    QString error;
    if (!indexFile.open(QIODevice::ReadOnly) || !release.open(QIODevice::ReadOnly) ||
        !parseChunkIndex(indexFile.readAll(), &index, &error))
        return failed(QStringLiteral("cannot read the index or the release file ") + error);

    QElapsedTimer timer;
    timer.start();
    ChunkIndex held;
    ChunkScanOptions options;
    options.fileSha256 = false;
    if (!scanFileChunks(installed, ChunkRule::standard(), options, &held, &error))
        return failed(error);
    const qint64 scanned = timer.nsecsElapsed();

    ChunkedFileBuilder builder(index, installed, QString::fromLocal8Bit(argv[4]),
                               QStringLiteral("bench"));
    if (!builder.open(&error))
        return failed(error);
    builder.extendPlan(oldChunkMap(held), int(index.chunks.size()));
    qint64 fetched = 0;
    while (const ChunkPiece *piece = builder.current()) {
        if (piece->kind == ChunkPiece::Copy) {
            if (!builder.copy(64 << 20, &error))
                return failed(error);
            continue;
        }
        release.seek(builder.rangeBegin());
        const QByteArray range = release.read(builder.rangeEnd() - builder.rangeBegin());
        fetched += range.size();
        if (!builder.feed(range.constData(), range.size(), &error))
            return failed(error);
    }
    if (!builder.finish(&error))
        return failed(error);
    std::printf("scan_seconds=%.3f\nbuild_seconds=%.3f\nfetched=%lld\n", double(scanned) / 1e9,
                double(timer.nsecsElapsed() - scanned) / 1e9, fetched);
    return 0;
}
