#include "download/chunkedfile.h"

#include "download/blockqueue.h"
#include "download/chunkbuilder.h"
#include "files/filesystem.h"
#include "files/folderguard.h"

#include <QDir>
#include <QFile>
#include <QMetaObject>

namespace {

// A step of copying between two looks at whether to stop: short, so that stopping never keeps
// the GUI thread waiting long.
constexpr qint64 CopyStepBytes = 4 * 1024 * 1024;

} // namespace

ChunkedFile::ChunkedFile(const UpdateFile &file, const StagingPaths &paths, const QString &appDir,
                         std::unique_ptr<ChunkedFileBuilder> builder, QObject *parent)
    : QObject(parent), m_file(file), m_paths(paths), m_appDir(appDir),
      m_builder(std::move(builder)), m_kept(m_builder->bytesWritten())
{
    for (const ChunkPiece &piece : m_builder->remaining()) {
        if (piece.kind == ChunkPiece::Fetch)
            m_ranges.append(piece);
    }
}

ChunkedFile::~ChunkedFile()
{
    stopBuilder();
}

void ChunkedFile::stopBuilder()
{
    m_stop = true;
    m_worker.reset(); // waits for the step under way
    m_builder.reset();
}

void ChunkedFile::start()
{
    if (m_worker || m_state != State::Building)
        return;
    m_worker = std::make_unique<JobQueue>(1);
    m_running = true;
    m_worker->push([this] { work(); });
}

void ChunkedFile::deliver(int range, QByteArray bytes)
{
    if (m_state != State::Building)
        return;
    std::lock_guard<std::mutex> guard(m_mutex);
    m_ready.emplace(range, std::move(bytes));
    if (m_worker && !m_running) {
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

// On the builder's thread: as far as the ranges delivered allow.
void ChunkedFile::work()
{
    QString error;
    while (!m_stop) {
        const ChunkPiece *piece = m_builder->current();
        if (!piece) {
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
