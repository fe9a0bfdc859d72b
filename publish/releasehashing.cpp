#include "publish/releasehashing.h"

#include "download/chunkscan.h"
#include "download/filehash.h"
#include "download/sha256.h"
#include "files/failure.h"
#include "files/filesystem.h"
#include "publish/releasemanifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Described
{
    UpdateFile file;
    QByteArray index;
    QString error;
};

// One file: its SHA-256 and size, and its chunk index when it is big enough.
void describe(const QString &fullPath, qint64 chunkMinSize, int threads, Described *out,
              std::atomic<qint64> *hashed)
{
    qint64 reported = 0;
    const auto onBlock = [&](qint64 bytes) {
        *hashed += bytes - reported;
        reported = bytes;
        return true;
    };
    if (chunkMinSize > 0 && QFileInfo(fullPath).size() >= chunkMinSize) {
        ChunkScanOptions options;
        options.threads = threads;
        options.progress = onBlock;
        ChunkIndex index;
        if (!scanFileChunks(fullPath, ChunkRule::standard(), options, &index, &out->error))
            return;
        out->file.size = index.fileSize;
        out->file.hash = QString::fromLatin1(index.fileSha256.toHex());
        out->index = chunkIndexDocument(index);
        // Tiny files aside, an index is far below this.
        if (out->index.size() > index.fileSize / 100)
            out->index.clear();
        return;
    }
    Sha256 hash;
    if (!hashFileInto(fullPath, &hash, &out->file.size, onBlock, &out->error))
        return;
    out->file.hash = QString::fromLatin1(finishHex(&hash));
    if (out->file.hash.isEmpty())
        out->error = QStringLiteral("Nao foi possivel ler '%1': falha no calculo do SHA-256")
                         .arg(QDir::toNativeSeparators(fullPath));
}

} // namespace

QString chunkIndexFolder()
{
    return QStringLiteral(".quorvex-chunks");
}

bool describeReleaseFiles(const QString &releaseDir, const QStringList &paths, const QUrl &baseUrl,
                          const ReleaseHashing &how, QList<UpdateFile> *files,
                          ChunkIndexes *indexes, QString *error)
{
    if (!files || !indexes)
        return fail(error, QStringLiteral("No list to fill."));
    const QDir root(releaseDir);
    const int threads = qMax(1, QThread::idealThreadCount());
    std::vector<Described> described(std::size_t(paths.size()));
    std::atomic<int> next{0};
    std::atomic<int> done{0};
    std::atomic<qint64> hashed{0};
    std::atomic<bool> failed{false};
    std::mutex mutex;
    std::condition_variable finished;
    int running = qMin(threads, int(paths.size()));

    // Files are shared out one at a time; a big file also spreads its chunk hashes.
    std::vector<std::thread> workers;
    for (int w = running; w > 0; --w) {
        workers.emplace_back([&] {
            for (int i = next++; i < paths.size() && !failed; i = next++) {
                Described &entry = described[std::size_t(i)];
                describe(root.filePath(paths[i]), how.chunkMinSize, threads, &entry, &hashed);
                failed = failed || !entry.error.isEmpty();
                ++done;
            }
            std::lock_guard<std::mutex> guard(mutex);
            --running;
            finished.notify_one();
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (!finished.wait_for(lock, std::chrono::milliseconds(100),
                                  [&] { return running == 0; })) {
            if (how.progress) {
                lock.unlock();
                how.progress(done, hashed);
                lock.lock();
            }
        }
    }
    for (std::thread &worker : workers)
        worker.join();

    QList<UpdateFile> result;
    ChunkIndexes made;
    for (std::size_t i = 0; i < described.size(); ++i) {
        Described &entry = described[i];
        // The first failure in the listing's order, whichever thread met it first.
        if (!entry.error.isEmpty())
            return fail(error, entry.error);
        entry.file.path = paths[qsizetype(i)];
        entry.file.url = releaseFileUrl(entry.file.path, baseUrl);
        if (!entry.index.isEmpty()) {
            entry.file.chunks.url =
                releaseFileUrl(chunkIndexFolder() + QLatin1Char('/') + entry.file.hash, baseUrl);
            entry.file.chunks.size = entry.index.size();
            entry.file.chunks.hash = QString::fromLatin1(
                QCryptographicHash::hash(entry.index, QCryptographicHash::Sha256).toHex());
            made.insert(entry.file.hash, entry.index);
        }
        result.append(entry.file);
    }
    if (failed)
        return fail(error, QStringLiteral("Hashing stopped."));
    *files = result;
    *indexes = made;
    return true;
}

bool writeChunkIndexes(const QString &releaseDir, const ChunkIndexes &indexes, QString *error)
{
    if (indexes.isEmpty())
        return true;
    const QString folder = QDir(releaseDir).filePath(chunkIndexFolder());
    const QString shown = QDir::toNativeSeparators(folder);
    // Through a link, the indexes would land wherever it points.
    const fsys::EntryKind kind = fsys::entryKind(folder);
    if (kind != fsys::EntryKind::Missing && kind != fsys::EntryKind::Folder)
        return fail(
            error,
            QStringLiteral("Cannot write chunk indexes: %1 is a link or not a folder.").arg(shown));
    if (!QDir().mkpath(folder))
        return fail(error, QStringLiteral("Cannot create %1.").arg(shown));
    for (auto it = indexes.cbegin(); it != indexes.cend(); ++it) {
        const QString path = folder + QLatin1Char('/') + it.key();
        QByteArray existing;
        // Named by content: the same bytes stay as they are, for caches that keep them.
        if (fsys::readRegularFile(path, it.value().size(), &existing) && existing == it.value())
            continue;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size() ||
            !file.commit())
            return fail(error, QStringLiteral("Cannot write %1: %2")
                                   .arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    return true;
}
