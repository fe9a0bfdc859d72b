#include "download/chunkedfile.h"

#include "download/blockqueue.h"
#include "download/chunkbuilder.h"
#include "download/chunkscan.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>

namespace {

// A step of copying between two looks at whether to stop: short, so that stopping never keeps
// the GUI thread waiting long.
constexpr qint64 CopyStepBytes = 4 * 1024 * 1024;
// Ranges cost more than one stream (requests, a check per chunk): a file whose copy holds
// about nothing of it is fetched whole.
constexpr qint64 WorthPercent = 90;

} // namespace

ChunkedFile::ChunkedFile(const UpdateFile &file, const StagingPaths &paths, const QString &appDir,
                         const QString &installed, std::unique_ptr<ChunkedFileBuilder> builder,
                         QObject *parent)
    : QObject(parent), m_file(file), m_paths(paths), m_appDir(appDir), m_installed(installed),
      m_builder(std::move(builder)), m_kept(m_builder->bytesWritten())
{
    const QList<Chunk> &chunks = m_builder->index().chunks;
    m_last.reserve(chunks.size());
    for (int i = m_builder->plannedTo(); i < chunks.size(); ++i)
        m_last.insert(chunks[i].sha256, i);
    m_foundUpTo = m_builder->plannedTo();
}

ChunkedFile::~ChunkedFile()
{
    stopBuilder();
}

void ChunkedFile::stopBuilder()
{
    m_stop = true;
    m_scanner.reset(); // the scan stops after the block it reads
    m_worker.reset();  // waits for the step under way
    m_builder.reset();
}

void ChunkedFile::start()
{
    if (m_worker || m_state != State::Building)
        return;
    m_worker = std::make_unique<JobQueue>(1);
    m_scanner = std::make_unique<JobQueue>(1);
    m_scanner->push([this] { scan(); });
    std::lock_guard<std::mutex> guard(m_mutex);
    wakeBuilder();
}

int ChunkedFile::takeRange()
{
    return m_taken < m_ranges.size() ? m_taken++ : -1;
}

void ChunkedFile::deliver(int range, QByteArray bytes)
{
    if (m_state != State::Building)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_ready.emplace(range, std::move(bytes));
    wakeBuilder();
}

void ChunkedFile::wakeBuilder()
{
    if (m_worker && !m_running && !m_stop) {
        m_running = true;
        m_worker->push([this] { work(); });
    }
}

void ChunkedFile::abandon()
{
    if (m_state != State::Building)
        return;
    stopBuilder();
    m_ready.clear();
    m_state = State::Abandoned;
    emit settled();
}

void ChunkedFile::served()
{
    if (m_served)
        return;
    m_served = true;
    emit settled();
}

// On the scan's thread. A copy that cannot be read (it changed or went meanwhile) ends the
// scan early: what it did not reach is fetched.
void ChunkedFile::scan()
{
    ChunkScanOptions options;
    options.fileSha256 = false;
    options.progress = [this](qint64) {
        return !m_stop;
    };
    options.found = [this](const std::vector<Chunk> &chunks) {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const Chunk &chunk : chunks) {
            if (!m_seen.contains(chunk.sha256))
                m_seen.insert(chunk.sha256, OldChunk{chunk.offset, chunk.length});
            const auto at = m_last.constFind(chunk.sha256);
            if (at != m_last.constEnd())
                m_foundUpTo = qMax(m_foundUpTo, at.value() + 1);
        }
        wakeBuilder();
    };
    scanFileChunks(m_installed, ChunkRule::standard(), options, nullptr);
    std::lock_guard<std::mutex> guard(m_mutex);
    m_scanEnded = true;
    wakeBuilder();
}

// On the builder's thread: plans as far as the scan allows and tells the new ranges. False
// when the file is to be fetched whole instead.
bool ChunkedFile::plan()
{
    QList<ChunkPiece> added;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const int upTo = m_scanEnded ? int(m_builder->index().chunks.size()) : m_foundUpTo;
        if (upTo <= m_builder->plannedTo())
            return true;
        // Judged once the whole copy is known, and only while this run has written nothing.
        if (m_scanEnded && m_builder->bytesWritten() == 0 &&
            fetchedBytes(planChunkedFile(m_builder->index(), m_seen)) * 100 >=
                m_file.size * WorthPercent)
            return false;
        added = m_builder->extendPlan(m_seen, upTo);
    }
    QList<ChunkPiece> ranges;
    for (const ChunkPiece &piece : added) {
        if (piece.kind == ChunkPiece::Fetch)
            ranges.append(piece);
    }
    const bool known = m_builder->planned() && !m_toldKnown;
    m_toldKnown = m_toldKnown || known;
    if (!ranges.isEmpty() || known) {
        post([this, ranges, known] {
            m_ranges.append(ranges);
            m_rangesKnown = m_rangesKnown || known;
            emit settled();
        });
    }
    return true;
}

// On the builder's thread: as far as the scan and the ranges delivered allow.
void ChunkedFile::work()
{
    QString error;
    while (!m_stop) {
        if (!plan()) {
            return post([this] {
                if (m_state != State::Building)
                    return;
                m_wantsWhole = true;
                abandon();
            });
        }
        const ChunkPiece *piece = m_builder->current();
        if (!piece && m_builder->planned()) {
            const bool ok = m_builder->finish(&error);
            if (ok) {
                // The disk gets to work on it while the other files arrive.
                QFile written(m_paths.partial);
                if (written.open(QIODevice::ReadOnly))
                    fsys::startWriteback(written);
            }
            // A whole file that is not the release's (the installed copy changed under the
            // copy) is of no use to the next run either.
            return post([this, ok, error] { ended(ok, error, !ok); });
        }
        if (!piece) {
            // Until the scan tells more.
            std::lock_guard<std::mutex> guard(m_mutex);
            if (!m_scanEnded && m_foundUpTo <= m_builder->plannedTo()) {
                m_running = false;
                return;
            }
            continue;
        }
        if (piece->kind == ChunkPiece::Copy) {
            const qint64 before = m_builder->bytesWritten();
            if (!m_builder->copy(CopyStepBytes, &error))
                return post([this, error] { ended(false, error, false); });
            const qint64 bytes = m_builder->bytesWritten() - before;
            post([this, bytes] {
                if (m_state == State::Building)
                    emit copied(bytes);
            });
            continue;
        }
        QByteArray bytes;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            const auto ready = m_ready.find(m_nextRange);
            if (ready == m_ready.end()) {
                // The scan may have told more meanwhile: plan on before waiting.
                if (m_scanEnded ? !m_builder->planned() : m_foundUpTo > m_builder->plannedTo())
                    continue;
                m_running = false;
                return;
            }
            bytes = std::move(ready->second);
            m_ready.erase(ready);
        }
        if (!m_builder->feed(bytes.constData(), bytes.size(), &error))
            return post([this, error] { ended(false, error, false); });
        const int range = m_nextRange++;
        post([this, range] {
            m_written = range + 1;
            emit rangeWritten(range);
        });
    }
}

void ChunkedFile::post(const std::function<void()> &call)
{
    QMetaObject::invokeMethod(this, call, Qt::QueuedConnection);
}

void ChunkedFile::ended(bool ok, const QString &error, bool discard)
{
    if (m_state != State::Building)
        return;
    stopBuilder();
    if (discard)
        QFile::remove(m_paths.partial);
    if (ok) {
        // Whatever stands at the staged name is not the release.
        if (fsys::entryKind(m_paths.staged) != fsys::EntryKind::Missing)
            removeTree(m_appDir, m_paths.staged);
        QString renameError;
        if (fsys::renameEntry(m_paths.partial, m_paths.staged, &renameError)) {
            QFile::remove(m_paths.validator);
            m_state = State::Complete;
            emit settled();
            return;
        }
        m_error = QStringLiteral("Nao foi possivel gravar '%1': %2")
                      .arg(QDir::toNativeSeparators(m_file.path), renameError);
    } else {
        m_error = error;
    }
    m_state = State::Failed;
    emit settled();
}
